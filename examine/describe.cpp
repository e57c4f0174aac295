#include "examine/describe.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "figures/mesh_figures.h"

namespace qx::examine {
namespace {

using reader::AssetFile;
using reader::AssetKind;

bool Finite(const reader::Vec3& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// Bounds over the finite positions only: one NaN or infinity would make them meaningless.
struct Bounds {
  reader::Vec3 min{0, 0, 0}, max{0, 0, 0};
  std::size_t finite = 0;
  std::size_t nonFinite = 0;
};

Bounds BoundsOf(const reader::Mesh& mesh) {
  Bounds b;
  for (const reader::Vec3& p : mesh.positions) {
    if (!Finite(p)) {
      ++b.nonFinite;
      continue;
    }
    if (b.finite++ == 0) {
      b.min = b.max = p;
      continue;
    }
    b.min = {std::min(b.min.x, p.x), std::min(b.min.y, p.y), std::min(b.min.z, p.z)};
    b.max = {std::max(b.max.x, p.x), std::max(b.max.y, p.y), std::max(b.max.z, p.z)};
  }
  return b;
}

struct KeyStats {
  std::size_t positions = 0, scalings = 0, rotations = 0;
  double first = std::numeric_limits<double>::infinity();
  double last = -std::numeric_limits<double>::infinity();
  bool HasTimes() const { return first <= last; }
};

KeyStats StatsOf(const reader::Animation& animation) {
  KeyStats s;
  auto see = [&s](const reader::KeySpan& keys) {
    for (const reader::Key& k : keys) {
      if (!std::isfinite(k.time)) continue;
      s.first = std::min(s.first, k.time);
      s.last = std::max(s.last, k.time);
    }
  };
  for (const reader::Channel c : animation.channels) {
    s.positions += c.positions.size();
    s.scalings += c.scalings.size();
    s.rotations += c.rotations.size();
    see(c.positions);
    see(c.scalings);
    see(c.rotations);
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

// Nine significant digits: short, and enough for any float to read back the same.
std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

std::string Vector(const reader::Vec3& v) {
  return "(" + Number(v.x) + ", " + Number(v.y) + ", " + Number(v.z) + ")";
}

std::string SizesText(const std::vector<std::uint32_t>& sizes) {
  std::string text;
  for (std::uint32_t size : sizes) {
    text += std::string(text.empty() ? "" : " or ") + PrimitiveName(size);
  }
  return text;
}

// The pixel tests the overdraw figures of one file may take (counted by
// figures::MeasureOverdraw): a file of a few thousand triangles that each fill the view
// would otherwise keep QXInspect, or the page, busy for minutes. About 0.3 s on this
// project's machine; a grid of a million triangles takes 1% of it.
constexpr figures::Budget kFigureSteps = 300'000'000;

// How a triangle mesh suits the GPU, as the report gives it for -optimize; none for
// points, lines or meshes without faces. Overdraw only while the file's budget lasts.
struct DrawFigures {
  bool cache = false;
  figures::CacheFigures vertexCache;
  bool overdraw = false;
  figures::OverdrawFigures pixels;
};

DrawFigures FiguresOf(const reader::Mesh& mesh, figures::Budget* budget) {
  static_assert(sizeof(reader::Vec3) == 3 * sizeof(float), "positions are passed as x, y, z floats");
  DrawFigures f;
  if (mesh.indicesPerFace != 3 || mesh.indices.empty()) return f;
  f.cache = figures::MeasureCache(mesh.indices.data(), mesh.indices.size(), mesh.positions.size(), &f.vertexCache);
  f.overdraw = f.cache && figures::MeasureOverdraw(&mesh.positions[0].x, mesh.positions.size(), mesh.indices.data(),
                                                   mesh.indices.size(), &f.pixels, budget);
  return f;
}

// Adds a mesh's figures to the model's.
void AddTo(figures::Totals* model, const DrawFigures& f) {
  if (f.cache) model->Add(f.vertexCache, f.overdraw ? &f.pixels : nullptr);
}

std::string Fixed3(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", v);
  return text;
}

std::string OverdrawText(bool measured, double overdraw) {
  return measured ? Fixed3(overdraw)
                  : "not measured (more than the " + std::to_string(kFigureSteps) + " pixel tests allowed a file)";
}

void MeshSummary(std::string& out, std::size_t m, const reader::Mesh& mesh, figures::Budget* budget,
                 figures::Totals* model) {
  out += "  mesh " + std::to_string(m) + " " + JsonQuoted(mesh.name) + ": material " +
         std::to_string(mesh.materialIndex) + ", " + std::to_string(mesh.positions.size()) +
         " vertices, " + std::to_string(mesh.faceCount) + " faces (" +
         PrimitiveName(mesh.indicesPerFace) + "), " + std::to_string(mesh.indices.size()) +
         " indices" + (mesh.hasNormals ? ", normals" : "") +
         (mesh.hasTextureCoords ? ", texture coordinates" : "") + "\n";
  if (mesh.ambiguous()) {
    out += "    ambiguous: the file also parses as " + SizesText(mesh.possibleFaceSizes) +
           "; shown as " + PrimitiveName(mesh.indicesPerFace) + "\n";
  }
  const Bounds b = BoundsOf(mesh);
  if (b.finite > 0) out += "    bounds " + Vector(b.min) + " .. " + Vector(b.max);
  if (b.nonFinite > 0) {
    out += std::string(b.finite > 0 ? ", leaving out " : "    no bounds: ") +
           std::to_string(b.nonFinite) + " non-finite positions";
  }
  if (b.finite + b.nonFinite > 0) out += "\n";
  const DrawFigures f = FiguresOf(mesh, budget);
  AddTo(model, f);
  if (f.cache) {
    out += "    vertex cache of " + std::to_string(figures::kCacheSize) + ": ACMR " + Fixed3(f.vertexCache.acmr) +
           ", ATVR " + Fixed3(f.vertexCache.atvr) + "; overdraw " + OverdrawText(f.overdraw, f.pixels.overdraw) + "\n";
  }
}

void WriteVec3(JsonWriter& json, const reader::Vec3& v) {
  json.BeginArray(true);
  json.Float(v.x);
  json.Float(v.y);
  json.Float(v.z);
  json.EndArray();
}

void WriteMeshJson(JsonWriter& json, const reader::Mesh& mesh, bool full, figures::Budget* budget,
                   figures::Totals* model) {
  json.BeginObject();
  json.Key("name");
  json.String(mesh.name);
  json.Key("materialIndex");
  json.Unsigned(mesh.materialIndex);
  json.Key("vertexCount");
  json.Unsigned(mesh.positions.size());
  json.Key("faceCount");
  json.Unsigned(mesh.faceCount);
  json.Key("indicesPerFace");
  json.Unsigned(mesh.indicesPerFace);
  json.Key("possibleFaceSizes");
  json.BeginArray(true);
  for (std::uint32_t size : mesh.possibleFaceSizes) json.Unsigned(size);
  json.EndArray();
  json.Key("ambiguous");
  json.Bool(mesh.ambiguous());
  json.Key("indexCount");
  json.Unsigned(mesh.indices.size());
  json.Key("hasNormals");
  json.Bool(mesh.hasNormals);
  json.Key("hasTextureCoords");
  json.Bool(mesh.hasTextureCoords);
  const Bounds b = BoundsOf(mesh);
  if (b.finite > 0) {
    json.Key("bounds");
    json.BeginObject();
    json.Key("min");
    WriteVec3(json, b.min);
    json.Key("max");
    WriteVec3(json, b.max);
    json.EndObject();
  }
  if (b.nonFinite > 0) {
    json.Key("nonFinitePositions");
    json.Unsigned(b.nonFinite);
  }
  const DrawFigures f = FiguresOf(mesh, budget);
  AddTo(model, f);
  if (f.cache) {
    json.Key("figures");
    json.BeginObject();
    json.Key("acmr");
    json.Float(f.vertexCache.acmr);
    json.Key("atvr");
    json.Float(f.vertexCache.atvr);
    if (f.overdraw) {
      json.Key("overdraw");
      json.Float(f.pixels.overdraw);
    }
    json.EndObject();
  }
  if (full) {
    json.Key("positions");
    json.BeginArray();
    for (const auto& p : mesh.positions) WriteVec3(json, p);
    json.EndArray();
    json.Key("indices");
    json.BeginArray(true);
    for (std::uint32_t index : mesh.indices) json.Unsigned(index);
    json.EndArray();
    if (mesh.hasNormals) {
      json.Key("normals");
      json.BeginArray();
      for (const auto& n : mesh.normals) WriteVec3(json, n);
      json.EndArray();
    }
    if (mesh.hasTextureCoords) {
      json.Key("textureCoords");
      json.BeginArray();
      for (const auto& t : mesh.textureCoords) {
        json.BeginArray(true);
        json.Float(t.u);
        json.Float(t.v);
        json.EndArray();
      }
      json.EndArray();
    }
  }
  json.EndObject();
}

void WriteKeys(JsonWriter& json, const char* name, const reader::KeySpan& keys, bool rotation) {
  json.Key(name);
  json.BeginArray();
  for (const reader::Key& k : keys) {
    json.BeginArray(true);
    json.Double(k.time);
    json.Float(k.x);
    json.Float(k.y);
    json.Float(k.z);
    if (rotation) json.Float(k.w);
    json.EndArray();
  }
  json.EndArray();
}

void WriteAnimationJson(JsonWriter& json, const reader::Animation& animation, bool full) {
  const KeyStats s = StatsOf(animation);
  json.BeginObject();
  json.Key("channelCount");
  json.Unsigned(animation.channels.size());
  json.Key("keyCounts");
  json.BeginObject();
  json.Key("position");
  json.Unsigned(s.positions);
  json.Key("scaling");
  json.Unsigned(s.scalings);
  json.Key("rotation");
  json.Unsigned(s.rotations);
  json.EndObject();
  if (s.HasTimes()) {
    json.Key("timeRange");
    json.BeginArray(true);
    json.Double(s.first);
    json.Double(s.last);
    json.EndArray();
  }
  if (full) {
    json.Key("channels");
    json.BeginArray();
    for (const reader::Channel c : animation.channels) {
      json.BeginObject();
      WriteKeys(json, "positions", c.positions, false);
      WriteKeys(json, "scalings", c.scalings, false);
      WriteKeys(json, "rotations", c.rotations, true);
      json.EndObject();
    }
    json.EndArray();
  }
  json.EndObject();
}

}  // namespace

std::string Summary(const std::string& path, const AssetFile& asset) {
  std::string out = path + ": " + reader::KindName(asset.kind) + " (" + asset.typeTag +
                    ") version " + std::to_string(asset.version) + ", " +
                    (asset.scrambled ? "scrambled" : "not scrambled") + ", payload " +
                    std::to_string(asset.payloadSize) + " bytes\n";
  figures::Budget budget = kFigureSteps;
  switch (asset.kind) {
    case AssetKind::Model:
    {
      figures::Totals model;
      for (std::size_t m = 0; m < asset.meshes.size(); ++m) MeshSummary(out, m, asset.meshes[m], &budget, &model);
      if (model.meshes() > 1) {
        out += "  all " + std::to_string(model.meshes()) + " triangle meshes, " + std::to_string(model.triangles()) +
               " triangles: ACMR " + Fixed3(model.acmr()) + ", ATVR " + Fixed3(model.atvr()) + "; overdraw " +
               OverdrawText(model.hasOverdraw(), model.overdraw()) + "\n";
      }
      break;
    }
    case AssetKind::Animation:
      for (std::size_t a = 0; a < asset.animations.size(); ++a) {
        const KeyStats s = StatsOf(asset.animations[a]);
        out += "  animation " + std::to_string(a) + ": " +
               std::to_string(asset.animations[a].channels.size()) + " channels, " +
               std::to_string(s.positions) + " position / " + std::to_string(s.scalings) +
               " scaling / " + std::to_string(s.rotations) + " rotation keys";
        if (s.HasTimes()) out += ", time " + Number(s.first) + " .. " + Number(s.last);
        out += "\n";
      }
      break;
    case AssetKind::Music:
    case AssetKind::Sound:
      out += "  extension " + JsonQuoted(asset.extension) + ", " +
             std::to_string(asset.data.size()) + " audio bytes\n";
      break;
    case AssetKind::Texture:
      out += "  " + std::to_string(asset.data.size()) + " texture bytes\n";
      break;
  }
  return out;
}

void WriteJson(JsonWriter& json, const std::string& path, const AssetFile& asset, bool full) {
  json.BeginObject();
  json.Key("file");
  json.String(path);
  json.Key("type");
  json.String(reader::KindName(asset.kind));
  json.Key("tag");
  json.String(asset.typeTag);
  json.Key("version");
  json.Unsigned(asset.version);
  json.Key("scrambled");
  json.Bool(asset.scrambled);
  json.Key("payloadSize");
  json.Unsigned(asset.payloadSize);
  figures::Budget budget = kFigureSteps;
  switch (asset.kind) {
    case AssetKind::Model:
    {
      figures::Totals model;
      json.Key("meshes");
      json.BeginArray();
      for (const reader::Mesh& mesh : asset.meshes) WriteMeshJson(json, mesh, full, &budget, &model);
      json.EndArray();
      if (model.meshes() > 0) {
        json.Key("figures");
        json.BeginObject();
        json.Key("triangles");
        json.Unsigned(model.triangles());
        json.Key("acmr");
        json.Double(model.acmr());
        json.Key("atvr");
        json.Double(model.atvr());
        if (model.hasOverdraw()) {
          json.Key("overdraw");
          json.Double(model.overdraw());
        }
        json.EndObject();
      }
      break;
    }
    case AssetKind::Animation:
      json.Key("animations");
      json.BeginArray();
      for (const reader::Animation& a : asset.animations) WriteAnimationJson(json, a, full);
      json.EndArray();
      break;
    case AssetKind::Music:
    case AssetKind::Sound:
      json.Key("extension");
      json.String(asset.extension);
      json.Key("dataSize");
      json.Unsigned(asset.data.size());
      break;
    case AssetKind::Texture:
      json.Key("dataSize");
      json.Unsigned(asset.data.size());
      break;
  }
  json.EndObject();
}

}  // namespace qx::examine
