#include "reader/asset_reader.h"

#include <gtest/gtest.h>

#include "asset/asset.h"
#include "convert/animation_payload.h"
#include "convert/model_payload.h"
#include "testing/cursor.h"
#include "testing/face_size_oracle.h"
#include "testing/scenes.h"
#include "testing/temp_dir.h"

namespace qx::reader {
namespace {

using qx::testing::Header;
using qx::testing::MeshShape;
using qx::testing::TempDir;

bool Read(const std::string& file, AssetFile* asset, std::string* error) {
  return ReadAsset(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), asset, error);
}

std::string ReadError(const std::string& file) {
  AssetFile asset;
  std::string error;
  EXPECT_FALSE(Read(file, &asset, &error));
  return error;
}

// The file the converter would write for a scene, plain or scrambled.
std::string SaveModel(const aiScene& scene, bool scramble) {
  Asset asset;
  std::string error;
  EXPECT_TRUE(EncodeModel(scene, asset.payload, &error)) << error;
  asset.typeTag = "QMDL";
  asset.loaded = true;
  TempDir dir;
  AssetKey key;
  DeriveAssetKey(kPassPhrase, key);
  EXPECT_TRUE(asset.Save(dir / "m", scramble, key)) << asset.errorText;
  return qx::testing::ReadFile(dir / "m");
}

using testing::F32;
using testing::U16;
using testing::U32;

MeshShape Shape(const std::string& name, std::size_t vertices,
                std::vector<std::vector<unsigned>> faces) {
  MeshShape shape;
  shape.name = name;
  for (std::size_t v = 0; v < vertices; ++v) {
    shape.positions.push_back({float(v), float(v) * 2, -float(v)});
  }
  shape.faces = std::move(faces);
  return shape;
}

TEST(ReadModel, RoundTripsEveryFieldScrambledAndPlain) {
  MeshShape triangles = Shape("tris", 4, {{0, 1, 2}, {2, 3, 0}});
  triangles.material = 7;
  triangles.normals = {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}, {0, 0, -1}};
  triangles.uvs = {{0.5f, 0.25f, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
  const MeshShape lines = Shape("lines", 3, {{0, 1}, {1, 2}});
  const MeshShape points = Shape("", 2, {{1}, {0}, {1}});
  const MeshShape cloud = Shape("cloud", 1, {});
  auto scene = qx::testing::MakeModelScene({triangles, lines, points, cloud});
  for (bool scramble : {false, true}) {
    AssetFile asset;
    std::string error;
    ASSERT_TRUE(Read(SaveModel(*scene, scramble), &asset, &error)) << error;
    EXPECT_EQ(asset.typeTag, "QMDL");
    EXPECT_EQ(asset.kind, AssetKind::Model);
    EXPECT_EQ(asset.scrambled, scramble);
    ASSERT_EQ(asset.meshes.size(), 4u);
    const Mesh& t = asset.meshes[0];
    EXPECT_EQ(t.name, "tris");
    EXPECT_EQ(t.materialIndex, 7u);
    ASSERT_EQ(t.positions.size(), 4u);
    EXPECT_EQ(t.positions[3].y, 6.0f);
    EXPECT_EQ(t.faceCount, 2u);
    EXPECT_EQ(t.indicesPerFace, 3u);
    EXPECT_EQ(t.indices, (std::vector<std::uint32_t>{0, 1, 2, 2, 3, 0}));
    ASSERT_TRUE(t.hasNormals);
    EXPECT_EQ(t.normals[3].z, -1.0f);
    ASSERT_TRUE(t.hasTextureCoords);
    EXPECT_EQ(t.textureCoords[0].u, 0.5f);
    EXPECT_EQ(t.textureCoords[0].v, 0.25f);
    EXPECT_EQ(asset.meshes[1].indicesPerFace, 2u);
    EXPECT_EQ(asset.meshes[1].indices, (std::vector<std::uint32_t>{0, 1, 1, 2}));
    EXPECT_EQ(asset.meshes[2].name, "");
    EXPECT_EQ(asset.meshes[2].indicesPerFace, 1u);
    EXPECT_EQ(asset.meshes[2].faceCount, 3u);
    EXPECT_EQ(asset.meshes[3].faceCount, 0u);
    EXPECT_FALSE(asset.meshes[3].hasNormals);
  }
}

TEST(ReadModel, FaceSizeFollowsFromTheBlocksThatComeAfter) {
  // The points are tried as triangles and as lines first; only as points do the
  // flags and the blocks behind them line up.
  const MeshShape points = Shape("p", 6, {{0}, {1}, {2}, {3}, {4}, {5}});
  const MeshShape tris = Shape("t", 3, {{0, 1, 2}, {0, 1, 2}});
  auto scene = qx::testing::MakeModelScene({points, tris, points});
  AssetFile asset;
  std::string error;
  ASSERT_TRUE(Read(SaveModel(*scene, false), &asset, &error)) << error;
  EXPECT_EQ(asset.meshes[0].indicesPerFace, 1u);
  EXPECT_EQ(asset.meshes[1].indicesPerFace, 3u);
  EXPECT_EQ(asset.meshes[2].indicesPerFace, 1u);

  // The most meshes a file holds, each of points or lines that are tried as larger
  // faces first: the search's work limit, which stops hostile files, leaves this whole.
  std::vector<MeshShape> many;
  for (int m = 0; m < 65535; ++m) {
    many.push_back(m % 3 == 0 ? Shape("", 2, {{0, 1}}) : m % 3 == 1 ? Shape("", 1, {{0}}) : Shape("", 0, {}));
  }
  ASSERT_TRUE(Read(SaveModel(*qx::testing::MakeModelScene(many), false), &asset, &error)) << error;
  EXPECT_EQ(asset.meshes[65533].indicesPerFace, 1u);
  EXPECT_EQ(asset.meshes[65532].indicesPerFace, 2u);
}

TEST(ReadModel, AReadingThatMeetsAHugeFaceCountCostsOnlyTheBytesLeft) {
  // Read as points, mesh 0 ends inside its own indices, and the next head found there
  // takes mesh 1's material index, 0x40000000, as its face count. That reading costs
  // nothing (its indices cannot be in the file), so the true one is still found. Real
  // files (two meshes of glTF2/draco/2CylinderEngine.gltf among them) were refused when
  // it was charged in full.
  MeshShape first = Shape("", 3, {{0, 0, 2}});
  MeshShape second = Shape("", 3, {{0, 1, 2}});
  second.material = 0x40000000;
  const std::string file = SaveModel(*qx::testing::MakeModelScene({first, second}), false);
  AssetFile asset;
  std::string error;
  ASSERT_TRUE(Read(file, &asset, &error)) << error;
  std::vector<Mesh> plain;
  const auto* payload = reinterpret_cast<const std::uint8_t*>(file.data()) + format::kHeaderSize;
  ASSERT_TRUE(qx::testing::FaceSizeOracle(payload, file.size() - format::kHeaderSize).Read(&plain));
  ASSERT_EQ(asset.meshes.size(), 2u);
  for (std::size_t m = 0; m < 2; ++m) {
    EXPECT_EQ(asset.meshes[m].indicesPerFace, plain[m].indicesPerFace);
    EXPECT_EQ(asset.meshes[m].possibleFaceSizes, plain[m].possibleFaceSizes);
    EXPECT_EQ(asset.meshes[m].indices, plain[m].indices);
  }
  EXPECT_EQ(asset.meshes[1].materialIndex, 0x40000000u);
}

TEST(ReadModel, EveryTruncationIsAnErrorThatNamesItsPlace) {
  const MeshShape mesh = Shape("m", 3, {{0, 1, 2}});
  const std::string whole = SaveModel(*qx::testing::MakeModelScene({mesh, mesh}), false);
  for (std::size_t size = 0; size < whole.size(); ++size) {
    EXPECT_FALSE(ReadError(whole.substr(0, size)).empty()) << size;
  }
  // Header 7 + count 2 + name 3 + material and count 8: positions start at byte 20.
  EXPECT_EQ(ReadError(whole.substr(0, 30)),
            "model payload ends inside mesh 0 positions at byte 20");
  const std::size_t secondMesh = (whole.size() - 9) / 2 + 9;
  EXPECT_EQ(ReadError(whole.substr(0, secondMesh + 1)),
            "model payload ends inside mesh 1 name length at byte " + std::to_string(secondMesh));
  EXPECT_EQ(ReadError(whole + "xy"),
            "model payload has 2 bytes left over after the last mesh at byte " +
                std::to_string(whole.size()));
}

TEST(ReadModel, HostileCountsAndValuesAreRefusedWithoutAllocating) {
  const std::string hugeVertices = Header("QMDL") + U16(1) + U16(0) + U32(0) + U32(0xFFFFFFFF);
  EXPECT_EQ(ReadError(hugeVertices), "model payload ends inside mesh 0 positions at byte 19");

  const std::string base =
      Header("QMDL") + U16(1) + U16(0) + U32(0) + U32(1) + F32(1) + F32(2) + F32(3) + U32(1);
  // One vertex, one face: triangles are tried first, so their errors are the ones told.
  EXPECT_EQ(ReadError(base + U32(0) + U32(5) + U32(0) + '\0' + '\0'),
            "model payload has an index outside mesh 0's vertices at byte 39");
  EXPECT_EQ(ReadError(base + U32(0) + U32(0) + U32(0) + '\2' + '\0'),
            "model payload has an invalid normals flag 2 in mesh 0 at byte 47");
  const std::string hugeFaces =
      Header("QMDL") + U16(1) + U16(0) + U32(0) + U32(0) + U32(0x40000000) + '\0' + '\0';
  EXPECT_FALSE(ReadError(hugeFaces).empty());
  // Many empty meshes claimed, few present.
  EXPECT_FALSE(ReadError(Header("QMDL") + U16(65535)).empty());
}

TEST(ReadAnimation, RoundTripsKeysAndRefusesCutsAndLeftovers) {
  qx::testing::ChannelShape channel;
  channel.positions = {aiVectorKey(0.5, aiVector3D(1, 2, 3))};
  channel.rotations = {aiQuatKey(2.0, aiQuaternion(0.5f, 0.1f, 0.2f, 0.3f))};
  auto scene = qx::testing::MakeAnimationScene({{}, {channel, channel}});
  Asset source;
  std::string error;
  ASSERT_TRUE(EncodeAnimation(*scene, source.payload, &error));
  const std::string payload = qx::testing::Content(source.payload);
  const std::string file = Header("QANM") + payload;

  AssetFile asset;
  ASSERT_TRUE(Read(file, &asset, &error)) << error;
  ASSERT_EQ(asset.animations.size(), 2u);
  EXPECT_TRUE(asset.animations[0].channels.empty());
  ASSERT_EQ(asset.animations[1].channels.size(), 2u);
  const Channel& c = asset.animations[1].channels[1];
  ASSERT_EQ(c.positions.size(), 1u);
  EXPECT_EQ(c.positions[0].time, 0.5);
  EXPECT_EQ(c.positions[0].z, 3.0f);
  EXPECT_TRUE(c.scalings.empty());
  ASSERT_EQ(c.rotations.size(), 1u);
  EXPECT_EQ(c.rotations[0].time, 2.0);
  EXPECT_EQ(c.rotations[0].x, 0.1f);
  EXPECT_EQ(c.rotations[0].w, 0.5f);

  for (std::size_t size = 7; size < file.size(); ++size) {
    EXPECT_FALSE(ReadError(file.substr(0, size)).empty()) << size;
  }
  EXPECT_EQ(ReadError(file.substr(0, 7 + 2 + 2 + 2 + 2 + 10)),
            "animation payload ends inside animation 1 channel 0 position keys at byte 15");
  // A payload may end on a key count: the last channel without rotations.
  channel.rotations.clear();
  Asset noRotations;
  ASSERT_TRUE(EncodeAnimation(*qx::testing::MakeAnimationScene({{channel}}), noRotations.payload, &error));
  ASSERT_TRUE(Read(Header("QANM") + qx::testing::Content(noRotations.payload), &asset, &error)) << error;
  EXPECT_TRUE(asset.animations[0].channels[0].rotations.empty());
  EXPECT_EQ(ReadError(file + "z"),
            "animation payload has 1 bytes left over after the last animation at byte " +
                std::to_string(file.size()));
  EXPECT_EQ(ReadError(Header("QANM") + U16(1) + U16(65535)),
            "animation payload ends inside animation 0 channels at byte 11");
}

TEST(ReadRawAssets, TextureAndAudioBytesComeBackWithTheExtension) {
  AssetFile asset;
  std::string error;
  ASSERT_TRUE(Read(Header("QTEX") + "pix", &asset, &error));
  EXPECT_EQ(std::string(asset.data.begin(), asset.data.end()), "pix");
  const std::string field = ".ogg" + std::string(12, '\0');
  ASSERT_TRUE(Read(Header("QSND") + field + "audio", &asset, &error));
  EXPECT_EQ(asset.kind, AssetKind::Sound);
  EXPECT_EQ(asset.extension, ".ogg");
  EXPECT_EQ(std::string(asset.data.begin(), asset.data.end()), "audio");
  ASSERT_TRUE(Read(Header("QMUS") + std::string(16, '\0'), &asset, &error));
  EXPECT_EQ(asset.extension, "");
  EXPECT_TRUE(asset.data.empty());

  EXPECT_EQ(ReadError(Header("QMUS") + ".ogg"),
            "music payload ends inside the extension field at byte 7");
  EXPECT_EQ(ReadError(Header("QMUS") + ".ogg" + std::string(5, '\0') + "x" + std::string(6, '\0')),
            "music payload has a byte after the end of the extension at byte 16");
  EXPECT_EQ(ReadError(Header("QSND") + "ogg" + std::string(13, '\0')),
            "sound payload has an extension that does not start with a dot at byte 7");
  EXPECT_EQ(ReadError(Header("QSND") + "g" + std::string(15, '\0')),
            "sound payload has an extension that does not start with a dot at byte 7");
}

TEST(ReadHeader, MalformedHeadersAreRefused) {
  EXPECT_EQ(ReadError(""), "file is 0 bytes, shorter than the 7-byte header");
  EXPECT_EQ(ReadError("QTEX\x01"), "file is 5 bytes, shorter than the 7-byte header");
  EXPECT_EQ(ReadError(std::string("QT\"\x01\x01\x00\x00", 7)), "unknown type tag \"QT\\x22\\x01\"");
  EXPECT_EQ(ReadError(std::string("QTEX\x02\x00\x00", 7)), "unsupported version 2");
  EXPECT_EQ(ReadError(std::string("QTEX\x00\x01\x00", 7)), "unsupported version 256");
  EXPECT_EQ(ReadError(std::string("QTEX\x01\x00\x02", 7)), "scrambled flag is 2, not 0 or 1");
}

TEST(ReadAssetFile, ReportsMissingFiles) {
  TempDir dir;
  AssetFile asset;
  std::string error;
  EXPECT_FALSE(ReadAssetFile(dir / "missing.mdl", &asset, &error));
  EXPECT_EQ(error, "cannot open " + dir / "missing.mdl" + ": No such file or directory");
}

}  // namespace
}  // namespace qx::reader
