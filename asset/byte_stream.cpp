#include "asset/byte_stream.h"

#include <algorithm>
#include <cerrno>
#include <limits>
#include <new>
#include <utility>

#include "format/asset_format.h"
#include "platform/platform.h"

namespace qx {
namespace {

// Buffers from this size on are file-sized payloads that are about to be filled.
constexpr std::int64_t kLargeBuffer = std::int64_t{32} << 20;

const char* ModeString(OpenMode mode) {
  switch (mode) {
    case OpenMode::Read: return "rb";
    case OpenMode::Write: return "wb";
    case OpenMode::Append: return "ab";
    default: return nullptr;
  }
}

}  // namespace

ByteStream::~ByteStream() {
  // A stream that goes away with its file still open would leak the handle and any
  // buffered bytes; close it rather than rely on every caller.
  if (kind_ == StreamKind::File) std::fclose(file_);
}

ByteStream::ByteStream(ByteStream&& other) noexcept { *this = std::move(other); }

ByteStream& ByteStream::operator=(ByteStream&& other) noexcept {
  if (this != &other) {
    if (kind_ == StreamKind::File) std::fclose(file_);
    kind_ = std::exchange(other.kind_, StreamKind::None);
    file_ = std::exchange(other.file_, nullptr);
    openMode_ = std::exchange(other.openMode_, OpenMode{});
    memory_ = std::move(other.memory_);
    capacity_ = std::exchange(other.capacity_, 0);
    fixedData_ = std::exchange(other.fixedData_, nullptr);
    position_ = std::exchange(other.position_, 0);
    size_ = std::exchange(other.size_, 0);
    errorText_ = std::move(other.errorText_);
    other.errorText_.clear();
  }
  return *this;
}

void ByteStream::SetErrnoText(const char* what, int error) {
  errorText_ = what;
  errorText_ += std::to_string(error);
}

void ByteStream::Close() {
  switch (kind_) {
    case StreamKind::None: return;
    case StreamKind::File:
      std::fclose(file_);
      file_ = nullptr;
      break;
    case StreamKind::Memory: break;  // content dropped below, capacity kept
    case StreamKind::FixedMemory: fixedData_ = nullptr; break;
  }
  kind_ = StreamKind::None;
  position_ = 0;
  size_ = 0;
}

bool ByteStream::OpenFile(const std::string& path, OpenMode mode) {
  Close();
  const char* modeString = ModeString(mode);
  if (modeString == nullptr) {
    errorText_ = "Invalid open mode " + std::to_string(static_cast<std::int32_t>(mode));
    return false;
  }
  int error = 0;
  std::FILE* file = platform::OpenFile(path.c_str(), modeString, &error);
  if (file == nullptr) {
    SetErrnoText("Failed to open file with errno ", error);
    return false;
  }
  file_ = file;
  openMode_ = mode;
  kind_ = StreamKind::File;
  return true;
}

void ByteStream::OpenMemoryForWrite() {
  Close();
  kind_ = StreamKind::Memory;
}

void ByteStream::OpenFixedMemory(void* data, std::int32_t size) {
  Close();
  fixedData_ = static_cast<std::uint8_t*>(data);
  size_ = std::max<std::int32_t>(size, 0);
  kind_ = StreamKind::FixedMemory;
}

std::int32_t ByteStream::Size() {
  if (kind_ != StreamKind::File) return size_;
  errno = 0;
  const std::int64_t here = platform::Tell(file_);
  std::int64_t end = -1;
  if (here >= 0 && platform::Seek(file_, 0, SEEK_END) == 0) end = platform::Tell(file_);
  const int error = errno;
  if (here >= 0) platform::Seek(file_, here, SEEK_SET);
  if (end < 0) {
    SetErrnoText("Failed to get file size with errno ", error);
    return -1;
  }
  if (end > format::kMaxPayloadSize) {
    errorText_ = format::TooLargeText("File", end);
    return -1;
  }
  return static_cast<std::int32_t>(end);
}

std::int32_t ByteStream::Tell() {
  if (kind_ != StreamKind::File) return position_;
  const std::int64_t here = platform::Tell(file_);
  return here < 0 || here > format::kMaxPayloadSize ? -1 : static_cast<std::int32_t>(here);
}

void ByteStream::SeekToEnd() {
  if (kind_ == StreamKind::File)
    platform::Seek(file_, 0, SEEK_END);
  else
    position_ = size_;
}

void ByteStream::SeekTo(std::int32_t position) {
  if (kind_ == StreamKind::File)
    platform::Seek(file_, position, SEEK_SET);
  else if (kind_ != StreamKind::None)
    position_ = std::clamp(position, 0, size_);
}

std::int32_t ByteStream::Read(void* destination, std::int32_t count) {
  if (kind_ == StreamKind::None || count <= 0) return 0;
  if (kind_ == StreamKind::File) {
    errno = 0;
    const std::size_t got = std::fread(destination, 1, static_cast<std::size_t>(count), file_);
    if (got < static_cast<std::size_t>(count)) {
      if (std::ferror(file_)) {
        SetErrnoText("Failed to read file with errno ", errno);
      } else {
        errorText_ = "File ended early, bytes missing " +
                     std::to_string(static_cast<std::size_t>(count) - got);
      }
    }
    return static_cast<std::int32_t>(got);
  }
  const std::uint8_t* source = kind_ == StreamKind::Memory ? memory_.get() : fixedData_;
  const std::int32_t copied = std::min(count, size_ - position_);
  if (copied > 0) std::memcpy(destination, source + position_, static_cast<std::size_t>(copied));
  position_ += std::max(copied, 0);
  return std::max(copied, 0);
}

void ByteStream::Reallocate(std::int32_t capacity) {
  void* moved = std::realloc(memory_.get(), static_cast<std::size_t>(capacity));
  if (moved == nullptr) throw std::bad_alloc();
  memory_.release();
  memory_.reset(static_cast<std::uint8_t*>(moved));
  capacity_ = capacity;
  if (capacity >= kLargeBuffer)
    platform::AdviseLargeBuffer(moved, static_cast<std::size_t>(capacity));
}

bool ByteStream::GrowTo(std::int64_t needed) {
  if (needed > format::kMaxPayloadSize) return false;
  if (needed <= capacity_) return true;
  // Amortised growth: half as much again, or what is needed if that is more.
  const std::int64_t grown =
      std::min<std::int64_t>(capacity_ + capacity_ / 2, format::kMaxPayloadSize);
  Reallocate(static_cast<std::int32_t>(std::max(needed, grown)));
  return true;
}

std::uint8_t* ByteStream::Extend(std::int32_t length) {
  if (kind_ != StreamKind::Memory || length < 0) return nullptr;
  const std::int64_t needed = static_cast<std::int64_t>(size_) + length;
  if (!GrowTo(needed)) return nullptr;
  std::uint8_t* start = memory_.get() + size_;
  size_ = static_cast<std::int32_t>(needed);
  position_ = size_;
  return start;
}

bool ByteStream::Write(const void* source, std::int32_t length) {
  if (kind_ == StreamKind::None || length < 0) return false;
  if (length == 0) return true;
  switch (kind_) {
    case StreamKind::File: {
      errno = 0;
      const std::size_t put = std::fwrite(source, 1, static_cast<std::size_t>(length), file_);
      if (put < static_cast<std::size_t>(length)) {
        SetErrnoText("Failed to write file with errno ", errno);
        return false;
      }
      return true;
    }
    case StreamKind::Memory: {
      const std::int64_t end = static_cast<std::int64_t>(position_) + length;
      if (!GrowTo(end)) return false;
      std::memcpy(memory_.get() + position_, source, static_cast<std::size_t>(length));
      position_ = static_cast<std::int32_t>(end);
      size_ = std::max(size_, position_);
      return true;
    }
    case StreamKind::FixedMemory: {
      const std::int32_t copied = std::min(length, size_ - position_);
      std::memcpy(fixedData_ + position_, source, static_cast<std::size_t>(copied));
      position_ += copied;
      return copied == length;
    }
    case StreamKind::None: break;
  }
  return false;
}

std::uint8_t* ByteStream::GetAllData() {
  switch (kind_) {
    case StreamKind::Memory: return memory_.get();
    case StreamKind::FixedMemory: return fixedData_;
    case StreamKind::None: return nullptr;
    case StreamKind::File: break;
  }
  const std::int32_t here = Tell();
  const std::int32_t size = Size();
  if (size < 0) return nullptr;
  auto* block = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(size, 1)));
  if (block == nullptr) {
    errorText_ = "Out of memory reading file, bytes " + std::to_string(size);
    return nullptr;
  }
  SeekTo(0);
  const std::int32_t got = Read(block, size);
  SeekTo(here);
  if (got != size) {
    std::free(block);
    return nullptr;
  }
  return block;
}

}  // namespace qx
