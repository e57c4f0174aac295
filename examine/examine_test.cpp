// QXInspect end to end, and round trips: sources converted by QXConvert, then read
// back, equal the imported scene or the source bytes.
#include <assimp/scene.h>
#include <gtest/gtest.h>

#include <assimp/Importer.hpp>
#include <cerrno>
#include <charconv>
#include <random>
#include <cstring>
#include <filesystem>
#include <limits>
#include <cmath>
#include <map>
#include <sstream>
#include <set>
#include <tuple>
#include <nlohmann/json.hpp>

#include "app/version.h"
#include "examine/json_writer.h"
#include "examine/pose.h"
#include "examine/verify.h"
#include "report/report.h"

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#include <stb/stb_image.h>
#include "reader/asset_reader.h"
#include "testing/cursor.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::ReadFile;
using testing::RunQXConvert;
using testing::RunQXInspect;
using testing::TempDir;
using testing::WriteFile;

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
      ASSERT_EQ(RunQXConvert(args).exitCode, 0) << sample.source;
      reader::AssetFile asset;
      std::string error;
      ASSERT_TRUE(reader::ReadAssetFile(out, &asset, &error)) << error;
      EXPECT_EQ(asset.scrambled, scramble);
      std::vector<std::uint8_t> bytes;
      ASSERT_TRUE(reader::ReadFileBytes(out, &bytes, &error)) << error;
      EXPECT_TRUE(examine::VerifyAgainstSource(asset, bytes, source, &error)) << error;
      if (sample.type == "tex") {
        EXPECT_EQ(std::string(asset.data.begin(), asset.data.end()), ReadFile(source));
      }
    }
  }
}

// Assets larger than one write slice, of odd sizes, scrambled: each reads back as its
// source, through QXInspect --extract and --verify.
TEST(RoundTrip, AssetsSpanningSeveralSlicesReadBackWhole) {
  TempDir dir;
  std::string texture, music;
  for (std::size_t i = 0; i < (std::size_t{5} << 19) + 3; ++i) texture += static_cast<char>(i * 131 + i / 997);
  for (std::size_t i = 0; i < (std::size_t{1} << 20) + 9; ++i) music += static_cast<char>(i * 17 + i / 613);
  WriteFile(dir / "big.tga", texture);
  WriteFile(dir / "big.xm", music);
  std::string grid;
  constexpr int kSide = 200;  // a payload of about 1.4 MB
  for (int y = 0; y < kSide; ++y) {
    for (int x = 0; x < kSide; ++x) grid += "v " + std::to_string(x) + " " + std::to_string(y) + " 0\n";
  }
  for (int y = 0; y + 1 < kSide; ++y) {
    for (int x = 0; x + 1 < kSide; ++x) {
      const int a = y * kSide + x + 1;
      grid += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + kSide) + "\n";
      grid += "f " + std::to_string(a + 1) + " " + std::to_string(a + kSide + 1) + " " + std::to_string(a + kSide) + "\n";
    }
  }
  WriteFile(dir / "grid.obj", grid);
  for (const auto& [type, source, out] : {std::tuple<std::string, std::string, std::string>{"tex", "big.tga", "big.img"},
                                          {"mus", "big.xm", "big.mus"}, {"mdl", "grid.obj", "grid.mdl"}}) {
    ASSERT_EQ(RunQXConvert({type, dir / source, dir / out}).exitCode, 0) << source;
    const auto verify = RunQXInspect({dir / out, "--verify", dir / source});
    EXPECT_EQ(verify.exitCode, 0) << verify.out;
    if (type == "mdl") continue;
    ASSERT_EQ(RunQXInspect({dir / out, "--extract", dir / (source + ".back")}).exitCode, 0);
    EXPECT_TRUE(ReadFile(dir / (source + ".back")) == (type == "tex" ? texture : music)) << source;
  }
  EXPECT_GT(std::filesystem::file_size(dir / "grid.mdl"), std::uintmax_t{1} << 20);
}

TEST(RoundTrip, ModelPositionsEqualTheImportedScene) {
  TempDir dir;
  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunQXConvert({"mdl", dir / "square.obj", dir / "square.mdl"}).exitCode, 0);
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
  ASSERT_EQ(RunQXConvert({"mdl", dir / "square.obj", dir / "square.mdl", "-ue"}).exitCode, 0);
  const auto summary = RunQXInspect({dir / "square.mdl"});
  EXPECT_EQ(summary.exitCode, 0);
  EXPECT_EQ(summary.err, "");
  EXPECT_EQ(
      summary.out,
      dir / "square.mdl" +
          ": model (QMDL) version 1, not scrambled, payload 144 bytes\n"  // 2 + 8 + 8 + 48 + 4 + 24
                                                                          // + 1 + 48 + 1
          "  mesh 0 \"Square\": material 0, 4 vertices, 2 faces (triangles), "
          "6 indices, normals\n"
          "    bounds (0, 0, 0) .. (2, 2, 1)\n"
          "    vertex cache of 16: ACMR 2.000, ATVR 1.000; overdraw 1.000\n");

  const auto json = RunQXInspect({"--json", "--full", dir / "square.mdl"});
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
  EXPECT_EQ(mesh["figures"], nlohmann::json::parse(R"({"acmr": 2.0, "atvr": 1.0, "overdraw": 1.0})"));
  EXPECT_EQ(doc[0]["figures"], nlohmann::json::parse(R"({"triangles": 2, "acmr": 2.0, "atvr": 1.0, "overdraw": 1.0})"));

  // Many triangles that each fill the view: the overdraw figure stops at its budget
  // and says so; the cache figures are still there.
  std::string crafted = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\n";
  for (int f = 0; f < 20000; ++f) crafted += f % 2 ? "f 1 2 3\n" : "f 2 4 3\n";
  WriteFile(dir / "crafted.obj", crafted);
  ASSERT_EQ(RunQXConvert({"mdl", dir / "crafted.obj", dir / "crafted.mdl", "-ue"}).exitCode, 0);
  const auto costly = RunQXInspect({dir / "crafted.mdl"});
  EXPECT_EQ(costly.exitCode, 0);
  EXPECT_NE(costly.out.find("ACMR 0.000, ATVR 1.000; overdraw not measured (more than the 300000000 pixel tests"),
            std::string::npos)
      << costly.out;
}

