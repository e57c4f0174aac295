// QXInspect end to end, and round trips: sources converted by QXConvert, then read
// back, equal the imported scene or the source bytes.
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <nlohmann/json.hpp>

#include "examine/verify.h"
#include "reader/asset_reader.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::ReadFile;
using testing::RunConverter;
using testing::TempDir;
using testing::WriteFile;

testing::ProcessResult RunInspect(const std::vector<std::string>& args) {
  return testing::RunProcess(QXINSPECT_EXE, args);
}

const std::string kExamples = QX_EXAMPLES_DIR;

constexpr const char kSquareObj[] =
    "o Square\nv 0 0 0\nv 2 0 0\nv 2 2 0\nv 0 2 1\nvn 0 0 1\nf 1//1 2//1 3//1 4//1\n";

struct Converted {
  std::string type, source;
};

const Converted kSamples[] = {{"mdl", "crate.obj"},
                              {"anm", "walk.bvh"},
                              {"tex", "grass.tga"},
                              {"mus", "theme.mod"},
                              {"snd", "blip.wav"}};

TEST(RoundTrip, EveryExampleReadsBackAsItsSourceScrambledAndPlain) {
  TempDir dir;
  for (const Converted& sample : kSamples) {
    for (bool scramble : {true, false}) {
      const std::string source = kExamples + "/" + sample.source;
      const std::string out = dir / (sample.source + (scramble ? ".s" : ".p"));
      std::vector<std::string> args = {sample.type, source, out};
      if (!scramble) args.push_back("-ue");
      ASSERT_EQ(RunConverter(args).exitCode, 0) << sample.source;
      reader::AssetFile asset;
      std::string error;
      ASSERT_TRUE(reader::ReadAssetFile(out, &asset, &error)) << error;
      EXPECT_EQ(asset.scrambled, scramble);
      EXPECT_TRUE(examine::VerifyAgainstSource(asset, out, source, &error)) << error;
      if (sample.type == "tex") {
        EXPECT_EQ(std::string(asset.data.begin(), asset.data.end()), ReadFile(source));
      }
    }
  }
}

TEST(RoundTrip, ModelPositionsEqualTheImportedScene) {
  TempDir dir;
  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunConverter({"mdl", dir / "square.obj", dir / "square.mdl"}).exitCode, 0);
  reader::AssetFile asset;
  std::string error;
  ASSERT_TRUE(reader::ReadAssetFile(dir / "square.mdl", &asset, &error)) << error;
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(dir / "square.obj", 0x80800B);
  ASSERT_NE(scene, nullptr);
  ASSERT_EQ(asset.meshes.size(), scene->mNumMeshes);
  const aiMesh& mesh = *scene->mMeshes[0];
  ASSERT_EQ(asset.meshes[0].positions.size(), mesh.mNumVertices);
  for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
    EXPECT_EQ(asset.meshes[0].positions[v].x, mesh.mVertices[v].x);
    EXPECT_EQ(asset.meshes[0].positions[v].y, mesh.mVertices[v].y);
    EXPECT_EQ(asset.meshes[0].positions[v].z, mesh.mVertices[v].z);
  }
  EXPECT_EQ(asset.meshes[0].faceCount, mesh.mNumFaces);
}

TEST(Inspect, SummaryAndJsonDescribeTheMesh) {
  TempDir dir;
  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunConverter({"mdl", dir / "square.obj", dir / "square.mdl", "-ue"}).exitCode, 0);
  const auto summary = RunInspect({dir / "square.mdl"});
  EXPECT_EQ(summary.exitCode, 0);
  EXPECT_EQ(summary.err, "");
  EXPECT_EQ(
      summary.out,
      dir / "square.mdl" +
          ": model (QMDL) version 1, not scrambled, payload 144 bytes\n"  // 2 + 8 + 8 + 48 + 4 + 24
                                                                          // + 1 + 48 + 1
          "  mesh 0 \"Square\": material 0, 4 vertices, 2 faces (triangles), "
          "6 indices, normals\n"
          "    bounds (0, 0, 0) .. (2, 2, 1)\n");

  const auto json = RunInspect({"--json", "--full", dir / "square.mdl"});
  ASSERT_EQ(json.exitCode, 0);
  const auto doc = nlohmann::json::parse(json.out);
  ASSERT_EQ(doc.size(), 1u);
  const auto& mesh = doc[0]["meshes"][0];
  EXPECT_EQ(doc[0]["type"], "model");
  EXPECT_EQ(mesh["vertexCount"], 4);
  EXPECT_EQ(mesh["positions"][3], nlohmann::json::parse("[0.0, 2.0, 1.0]"));
  EXPECT_EQ(mesh["indices"].size(), 6u);
  EXPECT_EQ(mesh["bounds"]["max"], nlohmann::json::parse("[2.0, 2.0, 1.0]"));
  EXPECT_FALSE(mesh.contains("textureCoords"));
}

