// -optimize and -simplify through the built converter on Assimp's own models, and
// Assimp's messages reaching the report.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>

#include "convert/mesh_work.h"
#include "format/little_endian.h"
#include "reader/asset_reader.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::FileExists;
using testing::ReadFile;
using testing::RunQXConvert;
using testing::TempDir;
using testing::WriteFile;

const std::string kModels = "/usr/share/assimp/models/";

// One triangle corner as the payload stores it, bit for bit: position, normal, uv
// (zero where the mesh has none).
using Corner = std::array<std::uint32_t, 8>;
using Triangle = std::array<Corner, 3>;

// A mesh's triangles with every attribute, each turned to start at its least corner
// (the winding kept), sorted: equal for two meshes that draw the same surface,
// whatever their vertex and triangle order. A triangle that names one vertex twice
// draws nothing; it is counted apart.
std::vector<Triangle> Surface(const reader::Mesh& mesh, std::size_t* degenerate) {
  std::vector<Triangle> triangles;
  for (std::size_t f = 0; f + 2 < mesh.indices.size(); f += 3) {
    const std::uint32_t* corner = &mesh.indices[f];
    if (corner[0] == corner[1] || corner[1] == corner[2] || corner[0] == corner[2]) {
      ++*degenerate;
      continue;
    }
    Triangle t{};
    for (std::size_t c = 0; c < 3; ++c) {
      const std::uint32_t i = mesh.indices[f + c];
      float values[8] = {mesh.positions[i].x, mesh.positions[i].y, mesh.positions[i].z, 0, 0, 0, 0, 0};
      if (mesh.hasNormals) {
        values[3] = mesh.normals[i].x;
        values[4] = mesh.normals[i].y;
        values[5] = mesh.normals[i].z;
      }
      if (mesh.hasTextureCoords) {
        values[6] = mesh.textureCoords[i].u;
        values[7] = mesh.textureCoords[i].v;
      }
      std::memcpy(t[c].data(), values, sizeof values);
    }
    std::rotate(t.begin(), std::min_element(t.begin(), t.end()), t.end());
    triangles.push_back(t);
  }
  std::sort(triangles.begin(), triangles.end());
  return triangles;
}

reader::AssetFile Read(const std::string& path) {
  reader::AssetFile asset;
  std::string error;
  EXPECT_TRUE(reader::ReadAssetFile(path, &asset, &error)) << error;
  return asset;
}

std::size_t Triangles(const reader::AssetFile& asset) {
  std::size_t triangles = 0;
  for (const reader::Mesh& mesh : asset.meshes) triangles += mesh.indicesPerFace == 3 ? mesh.faceCount : 0;
  return triangles;
}

#ifdef QX_WITH_MESHOPTIMIZER

