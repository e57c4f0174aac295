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

// Decodes image bytes into 4 bytes a pixel. False with *error saying why for bytes
// that are none of these formats or are damaged.
bool DecodeImage(const std::uint8_t* bytes, std::size_t size, Image* image, std::string* error);

}  // namespace qx::examine
