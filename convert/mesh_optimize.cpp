#include "convert/mesh_optimize.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "convert/model_payload.h"
#include "figures/mesh_figures.h"

#ifdef QX_WITH_MESHOPTIMIZER
#include <meshoptimizer.h>
#endif

namespace qx {
namespace {

// How much worse the cache order may get to save overdraw: none. meshoptimizer
// suggests 1.05, which on 2CylinderEngine costs 1.6% more cache misses for 1% less
// overdraw; at 1.0 the cache figures match gltfpack's and overdraw is still 15% lower.
constexpr float kOverdrawThreshold = 1.0f;

// A copy of what the encoder writes of a mesh (and what the report reads of it).
aiMesh* NewMesh(const aiMesh& source, unsigned vertices) {
  auto* mesh = new aiMesh;
  mesh->mName = source.mName;
  mesh->mMaterialIndex = source.mMaterialIndex;
  mesh->mPrimitiveTypes = source.mPrimitiveTypes;
  mesh->mNumVertices = vertices;
  if (vertices > 0) mesh->mVertices = new aiVector3D[vertices];
  if (HasNormals(source) && vertices > 0) mesh->mNormals = new aiVector3D[vertices];
  if (HasUVs(source) && vertices > 0) {
    mesh->mTextureCoords[0] = new aiVector3D[vertices];
    mesh->mNumUVComponents[0] = source.mNumUVComponents[0];
  }
  return mesh;
}

aiMesh* CopyMesh(const aiMesh& source) {
  aiMesh* mesh = NewMesh(source, source.mNumVertices);
  const unsigned n = source.mNumVertices;
  if (n > 0 && source.mVertices != nullptr) std::copy(source.mVertices, source.mVertices + n, mesh->mVertices);
  if (mesh->mNormals != nullptr) std::copy(source.mNormals, source.mNormals + n, mesh->mNormals);
  if (mesh->mTextureCoords[0] != nullptr) {
    std::copy(source.mTextureCoords[0], source.mTextureCoords[0] + n, mesh->mTextureCoords[0]);
  }
  if (source.mFaces != nullptr && source.mNumFaces > 0) {
    mesh->mNumFaces = source.mNumFaces;
    mesh->mFaces = new aiFace[source.mNumFaces];
    for (unsigned f = 0; f < source.mNumFaces; ++f) mesh->mFaces[f] = source.mFaces[f];
  }
  return mesh;
}

#ifdef QX_WITH_MESHOPTIMIZER

// The mesh's triangles as one index list, or false when it is not a triangle mesh
// whose every index names a vertex (then it is copied as it is).
// Assimp marks the triangles it cut from polygons with a flag beside the type (most
// quad meshes carry it); they are triangles like any other.
bool TriangleList(const aiMesh& mesh, std::vector<unsigned>* indices) {
  const unsigned types = mesh.mPrimitiveTypes & ~unsigned(aiPrimitiveType_NGONEncodingFlag);
  if (types != aiPrimitiveType_TRIANGLE || mesh.mFaces == nullptr || mesh.mNumFaces == 0 ||
      mesh.mVertices == nullptr || mesh.mNumVertices == 0) {
    return false;
  }
  indices->reserve(3u * static_cast<std::size_t>(mesh.mNumFaces));
  for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
    const aiFace& face = mesh.mFaces[f];
    if (face.mNumIndices != 3 || face.mIndices == nullptr) return false;
    for (unsigned c = 0; c < 3; ++c) {
      if (face.mIndices[c] >= mesh.mNumVertices) return false;
      indices->push_back(face.mIndices[c]);
    }
  }
  return true;
}

// The vertex arrays the payload holds, unpacked: uv keeps the two components it writes.
struct Vertices {
  std::vector<float> positions, normals, uvs;
  std::size_t count = 0;
};

// The figures QXInspect and the page give for the asset too, measured the same way
// (the list's every index names a vertex, so both succeed).
void Measure(const std::vector<unsigned>& indices, const Vertices& v, double* acmr, double* atvr,
             double* overdraw) {
  static_assert(sizeof(unsigned) == sizeof(std::uint32_t), "indices are passed as 32-bit");
  figures::CacheFigures cache;
  figures::OverdrawFigures pixels;
  figures::MeasureCache(indices.data(), indices.size(), v.count, &cache);
  figures::MeasureOverdraw(v.positions.data(), v.count, indices.data(), indices.size(), &pixels);
  *acmr = cache.acmr;
  *atvr = cache.atvr;
  *overdraw = pixels.overdraw;
}

// Replaces every array by its remapped form, keeping count entries.
void Remap(Vertices* v, const std::vector<unsigned>& remap, std::size_t count) {
  const std::pair<std::vector<float>*, unsigned> arrays[] = {{&v->positions, 3}, {&v->normals, 3}, {&v->uvs, 2}};
  for (const auto& [array, width] : arrays) {
    if (array->empty()) continue;
    std::vector<float> out(count * width);
    meshopt_remapVertexBuffer(out.data(), array->data(), v->count, width * sizeof(float), remap.data());
    *array = std::move(out);
  }
  v->count = count;
}

aiMesh* Optimize(const aiMesh& source, std::vector<unsigned> indices, const MeshWork& work,
                 report::MeshFigures* figures) {
  Vertices v;
  v.count = source.mNumVertices;
  v.positions.assign(&source.mVertices[0].x, &source.mVertices[0].x + 3 * v.count);
  if (HasNormals(source)) v.normals.assign(&source.mNormals[0].x, &source.mNormals[0].x + 3 * v.count);
  if (HasUVs(source)) {
    v.uvs.reserve(2 * v.count);
    for (std::size_t i = 0; i < v.count; ++i) {
      v.uvs.push_back(source.mTextureCoords[0][i].x);
      v.uvs.push_back(source.mTextureCoords[0][i].y);
    }
  }
  if (figures != nullptr) {
    figures->verticesBefore = source.mNumVertices;
    figures->trianglesBefore = source.mNumFaces;
    Measure(indices, v, &figures->acmrBefore, &figures->atvrBefore, &figures->overdrawBefore);
  }

  // Identical vertices (every written attribute bit for bit) become one.
  std::vector<meshopt_Stream> streams;
  for (const auto* array : {&v.positions, &v.normals, &v.uvs}) {
    if (array->empty()) continue;
    const std::size_t width = array->size() / v.count * sizeof(float);
    streams.push_back({array->data(), width, width});
  }
  std::vector<unsigned> remap(v.count);
  const std::size_t unique = meshopt_generateVertexRemapMulti(remap.data(), indices.data(), indices.size(),
                                                              v.count, streams.data(), streams.size());
  meshopt_remapIndexBuffer(indices.data(), indices.data(), indices.size(), remap.data());
  Remap(&v, remap, unique);
  // A triangle that names one vertex twice covers no pixel but still costs the vertex
  // shader its corners: it goes (the surface is the same without it).
  std::size_t kept = 0;
  for (std::size_t t = 0; t + 2 < indices.size(); t += 3) {
    const unsigned a = indices[t], b = indices[t + 1], c = indices[t + 2];
    if (a == b || b == c || a == c) continue;
    indices[kept++] = a;
    indices[kept++] = b;
    indices[kept++] = c;
  }
  indices.resize(kept);
  // A mesh of nothing but such triangles is left as it is rather than without faces.
  if (indices.empty()) {
    if (figures != nullptr) *figures = {};
    return CopyMesh(source);
  }

  // A mesh whose extent is not finite (an infinite or overflowing coordinate) is not
  // simplified: the simplifier measures error against that extent, so it would
  // collapse the mesh with no bound, and there is no error to report.
  const float scale = work.simplifyRatio > 0 ? meshopt_simplifyScale(v.positions.data(), v.count, 3 * sizeof(float)) : 0;
  if (work.simplifyRatio > 0 && std::isfinite(scale)) {
    const std::size_t triangles = indices.size() / 3;
    const std::size_t target = std::max<std::size_t>(1, static_cast<std::size_t>(static_cast<double>(triangles) * work.simplifyRatio)) * 3;
    std::vector<unsigned> simplified(indices.size());
    float error = 0;
    const std::size_t simplifiedSize = meshopt_simplify(simplified.data(), indices.data(), indices.size(), v.positions.data(),
                                              v.count, 3 * sizeof(float), target, kSimplifyTargetError, 0, &error);
    // A mesh is never simplified away.
    if (simplifiedSize > 0) {
      simplified.resize(simplifiedSize);
      indices = std::move(simplified);
      if (figures != nullptr) {
        figures->simplified = true;
        figures->simplifyError = static_cast<double>(error) * scale;
      }
    }
  }

  meshopt_optimizeVertexCache(indices.data(), indices.data(), indices.size(), v.count);
  meshopt_optimizeOverdraw(indices.data(), indices.data(), indices.size(), v.positions.data(), v.count,
                           3 * sizeof(float), kOverdrawThreshold);
  // Vertices in the order the triangles first use them; unused ones (left by the
  // simplifier) go.
  const std::size_t used = meshopt_optimizeVertexFetchRemap(remap.data(), indices.data(), indices.size(), v.count);
  meshopt_remapIndexBuffer(indices.data(), indices.data(), indices.size(), remap.data());
  Remap(&v, remap, used);

  aiMesh* mesh = NewMesh(source, static_cast<unsigned>(v.count));
  mesh->mPrimitiveTypes = aiPrimitiveType_TRIANGLE;  // reordered: no longer polygons' runs
  std::memcpy(&mesh->mVertices[0].x, v.positions.data(), v.positions.size() * sizeof(float));
  if (mesh->mNormals != nullptr) std::memcpy(&mesh->mNormals[0].x, v.normals.data(), v.normals.size() * sizeof(float));
  if (mesh->mTextureCoords[0] != nullptr) {
    for (std::size_t i = 0; i < v.count; ++i) {
      mesh->mTextureCoords[0][i] = aiVector3D(v.uvs[2 * i], v.uvs[2 * i + 1], 0);
    }
  }
  mesh->mNumFaces = static_cast<unsigned>(indices.size() / 3);
  mesh->mFaces = new aiFace[mesh->mNumFaces];
  for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
    mesh->mFaces[f].mNumIndices = 3;
    mesh->mFaces[f].mIndices = new unsigned[3]{indices[3 * f], indices[3 * f + 1], indices[3 * f + 2]};
  }
  if (figures != nullptr) {
    figures->optimized = true;
    figures->verticesAfter = mesh->mNumVertices;
    figures->trianglesAfter = mesh->mNumFaces;
    Measure(indices, v, &figures->acmrAfter, &figures->atvrAfter, &figures->overdrawAfter);
  }
  return mesh;
}

