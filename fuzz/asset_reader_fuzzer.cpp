// Feeds arbitrary bytes to the asset reader. It must never read outside the buffer,
// never allocate beyond what the input can hold, and always end quickly; a file it
// accepts must describe no more data than the file holds.
#include <cstdint>
#include <cstdlib>

#include "reader/asset_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qx::reader::AssetFile asset;
  std::string error;
  if (!qx::reader::ReadAsset(data, size, &asset, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  std::size_t described = asset.data.size() + asset.extension.size();
  for (const auto& mesh : asset.meshes) {
    described += mesh.name.size() + 12 * mesh.positions.size() + 4 * mesh.indices.size() +
                 12 * mesh.normals.size() + 8 * mesh.textureCoords.size();
    for (std::uint32_t index : mesh.indices) {
      if (index >= mesh.positions.size()) std::abort();
    }
  }
  for (const auto& animation : asset.animations) {
    for (const auto& channel : animation.channels) {
      described +=
          20 * (channel.positions.size() + channel.scalings.size()) + 24 * channel.rotations.size();
    }
  }
  if (described > size) std::abort();
  return 0;
}
