// The Assimp side of the model and animation loaders: one importer per call, which
// owns the scene and releases it when the call returns, on every path.
#include <assimp/postprocess.h>

#include <assimp/Importer.hpp>

#include "asset/asset.h"
#include "convert/animation_payload.h"
#include "convert/model_payload.h"

namespace qx {
namespace {

constexpr unsigned kModelFlags = aiProcess_CalcTangentSpace | aiProcess_JoinIdenticalVertices |
                                 aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_FlipUVs;
constexpr unsigned kAnimationFlags = aiProcess_CalcTangentSpace | aiProcess_JoinIdenticalVertices |
                                     aiProcess_Triangulate | aiProcess_SortByPType;
static_assert(kModelFlags == 0x80800B && kAnimationFlags == 0x800B);

using Encoder = bool (*)(const aiScene&, ByteStream&, std::string*);

bool LoadScene(Asset& asset, const std::string& inputPath, unsigned flags, Encoder encode,
               const char* tag) {
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(inputPath.c_str(), flags);
  if (scene == nullptr) {
    asset.errorText = importer.GetErrorString();
    return false;
  }
  if (!encode(*scene, asset.payload, &asset.errorText)) return false;
  asset.typeTag = tag;
  asset.version = 1;
  asset.loaded = true;
  return true;
}

}  // namespace

bool Asset::LoadModel(const std::string& inputPath) {
  return LoadScene(*this, inputPath, kModelFlags, EncodeModel, "QMDL");
}

bool Asset::LoadAnimation(const std::string& inputPath) {
  return LoadScene(*this, inputPath, kAnimationFlags, EncodeAnimation, "QANM");
}

}  // namespace qx
