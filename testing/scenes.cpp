#include "testing/scenes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "testing/cursor.h"

namespace qx::testing {
namespace {

template <typename T>
T* CopyArray(const std::vector<T>& values) {
  if (values.empty()) return nullptr;
  T* array = new T[values.size()];
  std::copy(values.begin(), values.end(), array);
  return array;
}

}  // namespace

aiMesh* MakeMesh(const MeshShape& shape) {
  auto* mesh = new aiMesh();
  // Set the stored characters directly, so a zero byte inside the name survives.
  mesh->mName.length = static_cast<ai_uint32>(shape.name.size());
  std::memcpy(mesh->mName.data, shape.name.data(), shape.name.size());
  mesh->mName.data[shape.name.size()] = '\0';
  mesh->mMaterialIndex = shape.material;
  mesh->mNumVertices = static_cast<unsigned>(shape.positions.size());
  mesh->mVertices = CopyArray(shape.positions);
  mesh->mNormals = CopyArray(shape.normals);
  mesh->mTextureCoords[0] = CopyArray(shape.uvs);
  if (!shape.uvs.empty()) mesh->mNumUVComponents[0] = 2;
  mesh->mNumFaces = static_cast<unsigned>(shape.faces.size());
  if (!shape.faces.empty()) {
    mesh->mFaces = new aiFace[shape.faces.size()];
    for (std::size_t f = 0; f < shape.faces.size(); ++f) {
      mesh->mFaces[f].mNumIndices = static_cast<unsigned>(shape.faces[f].size());
      mesh->mFaces[f].mIndices = CopyArray(shape.faces[f]);
    }
  }
  return mesh;
}

aiNodeAnim* MakeChannel(const ChannelShape& shape) {
  auto* channel = new aiNodeAnim();
  channel->mNumPositionKeys = static_cast<unsigned>(shape.positions.size());
  channel->mPositionKeys = CopyArray(shape.positions);
  channel->mNumScalingKeys = static_cast<unsigned>(shape.scalings.size());
  channel->mScalingKeys = CopyArray(shape.scalings);
  channel->mNumRotationKeys = static_cast<unsigned>(shape.rotations.size());
  channel->mRotationKeys = CopyArray(shape.rotations);
  return channel;
}

aiAnimation* MakeAnimation(const AnimationShape& shape) {
  auto* animation = new aiAnimation();
  animation->mNumChannels = static_cast<unsigned>(shape.size());
  if (!shape.empty()) {
    animation->mChannels = new aiNodeAnim*[shape.size()];
    for (std::size_t c = 0; c < shape.size(); ++c) animation->mChannels[c] = MakeChannel(shape[c]);
  }
  return animation;
}

std::unique_ptr<aiScene> MakeModelScene(const std::vector<MeshShape>& meshes) {
  auto scene = std::make_unique<aiScene>();
  scene->mNumMeshes = static_cast<unsigned>(meshes.size());
  if (!meshes.empty()) {
    scene->mMeshes = new aiMesh*[meshes.size()];
    for (std::size_t m = 0; m < meshes.size(); ++m) scene->mMeshes[m] = MakeMesh(meshes[m]);
  }
  return scene;
}

std::unique_ptr<aiScene> MakeAnimationScene(const std::vector<AnimationShape>& animations) {
  auto scene = std::make_unique<aiScene>();
  scene->mNumAnimations = static_cast<unsigned>(animations.size());
  if (!animations.empty()) {
    scene->mAnimations = new aiAnimation*[animations.size()];
    for (std::size_t a = 0; a < animations.size(); ++a) {
      scene->mAnimations[a] = MakeAnimation(animations[a]);
    }
  }
  return scene;
}

std::string Encoded(Encoder encode, const aiScene& scene) {
  ByteStream out;
  std::string error;
  EXPECT_TRUE(encode(scene, out, &error)) << error;
  return Content(out);
}

std::string Refusal(Encoder encode, const aiScene& scene) {
  ByteStream out;
  out.OpenMemoryForWrite();
  out.Write("keep", 4);
  std::string error;
  EXPECT_FALSE(encode(scene, out, &error));
  EXPECT_EQ(Content(out), "keep");
  return error;
}

}  // namespace qx::testing
