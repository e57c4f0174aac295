#include "convert/scene_import.h"

#include <assimp/DefaultIOStream.h>
#include <assimp/DefaultIOSystem.h>
#include <assimp/DefaultLogger.hpp>
#include <assimp/LogStream.hpp>
#include <assimp/postprocess.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <assimp/Importer.hpp>

#include "convert/animation_payload.h"
#include "convert/mesh_optimize.h"
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

// Every message of one severity Assimp logs, in order, without the logger's
// "Warn,  T0: " prefix (its thread number) and line end, so reports repeat.
class Collected : public Assimp::LogStream {
 public:
  void write(const char* message) override {
    std::string text = message;
    for (const char* prefix : {"Warn,", "Error,"}) {
      const std::size_t colon = text.find(": ");
      if (text.rfind(prefix, 0) == 0 && colon != std::string::npos) text.erase(0, colon + 2);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    ++count;
    if (messages.size() < kKept) messages.push_back(text);
  }
  // A file that logs without end does not make the report as large.
  static constexpr std::size_t kKept = 200;
  std::uint64_t count = 0;
  std::vector<std::string> messages;
};

// Assimp's warnings and errors during one import, through its process-wide logger:
// created for the import when there is none (and removed after), else joined.
class AssimpLog {
 public:
  AssimpLog() {
    if (Assimp::DefaultLogger::isNullLogger()) {
      Assimp::DefaultLogger::create(nullptr, Assimp::Logger::NORMAL, 0);
      created_ = true;
    }
    Assimp::DefaultLogger::get()->attachStream(&warnings_, Assimp::Logger::Warn);
    Assimp::DefaultLogger::get()->attachStream(&errors_, Assimp::Logger::Err);
  }
  ~AssimpLog() {
    // Detached, the streams are ours again and the logger does not delete them.
    Assimp::DefaultLogger::get()->detachStream(&warnings_, Assimp::Logger::Warn);
    Assimp::DefaultLogger::get()->detachStream(&errors_, Assimp::Logger::Err);
    if (created_) Assimp::DefaultLogger::kill();
  }
  AssimpLog(const AssimpLog&) = delete;
  AssimpLog& operator=(const AssimpLog&) = delete;

  void AddFindings(std::vector<report::Finding>* warnings) const {
    if (warnings_.count > 0) {
      warnings->push_back({"assimp-warning", warnings_.count, warnings_.messages,
                           "Assimp logged these warnings while reading the source"});
    }
    if (errors_.count > 0) {
      warnings->push_back({"assimp-error", errors_.count, errors_.messages,
                           "Assimp logged these errors while reading the source, and read it all the same"});
    }
  }

 private:
  Collected warnings_, errors_;
  bool created_ = false;
};

}  // namespace

bool ImportScene(const SceneRequest& request) {
  const bool model = request.kind == format::AssetKind::Model;
  if (model && request.meshWork.Any() && !MeshWorkAvailable()) {
    *request.error = std::string(request.meshWork.simplifyRatio > 0 ? "-simplify" : "-optimize") +
                     " is not available in this build (it was built without meshoptimizer)";
    return false;
  }
  const auto started = std::chrono::steady_clock::now();
  std::unique_ptr<AssimpLog> log;
  if (request.report != nullptr) log = std::make_unique<AssimpLog>();
  Assimp::Importer importer;
  importer.SetIOHandler(new PlatformIOSystem(request.openedFiles));
  const aiScene* scene = importer.ReadFile(request.path, model ? kModelFlags : kAnimationFlags);
  if (request.unreadable != nullptr) *request.unreadable = scene == nullptr;
  if (scene == nullptr) {
    *request.error = importer.GetErrorString();
    return false;
  }
  const auto imported = std::chrono::steady_clock::now();
  std::unique_ptr<BakedScene> baked;
  if (model && request.bake) {
    baked = std::make_unique<BakedScene>(*scene);
    if (!baked->error().empty()) {
      *request.error = baked->error();
      return false;
    }
  }
  const aiScene& placed = baked ? baked->scene() : *scene;
  std::unique_ptr<OptimizedScene> optimized;
  std::vector<report::MeshFigures> figures;
  if (model && request.meshWork.Any()) {
    optimized = std::make_unique<OptimizedScene>(placed, request.meshWork,
                                                 request.report != nullptr ? &figures : nullptr);
  }
  const aiScene& encoded = optimized ? optimized->scene() : placed;
  if (!(model ? EncodeModel(encoded, *request.payload, request.error)
              : EncodeAnimation(encoded, *request.payload, request.error))) {
    return false;
  }
  if (request.report != nullptr) {
    request.report->importSeconds = std::chrono::duration<double>(imported - started).count();
    request.report->encodeSeconds = report::SecondsSince(imported);
    DescribeScene(*scene, encoded, request.kind, baked != nullptr, request.report);
    for (std::size_t m = 0; m < figures.size() && m < request.report->meshes.size(); ++m) {
      request.report->meshes[m].figures = figures[m];
    }
    log->AddFindings(&request.report->warnings);
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
