// Asset: one asset file on its way out: its record, the raw loaders (texture, music,
// sound) and the one writer every asset file goes through. The file format itself is
// format/asset_format.h.
#pragma once

#include <cstdint>
#include <memory>
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

class RawSlices;

class Asset {
 public:
  // The raw loaders: check that the source opens, that its extension fits the field
  // and that its size is below the limit, and note it; Save streams it from there in
  // slices, so memory stays the same whatever the source's size. Each leaves the
  // record untouched but for errorText when it fails and sets loaded last.
  bool LoadTexture(const std::string& inputPath);
  bool LoadAudio(const std::string& inputPath, bool music);
  // Models and animations are loaded by convert/asset_loader.h into payload.

  // The one asset-file writer: the header, then the payload in slices, each scrambled
  // at its payload offset when scramble is set (an in-memory payload is scrambled in
  // place). Into an open output that the caller commits, or into a memory stream.
  bool Save(OutputFile& output, bool scramble, const AssetKey& key);
  bool Save(ByteStream& output, bool scramble, const AssetKey& key);
  // Opens the path, writes the file as above and commits it.
  bool Save(const std::string& outputPath, bool scramble, const AssetKey& key);

  std::string errorText;
  bool loaded = false;
  std::string typeTag = "FILE";
  std::uint16_t version = 1;
  ByteStream payload;

 private:
  bool LoadRaw(AssetType type, const std::string& inputPath);
  template <typename Sink>
  bool SaveTo(Sink& output, bool scramble, const AssetKey& key);

  // A texture, music or sound: its source, streamed by Save; empty for scenes.
  std::string rawSource_;
  // The source as the loader opened it, until Save streams it.
  std::shared_ptr<RawSlices> openSource_;
};

}  // namespace qx
