// Drives the model and animation payload writers with scenes shaped by the fuzz
// input: odd names, empty and null arrays, counts past 16 bits, mixed primitive
// sizes. A refused scene must leave the stream untouched and say why; an accepted
// one must read back through the reader as exactly the scene, bit for bit.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "asset/byte_stream.h"
#include "convert/animation_payload.h"
#include "convert/model_payload.h"
#include "format/asset_format.h"
#include "reader/asset_reader.h"

namespace {

constexpr unsigned kLargest = 4096;  // arrays are only ever allocated up to this

#define CHECK(condition) \
  if (!(condition)) std::abort()

// Mostly small counts, sometimes ones around the 16-bit limit; those always come
// with null arrays, so nothing huge is allocated.
unsigned PickCount(FuzzedDataProvider& in, unsigned small) {
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
    return in.PickValueInArray<unsigned>({65535u, 65536u, 70000u, 0xFFFFFFFFu});
  }
  return in.ConsumeIntegralInRange<unsigned>(0, small);
}

// Either null or exactly count entries: the importer's promise that the encoder
// relies on. Null also where the count says entries exist, which must be refused.
template <typename T>
T* MaybeArray(FuzzedDataProvider& in, unsigned count) {
  if (count > kLargest || in.ConsumeIntegralInRange<int>(0, 7) == 0) return nullptr;
  T* array = new T[std::max(count, 1u)];
  for (unsigned i = 0; i < count; ++i) in.ConsumeData(&array[i], sizeof(T));
  return array;
}

aiMesh* MakeMesh(FuzzedDataProvider& in) {
  auto* mesh = new aiMesh();
  // Up to the whole buffer, possibly without any zero byte.
  const std::string name = in.ConsumeRandomLengthString(sizeof(mesh->mName.data) + 8);
  std::memcpy(mesh->mName.data, name.data(), std::min(name.size(), sizeof(mesh->mName.data)));
  mesh->mMaterialIndex = in.ConsumeIntegral<unsigned>();
  mesh->mNumVertices = PickCount(in, 32);
  mesh->mVertices = MaybeArray<aiVector3D>(in, mesh->mNumVertices);
  mesh->mNormals = MaybeArray<aiVector3D>(in, mesh->mNumVertices);
  mesh->mTextureCoords[0] = MaybeArray<aiVector3D>(in, mesh->mNumVertices);
  mesh->mNumFaces = PickCount(in, 16);
  if (mesh->mNumFaces <= kLargest && in.ConsumeBool()) {
    mesh->mFaces = new aiFace[std::max(mesh->mNumFaces, 1u)];
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
      mesh->mFaces[f].mNumIndices = in.ConsumeIntegralInRange<unsigned>(0, 5);
      mesh->mFaces[f].mIndices = MaybeArray<unsigned>(in, mesh->mFaces[f].mNumIndices);
    }
  }
  return mesh;
}

aiNodeAnim* MakeChannel(FuzzedDataProvider& in) {
  auto* channel = new aiNodeAnim();
  channel->mNumPositionKeys = PickCount(in, 8);
  channel->mPositionKeys = MaybeArray<aiVectorKey>(in, channel->mNumPositionKeys);
  channel->mNumScalingKeys = PickCount(in, 8);
  channel->mScalingKeys = MaybeArray<aiVectorKey>(in, channel->mNumScalingKeys);
  channel->mNumRotationKeys = PickCount(in, 8);
  channel->mRotationKeys = MaybeArray<aiQuatKey>(in, channel->mNumRotationKeys);
  return channel;
}

aiAnimation* MakeAnimation(FuzzedDataProvider& in);

// A list of count entries, some of them null, or no list at all.
template <typename T>
T** MakeList(FuzzedDataProvider& in, unsigned* count, T* (*make)(FuzzedDataProvider&)) {
  *count = PickCount(in, 4);
  // Assimp frees a list only when its count is not 0, so an empty list stays null.
  if (*count == 0 || *count > kLargest || in.ConsumeIntegralInRange<int>(0, 15) == 0) {
    return nullptr;
  }
  T** list = new T*[*count]();
  for (unsigned i = 0; i < *count; ++i) {
    list[i] = in.ConsumeIntegralInRange<int>(0, 31) != 0 ? make(in) : nullptr;
  }
  return list;
}

aiAnimation* MakeAnimation(FuzzedDataProvider& in) {
  auto* animation = new aiAnimation();
  animation->mChannels = MakeList<aiNodeAnim>(in, &animation->mNumChannels, MakeChannel);
  return animation;
}

