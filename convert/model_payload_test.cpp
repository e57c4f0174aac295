#include "convert/model_payload.h"

#include <gtest/gtest.h>

#include "testing/cursor.h"
#include "testing/scenes.h"

namespace qx {
namespace {

using testing::Cursor;
using testing::Encoded;
using testing::MakeModelScene;
using testing::MeshShape;
using testing::Refusal;

MeshShape Quad() {
  MeshShape quad;
  quad.name = "Quad";
  quad.material = 3;
  quad.positions = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  quad.faces = {{0, 1, 2}, {0, 2, 3}};
  quad.normals = {{0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}};
  return quad;
}

TEST(ModelPayload, OneMeshFieldByField) {
  const std::string payload = Encoded(EncodeModel, *MakeModelScene({Quad()}));
  // 2 + (2 + 4) + 4 + 4 + 48 + 4 + 24 + 1 + 48 + 1
  ASSERT_EQ(payload.size(), 142u);
  Cursor c(payload);
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.U16(), 4);
  EXPECT_EQ(c.Bytes(4), "Quad");
  EXPECT_EQ(c.U32(), 3u);
  EXPECT_EQ(c.U32(), 4u);
  const float positions[] = {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0};
  for (float p : positions) EXPECT_EQ(c.F32(), p);
  EXPECT_EQ(c.U32(), 2u);
  for (unsigned index : {0, 1, 2, 0, 2, 3}) EXPECT_EQ(c.U32(), index);
  EXPECT_EQ(c.U8(), 1);
  for (int v = 0; v < 4; ++v) {
    EXPECT_EQ(c.F32(), 0.0f);
    EXPECT_EQ(c.F32(), 0.0f);
    EXPECT_EQ(c.F32(), 1.0f);
  }
  EXPECT_EQ(c.U8(), 0);
  EXPECT_EQ(c.remaining(), 0u);
}

TEST(ModelPayload, ExactLittleEndianBytes) {
  MeshShape mesh;
  mesh.material = 0x01020304;
  mesh.positions = {{1.0f, -2.0f, 0.5f}};
  mesh.faces = {{0x0A0B0C0D}};
  mesh.uvs = {{0.25f, 0.75f, 9.0f}};
  const std::string expected(
      "\x01\x00"          // one mesh
      "\x00\x00"          // empty name
      "\x04\x03\x02\x01"  // material index
      "\x01\x00\x00\x00"  // one vertex
      "\x00\x00\x80\x3F"
      "\x00\x00\x00\xC0"
      "\x00\x00\x00\x3F"  // 1, -2, 0.5
      "\x01\x00\x00\x00"
      "\x0D\x0C\x0B\x0A"  // one point face
      "\x00"              // no normals
      "\x01"
      "\x00\x00\x80\x3E"
      "\x00\x00\x40\x3F",  // u 0.25, v 0.75; the third value is not written
      2 + 2 + 4 + 4 + 12 + 8 + 1 + 9);
  EXPECT_EQ(Encoded(EncodeModel, *MakeModelScene({mesh})), expected);
}

TEST(ModelPayload, NamesStopAtTheirFirstZeroByte) {
  MeshShape mesh = Quad();
  mesh.name = std::string("ab\0cd", 5);
  Cursor c(Encoded(EncodeModel, *MakeModelScene({mesh})));
  c.U16();
  EXPECT_EQ(c.U16(), 2);
  EXPECT_EQ(c.Bytes(2), "ab");
  EXPECT_EQ(c.U32(), 3u);  // the material index follows at once
}

TEST(ModelPayload, OptionalArraysFollowTheirFlags) {
  MeshShape uvOnly = Quad();
  uvOnly.normals.clear();
  uvOnly.uvs = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  Cursor c(Encoded(EncodeModel, *MakeModelScene({uvOnly})));
  c.Bytes(2 + 2 + 4 + 4 + 4 + 48 + 4 + 24);
  EXPECT_EQ(c.U8(), 0);  // normals flag, straight followed by
  EXPECT_EQ(c.U8(), 1);  // the texture-coordinate flag
  const float uvs[] = {0, 0, 1, 0, 1, 1, 0, 1};
  for (float v : uvs) EXPECT_EQ(c.F32(), v);
  EXPECT_EQ(c.remaining(), 0u);

  // One vertex is enough for its normal to be written.
  MeshShape point;
  point.positions = {{1, 2, 3}};
  point.faces = {{0}};
  point.normals = {{0, 0, 1}};
  Cursor one(Encoded(EncodeModel, *MakeModelScene({point})));
  one.Bytes(2 + 2 + 4 + 4 + 12 + 4 + 4);
  EXPECT_EQ(one.U8(), 1);
}

TEST(ModelPayload, MeshWithoutVerticesHasNoArraysEvenWhenPresent) {
  aiMesh* mesh = testing::MakeMesh({});
  mesh->mNormals = new aiVector3D[1];
  mesh->mTextureCoords[0] = new aiVector3D[1];
  auto scene = MakeModelScene({});
  scene->mNumMeshes = 1;
  scene->mMeshes = new aiMesh* [1] { mesh };
  EXPECT_EQ(Encoded(EncodeModel, *scene), std::string("\x01\x00"
                                        "\x00\x00"
                                        "\0\0\0\0"
                                        "\0\0\0\0"
                                        "\0\0\0\0"
                                        "\0"
                                        "\0",
                                        18));
}

TEST(ModelPayload, MeshesFollowInSceneOrderWithPointsAndLines) {
  MeshShape points;
  points.name = "P";
  points.positions = {{1, 2, 3}, {4, 5, 6}};
  points.faces = {{1}, {0}};
  MeshShape lines;
  lines.name = "L";
  lines.material = 1;
  lines.positions = {{0, 0, 0}, {0, 0, 1}};
  lines.faces = {{0, 1}};
  Cursor c(Encoded(EncodeModel, *MakeModelScene({points, lines})));
  EXPECT_EQ(c.U16(), 2);
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.Bytes(1), "P");
  c.Bytes(4 + 4 + 24);
  EXPECT_EQ(c.U32(), 2u);
  EXPECT_EQ(c.U32(), 1u);
  EXPECT_EQ(c.U32(), 0u);
  EXPECT_EQ(c.U8(), 0);
  EXPECT_EQ(c.U8(), 0);
  EXPECT_EQ(c.U16(), 1);
  EXPECT_EQ(c.Bytes(1), "L");
  EXPECT_EQ(c.U32(), 1u);
  c.Bytes(4 + 24);
  EXPECT_EQ(c.U32(), 1u);
  EXPECT_EQ(c.U32(), 0u);
  EXPECT_EQ(c.U32(), 1u);
  c.Bytes(2);
  EXPECT_EQ(c.remaining(), 0u);
}