// The optimised asset draws exactly the plain one's surface: the same triangles with
// the same positions, normals and uv, the same way round, in a new order, without the
// triangles that draw nothing (2CylinderEngine has 10413 of them); a simplified
// one draws fewer, and its report says how far the surface moved. The duck's
// triangles are cut from polygons by Assimp, which flags them so.
TEST(MeshWork, OptimizeKeepsTheSurfaceAndSimplifyKeepsFewerTriangles) {
  std::vector<std::string> models = {"OBJ/spider.obj", "3DS/fels.3ds"};
  // Debian's Assimp cannot read Collada on big-endian machines (std::bad_alloc).
  if (kLittleEndianHost) models.push_back("Collada/duck.dae");
  if (testing::Unavailable(testing::Need::kAssimpGltf) == nullptr) {
    models.push_back("glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb");
  }
  TempDir dir;
  for (const std::string& model : models) {
    SCOPED_TRACE(model);
    if (!FileExists(kModels + model)) GTEST_SKIP() << "needs Debian's assimp-testmodels";
    ASSERT_EQ(RunQXConvert({"mdl", kModels + model, dir / "plain.mdl", "-ue"}).exitCode, 0);
    const auto r = RunQXConvert({"mdl", kModels + model, dir / "fast.mdl", "-ue", "-optimize",
                                 "-report=" + (dir / "fast.json")});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const reader::AssetFile plain = Read(dir / "plain.mdl");
    const reader::AssetFile fast = Read(dir / "fast.mdl");
    ASSERT_EQ(plain.meshes.size(), fast.meshes.size());
    bool reordered = false;
    for (std::size_t m = 0; m < plain.meshes.size(); ++m) {
      const reader::Mesh& a = plain.meshes[m];
      const reader::Mesh& b = fast.meshes[m];
      EXPECT_EQ(a.name, b.name);
      EXPECT_EQ(a.materialIndex, b.materialIndex);
      EXPECT_EQ(a.hasNormals, b.hasNormals);
      EXPECT_EQ(a.hasTextureCoords, b.hasTextureCoords);
      EXPECT_LE(b.positions.size(), a.positions.size());
      std::size_t degenerate = 0, degenerateLeft = 0;
      EXPECT_TRUE(Surface(a, &degenerate) == Surface(b, &degenerateLeft)) << "mesh " << m << " draws another surface";
      EXPECT_EQ(degenerateLeft, 0u) << "mesh " << m;
      EXPECT_EQ(b.faceCount, a.faceCount - degenerate) << "mesh " << m;
      reordered = reordered || a.indices != b.indices;
    }
    EXPECT_TRUE(reordered) << "-optimize changed no mesh";
    // The report's figures: counts that are the asset's, and a cache that got better.
    const auto report = nlohmann::json::parse(ReadFile(dir / "fast.json"));
    EXPECT_EQ(report["output"]["optimized"], true);
    double missesBefore = 0, missesAfter = 0;
    for (std::size_t m = 0; m < fast.meshes.size(); ++m) {
      const auto& figures = report["meshes"][m]["optimization"];
      ASSERT_TRUE(figures.is_object()) << "mesh " << m;
      EXPECT_EQ(figures["triangles"]["after"], fast.meshes[m].faceCount);
      EXPECT_EQ(figures["vertices"]["after"], fast.meshes[m].positions.size());
      EXPECT_EQ(figures["vertices"]["before"], plain.meshes[m].positions.size());
      missesBefore += figures["acmr"]["before"].get<double>() * plain.meshes[m].faceCount;
      missesAfter += figures["acmr"]["after"].get<double>() * fast.meshes[m].faceCount;
    }
    EXPECT_LT(missesAfter, missesBefore);

    const auto simplified = RunQXConvert({"mdl", kModels + model, dir / "lod.mdl", "-ue", "-simplify=0.5",
                                          "-report=" + (dir / "lod.json")});
    ASSERT_EQ(simplified.exitCode, 0) << simplified.out;
    const reader::AssetFile lod = Read(dir / "lod.mdl");
    EXPECT_LT(Triangles(lod), Triangles(plain));
    const auto lodReport = nlohmann::json::parse(ReadFile(dir / "lod.json"));
    EXPECT_EQ(lodReport["output"]["simplifyRatio"], 0.5);
    EXPECT_TRUE(lodReport["meshes"][0]["optimization"]["simplifyError"].is_number());
  }
}