TEST(Inspect, ExtractGivesBackTheSourceBytes) {
  TempDir dir;
  std::string source;
  for (int i = 0; i < 5000; ++i) source += static_cast<char>(i * 13);
  WriteFile(dir / "music.xm", source);
  ASSERT_EQ(RunQXConvert({"mus", dir / "music.xm", dir / "music.mus"}).exitCode, 0);
  const auto r = RunQXInspect({dir / "music.mus", "--extract", dir / "back.xm"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "back.xm"), source);

  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunQXConvert({"mdl", dir / "square.obj", dir / "square.mdl"}).exitCode, 0);
  const auto model = RunQXInspect({dir / "square.mdl", "--extract", dir / "x"});
  EXPECT_EQ(model.exitCode, 1);
  EXPECT_NE(model.err.find("cannot extract from a model asset"), std::string::npos);

  // A write that fails names the file it could not write, and why in words.
  const auto missing = RunQXInspect({dir / "music.mus", "--extract", dir / "none/back.xm"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("cannot write " + dir / "none/back.xm" + ": Failed to open file with errno " +
                             std::to_string(ENOENT) + " (" + std::strerror(ENOENT) + ")"),
            std::string::npos)
      << missing.err;
}

// Every format --export writes, less those the host's Assimp cannot handle.
std::vector<const char*> ExportFormats() {
  std::vector<const char*> formats = {".obj", ".ply", ".stl", ".dae"};
  if (const char* why = testing::Unavailable(testing::Need::kAssimpGltf)) {
    std::printf(".gltf and .glb left out: %s\n", why);
  } else {
    formats.insert(formats.end(), {".gltf", ".glb"});
  }
  return formats;
}

TEST(Inspect, ExportedModelsImportWithTheSameGeometry) {
  TempDir dir;
  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunQXConvert({"mdl", dir / "square.obj", dir / "square.mdl"}).exitCode, 0);
  for (const char* extension : ExportFormats()) {
    const std::string out = dir / (std::string("export") + extension);
    const auto r = RunQXInspect({dir / "square.mdl", "--export", out});
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
  const auto unknown = RunQXInspect({dir / "square.mdl", "--export", dir / "x.fbx"});
  EXPECT_EQ(unknown.exitCode, 1);

  // A line break in a mesh name stays inside the name in every format.
  ASSERT_EQ(RunQXConvert({"mdl", dir / "square.obj", dir / "named.mdl", "-ue"}).exitCode, 0);
  std::string named = ReadFile(dir / "named.mdl");
  named.replace(named.find("Square"), 6, "A\nv 9\n");
  WriteFile(dir / "named.mdl", named);
  for (const char* extension : ExportFormats()) {
    const std::string out = dir / (std::string("named") + extension);
    ASSERT_EQ(RunQXInspect({dir / "named.mdl", "--export", out}).exitCode, 0) << extension;
    EXPECT_EQ(ReadFile(out).find("\nv 9\n"), std::string::npos) << extension;
  }

  // No file written may be the one read, companions included; the run names each file.
  const std::string asset = ReadFile(dir / "square.mdl");
  WriteFile(dir / "crate.bin", asset);
  const auto companion = RunQXInspect({dir / "crate.bin", "--export", dir / "crate.gltf"});
  EXPECT_EQ(companion.exitCode, 1);
  EXPECT_NE(companion.err.find("cannot write " + dir / "crate.bin" + ": it is the file being read"),
            std::string::npos) << companion.err;
  EXPECT_FALSE(testing::FileExists(dir / "crate.gltf"));
  const auto render = RunQXInspect({dir / "crate.bin", "--render", dir / "./crate.bin"});
  EXPECT_EQ(render.exitCode, 1);
  EXPECT_EQ(ReadFile(dir / "crate.bin"), asset);
  const auto both = RunQXInspect({dir / "square.mdl", "--export", dir / "both.obj"});
  EXPECT_EQ(both.out, "Exported " + dir / "both.mtl" + "\nExported " + dir / "both.obj" + "\n");
}

