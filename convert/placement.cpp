#include "convert/placement.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace qx {
namespace {

aiString NameOf(const std::string& text) {
  aiString name;
  name.Set(text.substr(0, sizeof(name.data) - 1));
  return name;
}

aiMesh* Placed(const aiMesh& from, const aiMatrix4x4& placement, const std::string& name) {
  auto* to = new aiMesh();
  to->mName = NameOf(name);
  to->mMaterialIndex = from.mMaterialIndex;
  to->mPrimitiveTypes = from.mPrimitiveTypes;
  const unsigned n = from.mNumVertices;
  to->mNumVertices = n;
  if (from.mVertices != nullptr) {
    to->mVertices = new aiVector3D[n];
    for (unsigned i = 0; i < n; ++i) to->mVertices[i] = placement * from.mVertices[i];
  }
  aiMatrix3x3 linear(placement);
  const float determinant = linear.Determinant();
  if (from.mNormals != nullptr) {
    // Normals move by the inverse transpose, so scaling along one axis keeps them
    // perpendicular; a flat placement (determinant 0) leaves them as they were.
    aiMatrix3x3 normalMatrix = linear;
    const bool invertible = determinant != 0 && std::isfinite(determinant);
    if (invertible) normalMatrix.Inverse().Transpose();
    to->mNormals = new aiVector3D[n];
    for (unsigned i = 0; i < n; ++i) {
      to->mNormals[i] = invertible ? (normalMatrix * from.mNormals[i]).NormalizeSafe() : from.mNormals[i];
    }
  }
  if (from.mTextureCoords[0] != nullptr) {
    to->mTextureCoords[0] = new aiVector3D[n];
    std::copy(from.mTextureCoords[0], from.mTextureCoords[0] + n, to->mTextureCoords[0]);
    to->mNumUVComponents[0] = from.mNumUVComponents[0];
  }
  if (from.mFaces != nullptr && from.mNumFaces > 0) {
    to->mNumFaces = from.mNumFaces;
    to->mFaces = new aiFace[from.mNumFaces];
    for (unsigned f = 0; f < from.mNumFaces; ++f) {
      to->mFaces[f] = from.mFaces[f];
      // A mirroring placement turns the faces inside out; reversing the corners keeps
      // their fronts facing out.
      if (determinant < 0 && to->mFaces[f].mIndices != nullptr) {
        std::reverse(to->mFaces[f].mIndices, to->mFaces[f].mIndices + to->mFaces[f].mNumIndices);
      }
    }
  }
  return to;
}

bool Finite(const aiVector3D& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// Empty, or why the placed mesh cannot be written: a position that was a number and is
// no longer one (two nested scales of 1e20 multiply past the largest float).
std::string LeavesTheRange(const aiMesh& from, const aiMesh& to, const MeshUse& use) {
  if (from.mVertices == nullptr || to.mVertices == nullptr) return {};
  for (unsigned i = 0; i < from.mNumVertices; ++i) {
    if (Finite(from.mVertices[i]) && !Finite(to.mVertices[i])) {
      return "Node \"" + use.node + "\" places mesh " + std::to_string(use.mesh) + " \"" +
             from.mName.C_Str() + "\" beyond the float range (vertex " + std::to_string(i) +
             " becomes infinite or NaN); -bake cannot write it";
    }
  }
  return {};
}

}  // namespace

std::vector<MeshUse> MeshUses(const aiScene& scene) {
  std::vector<MeshUse> uses;
  // A stack of its own, not recursion: a crafted file may nest nodes deeper than the
  // call stack holds, and a mesh at any depth is placed by every node above it.
  struct Pending {
    const aiNode* node;
    aiMatrix4x4 parent;
  };
  std::vector<Pending> stack = {{scene.mRootNode, aiMatrix4x4()}};
  while (!stack.empty()) {
    const Pending next = stack.back();
    stack.pop_back();
    const aiNode* node = next.node;
    if (node == nullptr) continue;
    const aiMatrix4x4 placement = next.parent * node->mTransformation;
    for (unsigned i = 0; i < node->mNumMeshes && node->mMeshes != nullptr; ++i) {
      uses.push_back({node->mMeshes[i], std::string(node->mName.C_Str()), placement});
    }
    // Pushed last child first, so children are taken in their order.
    for (unsigned c = node->mNumChildren; c-- > 0 && node->mChildren != nullptr;) {
      stack.push_back({node->mChildren[c], placement});
    }
  }
  // Indices past the mesh list name nothing the payload could hold.
  uses.erase(std::remove_if(uses.begin(), uses.end(),
                            [&](const MeshUse& u) { return u.mesh >= scene.mNumMeshes; }),
             uses.end());
  return uses;
}

bool IsIdentity(const aiMatrix4x4& m) {
  const aiMatrix4x4 identity;
  for (unsigned r = 0; r < 4; ++r) {
    for (unsigned c = 0; c < 4; ++c) {
      if (std::fabs(m[r][c] - identity[r][c]) > 1e-6f) return false;
    }
  }
  return true;
}

BakedScene::BakedScene(const aiScene& source) : scene_(std::make_unique<aiScene>()) {
  const std::vector<MeshUse> uses = MeshUses(source);
  std::map<unsigned, unsigned> usesOf;
  for (const MeshUse& use : uses) ++usesOf[use.mesh];
  std::vector<aiMesh*> meshes;
  for (const MeshUse& use : uses) {
    const aiMesh* mesh = source.mMeshes[use.mesh];
    if (mesh == nullptr) continue;
    std::string name = mesh->mName.C_Str();
    if (usesOf[use.mesh] > 1) name += "@" + use.node;
    meshes.push_back(Placed(*mesh, use.placement, name));
    if (error_.empty()) error_ = LeavesTheRange(*mesh, *meshes.back(), use);
  }
  for (unsigned m = 0; m < source.mNumMeshes; ++m) {
    if (usesOf.count(m) == 0 && source.mMeshes[m] != nullptr) {
      meshes.push_back(Placed(*source.mMeshes[m], aiMatrix4x4(), source.mMeshes[m]->mName.C_Str()));
    }
  }
  scene_->mNumMeshes = static_cast<unsigned>(meshes.size());
  scene_->mMeshes = new aiMesh*[meshes.size()];
  std::copy(meshes.begin(), meshes.end(), scene_->mMeshes);
}

BakedScene::~BakedScene() = default;

}  // namespace qx
