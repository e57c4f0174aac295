// Asset: the in-memory form of one asset file, and the asset-file writer.
//
// An asset file is a 7-byte header followed by the payload, which runs to the end
// of the file: no length field, no checksum, no padding.
//   offset 0  4 bytes  type tag ("QMDL", "QANM", "QTEX", "QMUS", "QSND")
//   offset 4  u16 LE   version, always 1
//   offset 6  u8       1 when the payload is scrambled, else 0
//   offset 7  N bytes  payload
// Texture payloads are the source bytes. Music and sound payloads are a 16-byte field
// holding the source's extension (dot included, zero padded) and then the source
// bytes, so the engine knows which decoder to use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asset/byte_stream.h"
#include "cipher/cipher.h"

namespace qx {

enum class AssetType { Model = 1, Animation = 2, Texture = 3, Music = 4, Sound = 5 };

inline constexpr int kHeaderSize = 7;
inline constexpr int kExtensionFieldSize = 16;

// The part of a path from its last "." (included) to the end; empty without a dot.
std::string FileExtension(const std::string& path);

class Asset {
 public:
  // Every loader leaves the record untouched but for errorText until its source has
  // been read and found usable; only then does it replace payload, typeTag and
  // version, and it sets loaded last.
  bool LoadTexture(const std::string& inputPath);
  bool LoadAudio(const std::string& inputPath, bool music);
  // Defined in convert/scene_loader.cpp. When openedFiles is given, every file the
  // import read is appended to it; when faceSizes is, each mesh's indices per face.
  bool LoadModel(const std::string& inputPath, std::vector<std::string>* openedFiles = nullptr,
                 std::vector<std::uint32_t>* faceSizes = nullptr);
  bool LoadAnimation(const std::string& inputPath, std::vector<std::string>* openedFiles = nullptr);

  // Writes the header and the payload, scrambled with key when scramble is set (the
  // in-memory payload is then scrambled too).
  bool Save(const std::string& outputPath, bool scramble, const AssetKey& key);

  std::string errorText;
  bool loaded = false;
  std::string typeTag = "FILE";
  std::uint16_t version = 1;
  ByteStream payload;

 private:
  bool LoadRaw(const std::string& inputPath, const char* tag, const std::string* extension);
};

}  // namespace qx
