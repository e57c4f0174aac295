// Where a scene's nodes place its meshes. The payload has no nodes, so a mesh is
// written as its node would see it before placement; -bake applies the placement.
#pragma once

#include <assimp/scene.h>

#include <memory>
#include <string>
#include <vector>

namespace qx {

// One node's use of one mesh, with the node's placement in the whole scene.
struct MeshUse {
  unsigned mesh = 0;
  std::string node;
  aiMatrix4x4 placement;
};

// Every use, depth first from the root node in the order the nodes list their meshes.
std::vector<MeshUse> MeshUses(const aiScene& scene);

bool IsIdentity(const aiMatrix4x4& m);

// The meshes of a scene with the placement applied: one mesh per use (positions and
// normals moved, faces turned where a mirror would show their backs), named
// "MESH@NODE" where several nodes use one mesh; then the meshes no node uses, as
// they are. Only the meshes are set: it feeds the model encoder. A placement that
// takes a finite position to infinity or NaN makes error() name the node and mesh:
// such an asset is refused rather than written with positions nothing can draw.
class BakedScene {
 public:
  explicit BakedScene(const aiScene& source);
  ~BakedScene();
  BakedScene(const BakedScene&) = delete;
  BakedScene& operator=(const BakedScene&) = delete;
  const aiScene& scene() const { return *scene_; }
  const std::string& error() const { return error_; }

 private:
  std::unique_ptr<aiScene> scene_;
  std::string error_;
};

}  // namespace qx
