// Meshes made ready for the GPU before they are encoded: identical vertices merged,
// triangles ordered for the post-transform vertex cache and against overdraw,
// vertices ordered for fetch, and, when asked, fewer triangles. The work is done on
// copies of what the payload writes, so the encoder stays a plain field writer.
#pragma once

#include <assimp/scene.h>

#include <memory>
#include <vector>

#include "convert/mesh_work.h"
#include "report/report.h"

namespace qx {

// Whether this build carries the mesh optimiser (it does not where meshoptimizer was
// neither found nor given as source).
bool MeshWorkAvailable();

// The relative error a simplification may reach (of the mesh's extent); the
// simplifier stops before it, so a mesh may keep more triangles than asked.
inline constexpr float kSimplifyTargetError = 1e-2f;

// A copy of the scene's meshes with the work done: triangle meshes are merged,
// simplified and reordered; point and line meshes, and meshes whose faces are not all
// triangles inside the vertex range, are copied as they are. Only the meshes are set:
// it feeds the model encoder. When figures is not null it receives one entry per mesh,
// measured before and after (meshes left alone get optimized = false).
class OptimizedScene {
 public:
  OptimizedScene(const aiScene& source, const MeshWork& work,
                 std::vector<report::MeshFigures>* figures);
  ~OptimizedScene();
  OptimizedScene(const OptimizedScene&) = delete;
  OptimizedScene& operator=(const OptimizedScene&) = delete;
  const aiScene& scene() const { return *scene_; }

 private:
  std::unique_ptr<aiScene> scene_;
};

}  // namespace qx
