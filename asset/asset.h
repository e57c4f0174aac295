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
#include "asset/output_file.h"
#include "cipher/cipher.h"

namespace qx {

enum class AssetType { Model = 1, Animation = 2, Texture = 3, Music = 4, Sound = 5 };

inline constexpr int kHeaderSize = 7;
inline constexpr int kExtensionFieldSize = 16;

// The part of a path from its last "." (included) to the end; empty without a dot.
std::string FileExtension(const std::string& path);

// The 7-byte header of an asset file.
void EncodeHeader(const std::string& typeTag, std::uint16_t version, bool scrambled,
                  std::uint8_t header[kHeaderSize]);

// The 16-byte field that starts music and sound payloads: the source's extension,
// zero padded. False with *error when the extension does not fit.
bool EncodeExtensionField(const std::string& inputPath, std::uint8_t field[kExtensionFieldSize],
                          std::string* error);

// Converts a texture (Texture), music (Music) or sound (Sound) source straight into
// an open output in fixed-size slices, scrambling each at its payload offset: memory
// stays the same whatever the source's size. The source is read to its end, whatever
// size the file system reports (files under /proc report 0), and what was read is
// what is written. Refuses what LoadTexture and LoadAudio refuse, with the same texts.
bool StreamRawAsset(AssetType type, const std::string& inputPath, OutputFile& output,
                    bool scramble, const AssetKey& key, std::string* error);

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
  // Writes the header and the payload into an open output without committing it;
  // false when a write failed (the output's errorText says why).
  bool WriteTo(OutputFile& output, bool scramble, const AssetKey& key);

  std::string errorText;
  bool loaded = false;
  std::string typeTag = "FILE";
  std::uint16_t version = 1;
  ByteStream payload;

 private:
  bool LoadRaw(const std::string& inputPath, const char* tag, const std::uint8_t* extensionField);
};

}  // namespace qx
