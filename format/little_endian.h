// Little-endian layout of numbers in byte buffers. Asset files are little-endian on
// every host, so numbers are always laid out byte by byte here, never by copying a
// native integer or struct.
#pragma once

#include <cstdint>
#include <cstring>

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

inline float LoadF32(const std::uint8_t* in) {
  const std::uint32_t bits = LoadLE32(in);
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

inline double LoadF64(const std::uint8_t* in) {
  const std::uint64_t bits = LoadLE64(in);
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

}  // namespace qx
