#include "examine/write_out.h"

#include <assimp/material.h>
#include <assimp/scene.h>

#include <algorithm>
#include <assimp/Exporter.hpp>
#include <cctype>
#include <limits>
#include <memory>

#include "asset/asset.h"
#include "asset/output_file.h"

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

template <typename T, typename Source, typename Convert>
T* CopyOut(const std::vector<Source>& values, Convert convert) {
  T* out = new T[values.size()];
  for (std::size_t i = 0; i < values.size(); ++i) out[i] = convert(values[i]);
  return out;
}

aiMesh* BuildMesh(const reader::Mesh& source) {
  auto* mesh = new aiMesh();
  mesh->mName.Set(source.name);
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

}  // namespace

bool ExtractSource(const reader::AssetFile& asset, const std::string& outputPath,
                   std::string* error) {
  if (asset.kind == AssetKind::Model || asset.kind == AssetKind::Animation) {
    *error = std::string("cannot extract from a ") + reader::KindName(asset.kind) +
             " asset; only texture, music and sound assets hold their source";
    return false;
  }
  OutputFile output;
  if (!output.Open(outputPath) ||
      !output.Write(asset.data.data(), static_cast<std::int32_t>(asset.data.size())) ||
      !output.Commit()) {
    *error = output.errorText();
    return false;
  }
  return true;
}

bool ExportModel(const reader::AssetFile& asset, const std::string& outputPath,
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
  if (asset.meshes.empty()) {
    *error = "the model has no meshes to export";
    return false;
  }
  std::uint32_t materials = 0;
  for (const reader::Mesh& mesh : asset.meshes) {
    materials = std::max<std::uint32_t>(materials, mesh.materialIndex + 1);
  }
  if (materials == 0 || materials > kMaxMaterials) {
    *error = "material index " + std::to_string(materials - 1) + " is too large to export";
    return false;
  }

  aiScene scene;
  scene.mNumMeshes = static_cast<unsigned>(asset.meshes.size());
  scene.mMeshes = new aiMesh*[scene.mNumMeshes];
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) scene.mMeshes[m] = BuildMesh(asset.meshes[m]);
  scene.mNumMaterials = materials;
  scene.mMaterials = new aiMaterial*[materials];
  for (unsigned i = 0; i < materials; ++i) {
    scene.mMaterials[i] = new aiMaterial();
    const aiString name("material" + std::to_string(i));
    scene.mMaterials[i]->AddProperty(&name, AI_MATKEY_NAME);
  }
  scene.mRootNode = new aiNode("root");
  scene.mRootNode->mNumMeshes = scene.mNumMeshes;
  scene.mRootNode->mMeshes = new unsigned[scene.mNumMeshes];
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) scene.mRootNode->mMeshes[m] = m;

  Assimp::Exporter exporter;
  if (exporter.Export(&scene, format, outputPath) != aiReturn_SUCCESS) {
    *error = exporter.GetErrorString();
    return false;
  }
  return true;
}

}  // namespace qx::examine
