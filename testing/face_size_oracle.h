// Test oracle: a plain, slow reading of a model payload. It tries every face size for
// every mesh by recursion, remembering only which (offset, meshes left) cannot reach
// the end, so it is obviously right and fit for small inputs alone. The reader's sweep
// must agree with it on accept or refuse and on every decoded value.
#pragma once

#include <cstdint>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "reader/asset_reader.h"

namespace qx::testing {

class FaceSizeOracle {
 public:
  FaceSizeOracle(const std::uint8_t* payload, std::size_t size) : p_(payload), size_(size) {}

  // Decodes the whole payload; false when no choice of face sizes splits it exactly.
  // Each mesh takes the first size, in the order 3, 2, 1, under which the rest of the
  // payload still splits, and lists every such size.
  bool Read(std::vector<reader::Mesh>* meshes) {
    if (size_ < 2) return false;
    const std::size_t count = U32At(0) & 0xFFFF;
    if (!Splits(2, count)) return false;
    meshes->assign(count, reader::Mesh());
    std::size_t at = 2;
    for (std::size_t m = 0; m < count; ++m) {
      reader::Mesh& mesh = (*meshes)[m];
      std::size_t chosenEnd = 0;
      for (std::uint32_t s : SizesAt(at)) {
        std::size_t end;
        if (!Block(at, s, &end) || !Splits(end, count - m - 1)) continue;
        if (chosenEnd == 0) mesh.indicesPerFace = s, chosenEnd = end;
        if (s != 0) mesh.possibleFaceSizes.push_back(s);
      }
      Decode(at, &mesh);
      at = chosenEnd;
    }
    return true;
  }

 private:
  std::uint32_t U32At(std::size_t at) const {
    std::uint8_t b[4] = {0, 0, 0, 0};
    std::memcpy(b, p_ + at, at + 4 <= size_ ? 4 : size_ - at);
    return b[0] | b[1] << 8 | b[2] << 16 | std::uint32_t{b[3]} << 24;
  }
  float F32At(std::size_t at) const {
    const std::uint32_t bits = U32At(at);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }

  // The face sizes worth trying at a mesh start: none (0) for a mesh without faces.
  std::vector<std::uint32_t> SizesAt(std::size_t at) const {
    std::size_t facesAt;
    if (!Head(at, &facesAt) || U32At(facesAt) == 0) return {0};
    return {3, 2, 1};
  }

  // Reads up to and including the face count; facesAt is where it sits.
  bool Head(std::size_t at, std::size_t* facesAt) const {
    if (size_ - at < 2) return false;
    const std::uint64_t name = U32At(at) & 0xFFFF;
    std::uint64_t need = 2 + name + 8;
    if (size_ - at < need) return false;
    const std::uint64_t vertices = U32At(at + 2 + name + 4);
    need += 12 * vertices + 4;
    if (size_ - at < need) return false;
    *facesAt = at + static_cast<std::size_t>(need) - 4;
    return true;
  }

  // One mesh block read with faceSize indices a face; end is where the next begins.
  bool Block(std::size_t at, std::uint32_t faceSize, std::size_t* end) const {
    std::size_t facesAt;
    if (!Head(at, &facesAt)) return false;
    const std::uint32_t vertices = U32At(at + 2 + (U32At(at) & 0xFFFF) + 4);
    const std::uint64_t indices = std::uint64_t{U32At(facesAt)} * faceSize;
    std::uint64_t here = facesAt + 4;
    if (size_ - here < 4 * indices) return false;
    for (std::uint64_t i = 0; i < indices; ++i) {
      if (U32At(static_cast<std::size_t>(here + 4 * i)) >= vertices) return false;
    }
    here += 4 * indices;
    for (std::uint64_t width : {12, 8}) {
      if (here >= size_) return false;
      const std::uint8_t flag = p_[here++];
      if (flag > 1 || (flag == 1 && vertices == 0)) return false;
      if (flag == 1) {
        if (size_ - here < width * vertices) return false;
        here += width * vertices;
      }
    }
    *end = static_cast<std::size_t>(here);
    return true;
  }

  bool Splits(std::size_t at, std::size_t meshesLeft) {
    if (meshesLeft == 0) return at == size_;
    if (failed_.count({at, meshesLeft}) != 0) return false;
    for (std::uint32_t s : SizesAt(at)) {
      std::size_t end;
      if (Block(at, s, &end) && Splits(end, meshesLeft - 1)) return true;
    }
    failed_.insert({at, meshesLeft});
    return false;
  }

  void Decode(std::size_t at, reader::Mesh* mesh) const {
    const std::size_t name = U32At(at) & 0xFFFF;
    mesh->name.assign(reinterpret_cast<const char*>(p_ + at + 2), name);
    at += 2 + name;
    mesh->materialIndex = U32At(at);
    const std::uint32_t vertices = U32At(at + 4);
    at += 8;
    auto vec3s = [&](std::vector<reader::Vec3>* out) {
      for (std::uint32_t v = 0; v < vertices; ++v, at += 12) {
        out->push_back({F32At(at), F32At(at + 4), F32At(at + 8)});
      }
    };
    vec3s(&mesh->positions);
    mesh->faceCount = U32At(at);
    at += 4;
    for (std::uint64_t i = 0; i < std::uint64_t{mesh->faceCount} * mesh->indicesPerFace; ++i) {
      mesh->indices.push_back(U32At(at));
      at += 4;
    }
    mesh->hasNormals = p_[at++] == 1;
    if (mesh->hasNormals) vec3s(&mesh->normals);
    mesh->hasTextureCoords = p_[at++] == 1;
    for (std::uint32_t v = 0; mesh->hasTextureCoords && v < vertices; ++v, at += 8) {
      mesh->textureCoords.push_back({F32At(at), F32At(at + 4)});
    }
  }

  const std::uint8_t* p_;
  std::size_t size_;
  std::set<std::pair<std::size_t, std::size_t>> failed_;
};

}  // namespace qx::testing
