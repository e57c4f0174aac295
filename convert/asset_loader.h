// Loading sources into an Asset: models and animations through the scene module
// (Assimp, loaded on first use), textures and audio through the Asset's raw loaders.
// Every loader leaves the Asset as it was but for errorText when it fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asset/asset.h"
#include "convert/mesh_work.h"
#include "report/report.h"

namespace qx {

// Bounds on one import, whose reader may crash, hang or grow on a crafted file. 0 means
// no bound. Crossing one ends the process with an outcome line naming the input: the
// import comes before anything is written, so there is nothing to clean up.
struct ImportLimits {
  unsigned seconds = 0;
  std::uint64_t memoryBytes = 0;
};

// How a scene import runs and what it hands back besides the payload (see
// SceneRequest in convert/scene_import.h): when openedFiles is given, every file the
// import read is appended to it; when faceSizes is, each mesh's indices per face (the
// payload does not record them). A raw asset uses none of it.
struct SceneOptions {
  std::vector<std::string>* openedFiles = nullptr;
  std::vector<std::uint32_t>* faceSizes = nullptr;
  report::Scene* report = nullptr;
  bool bake = false;
  MeshWork meshWork;  // a model's meshes only; an animation has none to work on
  ImportLimits limits;
  // The Blender that exports every .blend source when named (-blender=); empty: Assimp
  // reads a .blend, and Blender (QX_BLENDER, else PATH) exports only those it cannot.
  std::string blender;
};

// Models and animations: the scene module imports the source and encodes its payload
// into the Asset. Running out of memory inside the importer throws std::bad_alloc, as
// it does outside.
bool LoadModel(const std::string& inputPath, Asset* asset, const SceneOptions& options = {});
bool LoadAnimation(const std::string& inputPath, Asset* asset, const SceneOptions& options = {});

// Loads the scene module (and Assimp with it) now rather than at the first import, so
// that processes forked from this one later start with it loaded. False with *error
// when it cannot be loaded; an import then reports the same error.
bool PreloadSceneImporter(std::string* error);

// The one way into an Asset for every kind, as QXConvert and QXInspect --verify call it:
// the scene loaders above, or the Asset's raw loaders (textures, music, sounds), whose
// sources Save streams.
bool LoadAsset(AssetType type, const std::string& inputPath, Asset* asset,
               const SceneOptions& options = {});

}  // namespace qx
