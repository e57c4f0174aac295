// LoadModel and LoadAnimation: find the scene module, let it import and encode, and
// take the payload only when it succeeded.
#include "convert/scene_loader.h"

#include <string>

#include "convert/scene_import.h"
#include "platform/platform.h"

namespace qx {
namespace {

// Beside the executable in a build tree; in an installed tree, where the build put
// it relative to the executable's directory.
ImportSceneEntry FindImporter(std::string* error) {
  static ImportSceneEntry entry = nullptr;
  if (entry != nullptr) return entry;
  const std::string directory = platform::ExecutableDirectory();
  std::string firstError;
  for (const char* relative : {".", QX_SCENE_MODULE_DIR}) {
    const std::string path = directory + "/" + relative + "/" + QX_SCENE_MODULE_NAME;
    std::string reason;
    entry = reinterpret_cast<ImportSceneEntry>(
        platform::LoadModuleSymbol(path, kImportSceneSymbol, &reason));
    if (entry != nullptr) return entry;
    if (firstError.empty()) firstError = reason;
  }
  *error = "Failed to load the scene importer: " + firstError;
  return nullptr;
}

bool LoadScene(Asset& asset, const std::string& inputPath, AssetType kind,
               std::vector<std::string>* openedFiles, std::vector<std::uint32_t>* faceSizes) {
  const ImportSceneEntry import = FindImporter(&asset.errorText);
  if (import == nullptr) return false;
  // Debian's Assimp keeps its assertions, and some malformed files trip them; end
  // with an outcome line rather than a bare abort.
  platform::ExitOnAbort("The importer stopped on an internal error");
  if (!import(inputPath.c_str(), static_cast<int>(kind), &asset.payload, &asset.errorText,
              openedFiles, faceSizes)) {
    return false;
  }
  asset.typeTag = format::TagOf(kind);
  asset.version = format::kVersion;
  asset.loaded = true;
  return true;
}

}  // namespace

bool LoadModel(const std::string& inputPath, Asset* asset, std::vector<std::string>* openedFiles,
               std::vector<std::uint32_t>* faceSizes) {
  return LoadScene(*asset, inputPath, AssetType::Model, openedFiles, faceSizes);
}

bool LoadAnimation(const std::string& inputPath, Asset* asset,
                   std::vector<std::string>* openedFiles) {
  return LoadScene(*asset, inputPath, AssetType::Animation, openedFiles, nullptr);
}

bool LoadAsset(AssetType type, const std::string& inputPath, Asset* asset,
               std::vector<std::string>* openedFiles, std::vector<std::uint32_t>* faceSizes) {
  switch (type) {
    case AssetType::Model: return LoadModel(inputPath, asset, openedFiles, faceSizes);
    case AssetType::Animation: return LoadAnimation(inputPath, asset, openedFiles);
    case AssetType::Texture: return asset->LoadTexture(inputPath);
    case AssetType::Music: return asset->LoadAudio(inputPath, true);
    case AssetType::Sound: return asset->LoadAudio(inputPath, false);
  }
  return false;
}

}  // namespace qx