TEST(ModelPayload, MeshWithoutFacesWritesFaceCountZero) {
  MeshShape cloud;
  cloud.positions = {{1, 1, 1}};
  Cursor c(Encoded(EncodeModel, *MakeModelScene({cloud})));
  c.Bytes(2 + 2 + 4 + 4 + 12);
  EXPECT_EQ(c.U32(), 0u);
  EXPECT_EQ(c.remaining(), 2u);
}

TEST(ModelPayloadRefusals, ScenesWithoutMeshes) {
  EXPECT_EQ(Refusal(EncodeModel, *MakeModelScene({})), "Model has no meshes");
  auto countButNoArray = MakeModelScene({});
  countButNoArray->mNumMeshes = 3;
  EXPECT_EQ(Refusal(EncodeModel, *countButNoArray), "Model has no meshes");
}

TEST(ModelPayloadRefusals, MeshCountBeyondSixteenBits) {
  auto scene = MakeModelScene({});
  scene->mNumMeshes = 70000;
  scene->mMeshes = new aiMesh*[70000]();
  EXPECT_EQ(Refusal(EncodeModel, *scene), "Model has 70000 meshes, more than 65535");
}

TEST(ModelPayloadRefusals, NullArraysWhereCountsPromiseEntries) {
  auto nullMesh = MakeModelScene({Quad()});
  delete nullMesh->mMeshes[0];
  nullMesh->mMeshes[0] = nullptr;
  EXPECT_EQ(Refusal(EncodeModel, *nullMesh), "Model mesh 0 is null");

  auto noPositions = MakeModelScene({Quad(), Quad()});
  delete[] noPositions->mMeshes[1]->mVertices;
  noPositions->mMeshes[1]->mVertices = nullptr;
  EXPECT_EQ(Refusal(EncodeModel, *noPositions), "Model mesh 1 has 4 vertices but no positions");

  auto noIndices = MakeModelScene({Quad()});
  delete[] noIndices->mMeshes[0]->mFaces[1].mIndices;
  noIndices->mMeshes[0]->mFaces[1].mIndices = nullptr;
  EXPECT_EQ(Refusal(EncodeModel, *noIndices),
            "Model mesh 0 face 1 has 3 indices but no index array");

  // The smallest counts that promise entries: one vertex, a point's one index.
  qx::testing::MeshShape point;
  point.positions = {aiVector3D(1, 2, 3)};
  point.faces = {{0}};
  auto onePoint = MakeModelScene({point});
  delete[] onePoint->mMeshes[0]->mFaces[0].mIndices;
  onePoint->mMeshes[0]->mFaces[0].mIndices = nullptr;
  EXPECT_EQ(Refusal(EncodeModel, *onePoint),
            "Model mesh 0 face 0 has 1 indices but no index array");
  auto oneVertex = MakeModelScene({point});
  delete[] oneVertex->mMeshes[0]->mVertices;
  oneVertex->mMeshes[0]->mVertices = nullptr;
  EXPECT_EQ(Refusal(EncodeModel, *oneVertex), "Model mesh 0 has 1 vertices but no positions");
}

}  // namespace
}  // namespace qx
