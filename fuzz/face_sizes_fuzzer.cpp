// Differential: the reader's face-size sweep against the plain oracle in
// testing/face_size_oracle.h. Most inputs are recipes for model payloads the converter
// could write, mixing points, lines and triangles with small indices and counts that
// also read as flags, counts and indices under another split; the rest go in as raw
// payloads. The two must agree on accept or refuse and on every decoded value, and a
// payload built from a recipe must be accepted with the sizes it was built with among
// the possible ones. At exit it prints how many inputs agreed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "format/asset_format.h"
#include "format/little_endian.h"
#include "reader/asset_reader.h"
#include "testing/face_size_oracle.h"

namespace {

long long g_accepted = 0, g_refused = 0;

void PrintTally() {
  std::printf("face sizes: %lld inputs agreed (%lld accepted, %lld refused by both)\n",
              g_accepted + g_refused, g_accepted, g_refused);
}

class Recipe {
 public:
  Recipe(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  bool Done() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.resize(out.size() + 2);
  qx::StoreLE16(out.data() + out.size() - 2, v);
}
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.resize(out.size() + 4);
  qx::StoreLE32(out.data() + out.size() - 4, v);
}

// A float field's bits: often a small integer or 0/1 pattern, so that under another
// split it reads as a valid count, index or flag.
std::uint32_t FloatBits(Recipe& r) {
  const std::uint8_t b = r.Byte();
  switch (b % 4) {
    case 0: return b >> 2;
    case 1: return 0x3F800000u;  // 1.0f
    case 2: return std::uint32_t{r.Byte()} << 8 | b;
    default: return std::uint32_t{b} << 24 | std::uint32_t{r.Byte()} << 16;
  }
}

std::vector<std::uint8_t> Build(Recipe& r, std::vector<std::uint32_t>* sizes) {
  std::vector<std::uint8_t> p;
  const std::uint16_t meshes = 1 + r.Byte() % 6;
  PutU16(p, meshes);
  for (std::uint16_t m = 0; m < meshes; ++m) {
    const std::uint8_t name = r.Byte() % 4;
    PutU16(p, name);
    for (std::uint8_t i = 0; i < name; ++i) p.push_back(r.Byte());
    PutU32(p, r.Byte() % 3);
    const std::uint32_t vertices = r.Byte() % 9;
    PutU32(p, vertices);
    for (std::uint32_t i = 0; i < 3 * vertices; ++i) PutU32(p, FloatBits(r));
    const std::uint32_t faceSize = 1 + r.Byte() % 3;
    const std::uint32_t faces = vertices == 0 ? 0 : r.Byte() % 13;
    PutU32(p, faces);
    sizes->push_back(faces == 0 ? 0 : faceSize);
    for (std::uint32_t i = 0; i < faces * faceSize; ++i) PutU32(p, r.Byte() % vertices);
    const std::uint8_t flags = vertices == 0 ? 0 : r.Byte();
    p.push_back(flags & 1);
    for (std::uint32_t i = 0; (flags & 1) && i < 3 * vertices; ++i) PutU32(p, FloatBits(r));
    p.push_back((flags >> 1) & 1);
    for (std::uint32_t i = 0; (flags & 2) && i < 2 * vertices; ++i) PutU32(p, FloatBits(r));
  }
  return p;
}

bool SameBits(const void* a, const void* b, std::size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }

bool SameMesh(const qx::reader::Mesh& a, const qx::reader::Mesh& b) {
  return a.name == b.name && a.materialIndex == b.materialIndex && a.faceCount == b.faceCount &&
         a.indicesPerFace == b.indicesPerFace && a.possibleFaceSizes == b.possibleFaceSizes &&
         a.indices == b.indices && a.hasNormals == b.hasNormals &&
         a.hasTextureCoords == b.hasTextureCoords && a.positions.size() == b.positions.size() &&
         SameBits(a.positions.data(), b.positions.data(), 12 * a.positions.size()) &&
         a.normals.size() == b.normals.size() &&
         SameBits(a.normals.data(), b.normals.data(), 12 * a.normals.size()) &&
         a.textureCoords.size() == b.textureCoords.size() &&
         SameBits(a.textureCoords.data(), b.textureCoords.data(), 8 * a.textureCoords.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool registered = std::atexit(PrintTally) == 0;
  (void)registered;
  if (size == 0) return 0;
  Recipe recipe(data + 1, size - 1);
  std::vector<std::uint32_t> built;
  const bool fromRecipe = data[0] % 4 != 0;
  const std::vector<std::uint8_t> payload =
      fromRecipe ? Build(recipe, &built) : std::vector<std::uint8_t>(data + 1, data + size);

  std::vector<std::uint8_t> file(qx::format::kHeaderSize);
  qx::format::EncodeHeader({qx::format::AssetKind::Model, qx::format::kVersion, false}, file.data());
  file.insert(file.end(), payload.begin(), payload.end());

  qx::reader::AssetFile asset;
  std::string error;
  const bool readerAccepts = qx::reader::ReadAsset(file.data(), file.size(), &asset, &error);
  std::vector<qx::reader::Mesh> oracle;
  const bool oracleAccepts = qx::testing::FaceSizeOracle(payload.data(), payload.size()).Read(&oracle);

  if (readerAccepts != oracleAccepts) {
    std::fprintf(stderr, "reader %s, oracle %s: %s\n", readerAccepts ? "accepts" : "refuses",
                 oracleAccepts ? "accepts" : "refuses", error.c_str());
    std::abort();
  }
  if (fromRecipe && !readerAccepts) {
    std::fprintf(stderr, "a payload the converter could write is refused: %s\n", error.c_str());
    std::abort();
  }
  if (!readerAccepts) {
    ++g_refused;
    return 0;
  }
  if (asset.meshes.size() != oracle.size()) std::abort();
  // While the meshes before it were read as written, a mesh's written size must be
  // among those found: the file split that way parses.
  bool asWritten = fromRecipe;
  for (std::size_t m = 0; m < oracle.size(); ++m) {
    if (!SameMesh(asset.meshes[m], oracle[m])) {
      std::fprintf(stderr, "mesh %zu decodes differently\n", m);
      std::abort();
    }
    const auto& possible = oracle[m].possibleFaceSizes;
    if (asWritten && built[m] != 0 &&
        std::find(possible.begin(), possible.end(), built[m]) == possible.end()) {
      std::fprintf(stderr, "mesh %zu: the size it was written with is not among those found\n", m);
      std::abort();
    }
    asWritten = asWritten && oracle[m].indicesPerFace == built[m];
  }
  ++g_accepted;
  return 0;
}
