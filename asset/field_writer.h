// Little-endian field writers over a ByteStream: the payload writers append one
// field per call, in the order of the layouts they implement.
#pragma once

#include <cstdint>
#include <cstring>

#include "asset/byte_stream.h"
#include "endian/little_endian.h"

namespace qx {

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
