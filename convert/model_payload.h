// The model payload: static geometry of every mesh of an imported scene.
//
//   u16 mesh count, then per mesh, back to back:
//     u16 name length N, N name bytes (no terminator)
//     u32 material index
//     u32 vertex count V, V x (f32 x, y, z)
//     u32 face count F, then every index of every face as u32 (no per-face count:
//         after triangulation a mesh holds one primitive kind)
//     u8 normals flag, then V x (f32 x, y, z) when 1
//     u8 texture-coordinate flag, then V x (f32 u, v) of the first set when 1
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

}  // namespace qx
