// Asset: the in-memory form of one asset file, its raw loaders (texture, music, sound,
// over the one streaming path) and the asset-file writer. The file format itself is format/asset_format.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asset/byte_stream.h"
#include "format/scramble.h"
#include "files/output_file.h"
#include "format/asset_format.h"

namespace qx {

// The asset type chosen on the command line.
using AssetType = format::AssetKind;

// The part of a path from its last "." (included) to the end; empty without a dot.
std::string FileExtension(const std::string& path);

// The 16-byte field that starts music and sound payloads: the source's extension,
// zero padded. False with *error when the extension does not fit.
bool EncodeExtensionField(const std::string& inputPath,
                          std::uint8_t field[format::kExtensionFieldSize], std::string* error);

// Converts a texture (Texture), music (Music) or sound (Sound) source into the asset
// file's bytes, header first, written to output (an OutputFile for a conversion, a
// memory ByteStream for --verify) in fixed-size slices, each scrambled at its payload
// offset: memory stays the same whatever the source's size. The source is read to its
// end, whatever size the file system reports (files under /proc report 0), and what was
// read is what is written. Refuses a source of 2 GiB or more with its extension field,
// and an extension that does not fit the field.
template <typename Sink>
bool StreamRawAsset(AssetType type, const std::string& inputPath, Sink& output, bool scramble,
                    const AssetKey& key, std::string* error);

class Asset {
 public:
  // The raw loaders: the payload StreamRawAsset writes, held in memory. Each leaves the
  // record untouched but for errorText until its source has been read whole; only
  // then does it replace payload, typeTag and version, and it sets loaded last.
  bool LoadTexture(const std::string& inputPath);
  bool LoadAudio(const std::string& inputPath, bool music);
  // Models and animations are loaded by convert/scene_loader.h.

  // Writes the header and the payload, scrambled with key when scramble is set (the
  // in-memory payload is then scrambled too).
  bool Save(const std::string& outputPath, bool scramble, const AssetKey& key);
  // Writes the header and the payload into an open output without committing it;
  // false with errorText set when a write failed.
  bool WriteTo(OutputFile& output, bool scramble, const AssetKey& key);

  std::string errorText;
  bool loaded = false;
  std::string typeTag = "FILE";
  std::uint16_t version = 1;
  ByteStream payload;

 private:
  bool LoadRaw(AssetType type, const std::string& inputPath);
};

}  // namespace qx
