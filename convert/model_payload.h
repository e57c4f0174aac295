// The model payload: its layout is in format/asset_format.h.
#pragma once

#include <assimp/scene.h>

#include <string>

#include "asset/byte_stream.h"

namespace qx {

// Checks the scene first and, when it fits the format, replaces out's content with
// the model payload. A scene without meshes, with a count that does not fit its
// 16-bit field, with null arrays where its counts promise entries, or whose payload
// would reach 2 GiB is refused with *error set, and out is left untouched.
bool EncodeModel(const aiScene& scene, ByteStream& out, std::string* error);

// Whether a mesh's normals and first texture coordinates go into the payload.
bool HasNormals(const aiMesh& mesh);
bool HasUVs(const aiMesh& mesh);

}  // namespace qx
