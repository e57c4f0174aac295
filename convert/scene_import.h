// The Assimp side of the model and animation loaders. It lives in a module of its
// own (qxconvert_scene), loaded only by runs that import a scene, so converting a
// texture, music or sound never pays for loading Assimp's large library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asset/byte_stream.h"
#include "convert/mesh_work.h"
#include "format/asset_format.h"
#include "report/report.h"

namespace qx {

// One import: what to read and shape, and where the results go.
struct SceneRequest {
  const char* path = nullptr;
  format::AssetKind kind = format::AssetKind::Model;
  bool bake = false;  // apply node placement to a model's meshes (see convert/placement.h)
  MeshWork meshWork;  // done to a model's meshes after any placement (convert/mesh_optimize.h)
  ByteStream* payload = nullptr;
  std::string* error = nullptr;
  // When not null: every file the import opened (the source, and any material
  // library, buffer or texture it names) is appended.
  std::vector<std::string>* openedFiles = nullptr;
  // When not null: a model's face size per mesh (indices in its first face, 0 without
  // faces), which the payload does not record.
  std::vector<std::uint32_t>* faceSizes = nullptr;
  // When not null: what the import saw, kept and did not carry, what the mesh work
  // did, every message Assimp logged, and how long it took.
  report::Scene* report = nullptr;
  // When not null: set when the importer could not read the file at all (rather than
  // the encoder refusing what it read), so a .blend can go to Blender instead.
  bool* unreadable = nullptr;
};

// Imports the file with the flags of its kind (0x80800B for models, 0x800B for
// animations) through one importer, released before returning on every path, and
// replaces the payload's content with the encoded payload. False with the error set
// (the importer's own text, or the encoder's refusal) and the payload untouched.
bool ImportScene(const SceneRequest& request);

// The entry the module exports, resolved at run time by name.
using ImportSceneEntry = bool (*)(const SceneRequest&);
inline constexpr const char* kImportSceneSymbol = "QxImportScene";

}  // namespace qx