// One infinite coordinate makes a mesh's extent infinite, against which the simplifier
// measures its error: it would collapse the mesh without bound and report no number
// (JSON null, which made the report unreadable). Such a mesh is optimised but kept
// whole, and its report reads back.
TEST(MeshWork, AMeshOfInfiniteExtentIsNotSimplified) {
  TempDir dir;
  std::string obj;
  const int side = 8;
  for (int y = 0; y <= side; ++y) {
    for (int x = 0; x <= side; ++x) {
      obj += "v " + std::string(x == 3 && y == 3 ? "inf" : std::to_string(x)) + " " + std::to_string(y) + " " +
             std::to_string((x * 7 + y * 3) % 5) + "\n";
    }
  }
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const int a = y * (side + 1) + x + 1, c = a + side + 1;
      obj += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(c + 1) + "\n";
      obj += "f " + std::to_string(a) + " " + std::to_string(c + 1) + " " + std::to_string(c) + "\n";
    }
  }
  WriteFile(dir / "far.obj", obj);
  const auto r = RunQXConvert({"mdl", dir / "far.obj", dir / "far.mdl", "-ue", "-simplify=0.5",
                               "-report=" + (dir / "far.json")});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Triangles(Read(dir / "far.mdl")), 2u * side * side);
  const auto report = nlohmann::json::parse(ReadFile(dir / "far.json"));
  EXPECT_FALSE(report["meshes"][0]["optimization"].contains("simplifyError")) << report.dump();
  const auto reads = testing::RunQXInspect({dir / "far.mdl", "--report", dir / "far.json"});
  EXPECT_EQ(reads.exitCode, 0) << reads.out << reads.err;
}

#endif

// The ratio is refused outside (0, 1) or when it is not a plain decimal number; a
// build without meshoptimizer refuses both options in words.
TEST(MeshWork, RefusesABadRatioAndSaysWhereItIsNotAvailable) {
  TempDir dir;
  WriteFile(dir / "tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  // The last has one decimal more than the CMake function and the Bazel rules let through.
  for (const std::string& ratio : {std::string("0"), std::string("1"), std::string("1.5"), std::string(),
                                   std::string("abc"), std::string("0,5"), std::string("-0.5"),
                                   std::string("0.5.1"), "0." + std::string(kMaxRatioDecimals + 1, '1')}) {
    const auto r = RunQXConvert({"mdl", dir / "tri.obj", dir / "o.mdl", "-simplify=" + ratio});
    EXPECT_EQ(r.exitCode, 1) << ratio;
    EXPECT_NE(r.out.find("-simplify= needs a number between 0 and 1"), std::string::npos) << r.out;
  }
  EXPECT_FALSE(FileExists(dir / "o.mdl"));
  const auto r = RunQXConvert({"mdl", dir / "tri.obj", dir / "o.mdl", "-optimize"});
#ifdef QX_WITH_MESHOPTIMIZER
  EXPECT_EQ(r.exitCode, 0) << r.out;
#else
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("-optimize is not available in this build"), std::string::npos) << r.out;
#endif
}

// What Assimp logs while reading reaches the report as a warning with its severity,
// and QXInspect fails a build on it when asked.
TEST(MeshWork, AssimpsWarningsReachTheReportAndFailTheBuild) {
  TempDir dir;
  // Assimp reads 3D texture coordinates whose third is 0 as 2D, and warns.
  WriteFile(dir / "flat.obj",
            "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nvt 0 0 0\nvt 1 0 0\nvt 0 1 0\nf 1/1/1 2/2/1 3/3/1\n");
  std::filesystem::create_directory(dir / "reports");
  const auto r = RunQXConvert({"mdl", dir / "flat.obj", dir / "flat.mdl", "-report=" + (dir / "reports/flat.json")});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  const auto report = nlohmann::json::parse(ReadFile(dir / "reports/flat.json"));
  ASSERT_EQ(report["warnings"].size(), 1u) << report.dump();
  const auto& warning = report["warnings"][0];
  EXPECT_EQ(warning["kind"], "assimp-warning");
  EXPECT_EQ(warning["count"], 1);
  EXPECT_EQ(warning["concerns"][0],
            "ScenePreprocessor: UVs are declared to be 3D but they're obviously not. Reverting to 2D.");
  const auto passes = testing::RunQXInspect({"--summary-reports", dir / "reports", "--fail-on",
                                                          "assimp-error"});
  EXPECT_EQ(passes.exitCode, 0) << passes.out << passes.err;
  const auto fails = testing::RunQXInspect({"--summary-reports", dir / "reports", "--fail-on",
                                                         "assimp-warning"});
  EXPECT_EQ(fails.exitCode, 1) << fails.out << fails.err;
}

}  // namespace
}  // namespace qx
