#include "convert/model_payload.h"

#include <algorithm>
#include <cstdint>

#include "asset/field_writer.h"
#include "format/asset_format.h"

namespace qx {
namespace {

static_assert(sizeof(aiVector3D) == format::kPositionWidth &&
                  sizeof(aiVector3D) == format::kNormalWidth,
              "vertex arrays are written as packed f32 triples");

using format::kIndexWidth;
using format::kMaxPayloadSize;
using format::kNormalWidth;
using format::kPositionWidth;
using format::kTextureCoordWidth;

std::size_t NameLength(const aiString& name) {
  // Up to the first zero byte; bounded by the buffer in case there is none.
  const char* end = std::find(name.data, name.data + sizeof(name.data), '\0');
  return static_cast<std::size_t>(end - name.data);
}

bool HasFaces(const aiMesh& mesh) { return mesh.mFaces != nullptr && mesh.mNumFaces > 0; }

std::string MeshText(unsigned index) { return "Model mesh " + std::to_string(index); }

// Validates every array the writer will read and returns the payload size, or -1.
std::int64_t MeasureModel(const aiScene& scene, std::string* error) {
  if (scene.mMeshes == nullptr || scene.mNumMeshes == 0) {
    *error = "Model has no meshes";
    return -1;
  }
  if (scene.mNumMeshes > format::kMaxCount) {
    *error = "Model has " + std::to_string(scene.mNumMeshes) + " meshes, more than " +
             std::to_string(format::kMaxCount);
    return -1;
  }
  std::int64_t size = format::kCountWidth;
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
    const aiMesh* mesh = scene.mMeshes[m];
    if (mesh == nullptr) {
      *error = MeshText(m) + " is null";
      return -1;
    }
    const std::int64_t v = mesh->mNumVertices;
    if (v > 0 && mesh->mVertices == nullptr) {
      *error = MeshText(m) + " has " + std::to_string(v) + " vertices but no positions";
      return -1;
    }
    size += static_cast<std::int64_t>(format::kMinMeshSize + NameLength(mesh->mName) +
                                      kPositionWidth * v);
    if (HasNormals(*mesh)) size += static_cast<std::int64_t>(kNormalWidth * v);
    if (HasUVs(*mesh)) size += static_cast<std::int64_t>(kTextureCoordWidth * v);
    if (HasFaces(*mesh)) {
      for (unsigned f = 0; f < mesh->mNumFaces && size <= kMaxPayloadSize; ++f) {
        const aiFace& face = mesh->mFaces[f];
        if (face.mNumIndices > 0 && face.mIndices == nullptr) {
          *error = MeshText(m) + " face " + std::to_string(f) + " has " +
                   std::to_string(face.mNumIndices) + " indices but no index array";
          return -1;
        }
        size += static_cast<std::int64_t>(kIndexWidth * face.mNumIndices);
      }
    }
    if (size > kMaxPayloadSize) break;
  }
  if (size > kMaxPayloadSize) {
    *error = format::TooLargeText("Model payload", size);
    return -1;
  }
  return size;
}

void WriteMesh(const aiMesh& mesh, FieldWriter& out) {
  const std::size_t nameLength = NameLength(mesh.mName);
  out.U16(static_cast<std::uint16_t>(nameLength));
  out.Bytes(mesh.mName.data, nameLength);
  out.U32(mesh.mMaterialIndex);
  out.U32(mesh.mNumVertices);
  if (mesh.mNumVertices > 0) out.Array32(&mesh.mVertices[0].x, 3u * mesh.mNumVertices);
  if (HasFaces(mesh)) {
    out.U32(mesh.mNumFaces);
    for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
      out.Array32(mesh.mFaces[f].mIndices, mesh.mFaces[f].mNumIndices);
    }
  } else {
    out.U32(0);
  }
  out.U8(HasNormals(mesh) ? 1 : 0);
  if (HasNormals(mesh)) out.Array32(&mesh.mNormals[0].x, 3u * mesh.mNumVertices);
  out.U8(HasUVs(mesh) ? 1 : 0);
  if (HasUVs(mesh)) {
    for (unsigned i = 0; i < mesh.mNumVertices; ++i) out.Array32(&mesh.mTextureCoords[0][i].x, 2);
  }
}

}  // namespace

bool HasNormals(const aiMesh& mesh) { return mesh.mNormals != nullptr && mesh.mNumVertices > 0; }

bool HasUVs(const aiMesh& mesh) {
  return mesh.mTextureCoords[0] != nullptr && mesh.mNumVertices > 0;
}

bool EncodeModel(const aiScene& scene, ByteStream& out, std::string* error) {
  const std::int64_t size = MeasureModel(scene, error);
  if (size < 0) return false;
  out.OpenMemoryForWrite();
  FieldWriter writer(out.Extend(static_cast<std::int32_t>(size)));
  writer.U16(static_cast<std::uint16_t>(scene.mNumMeshes));
  for (unsigned m = 0; m < scene.mNumMeshes; ++m) WriteMesh(*scene.mMeshes[m], writer);
  return true;
}

}  // namespace qx
