#include "examine/write_out.h"

#include <algorithm>
#if QX_WITH_ASSIMP
#include <assimp/material.h>
#include <assimp/scene.h>

#include <assimp/Exporter.hpp>
#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#endif
#include <cctype>
#include <cstring>
#include <limits>
#include <memory>

#include "asset/asset.h"
#include "examine/json_writer.h"
#include "files/output_file.h"
#include "platform/platform.h"

namespace qx::examine {
namespace {

using reader::AssetKind;

// Each exporter needs a material for every index a mesh names; beyond this many the
// asset is more likely broken than real.
constexpr std::uint32_t kMaxMaterials = 4096;

const char* FormatFor(const std::string& path) {
  std::string extension = FileExtension(path);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static const struct {
    const char* extension;
    const char* format;
  } kFormats[] = {{".obj", "obj"}, {".gltf", "gltf2"}, {".glb", "glb2"},
                  {".ply", "ply"}, {".stl", "stl"},    {".dae", "collada"}};
  for (const auto& f : kFormats) {
    if (extension == f.extension) return f.format;
  }
  return nullptr;
}

#if QX_WITH_ASSIMP
// Holds what the exporter writes, file by file, so that nothing reaches the disk
// until the export is complete and each file then goes through OutputFile, whose
// writes are checked: Assimp's own file writer does not report a short write.
class CapturingIOSystem : public Assimp::IOSystem {
 public:
  class Stream : public Assimp::IOStream {
   public:
    explicit Stream(std::string* bytes) : bytes_(bytes) {}
    size_t Read(void*, size_t, size_t) override { return 0; }
    size_t Write(const void* data, size_t size, size_t count) override {
      const std::size_t length = size * count;
      if (bytes_->size() < at_ + length) bytes_->resize(at_ + length);
      std::memcpy(&(*bytes_)[at_], data, length);
      at_ += length;
      return count;
    }
    aiReturn Seek(size_t offset, aiOrigin origin) override {
      // Past the end is allowed, as in a file: the GLB writer leaves room for a header.
      const std::size_t base = origin == aiOrigin_CUR   ? at_
                               : origin == aiOrigin_END ? bytes_->size()
                                                        : 0;
      at_ = base + offset;
      return aiReturn_SUCCESS;
    }
    size_t Tell() const override { return at_; }
    size_t FileSize() const override { return bytes_->size(); }
    void Flush() override {}

   private:
    std::string* bytes_;
    std::size_t at_ = 0;
  };

  bool Exists(const char* path) const override {
    return std::any_of(files_.begin(), files_.end(),
                       [path](const auto& file) { return file.first == path; });
  }
  char getOsSeparator() const override { return '/'; }
  Assimp::IOStream* Open(const char* path, const char* mode) override {
    if (mode == nullptr || (mode[0] != 'w' && mode[0] != 'a')) return nullptr;
    auto found = std::find_if(files_.begin(), files_.end(),
                              [path](const auto& file) { return file.first == path; });
    if (found == files_.end()) found = files_.insert(files_.end(), {path, std::string()});
    if (mode[0] == 'w') found->second.clear();
    return new Stream(&found->second);
  }
  void Close(Assimp::IOStream* stream) override { delete stream; }

  // In the order first opened.
  const std::vector<std::pair<std::string, std::string>>& files() const { return files_; }

 private:
  std::vector<std::pair<std::string, std::string>> files_;
};

template <typename T, typename Source, typename Convert>
T* CopyOut(const std::vector<Source>& values, Convert convert) {
  T* out = new T[values.size()];
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = convert(values[i]);
  return out;
}

// A name is file content, not syntax: a line break in it would start a new line of an
// OBJ (mtllib, v, f), so control characters become '_'; OBJ also ends a name at white
// space, so there spaces do too. glTF and COLLADA must be UTF-8, and the names come
// from the source's bytes: what is not UTF-8 becomes U+FFFD in every format.
std::string ExportName(const std::string& name, bool obj) {
  std::string out = ValidUtf8(name);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || (obj && c == ' ')) c = '_';
  }
  return out;
}