template <typename T>
bool SameBits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Reads an accepted payload back with the reader, as an engine would, and compares it
// with the scene field by field, bit for bit: the decoder checks the encoder.
void CheckRoundTrip(const std::uint8_t* payload, std::size_t size, const aiScene& scene,
                    bool model) {
  // Face sizes as the scene has them; a mesh of mixed sizes is a payload the format
  // cannot describe by itself, so such a scene is checked no further.
  std::vector<std::uint32_t> faceSizes;
  for (unsigned m = 0; model && m < scene.mNumMeshes; ++m) {
    const aiMesh& mesh = *scene.mMeshes[m];
    const bool faces = mesh.mFaces != nullptr && mesh.mNumFaces > 0;
    const unsigned first = faces ? mesh.mFaces[0].mNumIndices : 0;
    for (unsigned f = 0; faces && f < mesh.mNumFaces; ++f) {
      if (mesh.mFaces[f].mNumIndices != first || first > 3) return;
      // The reader refuses an index outside the mesh's vertices; Assimp never makes one.
      for (unsigned k = 0; k < first; ++k) {
        if (mesh.mFaces[f].mIndices[k] >= mesh.mNumVertices) return;
      }
    }
    faceSizes.push_back(first);
  }
  std::vector<std::uint8_t> file(qx::format::kHeaderSize + size);
  qx::format::EncodeHeader({model ? qx::format::AssetKind::Model : qx::format::AssetKind::Animation,
                            qx::format::kVersion, false},
                           file.data());
  std::memcpy(file.data() + qx::format::kHeaderSize, payload, size);
  qx::reader::AssetFile asset;
  std::string error;
  if (!qx::reader::ReadAsset(file.data(), file.size(), &asset, &error, model ? &faceSizes : nullptr)) {
    std::fprintf(stderr, "the reader refused an accepted payload: %s\n", error.c_str());
    std::abort();
  }
  if (model) {
    CHECK(asset.meshes.size() == scene.mNumMeshes);
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
      const aiMesh& in = *scene.mMeshes[m];
      const qx::reader::Mesh& out = asset.meshes[m];
      CHECK(out.name == std::string(in.mName.data, strnlen(in.mName.data, sizeof(in.mName.data))));
      CHECK(out.materialIndex == in.mMaterialIndex);
      CHECK(out.positions.size() == in.mNumVertices);
      for (unsigned v = 0; v < in.mNumVertices; ++v) {
        CHECK(SameBits(out.positions[v].x, in.mVertices[v].x) &&
              SameBits(out.positions[v].y, in.mVertices[v].y) &&
              SameBits(out.positions[v].z, in.mVertices[v].z));
      }
      const bool faces = in.mFaces != nullptr && in.mNumFaces > 0;
      CHECK(out.faceCount == (faces ? in.mNumFaces : 0));
      for (unsigned f = 0, i = 0; faces && f < in.mNumFaces; ++f) {
        for (unsigned k = 0; k < in.mFaces[f].mNumIndices; ++k, ++i) {
          CHECK(out.indices[i] == in.mFaces[f].mIndices[k]);
        }
      }
      CHECK(out.hasNormals == (in.mNormals != nullptr && in.mNumVertices > 0));
      for (unsigned v = 0; out.hasNormals && v < in.mNumVertices; ++v) {
        CHECK(SameBits(out.normals[v].x, in.mNormals[v].x) &&
              SameBits(out.normals[v].z, in.mNormals[v].z));
      }
      CHECK(out.hasTextureCoords == (in.mTextureCoords[0] != nullptr && in.mNumVertices > 0));
      for (unsigned v = 0; out.hasTextureCoords && v < in.mNumVertices; ++v) {
        CHECK(SameBits(out.textureCoords[v].u, in.mTextureCoords[0][v].x) &&
              SameBits(out.textureCoords[v].v, in.mTextureCoords[0][v].y));
      }
    }
    return;
  }
  CHECK(asset.animations.size() == scene.mNumAnimations);
  for (unsigned a = 0; a < scene.mNumAnimations; ++a) {
    const aiAnimation& in = *scene.mAnimations[a];
    CHECK(asset.animations[a].channels.size() == in.mNumChannels);
    for (unsigned c = 0; c < in.mNumChannels; ++c) {
      const aiNodeAnim& channel = *in.mChannels[c];
      const qx::reader::Channel out = asset.animations[a].channels[c];
      CHECK(out.positions.size() == channel.mNumPositionKeys);
      CHECK(out.scalings.size() == channel.mNumScalingKeys);
      CHECK(out.rotations.size() == channel.mNumRotationKeys);
      for (unsigned k = 0; k < channel.mNumPositionKeys; ++k) {
        CHECK(SameBits(out.positions[k].time, channel.mPositionKeys[k].mTime) &&
              SameBits(out.positions[k].x, channel.mPositionKeys[k].mValue.x));
      }
      for (unsigned k = 0; k < channel.mNumRotationKeys; ++k) {
        const aiQuaternion& q = channel.mRotationKeys[k].mValue;
        CHECK(SameBits(out.rotations[k].w, q.w) && SameBits(out.rotations[k].x, q.x) &&
              SameBits(out.rotations[k].time, channel.mRotationKeys[k].mTime));
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool model = in.ConsumeBool();
  auto scene = std::make_unique<aiScene>();
  if (model) {
    scene->mMeshes = MakeList<aiMesh>(in, &scene->mNumMeshes, MakeMesh);
  } else {
    scene->mAnimations = MakeList<aiAnimation>(in, &scene->mNumAnimations, MakeAnimation);
  }

  qx::ByteStream out;
  out.OpenMemoryForWrite();
  out.Write("keep", 4);
  std::string error;
  const bool ok =
      model ? qx::EncodeModel(*scene, out, &error) : qx::EncodeAnimation(*scene, out, &error);
  const std::size_t written = static_cast<std::size_t>(out.Size());
  if (!ok) {
    CHECK(!error.empty());
    CHECK(written == 4 && std::memcmp(out.GetAllData(), "keep", 4) == 0);
  } else {
    CheckRoundTrip(out.GetAllData(), written, *scene, model);
  }
  return 0;
}
