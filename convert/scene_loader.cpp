// LoadModel and LoadAnimation: find the scene module, let it import and encode, and
// take the payload only when it succeeded.
#include <string>

#include "asset/asset.h"
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

bool LoadScene(Asset& asset, const std::string& inputPath, SceneKind kind, const char* tag,
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
  asset.typeTag = tag;
  asset.version = 1;
  asset.loaded = true;
  return true;
}

}  // namespace

bool Asset::LoadModel(const std::string& inputPath, std::vector<std::string>* openedFiles,
                      std::vector<std::uint32_t>* faceSizes) {
  return LoadScene(*this, inputPath, SceneKind::Model, "QMDL", openedFiles, faceSizes);
}

bool Asset::LoadAnimation(const std::string& inputPath, std::vector<std::string>* openedFiles) {
  return LoadScene(*this, inputPath, SceneKind::Animation, "QANM", openedFiles, nullptr);
}

}  // namespace qx
