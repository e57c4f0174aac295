// FieldWriter: appends little-endian fields to a buffer whose size the caller has
// already measured. The payload encoders reserve a whole payload at once and then
// write it one field per line, in the order of the layouts they implement, with no
// per-field checks or calls beyond a store.
#pragma once

#include <cstdint>
#include <cstring>

#include "format/little_endian.h"

namespace qx {

class FieldWriter {
 public:
  explicit FieldWriter(std::uint8_t* out) : out_(out) {}

  void U8(std::uint8_t v) { *out_++ = v; }
  void U16(std::uint16_t v) {
    StoreLE16(out_, v);
    out_ += 2;
  }
  void U32(std::uint32_t v) {
    StoreLE32(out_, v);
    out_ += 4;
  }
  void F32(float v) {
    StoreF32(out_, v);
    out_ += 4;
  }
  void F64(double v) {
    StoreF64(out_, v);
    out_ += 8;
  }
  void Bytes(const void* data, std::size_t n) {
    if (n > 0) std::memcpy(out_, data, n);
    out_ += n;
  }
  // count 32-bit values (floats or u32) from contiguous memory: one copy on
  // little-endian hosts, which keeps large vertex arrays cheap.
  template <typename T>
  void Array32(const T* values, std::size_t count) {
    static_assert(sizeof(T) == 4, "32-bit elements only");
    if constexpr (kLittleEndianHost) {
      Bytes(values, count * 4);
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &values[i], 4);
        U32(bits);
      }
    }
  }

  std::uint8_t* position() const { return out_; }

 private:
  std::uint8_t* out_;
};

}  // namespace qx