TEST(Inspect, ExtractGivesBackTheSourceBytes) {
  TempDir dir;
  std::string source;
  for (int i = 0; i < 5000; ++i) source += static_cast<char>(i * 13);
  WriteFile(dir / "music.xm", source);
  ASSERT_EQ(RunConverter({"mus", dir / "music.xm", dir / "music.mus"}).exitCode, 0);
  const auto r = RunInspect({dir / "music.mus", "--extract", dir / "back.xm"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "back.xm"), source);

  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunConverter({"mdl", dir / "square.obj", dir / "square.mdl"}).exitCode, 0);
  const auto model = RunInspect({dir / "square.mdl", "--extract", dir / "x"});
  EXPECT_EQ(model.exitCode, 1);
  EXPECT_NE(model.err.find("cannot extract from a model asset"), std::string::npos);
}

TEST(Inspect, ExportedModelsImportWithTheSameGeometry) {
  TempDir dir;
  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunConverter({"mdl", dir / "square.obj", dir / "square.mdl"}).exitCode, 0);
  for (const char* extension : {".obj", ".gltf", ".glb", ".ply", ".stl", ".dae"}) {
    const std::string out = dir / (std::string("export") + extension);
    const auto r = RunInspect({dir / "square.mdl", "--export", out});
    ASSERT_EQ(r.exitCode, 0) << extension << ": " << r.err;
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(out, 0x8 | 0x8000);  // triangulate, sort
    ASSERT_NE(scene, nullptr) << extension << ": " << importer.GetErrorString();
    ASSERT_GE(scene->mNumMeshes, 1u) << extension;
    const aiMesh& mesh = *scene->mMeshes[0];
    EXPECT_EQ(mesh.mNumFaces, 2u) << extension;
    aiVector3D max(-1e9f, -1e9f, -1e9f);
    for (unsigned v = 0; v < mesh.mNumVertices; ++v) {
      max.x = std::max(max.x, mesh.mVertices[v].x);
      max.y = std::max(max.y, mesh.mVertices[v].y);
      max.z = std::max(max.z, mesh.mVertices[v].z);
    }
    EXPECT_EQ(max, aiVector3D(2, 2, 1)) << extension;
  }
  const auto unknown = RunInspect({dir / "square.mdl", "--export", dir / "x.fbx"});
  EXPECT_EQ(unknown.exitCode, 1);
}

TEST(Inspect, VerifyNamesTheFirstDifference) {
  TempDir dir;
  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunConverter({"mdl", dir / "square.obj", dir / "square.mdl", "-ue"}).exitCode, 0);
  const auto same = RunInspect({dir / "square.mdl", "--verify", dir / "square.obj"});
  EXPECT_EQ(same.exitCode, 0);
  EXPECT_EQ(same.out, dir / "square.mdl" + " matches " + dir / "square.obj" + "\n");

  // Vertex 1's x (2.0f) becomes 3.0f: header 7, count 2, name 2+6, material and count 8,
  // then vertex 0 (12 bytes) and x of vertex 1.
  std::string file = ReadFile(dir / "square.mdl");
  const std::size_t x1 = 7 + 2 + 8 + 8 + 12;
  ASSERT_EQ(file.substr(x1, 4), std::string("\x00\x00\x00\x40", 4));
  file.replace(x1, 4, std::string("\x00\x00\x40\x40", 4));
  WriteFile(dir / "changed.mdl", file);
  const auto changed = RunInspect({dir / "changed.mdl", "--verify", dir / "square.obj"});
  EXPECT_EQ(changed.exitCode, 1);
  EXPECT_EQ(changed.out, dir / "changed.mdl" + " differs from " + dir / "square.obj" +
                             ": mesh 0 position 1 x: 3 in the asset, 2 from the source\n");
}

TEST(Inspect, InvalidFilesAndUsageErrorsHaveTheirOwnExitCodes) {
  TempDir dir;
  WriteFile(dir / "bad.mdl", "QMDL\x01");
  WriteFile(dir / "good.img", std::string("QTEX\x01\x00\x00", 7) + "px");
  const auto bad = RunInspect({dir / "bad.mdl", dir / "good.img"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_EQ(bad.err, "QXInspect: " + dir / "bad.mdl" +
                         ": file is 5 bytes, shorter than the 7-byte header\n");
  EXPECT_NE(bad.out.find("good.img: texture"), std::string::npos);

  EXPECT_EQ(RunInspect({}).exitCode, 2);
  EXPECT_EQ(RunInspect({"--full", dir / "good.img"}).exitCode, 2);
  EXPECT_EQ(RunInspect({"--bogus", dir / "good.img"}).exitCode, 2);
  EXPECT_EQ(RunInspect({dir / "good.img", dir / "good.img", "--extract", dir / "o"}).exitCode, 2);
  const auto help = RunInspect({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--verify"), std::string::npos);
  const auto version = RunInspect({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "QXInspect 1.00\n");
}

}  // namespace
}  // namespace qx