// A mesh name is bytes from the source: exported as glTF, a name that is not UTF-8 has
// U+FFFD where its stray bytes were, so the file is JSON a strict reader takes; a
// valid name stays as it was.
TEST(Inspect, ExportedNamesAreUtf8) {
  if (const char* why = testing::Unavailable(testing::Need::kAssimpGltf)) GTEST_SKIP() << why;
  TempDir dir;
  // Assimp's glTF writer names a node's mesh after the first one: one model per name.
  const std::pair<std::string, std::string> kNames[] = {{"caf\xC3\xA9", "caf\xC3\xA9"},
                                                        {"bad\xFF\xC3name", "bad\xEF\xBF\xBD\xEF\xBF\xBDname"}};
  for (const auto& [name, exported] : kNames) {
    std::string model = testing::Header("QMDL") + testing::U16(1) +
                        testing::U16(static_cast<unsigned>(name.size())) + name + testing::U32(0) + testing::U32(3);
    for (float v : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f}) model += testing::F32(v);
    model += testing::U32(1) + testing::U32(0) + testing::U32(1) + testing::U32(2) + std::string("\0\0", 2);
    WriteFile(dir / "names.mdl", model);
    const auto r = RunQXInspect({dir / "names.mdl", "--export", dir / "names.gltf"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const nlohmann::json gltf = nlohmann::json::parse(ReadFile(dir / "names.gltf"));  // throws on bad UTF-8
    EXPECT_EQ(gltf.at("meshes").at(0).at("name").get<std::string>(), exported);
  }
}

TEST(Inspect, VerifyNamesTheFirstDifference) {
  TempDir dir;
  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunQXConvert({"mdl", dir / "square.obj", dir / "square.mdl", "-ue"}).exitCode, 0);
  const auto same = RunQXInspect({dir / "square.mdl", "--verify", dir / "square.obj"});
  EXPECT_EQ(same.exitCode, 0);
  EXPECT_EQ(same.out, dir / "square.mdl" + " matches " + dir / "square.obj" + "\n");
  // One face alone still tells its mesh's face size.
  WriteFile(dir / "tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  ASSERT_EQ(RunQXConvert({"mdl", dir / "tri.obj", dir / "tri.mdl"}).exitCode, 0);
  EXPECT_EQ(RunQXInspect({dir / "tri.mdl", "--verify", dir / "tri.obj"}).exitCode, 0);

  // Vertex 1's x (2.0f) becomes 3.0f: header 7, count 2, name 2+6, material and count 8,
  // then vertex 0 (12 bytes) and x of vertex 1.
  std::string file = ReadFile(dir / "square.mdl");
  const std::size_t x1 = 7 + 2 + 8 + 8 + 12;
  ASSERT_EQ(file.substr(x1, 4), std::string("\x00\x00\x00\x40", 4));
  file.replace(x1, 4, std::string("\x00\x00\x40\x40", 4));
  WriteFile(dir / "changed.mdl", file);
  const auto changed = RunQXInspect({dir / "changed.mdl", "--verify", dir / "square.obj"});
  EXPECT_EQ(changed.exitCode, 1);
  EXPECT_EQ(changed.out, dir / "changed.mdl" + " differs from " + dir / "square.obj" +
                             ": mesh 0 position 1 x: 3 in the asset, 2 from the source\n");
}

// A check whose path came out empty ("--verify \"$SOURCE\"" with SOURCE unset) is a
// usage error, not a summary that exits 0 as if it had passed.
TEST(Inspect, AnEmptyPathIsAUsageError) {
  TempDir dir;
  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunQXConvert({"mdl", dir / "square.obj", dir / "square.mdl"}).exitCode, 0);
  for (const char* option : {"--verify", "--extract", "--export", "--render", "--report"}) {
    const auto r = RunQXInspect({dir / "square.mdl", option, ""});
    EXPECT_EQ(r.exitCode, 2) << option;
    EXPECT_EQ(r.err, std::string("QXInspect: ") + option + " needs a path, not an empty word\n");
    EXPECT_EQ(r.out, "") << option;
  }
}

// A point cloud whose bytes also read as triangles: the format stores no face size, so
// the reader says the mesh is ambiguous, and --verify reads it with the face size of
// the source scene instead of guessing.
TEST(HostileFiles, AmbiguousMeshesAreToldAndVerifiedWithTheSourceFaceSizes) {
  if (const char* why = testing::Unavailable(testing::Need::kAssimpGltf)) GTEST_SKIP() << why;
  TempDir dir;
  WriteFile(dir / "cloud.gltf", R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],
    "nodes":[{"mesh":0}],"meshes":[{"primitives":[{"mode":0,"indices":2,
    "attributes":{"POSITION":0,"NORMAL":1}}]}],
    "buffers":[{"byteLength":54,"uri":"data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAABAAAA"}],
    "bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":24},{"buffer":0,"byteOffset":24,"byteLength":24},
      {"buffer":0,"byteOffset":48,"byteLength":6}],
    "accessors":[{"bufferView":0,"componentType":5126,"count":2,"type":"VEC3","min":[0,0,0],"max":[1,0,0]},
      {"bufferView":1,"componentType":5126,"count":2,"type":"VEC3"},
      {"bufferView":2,"componentType":5123,"count":3,"type":"SCALAR"}]})");
  ASSERT_EQ(RunQXConvert({"mdl", dir / "cloud.gltf", dir / "cloud.mdl"}).exitCode, 0);
  reader::AssetFile asset;
  std::string error;
  ASSERT_TRUE(reader::ReadAssetFile(dir / "cloud.mdl", &asset, &error)) << error;
  ASSERT_EQ(asset.meshes.size(), 1u);
  EXPECT_TRUE(asset.meshes[0].ambiguous());
  EXPECT_EQ(asset.meshes[0].possibleFaceSizes, (std::vector<std::uint32_t>{3, 1}));
  EXPECT_NE(RunQXInspect({dir / "cloud.mdl"}).out.find("ambiguous: the file also parses as "
                                                     "triangles or points"),
            std::string::npos);
  const auto verified = RunQXInspect({dir / "cloud.mdl", "--verify", dir / "cloud.gltf"});
  EXPECT_EQ(verified.out, dir / "cloud.mdl" + " matches " + dir / "cloud.gltf" + "\n");
  std::vector<std::uint32_t> points = {1};
  ASSERT_TRUE(reader::ReadAssetFile(dir / "cloud.mdl", &asset, &error, &points)) << error;
  EXPECT_EQ(asset.meshes[0].indices, (std::vector<std::uint32_t>{0, 1, 0}));
  EXPECT_TRUE(asset.meshes[0].hasNormals);
}

