// Loading sources into an Asset: models and animations through the scene module
// (Assimp, loaded on first use), textures and audio through the Asset's raw loaders.
// Every loader leaves the Asset as it was but for errorText when it fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asset/asset.h"

namespace qx {

// When openedFiles is given, every file the import read is appended to it; when
// faceSizes is, each mesh's indices per face (the payload does not record them).
bool LoadModel(const std::string& inputPath, Asset* asset,
               std::vector<std::string>* openedFiles = nullptr,
               std::vector<std::uint32_t>* faceSizes = nullptr);
bool LoadAnimation(const std::string& inputPath, Asset* asset,
                   std::vector<std::string>* openedFiles = nullptr);

// The loader of a kind of asset, as QXConvert and QXInspect --verify both call it.
bool LoadAsset(AssetType type, const std::string& inputPath, Asset* asset,
               std::vector<std::string>* openedFiles = nullptr,
               std::vector<std::uint32_t>* faceSizes = nullptr);

}  // namespace qx
