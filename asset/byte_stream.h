// ByteStream: the one byte-level I/O class of the converter. One class, three
// back-ends chosen when the stream is opened: a C runtime file, a growable buffer
// owned by the stream (payloads are built here), and a fixed buffer owned by the
// caller. Positions and sizes are 32-bit signed, so no stream holds 2 GiB or more.
//
// The converter writes its outputs through files/output_file (durable, every failure
// checked), never through a File stream: in the product a File stream only reads.
//
// Failures never throw. An open reports failure by its result and leaves a text in
// errorText(); a file Read or Write that moves fewer bytes than asked does the same,
// so callers can tell a complete file from a truncated one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace qx {

enum class StreamKind : std::int32_t { None = 0, File = 1, Memory = 2, FixedMemory = 3 };

enum class OpenMode : std::int32_t { Read = 1, Write = 2, Append = 3 };

class ByteStream {
 public:
  ByteStream() = default;
  ~ByteStream();
  ByteStream(ByteStream&& other) noexcept;
  ByteStream& operator=(ByteStream&& other) noexcept;
  ByteStream(const ByteStream&) = delete;
  ByteStream& operator=(const ByteStream&) = delete;

  // Closes the stream, then opens the file with "rb", "wb" or "ab".
  bool OpenFile(const std::string& path, OpenMode mode);
  // Closes the stream, then makes it an open, empty Memory stream; capacity is kept.
  void OpenMemoryForWrite();
  // Closes the stream, then serves reads and writes from the caller's buffer, which
  // must outlive the stream's use of it. A negative size is taken as 0.
  void OpenFixedMemory(void* data, std::int32_t size);
  void Close();

  // File: the file's length (the file position is unchanged); -1 with errorText set
  // when it cannot be measured or is 2 GiB or more. Memory back-ends: the content size.
  std::int32_t Size();
  std::int32_t Tell();
  void SeekToEnd();
  // Memory back-ends clamp the position to 0..Size().
  void SeekTo(std::int32_t position);

  // Copies up to count bytes from the position; returns the number copied. Memory
  // back-ends copy what remains when fewer than count bytes are left. A short file
  // read sets errorText.
  std::int32_t Read(void* destination, std::int32_t count);
  // Returns true when all length bytes were written. Memory streams grow; FixedMemory
  // streams drop what does not fit (and return false); a failed file write sets
  // errorText.
  bool Write(const void* source, std::int32_t length);

  // Memory: the stream's own buffer (no copy), valid until the buffer next grows.
  // FixedMemory: the caller's buffer. File: a new malloc'd block the caller frees,
  // or null when the file cannot be read whole. Closed: null.
  std::uint8_t* GetAllData();

  // Memory only: extends the content by length bytes at the end and returns where
  // they start, for the caller to fill in place (a file read straight into a
  // payload). The new bytes are not initialised. Null when the stream is not Memory
  // or the size would reach 2 GiB.
  std::uint8_t* Extend(std::int32_t length);

  bool isOpen() const { return kind_ != StreamKind::None; }
  StreamKind kind() const { return kind_; }
  OpenMode openMode() const { return openMode_; }
  std::FILE* file() const { return file_; }
  const std::string& errorText() const { return errorText_; }

 private:
  struct FreeDeleter {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };

  bool GrowTo(std::int64_t needed);
  void Reallocate(std::int32_t capacity);
  void SetErrnoText(const char* what, int error);

  StreamKind kind_ = StreamKind::None;
  std::FILE* file_ = nullptr;
  OpenMode openMode_{};
  // The Memory back-end's buffer; size_ bytes are content, capacity_ are allocated.
  std::unique_ptr<std::uint8_t, FreeDeleter> memory_;
  std::int32_t capacity_ = 0;
  std::uint8_t* fixedData_ = nullptr;
  std::int32_t position_ = 0;
  std::int32_t size_ = 0;
  std::string errorText_;
};

}  // namespace qx
