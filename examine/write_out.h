// Getting data back out of an asset: the original source bytes of a texture, music
// or sound, or the meshes of a model as a file any viewer opens.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "reader/asset_reader.h"

namespace qx::examine {

// Writes the bytes the asset was converted from; identical to that source file.
bool ExtractSource(const reader::AssetFile& asset, const std::string& outputPath,
                   std::string* error);

// False with *error when writing outputPath would replace inputPath, the file being
// read, under any spelling or link.
bool WritableBeside(const std::string& inputPath, const std::string& outputPath,
                    std::string* error);

// Writes the model's meshes through Assimp's exporter, in the format that the output
// path's extension names: .obj, .gltf, .glb, .ply, .stl or .dae. No file written (the
// named one, or a companion the exporter names: an .obj's .mtl, a .gltf's .bin) may be
// inputPath. *committed lists the files written, companions first.
bool ExportModel(const reader::AssetFile& asset, const std::string& inputPath,
                 const std::string& outputPath, std::vector<std::string>* committed,
                 std::string* error);

// The same export held in memory: every file it would write (the named one, and an
// .obj's .mtl or a .gltf's .bin), as path and bytes. Nothing touches the disk.
bool ExportModelToMemory(const reader::AssetFile& asset, const std::string& outputPath,
                         std::vector<std::pair<std::string, std::string>>* files,
                         std::string* error);

}  // namespace qx::examine
