// The Assimp side of the model and animation loaders. It lives in a module of its
// own (qxconvert_scene), loaded only by runs that import a scene, so converting a
// texture, music or sound never pays for loading Assimp's large library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asset/byte_stream.h"
#include "format/asset_format.h"

namespace qx {

// Imports the file with the flags of its kind (0x80800B for models, 0x800B for
// animations) through one importer, released before returning on every path, and
// replaces payload's content with the encoded payload. False with *error set (the
// importer's own text, or the encoder's refusal) and payload untouched on failure.
// When openedFiles is not null, every file the import opened (the source, and any
// material library, buffer or texture it names) is appended to it. When faceSizes is
// not null, a model's face size per mesh (indices in its first face, 0 without faces)
// is stored there: the payload does not record it.
bool ImportScene(const char* path, format::AssetKind kind, ByteStream* payload, std::string* error,
                 std::vector<std::string>* openedFiles, std::vector<std::uint32_t>* faceSizes);

// The entry the module exports, resolved at run time by name.
using ImportSceneEntry = bool (*)(const char*, int, ByteStream*, std::string*,
                                  std::vector<std::string>*, std::vector<std::uint32_t>*);
inline constexpr const char* kImportSceneSymbol = "QxImportScene";

}  // namespace qx
