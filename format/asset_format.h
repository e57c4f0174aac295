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
// so the engine knows which decoder to use. Model and animation payloads are laid out
// in convert/model_payload.h and convert/animation_payload.h; the widths of their
// repeated records are here.
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

struct KindInfo {
  AssetKind kind;
  const char* tag;          // the four bytes at offset 0
  const char* name;         // "model", ... as tools print it
  const char* payloadName;  // "model payload", ... as errors name it
};

inline constexpr KindInfo kKinds[] = {
    {AssetKind::Model, "QMDL", "model", "model payload"},
    {AssetKind::Animation, "QANM", "animation", "animation payload"},
    {AssetKind::Texture, "QTEX", "texture", "texture payload"},
    {AssetKind::Music, "QMUS", "music", "music payload"},
    {AssetKind::Sound, "QSND", "sound", "sound payload"},
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
    *error = "file is " + std::to_string(size) + " bytes, shorter than the 7-byte header";
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
