// Reading QXConvert asset files back: the header, unscrambling, and every payload
// decoded into plain structs. This library has no dependency beyond the C++ standard
// library (and the converter's small cipher), so an engine can link it alone.
//
// Every file is treated as untrusted. Nothing is read outside the buffer, and a
// count is checked against the bytes that remain before anything is allocated for
// it. A malformed file yields false and a text that names what was cut short or
// wrong and at which byte of the file, for example
//   "model payload ends inside mesh 3 positions at byte 1184".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::reader {

enum class AssetKind { Model, Animation, Texture, Music, Sound };

struct Vec3 {
  float x, y, z;
};
struct Vec2 {
  float u, v;
};

struct Mesh {
  std::string name;
  std::uint32_t materialIndex = 0;
  std::vector<Vec3> positions;
  // The file stores the face count and then every index; a mesh holds a single
  // primitive kind, so each face has indicesPerFace (1, 2 or 3) indices. 0 without faces.
  std::uint32_t faceCount = 0;
  std::uint32_t indicesPerFace = 0;
  std::vector<std::uint32_t> indices;
  bool hasNormals = false;
  std::vector<Vec3> normals;
  bool hasTextureCoords = false;
  std::vector<Vec2> textureCoords;
};

struct VectorKey {
  double time;
  float x, y, z;
};
struct RotationKey {
  double time;
  float x, y, z, w;  // w is the scalar part
};

struct Channel {
  std::vector<VectorKey> positions;
  std::vector<VectorKey> scalings;
  std::vector<RotationKey> rotations;
};

struct Animation {
  std::vector<Channel> channels;
};

struct AssetFile {
  std::string typeTag;  // "QMDL", "QANM", "QTEX", "QMUS" or "QSND"
  AssetKind kind = AssetKind::Texture;
  std::uint16_t version = 0;
  bool scrambled = false;
  std::uint32_t payloadSize = 0;

  std::vector<std::uint8_t> data;     // texture: the source bytes; music and sound: the audio bytes
  std::string extension;              // music and sound: the source's extension, dot included
  std::vector<Mesh> meshes;           // model
  std::vector<Animation> animations;  // animation
};

// Decodes a whole asset file held in memory.
bool ReadAsset(const std::uint8_t* bytes, std::size_t size, AssetFile* asset, std::string* error);

// Reads and decodes the asset file at path.
bool ReadAssetFile(const std::string& path, AssetFile* asset, std::string* error);

const char* KindName(AssetKind kind);  // "model", "animation", "texture", "music", "sound"

}  // namespace qx::reader
