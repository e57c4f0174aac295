// What a model conversion is asked to do to its meshes before they are encoded
// (convert/mesh_optimize.h does it); plain data, so the loader passes it to the scene
// module without Assimp's types.
#pragma once

#include <cstdint>

namespace qx {

// The most decimals -simplify= takes (0.123456789): its one definition. CMake reads it
// for the LODS check; the Bazel rules are held to it by a test.
inline constexpr std::uint64_t kMaxRatioDecimals = 9;

// Nothing by default, and then no mesh is touched.
struct MeshWork {
  // Merge identical vertices, order triangles for the vertex cache and against
  // overdraw, order vertices for fetch.
  bool optimize = false;
  // 0 keeps every triangle; between 0 and 1 the share of a mesh's triangles to aim
  // for. Simplified meshes are optimised too.
  double simplifyRatio = 0;
  bool Any() const { return optimize || simplifyRatio > 0; }
};

}  // namespace qx
