#include "examine/verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "asset/asset.h"
#include "convert/asset_loader.h"
#include "format/asset_format.h"

namespace qx::examine {
namespace {

using reader::AssetKind;

template <typename T>
bool SameBits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

std::string Text(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

std::string Text(float v) { return Text(static_cast<double>(v)); }
std::string Text(const std::string& s) { return "\"" + s + "\""; }
template <typename T>
std::string Text(T v) {
  return std::to_string(v);
}

// Collects the first difference; later comparisons are skipped once one is found.
class Comparer {
 public:
  template <typename T>
  void Field(const std::string& where, const T& asset, const T& source) {
    if (!difference_.empty() || SameBits(asset, source)) return;
    difference_ =
        where + ": " + Text(asset) + " in the asset, " + Text(source) + " from the source";
  }
  void Field(const std::string& where, const std::string& asset, const std::string& source) {
    if (!difference_.empty() || asset == source) return;
    difference_ =
        where + ": " + Text(asset) + " in the asset, " + Text(source) + " from the source";
  }
  void Count(const std::string& where, std::size_t asset, std::size_t source) {
    Field(where + " count", asset, source);
  }
  void Vec(const std::string& where, const reader::Vec3& a, const reader::Vec3& s) {
    Field(where + " x", a.x, s.x);
    Field(where + " y", a.y, s.y);
    Field(where + " z", a.z, s.z);
  }
  void Keys(const std::string& where, const reader::KeySpan& a, const reader::KeySpan& s,
            bool rotation) {
    Count(where, a.size(), s.size());
    for (std::size_t k = 0; k < a.size() && done(); ++k) {
      const std::string key = where + " " + std::to_string(k);
      Field(key + " time", a[k].time, s[k].time);
      Field(key + " x", a[k].x, s[k].x);
      Field(key + " y", a[k].y, s[k].y);
      Field(key + " z", a[k].z, s[k].z);
      if (rotation) Field(key + " w", a[k].w, s[k].w);
    }
  }
  bool done() const { return difference_.empty(); }
  const std::string& difference() const { return difference_; }

 private:
  std::string difference_;
};

void CompareMesh(Comparer& c, const std::string& where, const reader::Mesh& a,
                 const reader::Mesh& s) {
  c.Field(where + " name", a.name, s.name);
  c.Field(where + " material index", a.materialIndex, s.materialIndex);
  c.Count(where + " vertex", a.positions.size(), s.positions.size());
  for (std::size_t v = 0; v < a.positions.size() && c.done(); ++v) {
    c.Vec(where + " position " + std::to_string(v), a.positions[v], s.positions[v]);
  }
  c.Field(where + " face count", a.faceCount, s.faceCount);
  c.Field(where + " indices per face", a.indicesPerFace, s.indicesPerFace);
  c.Count(where + " index", a.indices.size(), s.indices.size());
  for (std::size_t i = 0; i < a.indices.size() && c.done(); ++i) {
    c.Field(where + " index " + std::to_string(i), a.indices[i], s.indices[i]);
  }
  c.Field(where + " has normals", a.hasNormals, s.hasNormals);
  for (std::size_t v = 0; v < a.normals.size() && c.done(); ++v) {
    c.Vec(where + " normal " + std::to_string(v), a.normals[v], s.normals[v]);
  }
  c.Field(where + " has texture coordinates", a.hasTextureCoords, s.hasTextureCoords);
  for (std::size_t v = 0; v < a.textureCoords.size() && c.done(); ++v) {
    const std::string uv = where + " texture coordinate " + std::to_string(v);
    c.Field(uv + " u", a.textureCoords[v].u, s.textureCoords[v].u);
    c.Field(uv + " v", a.textureCoords[v].v, s.textureCoords[v].v);
  }
}

}  // namespace

std::string FirstDifference(const reader::AssetFile& a, const reader::AssetFile& s) {
  Comparer c;
  c.Field("type tag", a.typeTag, s.typeTag);
  c.Count("mesh", a.meshes.size(), s.meshes.size());
  for (std::size_t m = 0; m < a.meshes.size() && c.done(); ++m) {
    CompareMesh(c, "mesh " + std::to_string(m), a.meshes[m], s.meshes[m]);
  }
  c.Count("animation", a.animations.size(), s.animations.size());
  for (std::size_t i = 0; i < a.animations.size() && c.done(); ++i) {
    const std::string animation = "animation " + std::to_string(i);
    const reader::ChannelList& ac = a.animations[i].channels;
    const reader::ChannelList& sc = s.animations[i].channels;
    c.Count(animation + " channel", ac.size(), sc.size());
    for (std::size_t ch = 0; ch < ac.size() && c.done(); ++ch) {
      const std::string channel = animation + " channel " + std::to_string(ch);
      c.Keys(channel + " position key", ac[ch].positions, sc[ch].positions, false);
      c.Keys(channel + " scaling key", ac[ch].scalings, sc[ch].scalings, false);
      c.Keys(channel + " rotation key", ac[ch].rotations, sc[ch].rotations, true);
    }
  }
  c.Field("extension", a.extension, s.extension);
  c.Count("data byte", a.data.size(), s.data.size());
  for (std::size_t i = 0; i < a.data.size() && c.done(); ++i) {
    c.Field("data byte " + std::to_string(i), a.data[i], s.data[i]);
  }
  return c.difference();
}

bool VerifyAgainstSource(const reader::AssetFile& asset, const std::vector<std::uint8_t>& file,
                         const std::string& sourcePath, std::string* difference, bool bake) {
  Asset converted;
  std::vector<std::uint32_t> faceSizes;
  SceneOptions options;
  options.faceSizes = &faceSizes;
  options.bake = bake;
  ByteStream written;
  written.OpenMemoryForWrite();
  if (!LoadAsset(asset.kind, sourcePath, &converted, options) ||
      !converted.Save(written, false, AssetKey{})) {
    *difference = "the source does not convert: " + converted.errorText;
    return false;
  }
  // The unscrambled file the converter would write, read back with the face sizes of
  // the source scene: the file alone does not always tell them.
  const std::vector<std::uint32_t>* sizes = asset.kind == AssetKind::Model ? &faceSizes : nullptr;
  reader::AssetFile source;
  if (!reader::ReadAsset(written.GetAllData(), static_cast<std::size_t>(written.Size()), &source,
                         difference, sizes)) {
    *difference = "the source converts to an unreadable asset: " + *difference;
    return false;
  }
  // An ambiguous asset was decoded one way; where the source says another way that the
  // file also allows, decode it that way before comparing.
  bool redecode = false;
  for (std::size_t m = 0; m < asset.meshes.size() && m < source.meshes.size(); ++m) {
    const reader::Mesh& mesh = asset.meshes[m];
    const std::uint32_t want = source.meshes[m].indicesPerFace;
    const auto& possible = mesh.possibleFaceSizes;
    if (mesh.indicesPerFace != want &&
        std::find(possible.begin(), possible.end(), want) != possible.end()) {
      redecode = true;
    }
  }
  if (redecode) {
    reader::AssetFile again;
    if (!reader::ReadAsset(file.data(), file.size(), &again, difference, sizes)) return false;
    *difference = FirstDifference(again, source);
  } else {
    *difference = FirstDifference(asset, source);
  }
  return difference->empty();
}

}  // namespace qx::examine
