// Getting data back out of an asset: the original source bytes of a texture, music
// or sound, or the meshes of a model as a file any viewer opens.
#pragma once

#include <string>

#include "reader/asset_reader.h"

namespace qx::examine {

// Writes the bytes the asset was converted from; identical to that source file.
bool ExtractSource(const reader::AssetFile& asset, const std::string& outputPath,
                   std::string* error);

// Writes the model's meshes through Assimp's exporter, in the format that the output
// path's extension names: .obj, .gltf, .glb, .ply, .stl or .dae.
bool ExportModel(const reader::AssetFile& asset, const std::string& outputPath, std::string* error);

}  // namespace qx::examine
