// Feeds arbitrary bytes to the asset reader. It must never read outside the buffer,
// never allocate beyond what the input can hold, and always end quickly; a file it
// accepts must describe no more data than the file holds, and a model it accepts must
// export (in memory, in a format chosen by the last byte) without a crash; and every
// file it accepts must draw, or fail with a reason, within the drawing budget.
#include <cstdint>
#include <cstdlib>

#include "examine/render.h"
#include "examine/write_out.h"
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
    using namespace qx::format;
    described += mesh.name.size() + kPositionWidth * mesh.positions.size() +
                 kIndexWidth * mesh.indices.size() + kNormalWidth * mesh.normals.size() +
                 kTextureCoordWidth * mesh.textureCoords.size();
    for (std::uint32_t index : mesh.indices) {
      if (index >= mesh.positions.size()) std::abort();
    }
  }
  for (const auto& animation : asset.animations) {
    for (const auto& channel : animation.channels) {
      described += qx::format::kVectorKeyWidth * (channel.positions.size() + channel.scalings.size()) +
                   qx::format::kRotationKeyWidth * channel.rotations.size();
    }
  }
  if (described > size) std::abort();
  if (asset.kind == qx::reader::AssetKind::Model && size > 0) {
    static const char* const kNames[] = {"x.obj", "x.gltf", "x.glb", "x.ply", "x.stl", "x.dae"};
    std::vector<std::pair<std::string, std::string>> files;
    qx::examine::ExportModelToMemory(asset, kNames[data[size - 1] % 6], &files, &error);
  }
  if (size > 0) {
    qx::examine::Image image;
    error.clear();
    if (!qx::examine::RenderAsset(asset, 16 + data[0] % 241, &image, &error) && error.empty()) {
      std::abort();
    }
  }
  return 0;
}
