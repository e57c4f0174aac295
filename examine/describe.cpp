#include "examine/describe.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace qx::examine {
namespace {

using nlohmann::ordered_json;
using reader::AssetFile;
using reader::AssetKind;

struct Bounds {
  reader::Vec3 min{std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity(),
                   std::numeric_limits<float>::infinity()};
  reader::Vec3 max{-std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                   -std::numeric_limits<float>::infinity()};
};

Bounds BoundsOf(const reader::Mesh& mesh) {
  Bounds b;
  for (const reader::Vec3& p : mesh.positions) {
    b.min = {std::min(b.min.x, p.x), std::min(b.min.y, p.y), std::min(b.min.z, p.z)};
    b.max = {std::max(b.max.x, p.x), std::max(b.max.y, p.y), std::max(b.max.z, p.z)};
  }
  return b;
}

struct KeyStats {
  std::size_t positions = 0, scalings = 0, rotations = 0;
  double first = std::numeric_limits<double>::infinity();
  double last = -std::numeric_limits<double>::infinity();
  bool HasKeys() const { return positions + scalings + rotations > 0; }
};

KeyStats StatsOf(const reader::Animation& animation) {
  KeyStats s;
  auto see = [&s](double t) {
    s.first = std::min(s.first, t);
    s.last = std::max(s.last, t);
  };
  for (const reader::Channel& c : animation.channels) {
    s.positions += c.positions.size();
    s.scalings += c.scalings.size();
    s.rotations += c.rotations.size();
    for (const auto& k : c.positions) see(k.time);
    for (const auto& k : c.scalings) see(k.time);
    for (const auto& k : c.rotations) see(k.time);
  }
  return s;
}

const char* PrimitiveName(std::uint32_t perFace) {
  switch (perFace) {
    case 1: return "points";
    case 2: return "lines";
    case 3: return "triangles";
    default: return "no faces";
  }
}

// Shortest text that reads back as the same float, so summaries stay short.
std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

std::string Vector(const reader::Vec3& v) {
  return "(" + Number(v.x) + ", " + Number(v.y) + ", " + Number(v.z) + ")";
}

std::string Quoted(const std::string& text) {
  return ordered_json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

ordered_json Array(const reader::Vec3& v) { return {v.x, v.y, v.z}; }

}  // namespace

std::string Summary(const std::string& path, const AssetFile& asset) {
  std::string out = path + ": " + reader::KindName(asset.kind) + " (" + asset.typeTag +
                    ") version " + std::to_string(asset.version) + ", " +
                    (asset.scrambled ? "scrambled" : "not scrambled") + ", payload " +
                    std::to_string(asset.payloadSize) + " bytes\n";
  switch (asset.kind) {
    case AssetKind::Model:
      for (std::size_t m = 0; m < asset.meshes.size(); ++m) {
        const reader::Mesh& mesh = asset.meshes[m];
        out += "  mesh " + std::to_string(m) + " " + Quoted(mesh.name) + ": material " +
               std::to_string(mesh.materialIndex) + ", " + std::to_string(mesh.positions.size()) +
               " vertices, " + std::to_string(mesh.faceCount) + " faces (" +
               PrimitiveName(mesh.indicesPerFace) + "), " + std::to_string(mesh.indices.size()) +
               " indices" + (mesh.hasNormals ? ", normals" : "") +
               (mesh.hasTextureCoords ? ", texture coordinates" : "") + "\n";
        if (!mesh.positions.empty()) {
          const Bounds b = BoundsOf(mesh);
          out += "    bounds " + Vector(b.min) + " .. " + Vector(b.max) + "\n";
        }
      }
      break;
    case AssetKind::Animation:
      for (std::size_t a = 0; a < asset.animations.size(); ++a) {
        const KeyStats s = StatsOf(asset.animations[a]);
        out += "  animation " + std::to_string(a) + ": " +
               std::to_string(asset.animations[a].channels.size()) + " channels, " +
               std::to_string(s.positions) + " position / " + std::to_string(s.scalings) +
               " scaling / " + std::to_string(s.rotations) + " rotation keys";
        if (s.HasKeys()) out += ", time " + Number(s.first) + " .. " + Number(s.last);
        out += "\n";
      }
      break;
    case AssetKind::Music:
    case AssetKind::Sound:
      out += "  extension " + Quoted(asset.extension) + ", " + std::to_string(asset.data.size()) +
             " audio bytes\n";
      break;
    case AssetKind::Texture:
      out += "  " + std::to_string(asset.data.size()) + " texture bytes\n";
      break;
  }
  return out;
}

ordered_json ToJson(const std::string& path, const AssetFile& asset, bool full) {
  ordered_json j;
  j["file"] = path;
  j["type"] = reader::KindName(asset.kind);
  j["tag"] = asset.typeTag;
  j["version"] = asset.version;
  j["scrambled"] = asset.scrambled;
  j["payloadSize"] = asset.payloadSize;
  switch (asset.kind) {
    case AssetKind::Model: {
      ordered_json meshes = ordered_json::array();
      for (const reader::Mesh& mesh : asset.meshes) {
        ordered_json m;
        m["name"] = mesh.name;
        m["materialIndex"] = mesh.materialIndex;
        m["vertexCount"] = mesh.positions.size();
        m["faceCount"] = mesh.faceCount;
        m["indicesPerFace"] = mesh.indicesPerFace;
        m["indexCount"] = mesh.indices.size();
        m["hasNormals"] = mesh.hasNormals;
        m["hasTextureCoords"] = mesh.hasTextureCoords;
        if (!mesh.positions.empty()) {
          const Bounds b = BoundsOf(mesh);
          m["bounds"] = {{"min", Array(b.min)}, {"max", Array(b.max)}};
        }
        if (full) {
          ordered_json positions = ordered_json::array(), normals = ordered_json::array(),
                       uvs = ordered_json::array();
          for (const auto& p : mesh.positions) positions.push_back(Array(p));
          for (const auto& n : mesh.normals) normals.push_back(Array(n));
          for (const auto& t : mesh.textureCoords) uvs.push_back({t.u, t.v});
          m["positions"] = std::move(positions);
          m["indices"] = mesh.indices;
          if (mesh.hasNormals) m["normals"] = std::move(normals);
          if (mesh.hasTextureCoords) m["textureCoords"] = std::move(uvs);
        }
        meshes.push_back(std::move(m));
      }
      j["meshes"] = std::move(meshes);
      break;
    }
    case AssetKind::Animation: {
      ordered_json animations = ordered_json::array();
      for (const reader::Animation& animation : asset.animations) {
        const KeyStats s = StatsOf(animation);
        ordered_json a;
        a["channelCount"] = animation.channels.size();
        a["keyCounts"] = {
            {"position", s.positions}, {"scaling", s.scalings}, {"rotation", s.rotations}};
        if (s.HasKeys()) a["timeRange"] = {s.first, s.last};
        if (full) {
          ordered_json channels = ordered_json::array();
          for (const reader::Channel& c : animation.channels) {
            ordered_json keys;
            auto vectors = [](const std::vector<reader::VectorKey>& list) {
              ordered_json out = ordered_json::array();
              for (const auto& k : list) out.push_back({k.time, k.x, k.y, k.z});
              return out;
            };
            keys["positions"] = vectors(c.positions);
            keys["scalings"] = vectors(c.scalings);
            ordered_json rotations = ordered_json::array();
            for (const auto& k : c.rotations) rotations.push_back({k.time, k.x, k.y, k.z, k.w});
            keys["rotations"] = std::move(rotations);
            channels.push_back(std::move(keys));
          }
          a["channels"] = std::move(channels);
        }
        animations.push_back(std::move(a));
      }
      j["animations"] = std::move(animations);
      break;
    }
    case AssetKind::Music:
    case AssetKind::Sound:
      j["extension"] = asset.extension;
      j["dataSize"] = asset.data.size();
      break;
    case AssetKind::Texture: j["dataSize"] = asset.data.size(); break;
  }
  return j;
}

}  // namespace qx::examine