// Values the exporter would index with, and writes it cannot report, are checked by
// QXInspect itself.
TEST(HostileFiles, ExportRefusesBadIndicesAndReportsShortWrites) {
  TempDir dir;
  // Two one-point meshes with material indices 0 and 0xFFFFFFFF.
  const std::string wrapping = testing::Header("QMDL") + testing::U16(2) +
                               std::string("\0\0\0\0\0\0\x01\0\0\0", 10) + std::string(12, '\0') +
                               std::string("\x01\0\0\0\0\0\0\0\0\0", 10) +
                               std::string("\0\0\xFF\xFF\xFF\xFF\x01\0\0\0", 10) +
                               std::string(12, '\0') + std::string("\x01\0\0\0\0\0\0\0\0\0", 10);
  WriteFile(dir / "wrap.mdl", wrapping);
  for (const char* format : {".obj", ".dae"}) {
    const auto r = RunQXInspect({dir / "wrap.mdl", "--export", dir / (std::string("x") + format)});
    EXPECT_EQ(r.signal, 0) << format;
    EXPECT_EQ(r.exitCode, 1) << format;
    EXPECT_EQ(r.err, "QXInspect: " + dir / "wrap.mdl" +
                         ": material index 4294967295 is too large to export\n");
  }
  WriteFile(dir / "square.obj", kSquareObj);
  ASSERT_EQ(RunQXConvert({"mdl", dir / "square.obj", dir / "square.mdl"}).exitCode, 0);
  // Writes past 200 bytes fail with EFBIG: the export must say so and leave nothing.
  if (const char* why = testing::Unavailable(testing::Need::kChildSetup)) GTEST_SKIP() << why;
  testing::ProcessOptions limited;
  limited.beforeExec = [] { testing::LimitFileSize(200); };
  for (const char* format : {".obj", ".ply", ".dae"}) {
    const std::string out = dir / (std::string("short") + format);
    const auto r = testing::RunQXInspect({dir / "square.mdl", "--export", out}, limited);
    EXPECT_EQ(r.exitCode, 1) << format << r.out;
    EXPECT_NE(r.err.find("Failed to write file with errno 27"), std::string::npos) << r.err;
    EXPECT_FALSE(testing::FileExists(out)) << format;
  }
}

// JSON has no NaN or infinities: they are written as strings a reader can tell apart,
// and left out of the bounds.
TEST(HostileFiles, NonFiniteValuesStayDistinguishable) {
  TempDir dir;
  const auto f32 = testing::F32;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::string file = testing::Header("QMDL") + testing::U16(1) + testing::U16(0) +
                     testing::U32(0) + testing::U32(3);
  file += f32(nan) + f32(1) + f32(1) + f32(inf) + f32(-inf) + f32(2) + f32(1) + f32(2) + f32(3);
  file += std::string("\0\0\0\0\0\0", 6);
  WriteFile(dir / "nan.mdl", file);
  const auto summary = RunQXInspect({dir / "nan.mdl"});
  EXPECT_NE(summary.out.find("bounds (1, 2, 3) .. (1, 2, 3), leaving out 2 non-finite positions"),
            std::string::npos) << summary.out;
  const auto json = RunQXInspect({"--json", "--full", dir / "nan.mdl"});
  ASSERT_EQ(json.exitCode, 0);
  const auto mesh = nlohmann::json::parse(json.out)[0]["meshes"][0];
  EXPECT_EQ(mesh["positions"][0], nlohmann::json::parse(R"(["NaN", 1.0, 1.0])"));
  EXPECT_EQ(mesh["positions"][1], nlohmann::json::parse(R"(["Infinity", "-Infinity", 2.0])"));
  EXPECT_EQ(mesh["nonFinitePositions"], 2);
}

// The page's WebAssembly build has no floating-point std::to_chars and writes its
// digits with printf: the same text as std::to_chars (the standard library here) for
// floats and doubles of every magnitude, so the page and QXInspect agree digit for digit
// (a float of 1e11 once read -102114290000 on the page, -102114287616 here).
TEST(HostileFiles, PrintfDigitsAreToCharsDigits) {
  std::mt19937_64 random(7);
  const auto check = [](auto value) {
    char text[400];
    const std::string expected(text, std::to_chars(text, text + sizeof text, value).ptr);
    EXPECT_EQ(examine::ShortestByPrintf(value), expected) << expected;
  };
  for (const float special : {0.0f, -0.0f, 1.0f, 10.0f, 0.1f, -102114287616.0f, 1e20f, 3e-39f,
                              std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min()}) {
    check(special);
  }
  for (int i = 0; i < 200000; ++i) {
    const auto bits = random();
    float f;
    double d;
    const std::uint32_t low = static_cast<std::uint32_t>(bits);
    std::memcpy(&f, &low, sizeof f);
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(f)) check(f);
    if (std::isfinite(d)) check(d);
    check(static_cast<float>(static_cast<std::int64_t>(bits >> 24)));  // large integers
  }
}

