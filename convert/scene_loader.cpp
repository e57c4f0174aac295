// LoadModel and LoadAnimation: find the scene module, let it import and encode, and
// take the payload only when it succeeded.
#include "convert/scene_loader.h"

#include <new>
#include <string>

#include "convert/blend_source.h"
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
               const SceneOptions& options) {
  const ImportLimits& limits = options.limits;
  const ImportSceneEntry import = FindImporter(&asset.errorText);
  if (import == nullptr) return false;
  // A .blend is imported as the glTF its own Blender exports; the depfile names the
  // .blend and what it uses, never the export.
  BlendExport blend;
  const bool isBlend = IsBlendFile(inputPath);
  if (isBlend && !blend.Run(inputPath, kind, FindBlender(options.blender), limits.seconds,
                            limits.memoryBytes, &asset.errorText)) {
    return false;
  }
  const std::string& importPath = isBlend ? blend.glb() : inputPath;
  // Debian's Assimp keeps its assertions, and crafted files crash, hang or inflate it:
  // such a run ends with an outcome line, never a bare signal or a stalled build.
  platform::Guard guard;
  guard.crashLine = "The importer stopped on an internal error while reading " + inputPath;
  guard.timeLine = "The importer did not finish reading " + inputPath + " within " +
                   std::to_string(limits.seconds) + " seconds";
  guard.seconds = limits.seconds;
  guard.memoryBytes = limits.memoryBytes;
  struct Guarded {
    explicit Guarded(const platform::Guard& guard) { platform::StartGuard(guard); }
    ~Guarded() { platform::EndGuard(); }
  };
  std::string error;
  bool imported;
  {
    const Guarded guarded(guard);
    SceneRequest request;
    request.path = importPath.c_str();
    request.kind = kind;
    request.bake = options.bake;
    request.payload = &asset.payload;
    request.error = &error;
    request.openedFiles = isBlend ? nullptr : options.openedFiles;
    request.faceSizes = options.faceSizes;
    request.report = options.report;
    imported = import(request);
  }
  if (!imported) {
    // Assimp turns every exception into its message, running out of memory included.
    if (error == "std::bad_alloc") throw std::bad_alloc();
    asset.errorText = error;
    return false;
  }
  if (isBlend && options.openedFiles != nullptr) {
    options.openedFiles->push_back(inputPath);
    options.openedFiles->insert(options.openedFiles->end(), blend.used().begin(), blend.used().end());
  }
  asset.typeTag = format::TagOf(kind);
  asset.version = format::kVersion;
  asset.loaded = true;
  return true;
}

}  // namespace

bool LoadModel(const std::string& inputPath, Asset* asset, const SceneOptions& options) {
  return LoadScene(*asset, inputPath, AssetType::Model, options);
}

bool LoadAnimation(const std::string& inputPath, Asset* asset, const SceneOptions& options) {
  return LoadScene(*asset, inputPath, AssetType::Animation, options);
}

bool LoadAsset(AssetType type, const std::string& inputPath, Asset* asset,
               const SceneOptions& options) {
  switch (type) {
    case AssetType::Model: return LoadModel(inputPath, asset, options);
    case AssetType::Animation: return LoadAnimation(inputPath, asset, options);
    case AssetType::Texture:
    case AssetType::Music:
    case AssetType::Sound: break;
  }
  const bool loaded = type == AssetType::Texture ? asset->LoadTexture(inputPath)
                                                 : asset->LoadAudio(inputPath, type == AssetType::Music);
  // A raw asset reads its source and nothing else.
  if (loaded && options.openedFiles != nullptr) options.openedFiles->push_back(inputPath);
  return loaded;
}

}  // namespace qx
