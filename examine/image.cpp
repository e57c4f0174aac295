#include "examine/image.h"

#include <cstdint>
#include <limits>

// Not STB_IMAGE_STATIC: GCC 12 inlines a static stb_image whole into its one caller
// and then warns that the I/O callbacks, unused when decoding memory, may be unset.
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_TGA
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
// A few header bytes can claim any size: stb refuses more than this a side before it
// allocates, and DecodeImage refuses more than kMaxPixels in all.
#define STBI_MAX_DIMENSIONS 16384
#include <stb/stb_image.h>

namespace qx::examine {

bool DecodeImage(const std::uint8_t* bytes, std::size_t size, Image* image, std::string* error) {
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    *error = "too large to decode";
    return false;
  }
  int width = 0, height = 0, channels = 0;
  if (stbi_info_from_memory(bytes, static_cast<int>(size), &width, &height, &channels) != 0 &&
      static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxPixels) {
    *error = "it claims " + std::to_string(width) + " x " + std::to_string(height) +
             " pixels, more than the " + std::to_string(kMaxPixels) + " this tool decodes";
    return false;
  }
  stbi_uc* pixels = stbi_load_from_memory(bytes, static_cast<int>(size), &image->width,
                                          &image->height, &channels, 4);
  if (pixels == nullptr) {
    *error = std::string("not an image this tool decodes (") + stbi_failure_reason() + ")";
    return false;
  }
  image->rgba.assign(pixels, pixels + std::size_t{4} * image->width * image->height);
  stbi_image_free(pixels);
  return true;
}

}  // namespace qx::examine
