// Reading QXConvert asset files back: the header, unscrambling, and every payload
// decoded into plain structs. This library depends on nothing but the C++ standard
// library, the header-only format definition and the converter's small cipher, so an
// engine can link it alone.
//
// Every file is treated as untrusted. Nothing is read outside the buffer, a count is
// checked against the bytes that remain before anything is allocated for it, and the
// work done is bounded by a small constant times the file's size. A malformed file
// yields false and a text that names what was cut short or wrong and at which byte of
// the file, for example
//   "model payload ends inside mesh 3 positions at byte 1184".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/asset_format.h"

namespace qx::reader {

using format::AssetKind;

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
  // Every face size under which the whole file parses, in the order tried (3, 2, 1);
  // indicesPerFace is the first. The file does not store the face size, so when there
  // is more than one the bytes alone cannot tell which the converter wrote.
  std::vector<std::uint32_t> possibleFaceSizes;
  std::vector<std::uint32_t> indices;
  bool hasNormals = false;
  std::vector<Vec3> normals;
  bool hasTextureCoords = false;
  std::vector<Vec2> textureCoords;

  bool ambiguous() const { return possibleFaceSizes.size() > 1; }
};

// One animation key. Position and scaling keys hold a vector (w is 0); rotation keys
// a quaternion whose scalar part is w.
struct Key {
  double time;
  float x, y, z, w;
};
using VectorKey = Key;
using RotationKey = Key;

// A read-only run of keys inside an animation's storage.
class KeySpan {
 public:
  KeySpan() = default;
  KeySpan(const Key* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Key& operator[](std::size_t i) const { return data_[i]; }
  const Key* begin() const { return data_; }
  const Key* end() const { return data_ + size_; }

 private:
  const Key* data_ = nullptr;
  std::size_t size_ = 0;
};

// A view of one channel's three key lists.
struct Channel {
  KeySpan positions;
  KeySpan scalings;
  KeySpan rotations;
};

// The channels of one animation, stored flat: every key in one array, channel by
// channel, and 8 bytes per channel, so a file of many short channels decodes into
// little more memory than the file itself.
class ChannelList {
 public:
  std::size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  Channel operator[](std::size_t c) const;

  class Iterator {
   public:
    Iterator(const ChannelList* list, std::size_t c) : list_(list), c_(c) {}
    Channel operator*() const { return (*list_)[c_]; }
    Iterator& operator++() {
      ++c_;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return c_ != other.c_; }

   private:
    const ChannelList* list_;
    std::size_t c_;
  };
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size()); }

  // For decoders: appends a channel and returns where its keys (positions, then
  // scalings, then rotations) are to be written.
  Key* Append(std::uint16_t positions, std::uint16_t scalings, std::uint16_t rotations);
  void Reserve(std::size_t channels) { starts_.reserve(channels); }

 private:
  struct Start {
    std::uint32_t firstKey;
    std::uint16_t positions;
    std::uint16_t scalings;  // rotations run to the next channel's first key
  };
  std::vector<Key> keys_;
  std::vector<Start> starts_;
};

struct Animation {
  ChannelList channels;
};

struct AssetFile {
  std::string typeTag;  // the tag at offset 0, one of format::kKinds
  AssetKind kind = AssetKind::Texture;
  std::uint16_t version = 0;
  bool scrambled = false;
  std::uint32_t payloadSize = 0;

  std::vector<std::uint8_t> data;     // texture: the source bytes; music and sound: the audio bytes
  std::string extension;              // music and sound: the source's extension, dot included
  std::vector<Mesh> meshes;           // model
  std::vector<Animation> animations;  // animation
};

// Decodes a whole asset file held in memory. A caller that knows how many indices
// make a face in each mesh (from the source scene) passes them in faceSizes, one per
// mesh, 0 for a mesh without faces; the file is then read that way and no other.
bool ReadAsset(const std::uint8_t* bytes, std::size_t size, AssetFile* asset, std::string* error,
               const std::vector<std::uint32_t>* faceSizes = nullptr);

// Reads the whole file at path, as ReadAssetFile does before decoding it, for a caller
// that decodes it more than one way; errors are worded as below.
bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error);

// Reads and decodes the asset file at path. A file that cannot be opened or read is
// reported with its path and the system's reason, for example
// "cannot open hero.mdl: No such file or directory".
bool ReadAssetFile(const std::string& path, AssetFile* asset, std::string* error,
                   const std::vector<std::uint32_t>* faceSizes = nullptr);

const char* KindName(AssetKind kind);  // "model", "animation", "texture", "music", "sound"

}  // namespace qx::reader