aiMesh* BuildMesh(const reader::Mesh& source, bool obj) {
  auto* mesh = new aiMesh();
  mesh->mName.Set(ExportName(source.name, obj));
  mesh->mMaterialIndex = source.materialIndex;
  mesh->mNumVertices = static_cast<unsigned>(source.positions.size());
  auto toVector = [](const reader::Vec3& v) { return aiVector3D(v.x, v.y, v.z); };
  mesh->mVertices = CopyOut<aiVector3D>(source.positions, toVector);
  if (source.hasNormals) mesh->mNormals = CopyOut<aiVector3D>(source.normals, toVector);
  if (source.hasTextureCoords) {
    mesh->mTextureCoords[0] = CopyOut<aiVector3D>(
        source.textureCoords, [](const reader::Vec2& t) { return aiVector3D(t.u, t.v, 0); });
    mesh->mNumUVComponents[0] = 2;
  }
  const unsigned perFace = source.indicesPerFace;
  mesh->mPrimitiveTypes = perFace == 1   ? aiPrimitiveType_POINT
                          : perFace == 2 ? aiPrimitiveType_LINE
                                         : aiPrimitiveType_TRIANGLE;
  mesh->mNumFaces = perFace == 0 ? 0 : source.faceCount;
  if (mesh->mNumFaces > 0) {
    mesh->mFaces = new aiFace[mesh->mNumFaces];
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
      aiFace& face = mesh->mFaces[f];
      face.mNumIndices = perFace;
      face.mIndices = new unsigned[perFace];
      std::copy_n(&source.indices[std::size_t{f} * perFace], perFace, face.mIndices);
    }
  }
  return mesh;
}

#endif

}  // namespace

namespace {

int ClaimOutput(WriteGuard& guard, const std::string& path, std::string* error) {
  return guard.Claim("cannot write", path, path + ", which this run writes too", false, error);
}

std::string WriteFailure(const std::string& path, const OutputFile& output) {
  if (output.refused()) return output.errorText();
  std::string text = "cannot write " + path + ": " + output.errorText();
  if (output.errorNumber() != 0) text += std::string(" (") + std::strerror(output.errorNumber()) + ")";
  return text;
}

// OutputFile::Write takes a 32-bit signed length.
bool FitsOneWrite(const std::string& path, const std::string& bytes, std::string* error) {
  if (bytes.size() <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return true;
  *error = "cannot write " + path + ": 2 GiB or larger";
  return false;
}

}  // namespace

WriteGuard GuardReading(const std::string& inputPath) {
  WriteGuard guard(": it is ", "");
  guard.AddRead(inputPath, "the file being read");
  return guard;
}

bool WriteWhole(WriteGuard& guard, const std::string& path, const std::string& bytes,
                std::string* error) {
  if (!FitsOneWrite(path, bytes, error)) return false;
  const int claim = ClaimOutput(guard, path, error);
  if (claim < 0) return false;
  OutputFile output;
  if (!output.Open(path, guard, claim) ||
      !output.Write(bytes.data(), static_cast<std::int32_t>(bytes.size())) || !output.Commit()) {
    *error = WriteFailure(path, output);
    return false;
  }
  return true;
}

bool ExtractSource(const reader::AssetFile& asset, const std::string& outputPath,
                   WriteGuard& guard, std::string* error) {
  if (asset.kind == AssetKind::Model || asset.kind == AssetKind::Animation) {
    *error = std::string("cannot extract from a ") + reader::KindName(asset.kind) +
             " asset; only texture, music and sound assets hold their source";
    return false;
  }
  const int claim = ClaimOutput(guard, outputPath, error);
  if (claim < 0) return false;
  OutputFile output;
  if (!output.Open(outputPath, guard, claim) ||
      !output.Write(asset.data.data(), static_cast<std::int32_t>(asset.data.size())) ||
      !output.Commit()) {
    *error = WriteFailure(outputPath, output);
    return false;
  }
  return true;
}

bool ExportModelToMemory(const reader::AssetFile& asset, const std::string& outputPath,
                         std::vector<std::pair<std::string, std::string>>* files,
                         std::string* error) {
  if (asset.kind != AssetKind::Model) {
    *error = std::string("cannot export a ") + reader::KindName(asset.kind) +
             " asset; only model assets hold meshes";
    return false;
  }
  const char* format = FormatFor(outputPath);
  if (format == nullptr) {
    *error = "cannot tell the export format from \"" + FileExtension(outputPath) +
             "\"; use .obj, .gltf, .glb, .ply, .stl or .dae";
    return false;
  }
#if !QX_WITH_ASSIMP
  (void)files;
  *error = "this build of QXInspect exports no models (it was built without Assimp)";
  return false;
#else
  if (asset.meshes.empty()) {
    *error = "the model has no meshes to export";
    return false;
  }
  // The exporters index the material array with each mesh's index unchecked.
  std::uint64_t materials = 0;
  for (const reader::Mesh& mesh : asset.meshes) {
    materials = std::max<std::uint64_t>(materials, std::uint64_t{mesh.materialIndex} + 1);
  }
  if (materials > kMaxMaterials) {
    *error = "material index " + std::to_string(materials - 1) + " is too large to export";
    return false;
  }

  aiScene scene;
  scene.mNumMeshes = static_cast<unsigned>(asset.meshes.size());
  scene.mMeshes = new aiMesh*[scene.mNumMeshes];
  const bool obj = std::strcmp(format, "obj") == 0;
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
    scene.mMeshes[m] = BuildMesh(asset.meshes[m], obj);
  }
  scene.mNumMaterials = static_cast<unsigned>(materials);
  scene.mMaterials = new aiMaterial*[materials];
  for (unsigned i = 0; i < materials; ++i) {
    scene.mMaterials[i] = new aiMaterial();
    const aiString name("material" + std::to_string(i));
    scene.mMaterials[i]->AddProperty(&name, AI_MATKEY_NAME);
  }
  scene.mRootNode = new aiNode("root");
  if (std::strcmp(format, "gltf2") == 0 || std::strcmp(format, "glb2") == 0) {
    // A glTF node holds one mesh, so the exporter would merge the root's meshes into
    // one of many primitives and lose their names: each mesh gets a node of its name.
    scene.mRootNode->mNumChildren = scene.mNumMeshes;
    scene.mRootNode->mChildren = new aiNode*[scene.mNumMeshes];
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
      aiNode* node = new aiNode(scene.mMeshes[m]->mName.C_Str());
      node->mParent = scene.mRootNode;
      node->mNumMeshes = 1;
      node->mMeshes = new unsigned[1]{m};
      scene.mRootNode->mChildren[m] = node;
    }
  } else {
    scene.mRootNode->mNumMeshes = scene.mNumMeshes;
    scene.mRootNode->mMeshes = new unsigned[scene.mNumMeshes];
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) scene.mRootNode->mMeshes[m] = m;
  }

  Assimp::Exporter exporter;
  auto* capture = new CapturingIOSystem();
  exporter.SetIOHandler(capture);
  if (exporter.Export(&scene, format, outputPath) != aiReturn_SUCCESS) {
    *error = exporter.GetErrorString();
    return false;
  }
  *files = capture->files();
  return true;
