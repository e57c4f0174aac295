// Model and animation loaders over real files that Assimp imports. Expected values
// come from the source text of each file, not from the encoder.
#include <gtest/gtest.h>

#include "convert/asset_loader.h"

#include <assimp/Importer.hpp>
#include <cmath>

#include "asset/asset.h"
#include "testing/cursor.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::Content;
using testing::Cursor;
using testing::TempDir;
using testing::WriteFile;

constexpr const char kQuadObj[] =
    "o Quad\n"
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
    "vn 0 0 1\n"
    "f 1/1/1 2/2/1 3/3/1 4/4/1\n";

// One triangle (0,0,0) (2,0,0) (0,3,0), indices 0 1 2, in an embedded buffer.
constexpr const char kTriangleGltf[] = R"({"asset":{"version":"2.0"},"scene":0,
  "scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],
  "meshes":[{"name":"Tri","primitives":[{"attributes":{"POSITION":0},"indices":1}]}],
  "buffers":[{"byteLength":44,"uri":"data:application/octet-stream;base64,AAAAAAAAAAAAAAAAAAAAQAAAAAAAAAAAAAAAAAAAQEAAAAAAAAABAAIAAAA="}],
  "bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36},{"buffer":0,"byteOffset":36,"byteLength":6}],
  "accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[2,3,0]},
               {"bufferView":1,"componentType":5123,"count":3,"type":"SCALAR"}]})";

// Two joints, two frames. Frame 1 moves the hips to (2,1,0) and turns them 90
// degrees about X; the knee turns 90 degrees about Y.
constexpr const char kWalkBvh[] =
    "HIERARCHY\nROOT Hips\n{\n OFFSET 0 0 0\n"
    " CHANNELS 6 Xposition Yposition Zposition Zrotation Xrotation Yrotation\n"
    " JOINT Knee\n {\n  OFFSET 0 -1 0\n  CHANNELS 3 Zrotation Xrotation Yrotation\n"
    "  End Site\n  {\n   OFFSET 0 -1 0\n  }\n }\n}\n"
    "MOTION\nFrames: 2\nFrame Time: 0.5\n"
    "0 1 0 0 0 0 0 0 0\n"
    "2 1 0 0 90 0 0 0 90\n";

void ExpectVector(Cursor& c, float x, float y, float z) {
  EXPECT_FLOAT_EQ(c.F32(), x);
  EXPECT_FLOAT_EQ(c.F32(), y);
  EXPECT_FLOAT_EQ(c.F32(), z);
}

TEST(LoadModel, ObjQuadIsTriangulatedWithFlippedTextureCoordinates) {
  TempDir dir;
  WriteFile(dir / "quad.obj", kQuadObj);
  Asset asset;
  ASSERT_TRUE(LoadModel(dir / "quad.obj", &asset)) << asset.errorText;
  EXPECT_EQ(asset.typeTag, "QMDL");
  EXPECT_TRUE(asset.loaded);
  Cursor c(Content(asset.payload));
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.U16(), 4);
  EXPECT_EQ(c.Bytes(4), "Quad");
  EXPECT_EQ(c.U32(), 0u);  // the importer's default material
  ASSERT_EQ(c.U32(), 4u);
  ExpectVector(c, 0, 0, 0);
  ExpectVector(c, 1, 0, 0);
  ExpectVector(c, 1, 1, 0);
  ExpectVector(c, 0, 1, 0);
  ASSERT_EQ(c.U32(), 2u);
  std::vector<unsigned> indices;
  for (int i = 0; i < 6; ++i) indices.push_back(c.U32());
  // Two triangles that cover the quad, each using three distinct corners.
  EXPECT_EQ(indices, (std::vector<unsigned>{0, 1, 2, 0, 2, 3}));
  ASSERT_EQ(c.U8(), 1);
  for (int v = 0; v < 4; ++v) ExpectVector(c, 0, 0, 1);
  ASSERT_EQ(c.U8(), 1);
  const float flipped[] = {0, 1, 1, 1, 1, 0, 0, 0};  // v becomes 1 - v
  for (float value : flipped) EXPECT_FLOAT_EQ(c.F32(), value);
  EXPECT_EQ(c.remaining(), 0u);
}

