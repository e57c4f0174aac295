#include "convert/scene_import.h"

#include <assimp/DefaultIOStream.h>
#include <assimp/DefaultIOSystem.h>
#include <assimp/postprocess.h>

#include <algorithm>
#include <assimp/Importer.hpp>

#include "convert/animation_payload.h"
#include "convert/model_payload.h"
#include "platform/platform.h"

namespace qx {
namespace {

constexpr unsigned kModelFlags = aiProcess_CalcTangentSpace | aiProcess_JoinIdenticalVertices |
                                 aiProcess_Triangulate | aiProcess_SortByPType | aiProcess_FlipUVs;
constexpr unsigned kAnimationFlags = aiProcess_CalcTangentSpace | aiProcess_JoinIdenticalVertices |
                                     aiProcess_Triangulate | aiProcess_SortByPType;
static_assert(kModelFlags == 0x80800B && kAnimationFlags == 0x800B);

class FileStream : public Assimp::DefaultIOStream {
 public:
  FileStream(std::FILE* file, const std::string& name) : DefaultIOStream(file, name) {}
};

// Every file the import reads is opened through the platform layer, so UTF-8 and long
// paths work on Windows too; when asked, each file that opened is noted, so a build
// can rerun the conversion when any of them changes.
class PlatformIOSystem : public Assimp::DefaultIOSystem {
 public:
  explicit PlatformIOSystem(std::vector<std::string>* opened) : opened_(opened) {}

  bool Exists(const char* file) const override { return platform::PathExists(file); }
  Assimp::IOStream* Open(const char* file, const char* mode) override {
    int error = 0;
    std::FILE* stream = platform::OpenFile(file, mode, &error);
    if (stream == nullptr) return nullptr;
    if (opened_ != nullptr && std::find(opened_->begin(), opened_->end(), file) == opened_->end()) {
      opened_->push_back(file);
    }
    return new FileStream(stream, file);
  }

 private:
  std::vector<std::string>* opened_;
};

}  // namespace

bool ImportScene(const char* path, format::AssetKind kind, ByteStream* payload, std::string* error,
                 std::vector<std::string>* openedFiles, std::vector<std::uint32_t>* faceSizes) {
  Assimp::Importer importer;
  importer.SetIOHandler(new PlatformIOSystem(openedFiles));
  const bool model = kind == format::AssetKind::Model;
  const aiScene* scene = importer.ReadFile(path, model ? kModelFlags : kAnimationFlags);
  if (scene == nullptr) {
    *error = importer.GetErrorString();
    return false;
  }
  if (!model) return EncodeAnimation(*scene, *payload, error);
  if (!EncodeModel(*scene, *payload, error)) return false;
  if (faceSizes != nullptr) {
    faceSizes->clear();
    for (unsigned m = 0; m < scene->mNumMeshes; ++m) {
      const aiMesh& mesh = *scene->mMeshes[m];
      faceSizes->push_back(mesh.mNumFaces > 0 && mesh.mFaces != nullptr ? mesh.mFaces[0].mNumIndices
                                                                       : 0);
    }
  }
  return true;
}

}  // namespace qx

// QX_MODULE_EXPORT marks the entry for export; the build defines it for the system.
extern "C" QX_MODULE_EXPORT bool QxImportScene(const char* path, int kind, qx::ByteStream* payload,
                                               std::string* error,
                                               std::vector<std::string>* openedFiles,
                                               std::vector<std::uint32_t>* faceSizes) {
  return qx::ImportScene(path, static_cast<qx::format::AssetKind>(kind), payload, error, openedFiles,
                         faceSizes);
}
