// LoadModel and LoadAnimation: find the scene module, let it import and encode, and
// take the payload only when it succeeded.
#include "convert/asset_loader.h"

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

// The payload is in: the asset takes the kind's header.
bool Loaded(Asset& asset, AssetType kind) {
  asset.typeTag = format::TagOf(kind);
  asset.version = format::kVersion;
  asset.loaded = true;
  return true;
}

// One import of path (the source, or the glTF Blender exported from it), named as
// source in the outcome lines. Debian's Assimp keeps its assertions, and crafted files
// crash, hang or inflate it: such a run ends with an outcome line, never a bare signal
// or a stalled build.
bool GuardedImport(ImportSceneEntry import, const std::string& path, const std::string& source,
                   AssetType kind, const SceneOptions& options, std::vector<std::string>* openedFiles,
                   Asset& asset, bool* unreadable) {
  const ImportLimits& limits = options.limits;
  platform::Guard guard;
  guard.crashLine = "The importer stopped on an internal error while reading " + source;
  guard.timeLine = "The importer did not finish reading " + source + " within " +
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
    request.path = path.c_str();
    request.kind = kind;
    request.bake = options.bake;
    request.meshWork = options.meshWork;
    request.payload = &asset.payload;
    request.error = &error;
    request.openedFiles = openedFiles;
    request.faceSizes = options.faceSizes;
    request.report = options.report;
    request.unreadable = unreadable;
    imported = import(request);
  }
  if (!imported) {
    // Assimp turns every exception into its message, running out of memory included.
    if (error == "std::bad_alloc") throw std::bad_alloc();
    asset.errorText = error;
  }
  return imported;
}

bool LoadScene(Asset& asset, const std::string& inputPath, AssetType kind,
               const SceneOptions& options) {
  const ImportSceneEntry import = FindImporter(&asset.errorText);
  if (import == nullptr) return false;
  // A .blend is read by Assimp, as every other source is and as before Blender was
  // used at all, unless the user named a Blender (-blender=) or Assimp cannot read
  // the file (those of Blender 2.80 and later, mostly). Then the glTF that Blender
  // exports from it is imported, and the depfile names the .blend and what it uses,
  // never the export.
  const bool isBlend = IsBlendFile(inputPath);
  if (!isBlend || options.blender.empty()) {
    const std::size_t noted = options.openedFiles != nullptr ? options.openedFiles->size() : 0;
    bool unreadable = false;
    if (GuardedImport(import, inputPath, inputPath, kind, options, options.openedFiles, asset, &unreadable)) {
      return Loaded(asset, kind);
    }
    if (!isBlend || !unreadable) return false;
    if (options.openedFiles != nullptr) options.openedFiles->resize(noted);
  }
  BlendExport blend;
  if (!blend.Run(inputPath, kind, FindBlender(options.blender), options.limits.seconds,
                 options.limits.memoryBytes, &asset.errorText) ||
      !GuardedImport(import, blend.glb(), inputPath, kind, options, nullptr, asset, nullptr)) {
    return false;
  }
  if (options.report != nullptr) blend.Describe(kind, options.report);
  if (options.openedFiles != nullptr) {
    options.openedFiles->push_back(inputPath);
    options.openedFiles->insert(options.openedFiles->end(), blend.used().begin(), blend.used().end());
  }
  return Loaded(asset, kind);
}

}  // namespace

bool PreloadSceneImporter(std::string* error) { return FindImporter(error) != nullptr; }

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
