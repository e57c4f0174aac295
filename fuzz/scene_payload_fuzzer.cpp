// Drives the model and animation payload writers with scenes shaped by the fuzz
// input: odd names, empty and null arrays, counts past 16 bits, mixed primitive
// sizes. A refused scene must leave the stream untouched and say why; an accepted
// one must have exactly the size its scene implies, and an animation payload must
// walk back block by block to its last byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "asset/byte_stream.h"
#include "convert/animation_payload.h"
#include "convert/model_payload.h"
#include "endian/little_endian.h"

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

std::size_t ExpectedModelSize(const aiScene& scene) {
  std::size_t size = 2;
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
    const aiMesh& mesh = *scene.mMeshes[m];
    const std::size_t v = mesh.mNumVertices;
    size += 2 + strnlen(mesh.mName.data, sizeof(mesh.mName.data)) + 4 + 4 + 12 * v + 4 + 1 + 1;
    if (mesh.mFaces != nullptr) {
      for (unsigned f = 0; f < mesh.mNumFaces; ++f) size += 4 * mesh.mFaces[f].mNumIndices;
    }
    if (mesh.mNormals != nullptr) size += 12 * v;
    if (mesh.mTextureCoords[0] != nullptr) size += 8 * v;
  }
  return size;
}

// Walks the animation payload by its own counts; it must end on the last byte.
void WalkAnimation(const std::uint8_t* p, std::size_t size, const aiScene& scene) {
  std::size_t at = 0;
  auto count = [&] {
    CHECK(at + 2 <= size);
    const unsigned n = qx::LoadLE16(p + at);
    at += 2;
    return n;
  };
  CHECK(count() == scene.mNumAnimations);
  for (unsigned a = 0; a < scene.mNumAnimations; ++a) {
    const aiAnimation& animation = *scene.mAnimations[a];
    CHECK(count() == animation.mNumChannels);
    for (unsigned c = 0; c < animation.mNumChannels; ++c) {
      const aiNodeAnim& channel = *animation.mChannels[c];
      CHECK(count() == channel.mNumPositionKeys);
      at += 20 * channel.mNumPositionKeys;
      CHECK(count() == channel.mNumScalingKeys);
      at += 20 * channel.mNumScalingKeys;
      CHECK(count() == channel.mNumRotationKeys);
      for (unsigned k = 0; k < channel.mNumRotationKeys; ++k, at += 24) {
        CHECK(at + 24 <= size);
        float w;
        std::memcpy(&w, p + at + 20, 4);  // w last, bit for bit
        CHECK(std::memcmp(&w, &channel.mRotationKeys[k].mValue.w, 4) == 0);
      }
    }
  }
  CHECK(at == size);
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
  } else if (model) {
    CHECK(written == ExpectedModelSize(*scene));
    CHECK(qx::LoadLE16(out.GetAllData()) == scene->mNumMeshes);
  } else {
    WalkAnimation(out.GetAllData(), written, *scene);
  }
  return 0;
}
