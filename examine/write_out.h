// Getting data back out of an asset: the original source bytes of a texture, music
// or sound, or the meshes of a model as a file any viewer opens.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "files/write_guard.h"
#include "reader/asset_reader.h"

namespace qx::examine {

// The guard of a run that reads the asset at inputPath: no file the run writes may be
// that file, under any spelling or link ("cannot write PATH: it is the file being read").
WriteGuard GuardReading(const std::string& inputPath);

// Claims path from guard and writes bytes to it through OutputFile; false with *error
// ("cannot write PATH: ...") when refused or when writing failed.
bool WriteWhole(WriteGuard& guard, const std::string& path, const std::string& bytes,
                std::string* error);

// Writes the bytes the asset was converted from; identical to that source file.
bool ExtractSource(const reader::AssetFile& asset, const std::string& outputPath,
                   WriteGuard& guard, std::string* error);

// Writes the model's meshes through Assimp's exporter, in the format that the output
// path's extension names: .obj, .gltf, .glb, .ply, .stl or .dae. Every file written
// (the named one, or a companion the exporter names: an .obj's .mtl, a .gltf's .bin)
// is claimed from guard first. *committed lists the files written, companions first.
bool ExportModel(const reader::AssetFile& asset, const std::string& outputPath,
                 WriteGuard& guard, std::vector<std::string>* committed, std::string* error);

// The same export held in memory: every file it would write (the named one, and an
// .obj's .mtl or a .gltf's .bin), as path and bytes. Nothing touches the disk.
bool ExportModelToMemory(const reader::AssetFile& asset, const std::string& outputPath,
                         std::vector<std::pair<std::string, std::string>>* files,
                         std::string* error);

}  // namespace qx::examine
