#include "asset/asset.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
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
    *error = "File extension is longer than " + std::to_string(kExtensionFieldSize) +
             " bytes: " + extension;
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

// Slices stay in cache between scrambling and writing.
constexpr std::size_t kSliceSize = std::size_t{1} << 20;

bool IsRaw(AssetType type) {
  return type == AssetType::Texture || type == AssetType::Music || type == AssetType::Sound;
}

// A payload held in memory, handed out in slices of its own buffer.
class MemorySlices {
 public:
  explicit MemorySlices(ByteStream& payload)
      : bytes_(payload.GetAllData()), size_(std::max<std::int32_t>(payload.Size(), 0)) {}
  bool Next(std::uint8_t** data, std::size_t* length, std::string*) {
    *length = std::min(kSliceSize, size_ - at_);
    *data = bytes_ + at_;
    at_ += *length;
    return true;
  }

 private:
  std::uint8_t* bytes_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// The header, then each slice scrambled at its payload offset and written.
template <typename Sink, typename Slices>
bool WriteAssetFile(Sink& output, const format::Header& header, Slices& slices,
                    const AssetKey& key, std::string* error) {
  std::uint8_t bytes[kHeaderSize];
  format::EncodeHeader(header, bytes);
  if (!output.Write(bytes, kHeaderSize)) {
    *error = output.errorText();
    return false;
  }
  std::uint64_t offset = 0;
  while (true) {
    std::uint8_t* data = nullptr;
    std::size_t length = 0;
    if (!slices.Next(&data, &length, error)) return false;
    if (length == 0) return true;
    if (header.scrambled) ScramblePayload(key, data, static_cast<std::uint32_t>(length), offset);
    if (!output.Write(data, static_cast<std::int32_t>(length))) {
      *error = output.errorText();
      return false;
    }
    offset += length;
  }
}

}  // namespace

// A raw source, a slice at a time: the extension field first for music and sound, then
// the file read to its end, whatever size the file system reports (files under /proc
// report 0); what was read is what is written.
class RawSlices {
 public:
  // Opens the source and refuses one whose reported size is plainly too large before
  // anything is read; a source that cannot be measured (a pipe) is judged as it is read.
  bool Open(AssetType type, const std::string& path, std::string* error) {
    audio_ = type == AssetType::Music || type == AssetType::Sound;
    const std::size_t fieldSize = audio_ ? kExtensionFieldSize : 0;
    if (audio_ && !EncodeExtensionField(path, field_, error)) return false;
    if (!input_.OpenFile(path, OpenMode::Read)) {
      *error = input_.errorText();
      return false;
    }
    std::int64_t reported = -1;
    if (platform::Seek(input_.file(), 0, SEEK_END) == 0) {
      reported = platform::Tell(input_.file());
      // Left at the end, the source would read as empty and convert as such.
      if (platform::Seek(input_.file(), 0, SEEK_SET) != 0) {
        *error = "Failed to read file with errno " + std::to_string(errno);
        return false;
      }
    }
    if (reported > format::kMaxPayloadSize - static_cast<std::int64_t>(fieldSize)) {
      *error = TooLargeText(reported + static_cast<std::int64_t>(fieldSize), audio_);
      return false;
    }
    // A small file gets a small slice, so a tiny conversion does not pay for pages it
    // never uses.
    std::size_t sliceSize = kSliceSize;
    if (reported >= 0 && static_cast<std::size_t>(reported) + fieldSize < sliceSize) {
      sliceSize = std::max<std::size_t>(4096, static_cast<std::size_t>(reported) + fieldSize + 1);
    }
    // Allocated by the first Next: a loader that only checks the source never reads.
    sliceSize_ = sliceSize;
    prefix_ = fieldSize;
    return true;
  }

  // The next slice, in place for the writer to scramble; *length 0 at the end.
  bool Next(std::uint8_t** data, std::size_t* length, std::string* error) {
    *length = 0;
    if (ended_) return true;
    if (slice_.empty()) {
      slice_.resize(sliceSize_);
      std::memcpy(slice_.data(), field_, prefix_);
    }
    const std::size_t want = slice_.size() - prefix_;
    const std::size_t got = std::fread(slice_.data() + prefix_, 1, want, input_.file());
    *length = prefix_ + got;
    prefix_ = 0;
    if (std::ferror(input_.file())) {
      *error = "Failed to read file with errno " + std::to_string(errno);
      return false;
    }
    read_ += static_cast<std::int64_t>(*length);
    if (read_ > format::kMaxPayloadSize) {
      *error = TooLargeText(read_, audio_);
      return false;
    }
    if (got < want) {  // the end of the source
      ended_ = true;
      input_.Close();
    }
    *data = slice_.data();
    return true;
  }

 private:
  ByteStream input_;
  std::uint8_t field_[kExtensionFieldSize] = {};
  std::size_t sliceSize_ = 0;
  std::vector<std::uint8_t> slice_;
  std::size_t prefix_ = 0;
  std::int64_t read_ = 0;
  bool audio_ = false;
  bool ended_ = false;
};


bool Asset::LoadTexture(const std::string& inputPath) {
  return LoadRaw(AssetType::Texture, inputPath);
}

bool Asset::LoadAudio(const std::string& inputPath, bool music) {
  return LoadRaw(music ? AssetType::Music : AssetType::Sound, inputPath);
}

bool Asset::LoadRaw(AssetType type, const std::string& inputPath) {
  // Kept open for Save: a source opened twice could lose what a pipe's writer sent
  // while neither held it (a named pipe as the input).
  auto source = std::make_shared<RawSlices>();
  if (!source->Open(type, inputPath, &errorText)) return false;
  rawSource_ = inputPath;
  openSource_ = std::move(source);
  typeTag = format::TagOf(type);
  version = format::kVersion;
  loaded = true;
  return true;
}

template <typename Sink>
bool Asset::SaveTo(Sink& output, bool scramble, const AssetKey& key) {
  format::Header header{AssetType::Texture, version, scramble};
  if (!loaded) {
    errorText = "Cannot save, no asset loaded";
    return false;
  }
  if (!format::KindOfTag(typeTag, &header.kind)) {
    errorText = "Cannot save an asset with type tag " + typeTag;
    return false;
  }
  if (IsRaw(header.kind)) {
    std::shared_ptr<RawSlices> slices = std::move(openSource_);
    if (slices == nullptr) {  // saved before: read the source again
      slices = std::make_shared<RawSlices>();
      if (!slices->Open(header.kind, rawSource_, &errorText)) return false;
    }
    return WriteAssetFile(output, header, *slices, key, &errorText);
  }
  MemorySlices slices(payload);
  return WriteAssetFile(output, header, slices, key, &errorText);
}

bool Asset::Save(OutputFile& output, bool scramble, const AssetKey& key) {
  return SaveTo(output, scramble, key);
}

bool Asset::Save(ByteStream& output, bool scramble, const AssetKey& key) {
  return SaveTo(output, scramble, key);
}

bool Asset::Save(const std::string& outputPath, bool scramble, const AssetKey& key) {
  if (!loaded) {
    errorText = "Cannot save " + outputPath + ", no asset loaded";
    return false;
  }
  OutputFile output;
  if (!output.Open(outputPath) || !Save(output, scramble, key) || !output.Commit()) {
    if (!output.errorText().empty()) errorText = output.errorText();
    return false;
  }
  return true;
}

}  // namespace qx
