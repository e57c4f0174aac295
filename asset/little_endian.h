// Little-endian field writers over a ByteStream. Asset files are little-endian on
// every host, so numbers are always laid out byte by byte here, never by writing a
// native integer or struct.
#pragma once

#include <cstdint>
#include <cstring>

#include "asset/byte_stream.h"

namespace qx {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
inline constexpr bool kLittleEndianHost = false;
#else
inline constexpr bool kLittleEndianHost = true;
#endif

inline void StoreLE16(std::uint8_t* out, std::uint16_t v) {
  out[0] = static_cast<std::uint8_t>(v);
  out[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void StoreLE32(std::uint8_t* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void StoreLE64(std::uint8_t* out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void StoreF32(std::uint8_t* out, float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  StoreLE32(out, bits);
}

inline void StoreF64(std::uint8_t* out, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  StoreLE64(out, bits);
}

inline std::uint16_t LoadLE16(const std::uint8_t* in) {
  return static_cast<std::uint16_t>(in[0] | (in[1] << 8));
}

inline std::uint32_t LoadLE32(const std::uint8_t* in) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

inline std::uint64_t LoadLE64(const std::uint8_t* in) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

inline void WriteU8(ByteStream& s, std::uint8_t v) { s.Write(&v, 1); }

inline void WriteU16(ByteStream& s, std::uint16_t v) {
  std::uint8_t b[2];
  StoreLE16(b, v);
  s.Write(b, 2);
}

inline void WriteU32(ByteStream& s, std::uint32_t v) {
  std::uint8_t b[4];
  StoreLE32(b, v);
  s.Write(b, 4);
}

// Writes count floats (or u32s) from contiguous memory. On little-endian hosts this is
// one copy, which is what keeps large vertex arrays cheap to encode.
template <typename T>
void WriteArray32(ByteStream& s, const T* values, std::size_t count) {
  static_assert(sizeof(T) == 4, "32-bit elements only");
  if constexpr (kLittleEndianHost) {
    s.Write(values, static_cast<std::int32_t>(count * 4));
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      std::uint32_t bits;
      std::memcpy(&bits, &values[i], 4);
      WriteU32(s, bits);
    }
  }
}

}  // namespace qx
