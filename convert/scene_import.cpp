#include "convert/scene_import.h"

#include <assimp/DefaultIOStream.h>
#include <assimp/DefaultIOSystem.h>
#include <assimp/postprocess.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <assimp/Importer.hpp>

#include "convert/animation_payload.h"
#include "convert/model_payload.h"
#include "convert/placement.h"
#include "convert/scene_report.h"
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

bool ImportScene(const SceneRequest& request) {
  const auto started = std::chrono::steady_clock::now();
  Assimp::Importer importer;
  importer.SetIOHandler(new PlatformIOSystem(request.openedFiles));
  const bool model = request.kind == format::AssetKind::Model;
  const aiScene* scene = importer.ReadFile(request.path, model ? kModelFlags : kAnimationFlags);
  if (request.unreadable != nullptr) *request.unreadable = scene == nullptr;
  if (scene == nullptr) {
    *request.error = importer.GetErrorString();
    return false;
  }
  const auto imported = std::chrono::steady_clock::now();
  std::unique_ptr<BakedScene> baked;
  if (model && request.bake) baked = std::make_unique<BakedScene>(*scene);
  const aiScene& encoded = baked ? baked->scene() : *scene;
  if (!(model ? EncodeModel(encoded, *request.payload, request.error)
              : EncodeAnimation(encoded, *request.payload, request.error))) {
    return false;
  }
  if (request.report != nullptr) {
    request.report->importSeconds = std::chrono::duration<double>(imported - started).count();
    request.report->encodeSeconds = report::SecondsSince(imported);
    DescribeScene(*scene, encoded, request.kind, baked != nullptr, request.report);
  }
  if (model && request.faceSizes != nullptr) {
    request.faceSizes->clear();
    for (unsigned m = 0; m < encoded.mNumMeshes; ++m) {
      const aiMesh& mesh = *encoded.mMeshes[m];
      request.faceSizes->push_back(mesh.mNumFaces > 0 && mesh.mFaces != nullptr ? mesh.mFaces[0].mNumIndices
                                                                               : 0);
    }
  }
  return true;
}

}  // namespace qx

// QX_MODULE_EXPORT marks the entry for export; the build defines it for the system.
extern "C" QX_MODULE_EXPORT bool QxImportScene(const qx::SceneRequest& request) {
  return qx::ImportScene(request);
}
