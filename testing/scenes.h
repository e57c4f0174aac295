// Test helper: Assimp scenes built in memory, in exactly the shapes a test needs.
// The scene owns everything attached to it and frees it the way the importer would.
#pragma once

#include <assimp/scene.h>

#include "asset/byte_stream.h"

#include <memory>
#include <string>
#include <vector>

namespace qx::testing {

struct MeshShape {
  std::string name;  // may hold a zero byte
  unsigned material = 0;
  std::vector<aiVector3D> positions;
  std::vector<std::vector<unsigned>> faces;
  std::vector<aiVector3D> normals;  // empty: no normal array
  std::vector<aiVector3D> uvs;      // empty: no first texture-coordinate set
};

struct ChannelShape {
  std::vector<aiVectorKey> positions;
  std::vector<aiVectorKey> scalings;
  std::vector<aiQuatKey> rotations;
};

using AnimationShape = std::vector<ChannelShape>;

aiMesh* MakeMesh(const MeshShape& shape);
aiNodeAnim* MakeChannel(const ChannelShape& shape);
aiAnimation* MakeAnimation(const AnimationShape& shape);

std::unique_ptr<aiScene> MakeModelScene(const std::vector<MeshShape>& meshes);
std::unique_ptr<aiScene> MakeAnimationScene(const std::vector<AnimationShape>& animations);

// A payload encoder: EncodeModel or EncodeAnimation.
using Encoder = bool (*)(const aiScene&, ByteStream&, std::string*);
// The payload the encoder makes of a scene it must accept.
std::string Encoded(Encoder encode, const aiScene& scene);
// The error of a scene the encoder must refuse, leaving the stream exactly as it was.
std::string Refusal(Encoder encode, const aiScene& scene);

}  // namespace qx::testing
