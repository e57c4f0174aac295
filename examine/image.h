// Images: the pixels QXInspect draws, and the decoding of the formats textures most
// often hold (PNG, TGA, JPEG, BMP) with stb_image, shared by --render and the viewer
// page so that both read a texture the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx::examine {

struct Image {
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgba;  // row by row, top first
};

// The most pixels an image may have to be decoded (8192 x 8192, 256 MiB as RGBA), and
// at most 16384 a side: a preview never needs more, and a tiny crafted header claims
// far more.
inline constexpr std::uint64_t kMaxPixels = std::uint64_t{8192} * 8192;

// Decodes image bytes into 4 bytes a pixel. False with *error saying why for bytes
// that are none of these formats, are damaged, or claim more than kMaxPixels, which is
// checked before anything is allocated.
bool DecodeImage(const std::uint8_t* bytes, std::size_t size, Image* image, std::string* error);

}  // namespace qx::examine