#endif
}

bool ExportModel(const reader::AssetFile& asset, const std::string& outputPath,
                 WriteGuard& guard, std::vector<std::string>* committed, std::string* error) {
  std::vector<std::pair<std::string, std::string>> written;
  if (!ExportModelToMemory(asset, outputPath, &written, error)) return false;
  // A companion is named by the exporter, not the user: it may be the very file read
  // (crate.bin for crate.gltf).
  std::vector<int> claims;
  for (const auto& file : written) {
    claims.push_back(ClaimOutput(guard, file.first, error));
    if (claims.back() < 0) return false;
  }
  // Every file is made ready before any replaces what was there; then companion files
  // (an .obj's .mtl, a .gltf's .bin) are committed first and the named file last, so a
  // complete main file never points at a missing companion.
  std::vector<std::unique_ptr<OutputFile>> outputs;
  for (std::size_t i = 0; i < written.size(); ++i) {
    const auto& [path, bytes] = written[i];
    outputs.push_back(std::make_unique<OutputFile>());
    OutputFile& output = *outputs.back();
    if (!FitsOneWrite(path, bytes, error)) return false;
    if (!output.Open(path, guard, claims[i]) ||
        !output.Write(bytes.data(), static_cast<std::int32_t>(bytes.size())) ||
        !output.Prepare()) {
      *error = WriteFailure(path, output);
      return false;
    }
  }
  for (std::size_t pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < written.size(); ++i) {
      if ((written[i].first == outputPath) != (pass == 1)) continue;
      if (!outputs[i]->Commit()) {
        *error = WriteFailure(written[i].first, *outputs[i]);
        return false;
      }
      committed->push_back(written[i].first);
    }
  }
  return true;
}

}  // namespace qx::examine
