// The animation payload: its layout is in format/asset_format.h.
#pragma once

#include <assimp/scene.h>

#include <string>

#include "asset/byte_stream.h"

namespace qx {

// Like EncodeModel: checks the scene, then replaces out's content with the animation
// payload, or refuses with *error set and out untouched.
bool EncodeAnimation(const aiScene& scene, ByteStream& out, std::string* error);

}  // namespace qx