#endif

}  // namespace

#ifdef QX_WITH_MESHOPTIMIZER
bool MeshWorkAvailable() { return true; }
#else
bool MeshWorkAvailable() { return false; }
#endif

OptimizedScene::OptimizedScene(const aiScene& source, const MeshWork& work,
                               std::vector<report::MeshFigures>* figures)
    : scene_(std::make_unique<aiScene>()) {
  if (figures != nullptr) figures->assign(source.mNumMeshes, {});
  scene_->mNumMeshes = source.mNumMeshes;
  scene_->mMeshes = new aiMesh*[source.mNumMeshes]();
  for (unsigned m = 0; m < source.mNumMeshes; ++m) {
    if (source.mMeshes[m] == nullptr) continue;  // the encoder refuses it
    const aiMesh& mesh = *source.mMeshes[m];
    std::vector<unsigned> indices;
#ifdef QX_WITH_MESHOPTIMIZER
    if (work.Any() && TriangleList(mesh, &indices)) {
      scene_->mMeshes[m] = Optimize(mesh, std::move(indices), work, figures != nullptr ? &(*figures)[m] : nullptr);
      continue;
    }
#else
    (void)work;
    (void)indices;
#endif
    scene_->mMeshes[m] = CopyMesh(mesh);
  }
}

OptimizedScene::~OptimizedScene() = default;

}  // namespace qx