// A rendered PNG's pixels that are mostly opaque: how many, and how many colours.
std::pair<std::size_t, std::size_t> Drawn(const std::string& png) {
  int width = 0, height = 0, channels = 0;
  stbi_uc* pixels = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(png.data()),
                                          static_cast<int>(png.size()), &width, &height, &channels, 4);
  if (pixels == nullptr) return {0, 0};
  std::set<std::uint32_t> colours;
  std::size_t drawn = 0;
  for (int i = 0; i < width * height; ++i) {
    if (pixels[4 * i + 3] < 128) continue;
    ++drawn;
    colours.insert(pixels[4 * i] << 16 | pixels[4 * i + 1] << 8 | pixels[4 * i + 2]);
  }
  stbi_image_free(pixels);
  return {drawn, colours.size()};
}

// Thumbnails of every kind: a model lit smoothly from its normals, a point cloud as
// points, an animation's curves on axes and a sound's waveform, each the same twice;
// formats that cannot be drawn say which can.
TEST(Render, ThumbnailsOfEveryKindAreDrawnTheSameEachTime) {
  TempDir dir;
  // One flat quad whose normals lean apart: smooth shading gives it a gradient.
  WriteFile(dir / "bent.obj", "v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nvn -0.7 0 0.7\nvn 0.7 0 0.7\n"
                               "f 1//1 2//2 3//2\nf 1//1 3//2 4//1\n");
  WriteFile(dir / "cloud.ply", "ply\nformat ascii 1.0\nelement vertex 4\nproperty float x\nproperty float y\n"
                                "property float z\nend_header\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n");
  ASSERT_EQ(RunQXConvert({"mdl", dir / "bent.obj", dir / "bent.mdl"}).exitCode, 0);
  ASSERT_EQ(RunQXConvert({"mdl", dir / "cloud.ply", dir / "cloud.mdl"}).exitCode, 0);
  ASSERT_EQ(RunQXConvert({"anm", kExamples + "/walk.bvh", dir / "walk.anm"}).exitCode, 0);
  ASSERT_EQ(RunQXConvert({"snd", kExamples + "/blip.wav", dir / "blip.snd"}).exitCode, 0);
  ASSERT_EQ(RunQXConvert({"mus", kExamples + "/theme.mod", dir / "theme.mus"}).exitCode, 0);
  std::map<std::string, std::pair<std::size_t, std::size_t>> drawn;
  for (const char* name : {"bent.mdl", "cloud.mdl", "walk.anm", "blip.snd"}) {
    for (const char* picture : {"1.png", "2.png"}) {
      const auto r = RunQXInspect({dir / name, "--render", dir / picture, "--size", "128"});
      ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
    }
    EXPECT_EQ(ReadFile(dir / "1.png"), ReadFile(dir / "2.png")) << name;
    drawn[name] = Drawn(ReadFile(dir / "1.png"));
    EXPECT_GE(drawn[name].first, 4u) << name;  // the cloud's four points, at least
  }
  EXPECT_GT(drawn["bent.mdl"].second, 20u);   // a gradient, where flat shading gives one colour
  EXPECT_GE(drawn["walk.anm"].second, 3u);    // axes and curves of their own colours
  const auto mod = RunQXInspect({dir / "theme.mus", "--render", dir / "m.png"});
  EXPECT_EQ(mod.exitCode, 1);
  EXPECT_NE(mod.err.find("only PCM WAV is drawn"), std::string::npos) << mod.err;
}


