// The animation payload: key lists of every channel of every animation of a scene.
// Channels and animations are known only by their place; names, durations and tick
// rates are not stored.
//
//   u16 animation count, then per animation:
//     u16 channel count, then per channel:
//       u16 P, P x (f64 time, f32 x, y, z)        position keys
//       u16 S, S x (f64 time, f32 x, y, z)        scaling keys
//       u16 R, R x (f64 time, f32 x, y, z, w)     rotation keys, scalar last
#pragma once

#include <assimp/scene.h>

#include <string>

#include "asset/byte_stream.h"

namespace qx {

// Like EncodeModel: checks the scene, then replaces out's content with the animation
// payload, or refuses with *error set and out untouched.
bool EncodeAnimation(const aiScene& scene, ByteStream& out, std::string* error);

}  // namespace qx
