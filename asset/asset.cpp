#include "asset/asset.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "format/little_endian.h"
#include "platform/platform.h"

namespace qx {

std::string FileExtension(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  return dot == std::string::npos ? std::string() : path.substr(dot);
}

using format::kExtensionFieldSize;
using format::kHeaderSize;

bool EncodeExtensionField(const std::string& inputPath,
                          std::uint8_t field[format::kExtensionFieldSize], std::string* error) {
  const std::string extension = FileExtension(inputPath);
  if (extension.size() > kExtensionFieldSize) {
    // Cutting it would tell the engine the wrong decoder; refuse instead.
    *error = "File extension is longer than 16 bytes: " + extension;
    return false;
  }
  std::memset(field, 0, kExtensionFieldSize);
  std::memcpy(field, extension.data(), extension.size());
  return true;
}

namespace {

std::string TooLargeText(std::int64_t bytes, bool withField) {
  return format::TooLargeText(withField ? "File with its extension field" : "File", bytes);
}

}  // namespace

template <typename Sink>
bool StreamRawPayload(AssetType type, const std::string& inputPath, Sink& output, bool scramble,
                      const AssetKey& key, std::string* error) {
  const bool audio = type == AssetType::Music || type == AssetType::Sound;
  std::uint8_t field[kExtensionFieldSize];
  const std::size_t fieldSize = audio ? kExtensionFieldSize : 0;
  if (audio && !EncodeExtensionField(inputPath, field, error)) return false;
  ByteStream input;
  if (!input.OpenFile(inputPath, OpenMode::Read)) {
    *error = input.errorText();
    return false;
  }
  // A size the file system reports refuses what is plainly too large before anything
  // is read; a source that cannot be measured (a pipe) is judged by what is read.
  std::int64_t reported = -1;
  if (platform::Seek(input.file(), 0, SEEK_END) == 0) {
    reported = platform::Tell(input.file());
    // Left at the end, the source would read as empty and convert as such.
    if (platform::Seek(input.file(), 0, SEEK_SET) != 0) {
      *error = "Failed to read file with errno " + std::to_string(errno);
      return false;
    }
  }
  if (reported > format::kMaxPayloadSize - static_cast<std::int64_t>(fieldSize)) {
    *error = TooLargeText(reported + static_cast<std::int64_t>(fieldSize), audio);
    return false;
  }
  // Slices of 1 MiB, or less for a small file, so that a tiny conversion does not pay
  // for pages it never uses.
  std::size_t sliceSize = std::size_t{1} << 20;
  if (reported >= 0 && static_cast<std::size_t>(reported) + fieldSize < sliceSize) {
    sliceSize = std::max<std::size_t>(4096, static_cast<std::size_t>(reported) + fieldSize + 1);
  }
  std::vector<std::uint8_t> slice(sliceSize);
  std::memcpy(slice.data(), field, fieldSize);
  std::size_t prefix = fieldSize;
  std::int64_t payload = 0;
  while (true) {
    const std::size_t want = sliceSize - prefix;
    const std::size_t got = std::fread(slice.data() + prefix, 1, want, input.file());
    const std::size_t length = prefix + got;
    prefix = 0;
    if (std::ferror(input.file())) {
      *error = "Failed to read file with errno " + std::to_string(errno);
      return false;
    }
    if (payload + static_cast<std::int64_t>(length) > format::kMaxPayloadSize) {
      *error = TooLargeText(payload + static_cast<std::int64_t>(length), audio);
      return false;
    }
    if (length > 0) {
      if (scramble) {
        ScramblePayload(key, slice.data(), static_cast<std::uint32_t>(length),
                        static_cast<std::uint64_t>(payload));
      }
      if (!output.Write(slice.data(), static_cast<std::int32_t>(length))) {
        *error = output.errorText();
        return false;
      }
      payload += static_cast<std::int64_t>(length);
    }
    if (got < want) break;  // the end of the source
  }
  input.Close();
  return true;
}

template <typename Sink>
bool StreamRawAsset(AssetType type, const std::string& inputPath, Sink& output, bool scramble,
                    const AssetKey& key, std::string* error) {
  std::uint8_t header[kHeaderSize];
  format::EncodeHeader({type, format::kVersion, scramble}, header);
  if (!output.Write(header, kHeaderSize)) {
    *error = output.errorText();
    return false;
  }
  return StreamRawPayload(type, inputPath, output, scramble, key, error);
}

template bool StreamRawAsset(AssetType, const std::string&, OutputFile&, bool, const AssetKey&,
                             std::string*);
template bool StreamRawAsset(AssetType, const std::string&, ByteStream&, bool, const AssetKey&,
                             std::string*);

bool Asset::LoadTexture(const std::string& inputPath) {
  return LoadRaw(AssetType::Texture, inputPath);
}

bool Asset::LoadAudio(const std::string& inputPath, bool music) {
  return LoadRaw(music ? AssetType::Music : AssetType::Sound, inputPath);
}

// The payload is staged apart and swapped in only once every byte has arrived.
bool Asset::LoadRaw(AssetType type, const std::string& inputPath) {
  ByteStream staged;
  staged.OpenMemoryForWrite();
  if (!StreamRawPayload(type, inputPath, staged, false, AssetKey{}, &errorText)) return false;
  typeTag = format::TagOf(type);
  version = format::kVersion;
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
  if (!output.Open(outputPath) || !WriteTo(output, scramble, key) || !output.Commit()) {
    if (!output.errorText().empty()) errorText = output.errorText();
    return false;
  }
  return true;
}

bool Asset::WriteTo(OutputFile& output, bool scramble, const AssetKey& key) {
  format::Header fields{AssetType::Texture, version, scramble};
  if (!format::KindOfTag(typeTag, &fields.kind)) {
    errorText = "Cannot save an asset with type tag " + typeTag;
    return false;
  }
  std::uint8_t header[kHeaderSize];
  format::EncodeHeader(fields, header);
  // Scramble and write in slices that stay in cache between the two steps.
  constexpr std::int32_t kSlice = 1 << 20;
  const std::int32_t size = payload.Size();
  std::uint8_t* bytes = payload.GetAllData();
  if (!output.Write(header, kHeaderSize)) {
    errorText = output.errorText();
    return false;
  }
  for (std::int64_t offset = 0; offset < size; offset += kSlice) {
    const auto length = static_cast<std::int32_t>(std::min<std::int64_t>(kSlice, size - offset));
    if (scramble) {
      ScramblePayload(key, bytes + offset, static_cast<std::uint32_t>(length),
                      static_cast<std::uint64_t>(offset));
    }
    if (!output.Write(bytes + offset, length)) {
      errorText = output.errorText();
      return false;
    }
  }
  return true;
}

}  // namespace qx
