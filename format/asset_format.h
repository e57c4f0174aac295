// The asset file format, defined once: the converter writes it, the reader and
// QXInspect read it, the fuzzers check it, and all of them take its constants here.
//
// An asset file is a 7-byte header followed by the payload, which runs to the end of
// the file: no length field, no checksum, no padding. All numbers are little-endian.
//   offset 0  4 bytes  type tag: "QMDL", "QANM", "QTEX", "QMUS" or "QSND"
//   offset 4  u16      version, always 1
//   offset 6  u8       1 when the payload is scrambled, else 0
//   offset 7  N bytes  payload
// Texture payloads are the source bytes. Music and sound payloads are a 16-byte field
// holding the source's extension (dot included, zero padded), then the source bytes,
// so the engine knows which decoder to use.
//
// The model payload: static geometry of every mesh of an imported scene.
//   u16 mesh count, then per mesh, back to back:
//     u16 name length N, N name bytes (no terminator)
//     u32 material index
//     u32 vertex count V, V x (f32 x, y, z)
//     u32 face count F, then every index of every face as u32 (no per-face count:
//         after triangulation a mesh holds one primitive kind)
//     u8 normals flag, then V x (f32 x, y, z) when 1
//     u8 texture-coordinate flag, then V x (f32 u, v) of the first set when 1
//
// The animation payload: key lists of every channel of every animation of a scene.
// Channels and animations are known only by their place; names, durations and tick
// rates are not stored.
//   u16 animation count, then per animation:
//     u16 channel count, then per channel:
//       u16 P, P x (f64 time, f32 x, y, z)        position keys
//       u16 S, S x (f64 time, f32 x, y, z)        scaling keys
//       u16 R, R x (f64 time, f32 x, y, z, w)     rotation keys, scalar last
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "format/little_endian.h"

namespace qx::format {

// The kind of asset, numbered as the command line's types are listed.
enum class AssetKind : std::uint8_t { Model = 1, Animation = 2, Texture = 3, Music = 4, Sound = 5 };

inline constexpr std::size_t kHeaderSize = 7;
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kExtensionFieldSize = 16;

// Model payload records: per vertex, a position and a normal (f32 x, y, z) and a
// texture coordinate (f32 u, v); per index, a u32.
inline constexpr std::size_t kPositionWidth = 12;
inline constexpr std::size_t kNormalWidth = 12;
inline constexpr std::size_t kTextureCoordWidth = 8;
inline constexpr std::size_t kIndexWidth = 4;
// Animation keys: f64 time, then f32 x, y, z (position, scaling) or x, y, z, w
// (rotation, w the scalar part).
inline constexpr std::size_t kVectorKeyWidth = 20;
inline constexpr std::size_t kRotationKeyWidth = 24;
// The fixed fields around them: counts of u16 and u32, flags of u8.
inline constexpr std::size_t kCountWidth = 2;       // mesh, name length, animation, channel, keys
inline constexpr std::size_t kMeshFieldWidth = 4;   // material index, vertex and face counts
inline constexpr std::size_t kFlagWidth = 1;        // normals, texture coordinates
// The smallest blocks: a mesh with no name, vertices or faces, and a channel without keys.
inline constexpr std::size_t kMinMeshSize = kCountWidth + 3 * kMeshFieldWidth + 2 * kFlagWidth;
inline constexpr std::size_t kMinChannelSize = 3 * kCountWidth;
// The most a u16 count holds; a scene with more of anything is refused, not cut.
inline constexpr std::uint32_t kMaxCount = 0xFFFF;

// The largest payload, and the largest file read on the way to one: sizes and offsets
// are held as 32-bit signed numbers, so 2 GiB or more is refused, in these words,
// naming what is too large ("File", "Model payload").
inline constexpr std::int64_t kMaxPayloadSize = 0x7FFFFFFF;
inline std::string TooLargeText(const std::string& what, std::int64_t bytes) {
  return what + " is 2 GiB or larger, bytes " + std::to_string(bytes);
}

struct KindInfo {
  AssetKind kind;
  const char* tag;          // the four bytes at offset 0
  const char* name;         // "model", ... as tools print it
  const char* payloadName;  // "model payload", ... as errors name it
  const char* typeName;     // "mdl", ... as QXConvert's first argument names it
  const char* extension;    // ".mdl", ... as the build rules name converted files
};

// In command-line order: a kind's number is its place here, plus one.
inline constexpr KindInfo kKinds[] = {
    {AssetKind::Model, "QMDL", "model", "model payload", "mdl", ".mdl"},
    {AssetKind::Animation, "QANM", "animation", "animation payload", "anm", ".anm"},
    {AssetKind::Texture, "QTEX", "texture", "texture payload", "tex", ".img"},
    {AssetKind::Music, "QMUS", "music", "music payload", "mus", ".mus"},
    {AssetKind::Sound, "QSND", "sound", "sound payload", "snd", ".snd"},
};

inline const KindInfo& InfoOf(AssetKind kind) {
  return kKinds[static_cast<std::size_t>(kind) - 1];
}

inline const char* TagOf(AssetKind kind) { return InfoOf(kind).tag; }

// The kind whose tag is tag; false for any other text.
inline bool KindOfTag(const std::string& tag, AssetKind* kind) {
  for (const KindInfo& info : kKinds) {
    if (tag == info.tag) {
      *kind = info.kind;
      return true;
    }
  }
  return false;
}

struct Header {
  AssetKind kind = AssetKind::Texture;
  std::uint16_t version = kVersion;
  bool scrambled = false;
};

inline void EncodeHeader(const Header& header, std::uint8_t out[kHeaderSize]) {
  std::memcpy(out, TagOf(header.kind), 4);
  StoreLE16(out + 4, header.version);
  out[6] = header.scrambled ? 1 : 0;
}

// Reads the header of a file of size bytes. Anything but a known tag, version 1 and a
// flag of 0 or 1 is refused, with *error saying what.
inline bool DecodeHeader(const std::uint8_t* bytes, std::size_t size, Header* header,
                         std::string* error) {
  if (size < kHeaderSize) {
    *error = "file is " + std::to_string(size) + " bytes, shorter than the " +
             std::to_string(kHeaderSize) + "-byte header";
    return false;
  }
  const KindInfo* found = nullptr;
  for (const KindInfo& info : kKinds) {
    if (std::memcmp(bytes, info.tag, 4) == 0) found = &info;
  }
  if (found == nullptr) {
    std::string tag;
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t c = bytes[i];
      if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
        tag += static_cast<char>(c);
      } else {
        static const char kHex[] = "0123456789ABCDEF";
        tag += std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
      }
    }
    *error = "unknown type tag \"" + tag + "\"";
    return false;
  }
  const std::uint16_t version = LoadLE16(bytes + 4);
  if (version != kVersion) {
    *error = "unsupported version " + std::to_string(version);
    return false;
  }
  if (bytes[6] > 1) {
    *error = "scrambled flag is " + std::to_string(bytes[6]) + ", not 0 or 1";
    return false;
  }
  header->kind = found->kind;
  header->version = version;
  header->scrambled = bytes[6] == 1;
  return true;
}

}  // namespace qx::format
