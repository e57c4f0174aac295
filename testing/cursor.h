// Test helper: reads little-endian fields from a byte string in order, the way an
// engine would, so tests state expected payloads field by field; and writes them.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "asset/byte_stream.h"

namespace qx::testing {

// The content of a Memory or FixedMemory stream.
inline std::string Content(ByteStream& stream) {
  const std::int32_t size = stream.Size();
  if (size <= 0) return std::string();
  return std::string(reinterpret_cast<const char*>(stream.GetAllData()),
                     static_cast<std::size_t>(size));
}

// Little-endian fields as bytes, for tests that write asset files by hand.
inline std::string Header(const char* tag, bool scrambled = false) {
  return std::string(tag, 4) + std::string("\x01\x00", 2) + std::string(1, scrambled ? 1 : 0);
}
inline std::string U16(unsigned v) { return std::string{char(v & 0xFF), char((v >> 8) & 0xFF)}; }
inline std::string U32(std::uint32_t v) {
  return std::string{char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}
inline std::string F32(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return U32(bits);
}

inline std::string F64(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return U32(static_cast<std::uint32_t>(bits)) + U32(static_cast<std::uint32_t>(bits >> 32));
}

class Cursor {
 public:
  explicit Cursor(std::string bytes, std::size_t offset = 0)
      : bytes_(std::move(bytes)), offset_(offset) {}

  std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1)[0]); }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Little(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Little(4)); }
  float F32() {
    const std::uint32_t bits = U32();
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
  }
  double F64() {
    const std::uint64_t bits = Little(8);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
  }
  std::string Bytes(std::size_t n) { return Take(n); }

  std::size_t offset() const { return offset_; }
  std::size_t remaining() const { return bytes_.size() - offset_; }

 private:
  std::string Take(std::size_t n) {
    if (n > remaining()) throw std::out_of_range("payload ends early");
    std::string out = bytes_.substr(offset_, n);
    offset_ += n;
    return out;
  }
  std::uint64_t Little(std::size_t n) {
    const std::string b = Take(n);
    std::uint64_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | static_cast<std::uint8_t>(b[i]);
    return v;
  }

  std::string bytes_;
  std::size_t offset_;
};

}  // namespace qx::testing