TEST(LoadModel, GltfTriangleWithoutNormalsOrTextureCoordinates) {
  if (const char* why = testing::Unavailable(testing::Need::kAssimpGltf)) GTEST_SKIP() << why;
  TempDir dir;
  WriteFile(dir / "tri.gltf", kTriangleGltf);
  Asset asset;
  ASSERT_TRUE(LoadModel(dir / "tri.gltf", &asset)) << asset.errorText;
  Cursor c(Content(asset.payload));
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.U16(), 3);
  EXPECT_EQ(c.Bytes(3), "Tri");
  c.U32();
  ASSERT_EQ(c.U32(), 3u);
  ExpectVector(c, 0, 0, 0);
  ExpectVector(c, 2, 0, 0);
  ExpectVector(c, 0, 3, 0);
  ASSERT_EQ(c.U32(), 1u);
  EXPECT_EQ(c.U32(), 0u);
  EXPECT_EQ(c.U32(), 1u);
  EXPECT_EQ(c.U32(), 2u);
  EXPECT_EQ(c.U8(), 0);
  EXPECT_EQ(c.U8(), 0);
  EXPECT_EQ(c.remaining(), 0u);
}

TEST(LoadAnimation, BvhKeysCarryFrameTimesPositionsAndRotations) {
  TempDir dir;
  WriteFile(dir / "walk.bvh", kWalkBvh);
  Asset asset;
  ASSERT_TRUE(LoadAnimation(dir / "walk.bvh", &asset)) << asset.errorText;
  EXPECT_EQ(asset.typeTag, "QANM");
  Cursor c(Content(asset.payload));
  const float half = std::sqrt(0.5f);
  EXPECT_EQ(c.U16(), 1);
  ASSERT_EQ(c.U16(), 2);
  // Hips: moved and turned about X.
  ASSERT_EQ(c.U16(), 2);
  EXPECT_EQ(c.F64(), 0.0);
  ExpectVector(c, 0, 1, 0);
  EXPECT_EQ(c.F64(), 1.0);
  ExpectVector(c, 2, 1, 0);
  ASSERT_EQ(c.U16(), 1);
  c.F64();
  ExpectVector(c, 1, 1, 1);
  ASSERT_EQ(c.U16(), 2);
  c.F64();
  ExpectVector(c, 0, 0, 0);
  EXPECT_FLOAT_EQ(c.F32(), 1);
  EXPECT_EQ(c.F64(), 1.0);
  ExpectVector(c, half, 0, 0);
  EXPECT_FLOAT_EQ(c.F32(), half);
  // Knee: fixed at its offset, turned about Y.
  ASSERT_EQ(c.U16(), 1);
  c.F64();
  ExpectVector(c, 0, -1, 0);
  ASSERT_EQ(c.U16(), 1);
  c.Bytes(20);
  ASSERT_EQ(c.U16(), 2);
  c.Bytes(24 + 8);
  ExpectVector(c, 0, half, 0);
  EXPECT_FLOAT_EQ(c.F32(), half);
  EXPECT_EQ(c.remaining(), 0u);
}

TEST(SceneLoaderFailures, ImporterErrorsAreReportedUnchangedAndLeaveTheRecord) {
  TempDir dir;
  WriteFile(dir / "junk.fbx", "this is not a model");
  std::string expected;
  {
    Assimp::Importer importer;
    ASSERT_EQ(importer.ReadFile((dir / "junk.fbx").c_str(), 0x80800B), nullptr);
    expected = importer.GetErrorString();
  }
  ASSERT_FALSE(expected.empty());
  Asset asset;
  EXPECT_FALSE(LoadModel(dir / "junk.fbx", &asset));
  EXPECT_EQ(asset.errorText, expected);
  EXPECT_FALSE(asset.loaded);
  EXPECT_EQ(asset.typeTag, "FILE");
  EXPECT_FALSE(asset.payload.isOpen());
}

TEST(SceneLoaderFailures, MeshesWithoutAnimationsAndTheReverse) {
  TempDir dir;
  WriteFile(dir / "quad.obj", kQuadObj);
  WriteFile(dir / "walk.bvh", kWalkBvh);
  Asset animation;
  EXPECT_FALSE(LoadAnimation(dir / "quad.obj", &animation));
  EXPECT_EQ(animation.errorText, "Model has no animations");
  EXPECT_EQ(animation.typeTag, "FILE");

  WriteFile(dir / "empty.obj", "# nothing here\n");
  Asset model;
  EXPECT_FALSE(LoadModel(dir / "empty.obj", &model));
  EXPECT_FALSE(model.errorText.empty());
  EXPECT_FALSE(model.loaded);
}

}  // namespace
}  // namespace qx