// A rendered model fills a plausible share of the frame, the same way every time; a
// model with nothing to draw, or a damaged file, is an error.
TEST(Render, ModelPicturesAreFramedRepeatableAndRefusedWhenEmpty) {
  TempDir dir;
  ASSERT_EQ(RunQXConvert({"mdl", kExamples + "/crate.obj", dir / "crate.mdl"}).exitCode, 0);
  for (const char* name : {"a.png", "b.png"}) {
    const auto r = RunQXInspect({dir / "crate.mdl", "--render", dir / name, "--size", "256"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  const std::string png = ReadFile(dir / "a.png");
  EXPECT_EQ(png, ReadFile(dir / "b.png"));
  int width = 0, height = 0, channels = 0;
  stbi_uc* pixels = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(png.data()),
                                          static_cast<int>(png.size()), &width, &height,
                                          &channels, 4);
  ASSERT_NE(pixels, nullptr);
  ASSERT_EQ(width, 256);
  std::size_t drawn = 0;
  for (int i = 0; i < width * height; ++i) drawn += pixels[4 * i + 3] != 0;
  stbi_image_free(pixels);
  // A unit cube seen from above and aside, framed to 90% of the width: about half.
  const double share = static_cast<double>(drawn) / (width * height);
  EXPECT_GT(share, 0.4);
  EXPECT_LT(share, 0.8);

  WriteFile(dir / "empty.mdl", testing::Header("QMDL") + testing::U16(0));
  const auto empty = RunQXInspect({dir / "empty.mdl", "--render", dir / "e.png"});
  EXPECT_EQ(empty.exitCode, 1);
  EXPECT_NE(empty.err.find("the model has no faces to draw"), std::string::npos) << empty.err;
  // A triangle with infinite corners has a face, but nothing that can be drawn.
  const float inf = std::numeric_limits<float>::infinity();
  std::string far = testing::Header("QMDL") + testing::U16(1) + testing::U16(0) +
                    testing::U32(0) + testing::U32(3);
  for (int i = 0; i < 9; ++i) far += testing::F32(i % 2 == 0 ? inf : -inf);
  far += testing::U32(1) + testing::U32(0) + testing::U32(1) + testing::U32(2) + std::string("\0\0", 2);
  WriteFile(dir / "far.mdl", far);
  const auto huge = RunQXInspect({dir / "far.mdl", "--render", dir / "e.png"});
  EXPECT_NE(huge.err.find("the model has 1 face but none can be drawn"), std::string::npos) << huge.err;
  WriteFile(dir / "damaged.mdl", png.substr(0, 5));
  EXPECT_EQ(RunQXInspect({dir / "damaged.mdl", "--render", dir / "d.png"}).exitCode, 1);
  EXPECT_FALSE(testing::FileExists(dir / "e.png"));
  EXPECT_FALSE(testing::FileExists(dir / "d.png"));

  // 18 header bytes of a TGA claiming 23170 x 23170 pixels: refused before decoding.
  const std::string tga("\0\0\x02\0\0\0\0\0\0\0\0\0\x82\x5a\x82\x5a\x18\0", 18);
  WriteFile(dir / "bomb.img", testing::Header("QTEX") + tga);
  const auto bomb = RunQXInspect({dir / "bomb.img", "--render", dir / "b2.png"});
  EXPECT_EQ(bomb.exitCode, 1);
  EXPECT_NE(bomb.err.find("claims"), std::string::npos) << bomb.err;
  EXPECT_FALSE(testing::FileExists(dir / "b2.png"));

  // 3000 frame-filling triangles, each nearer than the last: at 4096 pixels drawing them
  // would take minutes, so the work is bounded and the error says what would help.
  const auto u32 = testing::U32;
  const auto f32 = testing::F32;
  constexpr std::uint32_t kLayers = 3000;
  std::string layers =
      testing::Header("QMDL") + testing::U16(1) + testing::U16(0) + u32(0) + u32(3 * kLayers);
  for (std::uint32_t t = 0; t < kLayers; ++t) {
    const float z = 1e-6f * static_cast<float>(t);
    layers += f32(-1) + f32(-1) + f32(z) + f32(1) + f32(-1) + f32(z) + f32(-1) + f32(1) + f32(z);
  }
  layers += u32(kLayers);
  for (std::uint32_t i = 0; i < 3 * kLayers; ++i) layers += u32(i);
  layers += std::string("\0\0", 2);
  WriteFile(dir / "layers.mdl", layers);
  const auto costly = RunQXInspect({dir / "layers.mdl", "--render", dir / "l.png", "--size", "4096"});
  EXPECT_EQ(costly.exitCode, 1);
  EXPECT_NE(costly.err.find("a smaller --size may draw it"), std::string::npos) << costly.err;
  EXPECT_FALSE(testing::FileExists(dir / "l.png"));
  EXPECT_EQ(RunQXInspect({dir / "layers.mdl", "--render", dir / "l.png", "--size", "64"}).exitCode, 0);
}

// Time marks are counted, not stepped to: one rotation key at 1e17 ticks (where adding a
// step of 0.2 leaves the time unchanged) draws its axes and ends; and so do times at the
// ends of the double range, whose span or first mark overflows.
// Two triangles in one plane, lit differently by their normals, drawn in either order
// give one picture: at equal depth the order must not decide (-optimize reorders).
TEST(Render, TrianglesAtEqualDepthDrawTheSameInAnyOrder) {
  TempDir dir;
  const std::string corners = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nvn 0 0 1\nvn 0.6 0 0.8\n";
  const std::string first = "f 1//1 2//1 3//1\n", second = "f 2//2 4//2 1//2\n";
  WriteFile(dir / "ab.obj", corners + first + second);
  WriteFile(dir / "ba.obj", corners + second + first);
  for (const char* name : {"ab", "ba"}) {
    ASSERT_EQ(RunQXConvert({"mdl", dir / (std::string(name) + ".obj"), dir / (std::string(name) + ".mdl")}).exitCode, 0);
    const auto r = RunQXInspect({dir / (std::string(name) + ".mdl"), "--render", dir / (std::string(name) + ".png"),
                                 "--size", "64"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  EXPECT_EQ(ReadFile(dir / "ab.png"), ReadFile(dir / "ba.png"));
}

TEST(Render, AnimationsAtAnyTimeDrawInBoundedWork) {
  if (const char* why = testing::Unavailable(testing::Need::kChildSetup)) GTEST_SKIP() << why;
  TempDir dir;
  auto animation = [](const std::vector<double>& times) {
    std::string bytes = testing::Header("QANM") + testing::U16(1) + testing::U16(1) +
                        testing::U16(0) + testing::U16(0) + testing::U16(static_cast<unsigned>(times.size()));
    for (double t : times) bytes += testing::F64(t) + testing::F32(0) + testing::F32(0) + testing::F32(0) + testing::F32(1);
    return bytes;
  };
  WriteFile(dir / "far.anm", animation({1e17}));
  ASSERT_EQ(ReadFile(dir / "far.anm").size(), 41u);
  WriteFile(dir / "wide.anm", animation({-1.7e308, 1.7e308}));
  WriteFile(dir / "low.anm", animation({-1.7e308}));  // its first mark is at -infinity
  testing::ProcessOptions bounded;
  bounded.beforeExec = [] { testing::LimitProcessorSeconds(60); };
  for (const char* name : {"far.anm", "wide.anm", "low.anm"}) {
    const auto r = testing::RunQXInspect({dir / name, "--render", dir / "a.png", "--size", "64"}, bounded);
    ASSERT_EQ(r.signal, 0) << name << " did not end";
    ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
    EXPECT_GE(Drawn(ReadFile(dir / "a.png")).first, 10u) << name;  // the axes
  }
}

// The BVH's joints with their parents and offsets, from its plain HIERARCHY text
// (End Sites left out: they are no nodes a channel moves).
struct BvhJoint {
  std::string parent;
  double offset[3];
};
std::map<std::string, BvhJoint> BvhJoints(const std::string& text) {
  std::map<std::string, BvhJoint> joints;
  std::vector<std::string> open;  // the joint each open brace belongs to ("" for an End Site)
  std::istringstream words(text.substr(0, text.find("MOTION")));
  std::string next, word;
  while (words >> word) {
    if (word == "ROOT" || word == "JOINT") {
      words >> next;
      std::string parent;
      for (auto it = open.rbegin(); it != open.rend() && parent.empty(); ++it) parent = *it;
      joints[next] = {parent, {0, 0, 0}};
    } else if (word == "End") {
      next.clear();
    } else if (word == "{") {
      open.push_back(next);
    } else if (word == "}") {
      open.pop_back();
    } else if (word == "OFFSET" && !open.empty() && !open.back().empty()) {
      for (double& c : joints[open.back()].offset) words >> c;
    }
  }
  return joints;
}

double Distance(const examine::Point& a, const examine::Point& b) {
  return std::sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) + (a[2] - b[2]) * (a[2] - b[2]));
}

// Converts source as an animation with its report, dir/run.anm and dir/run.json, and
// reads both back.
void ConvertAnimationWithReport(const std::string& source, const TempDir& dir, report::Report* report,
                                reader::AssetFile* asset) {
  ASSERT_EQ(RunQXConvert({"anm", source, dir / "run.anm", "-report=" + dir / "run.json"}).exitCode, 0);
  std::string error;
  ASSERT_TRUE(report::FromJson(ReadFile(dir / "run.json"), report, &error)) << error;
  ASSERT_TRUE(reader::ReadAssetFile(dir / "run.anm", asset, &error)) << error;
}

// A BVH converted with its report: the report's skeleton is the file's joint hierarchy,
// parents first; posed at two times every bone keeps the length of its joint's offset
// while the joints move; --render --time draws the two poses differently, and without
// the skeleton (no report, or one older than the skeleton) the time changes nothing.
// A skeleton field of the wrong type or a parent after its child is refused by name.
TEST(Skeleton, TheReportPosesTheBvhHierarchyAndTheThumbnailFollowsTheTime) {
  const std::string bvh = "/usr/share/assimp/models/BVH/01_03.bvh";
  if (!testing::FileExists(bvh)) GTEST_SKIP() << "needs Debian's assimp-testmodels";
  TempDir dir;
  report::Report report;
  reader::AssetFile asset;
  ASSERT_NO_FATAL_FAILURE(ConvertAnimationWithReport(bvh, dir, &report, &asset));
  std::string error;
  const std::vector<report::Node>& skeleton = report.scene.skeleton;
  const std::map<std::string, BvhJoint> joints = BvhJoints(ReadFile(bvh));
  ASSERT_EQ(joints.size(), 31u);
  ASSERT_EQ(skeleton.size(), joints.size());
  for (std::size_t i = 0; i < skeleton.size(); ++i) {
    const report::Node& node = skeleton[i];
    ASSERT_EQ(joints.count(node.name), 1u) << node.name;
    EXPECT_TRUE(node.animated) << node.name;
    ASSERT_LT(node.parent, static_cast<std::int32_t>(i)) << node.name;
    EXPECT_EQ(node.parent < 0 ? "" : skeleton[node.parent].name, joints.at(node.name).parent) << node.name;
  }

  const report::Animation& described = report.scene.animations.at(0);
  const double rate = examine::TicksPerSecond(described);
  ASSERT_NEAR(rate, 120, 0.01);  // Frame Time: 0.008333
  const auto early = examine::PoseAt(skeleton, described, asset.animations.at(0), 0.5 * rate);
  const auto late = examine::PoseAt(skeleton, described, asset.animations.at(0), 2.5 * rate);
  double moved = 0;
  for (std::size_t i = 0; i < skeleton.size(); ++i) {
    if (skeleton[i].parent < 0) continue;
    const double* offset = joints.at(skeleton[i].name).offset;
    const double length = std::sqrt(offset[0] * offset[0] + offset[1] * offset[1] + offset[2] * offset[2]);
    for (const auto* pose : {&early, &late}) {
      EXPECT_NEAR(Distance((*pose)[i], (*pose)[skeleton[i].parent]), length, 1e-3 * (1 + length))
          << skeleton[i].name;
    }
    // Measured from the root, so the run across the floor does not count.
    moved = std::max(moved, std::fabs(Distance(early[i], early[0]) - Distance(late[i], late[0])));
  }
  EXPECT_GT(moved, 1.0);  // a limb bends: some joint nears or leaves the hips by a unit

  const auto render = [&](const std::vector<std::string>& extra, const std::string& png) {
    std::vector<std::string> args = {dir / "run.anm", "--render", dir / png, "--size", "128"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = RunQXInspect(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return ReadFile(dir / png);
  };
  const std::string posed0 = render({"--report", dir / "run.json", "--time", "0.5"}, "p0.png");
  const std::string posed1 = render({"--report", dir / "run.json", "--time", "2.5"}, "p1.png");
  EXPECT_EQ(render({"--time", "0.5"}, "n0.png"), render({"--time", "2.5"}, "n1.png"));
  nlohmann::json older = nlohmann::json::parse(ReadFile(dir / "run.json"));
  older.erase("skeleton");
  older["schemaMinor"] = 1;
  WriteFile(dir / "older.json", older.dump(2));
  const std::string unposed = render({"--report", dir / "older.json", "--time", "0.5"}, "o0.png");
  EXPECT_EQ(unposed, render({"--report", dir / "older.json", "--time", "2.5"}, "o1.png"));
  // The joints' dots, in their own colour, are drawn only with the skeleton, and sit
  // elsewhere at the other time (the pictures' time labels differ in any case).
  auto dots = [](const std::string& png) {
    int width = 0, height = 0, channels = 0;
    stbi_uc* pixels = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(png.data()),
                                            static_cast<int>(png.size()), &width, &height, &channels, 4);
    std::set<int> at;
    for (int i = 0; pixels != nullptr && i < width * height; ++i) {
      if (pixels[4 * i] == 220 && pixels[4 * i + 1] == 90 && pixels[4 * i + 2] == 40) at.insert(i);
    }
    stbi_image_free(pixels);
    return at;
  };
  EXPECT_GE(dots(posed0).size(), 9u * 10);  // 31 dots of 3 x 3 pixels, overlapping where joints meet
  EXPECT_NE(dots(posed0), dots(posed1));
  EXPECT_TRUE(dots(unposed).empty());

  for (const auto& [field, value] : {std::pair<std::string, nlohmann::json>{"parent", "0"},
                                     {"parent", 5}, {"rotation", {0, 0, 1}}, {"animated", 1}}) {
    nlohmann::json wrong = nlohmann::json::parse(ReadFile(dir / "run.json"));
    wrong["skeleton"][2][field] = value;
    WriteFile(dir / "wrong.json", wrong.dump(2));
    const auto r = RunQXInspect({dir / "run.anm", "--report", dir / "wrong.json"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the report " + dir / "wrong.json" + " cannot be read: skeleton[2]." + field),
              std::string::npos) << r.err;
  }
}

// Assimp's LWS importer puts the keys before the first frame after it (times 0, -72,
// -51, -21, 0, ...). Where one pair of neighbouring keys holds a time, the pose lies
// between them, as the page, which halves the list, puts it; reading from the front
// stopped at the first key (time 0) instead.
TEST(Skeleton, KeysOutOfTimeOrderPoseBetweenTheNeighboursAroundTheTime) {
  const std::string lws = "/usr/share/assimp/models/LWS/move_y_pre_ofrep_post_osc.lws";
  if (!testing::FileExists(lws)) GTEST_SKIP() << "needs Debian's assimp-testmodels";
  TempDir dir;
  report::Report report;
  reader::AssetFile asset;
  ASSERT_NO_FATAL_FAILURE(ConvertAnimationWithReport(lws, dir, &report, &asset));
  const std::vector<report::Node>& skeleton = report.scene.skeleton;
  ASSERT_EQ(skeleton.size(), 2u);  // the scene's root, identity, and the moving node
  ASSERT_TRUE(skeleton[1].animated);
  const reader::KeySpan& keys = asset.animations.at(0).channels[0].positions;
  int tested = 0;
  for (std::size_t k = 0; k + 1 < keys.size(); ++k) {
    const double t = (keys[k].time + keys[k + 1].time) / 2;
    int around = 0;
    for (std::size_t j = 0; j + 1 < keys.size(); ++j) around += keys[j].time <= t && t < keys[j + 1].time;
    if (keys[k].time >= keys[k + 1].time || around != 1) continue;
    const auto joints = examine::PoseAt(skeleton, report.scene.animations.at(0), asset.animations.at(0), t);
    EXPECT_NEAR(joints[1][1], (keys[k].y + keys[k + 1].y) / 2, 1e-5) << "at " << t;
    ++tested;
  }
  EXPECT_GE(tested, 3);  // (-72, -51), (-51, -21) and (0, 30) at least
}

TEST(Inspect, InvalidFilesAndUsageErrorsHaveTheirOwnExitCodes) {
  TempDir dir;
  WriteFile(dir / "bad.mdl", "QMDL\x01");
  WriteFile(dir / "good.img", testing::Header("QTEX") + "px");
  const auto bad = RunQXInspect({dir / "bad.mdl", dir / "good.img"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_EQ(bad.err, "QXInspect: " + dir / "bad.mdl" +
                         ": file is 5 bytes, shorter than the 7-byte header\n");
  EXPECT_NE(bad.out.find("good.img: texture"), std::string::npos);

  EXPECT_EQ(RunQXInspect({}).exitCode, 2);
  EXPECT_EQ(RunQXInspect({"--full", dir / "good.img"}).exitCode, 2);
  EXPECT_EQ(RunQXInspect({"--bogus", dir / "good.img"}).exitCode, 2);
  EXPECT_EQ(RunQXInspect({dir / "good.img", dir / "good.img", "--extract", dir / "o"}).exitCode, 2);
  const auto help = RunQXInspect({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--verify"), std::string::npos);
  const auto version = RunQXInspect({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "QXInspect " QX_VERSION "\n");
}

}  // namespace
}  // namespace qx
