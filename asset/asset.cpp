#include "asset/asset.h"

#include <cstring>
#include <limits>

#include "asset/output_file.h"
#include "endian/little_endian.h"

namespace qx {

std::string FileExtension(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  return dot == std::string::npos ? std::string() : path.substr(dot);
}

bool Asset::LoadTexture(const std::string& inputPath) {
  return LoadRaw(inputPath, "QTEX", nullptr);
}

bool Asset::LoadAudio(const std::string& inputPath, bool music) {
  const std::string extension = FileExtension(inputPath);
  if (extension.size() > kExtensionFieldSize) {
    // Cutting it would tell the engine the wrong decoder; refuse instead.
    errorText = "File extension is longer than 16 bytes: " + extension;
    return false;
  }
  return LoadRaw(inputPath, music ? "QMUS" : "QSND", &extension);
}

// Reads the whole source straight into a new payload buffer, behind the extension
// field when there is one, and swaps it in only once every byte has arrived.
bool Asset::LoadRaw(const std::string& inputPath, const char* tag, const std::string* extension) {
  ByteStream input;
  if (!input.OpenFile(inputPath, OpenMode::Read)) {
    errorText = input.errorText();
    return false;
  }
  const std::int32_t size = input.Size();
  if (size < 0) {
    errorText = input.errorText();
    return false;
  }
  const std::int32_t prefix = extension != nullptr ? kExtensionFieldSize : 0;
  if (size > std::numeric_limits<std::int32_t>::max() - prefix) {
    errorText = "File is 2 GiB or larger with its extension field, bytes " +
                std::to_string(static_cast<std::int64_t>(size) + prefix);
    return false;
  }

  ByteStream staged;
  staged.OpenMemoryForWrite();
  std::uint8_t* bytes = staged.Extend(prefix + size);
  if (extension != nullptr) {
    std::memset(bytes, 0, kExtensionFieldSize);
    std::memcpy(bytes, extension->data(), extension->size());
  }
  if (input.Read(bytes + prefix, size) != size) {
    errorText = input.errorText();
    return false;
  }
  input.Close();

  typeTag = tag;
  version = 1;
  payload = std::move(staged);
  loaded = true;
  return true;
}

bool Asset::Save(const std::string& outputPath, bool scramble, const AssetKey& key) {
  if (!loaded) {
    errorText = "Cannot save " + outputPath + ", no asset loaded";
    return false;
  }
  OutputFile output;
  if (!output.Open(outputPath)) {
    errorText = output.errorText();
    return false;
  }
  std::uint8_t header[kHeaderSize] = {};
  std::memcpy(header, typeTag.data(), std::min<std::size_t>(typeTag.size(), 4));
  StoreLE16(header + 4, version);
  header[6] = scramble ? 1 : 0;

  // Scramble and write in slices that stay in cache between the two steps. Slices
  // start on multiples of 16, so each one begins again at key byte 0.
  constexpr std::int32_t kSlice = 1 << 20;
  const std::int32_t size = payload.Size();
  std::uint8_t* bytes = payload.GetAllData();
  if (!output.Write(header, kHeaderSize)) {
    errorText = output.errorText();
    return false;
  }
  for (std::int64_t offset = 0; offset < size; offset += kSlice) {
    const auto length = static_cast<std::int32_t>(std::min<std::int64_t>(kSlice, size - offset));
    if (scramble) ScramblePayload(key, bytes + offset, static_cast<std::uint32_t>(length));
    if (!output.Write(bytes + offset, length)) {
      errorText = output.errorText();
      return false;
    }
  }
  if (!output.Commit()) {
    errorText = output.errorText();
    return false;
  }
  return true;
}

}  // namespace qx
