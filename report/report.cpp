#include "report/report.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include <stdexcept>
#include <tuple>

namespace qx::report {
namespace {

using json = nlohmann::ordered_json;

// A count, size, index or checksum: a whole number from 0 to T's largest. get<T>()
// alone would wrap -1 or 2^32 into range, and cast 1e30 with undefined behaviour.
template <typename T>
T Whole(const json& value) {
  if (!value.is_number()) return value.get<T>();  // throws, naming the wrong type
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() > std::numeric_limits<T>::max()) {
    throw std::out_of_range("a whole number from 0 to " + std::to_string(std::numeric_limits<T>::max()) +
                            " was expected, not " + value.dump());
  }
  return value.get<T>();
}

json FindingsJson(const std::vector<Finding>& findings) {
  json list = json::array();
  for (const Finding& f : findings) {
    list.push_back({{"kind", f.kind}, {"count", f.count}, {"concerns", f.concerns}, {"text", f.text}});
  }
  return list;
}

std::vector<Finding> FindingsOf(const json& list) {
  std::vector<Finding> findings;
  for (const json& f : list) {
    findings.push_back({f.at("kind").get<std::string>(), Whole<std::uint64_t>(f.at("count")),
                        f.at("concerns").get<std::vector<std::string>>(),
                        f.at("text").get<std::string>()});
  }
  return findings;
}

// Every double goes through one of these: JSON has no infinities or NaN, and a
// serialiser writes them as null, which the schema refuses where a number belongs.
double Duration(double ticks) {
  if (std::isnan(ticks)) return 0;
  if (std::isinf(ticks)) return std::copysign(std::numeric_limits<double>::max(), ticks);
  return ticks;
}

double FiniteOrZero(double value) { return std::isfinite(value) ? value : 0; }

template <typename T>
json BeforeAfter(T before, T after) { return {{"before", before}, {"after", after}}; }

json FiguresJson(const MeshFigures& f) {
  json figures = {{"vertices", BeforeAfter(f.verticesBefore, f.verticesAfter)},
                  {"triangles", BeforeAfter(f.trianglesBefore, f.trianglesAfter)},
                  {"acmr", BeforeAfter(f.acmrBefore, f.acmrAfter)},
                  {"atvr", BeforeAfter(f.atvrBefore, f.atvrAfter)},
                  {"overdraw", BeforeAfter(f.overdrawBefore, f.overdrawAfter)}};
  if (f.simplified) figures["simplifyError"] = f.simplifyError;
  return figures;
}

MeshFigures FiguresOf(const json& j) {
  MeshFigures f;
  f.optimized = true;
  f.verticesBefore = Whole<std::uint32_t>(j.at("vertices").at("before"));
  f.verticesAfter = Whole<std::uint32_t>(j.at("vertices").at("after"));
  f.trianglesBefore = Whole<std::uint32_t>(j.at("triangles").at("before"));
  f.trianglesAfter = Whole<std::uint32_t>(j.at("triangles").at("after"));
  for (auto [name, before, after] : {std::tuple{"acmr", &f.acmrBefore, &f.acmrAfter},
                                     std::tuple{"atvr", &f.atvrBefore, &f.atvrAfter},
                                     std::tuple{"overdraw", &f.overdrawBefore, &f.overdrawAfter}}) {
    *before = j.at(name).at("before").get<double>();
    *after = j.at(name).at("after").get<double>();
  }
  f.simplified = j.contains("simplifyError");
  if (f.simplified) f.simplifyError = j.at("simplifyError").get<double>();
  return f;
}

// A finite double in the report's JSON for a rotation: a quaternion that cannot be
// written as it is (a component not finite) is written as no rotation at all.
std::array<double, 4> FiniteRotation(const std::array<double, 4>& q) {
  for (double c : q) {
    if (!std::isfinite(c)) return {0, 0, 0, 1};
  }
  return q;
}

json SkeletonJson(const std::vector<Node>& skeleton) {
  json nodes = json::array();
  for (const Node& n : skeleton) {
    nodes.push_back({{"name", n.name},
                     {"parent", n.parent},
                     {"translation", {FiniteOrZero(n.translation[0]), FiniteOrZero(n.translation[1]),
                                      FiniteOrZero(n.translation[2])}},
                     {"rotation", FiniteRotation(n.rotation)},
                     {"scale", {FiniteOrZero(n.scale[0]), FiniteOrZero(n.scale[1]), FiniteOrZero(n.scale[2])}},
                     {"animated", n.animated}});
  }
  return nodes;
}

// A skeleton field that is wrong, by its place in the report ("skeleton[3].parent").
class FieldError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// node[key], which must hold N numbers; `at` names the node in an error.
template <std::size_t N>
std::array<double, N> Numbers(const json& node, const char* key, const std::string& at) {
  const std::string wrong = at + "." + key + " must be an array of " + std::to_string(N) + " numbers";
  if (!node.contains(key) || !node[key].is_array() || node[key].size() != N) throw FieldError(wrong);
  std::array<double, N> numbers{};
  for (std::size_t i = 0; i < N; ++i) {
    if (!node[key][i].is_number()) throw FieldError(wrong);
    numbers[i] = node[key][i].get<double>();
  }
  return numbers;
}

// Every field checked by name, and each parent before its child, so a reader can pose
// the nodes in one pass from the first.
std::vector<Node> SkeletonOf(const json& list) {
  if (!list.is_array()) throw FieldError("skeleton must be an array");
  std::vector<Node> skeleton;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const json& n = list[i];
    const std::string at = "skeleton[" + std::to_string(i) + "]";
    if (!n.is_object()) throw FieldError(at + " must be an object");
    Node node;
    if (!n.contains("name") || !n["name"].is_string()) throw FieldError(at + ".name must be a string");
    node.name = n["name"].get<std::string>();
    if (!n.contains("parent") || !n["parent"].is_number_integer()) {
      throw FieldError(at + ".parent must be a whole number");
    }
    // An unsigned value may be past any int64_t: it is compared as it is.
    const bool before = n["parent"].is_number_unsigned() ? n["parent"].get<std::uint64_t>() < i
                                                         : n["parent"].get<std::int64_t>() == -1;
    if (!before) {
      throw FieldError(at + ".parent is " + n["parent"].dump() + "; it must be -1 or the index of a node before it");
    }
    node.parent = static_cast<std::int32_t>(n["parent"].get<std::int64_t>());
    node.translation = Numbers<3>(n, "translation", at);
    node.rotation = Numbers<4>(n, "rotation", at);
    node.scale = Numbers<3>(n, "scale", at);
    if (!n.contains("animated") || !n["animated"].is_boolean()) throw FieldError(at + ".animated must be true or false");
    node.animated = n["animated"].get<bool>();
    skeleton.push_back(std::move(node));
  }
  return skeleton;
}

}  // namespace

const std::vector<std::string>& FindingKinds() {
  static const std::vector<std::string> kinds = {
      "placement",     "instances",     "bones",          "colors",     "uv-sets",
      "tangents",      "morph-targets", "cameras",        "lights",     "textures",
      "mesh-channels", "morph-channels", "animations",    "meshes",     "uv-components",
      "assimp-warning", "assimp-error"};
  return kinds;
}

std::string ToJson(const Report& r) {
  json meshes = json::array();
  for (const Mesh& m : r.scene.meshes) {
    meshes.push_back({{"name", m.name},
                      {"materialIndex", m.materialIndex},
                      {"material", m.material},
                      {"textures", m.textures},
                      {"vertices", m.vertices},
                      {"faces", m.faces},
                      {"indices", m.indices},
                      {"primitives", m.primitives},
                      {"attributes", m.attributes}});
    if (m.figures.optimized) meshes.back()["optimization"] = FiguresJson(m.figures);
  }
  json animations = json::array();
  for (const Animation& a : r.scene.animations) {
    json channels = json::array();
    for (const Channel& c : a.channels) {
      channels.push_back({{"node", c.node},
                          {"positionKeys", c.positionKeys},
                          {"rotationKeys", c.rotationKeys},
                          {"scalingKeys", c.scalingKeys},
                          {"preState", c.preState},
                          {"postState", c.postState}});
    }
    animations.push_back({{"name", a.name},
                          {"duration", Duration(a.duration)},
                          {"ticksPerSecond", FiniteOrZero(a.ticksPerSecond)},
                          {"channels", channels}});
  }
  json document = {
      {"schema", kSchemaName},
      {"schemaVersion", kSchemaVersion},
      {"schemaMinor", kSchemaMinor},
      {"tool", {{"name", r.tool}, {"version", r.toolVersion}}},
      {"type", r.type},
      {"input", {{"path", r.input}, {"size", r.inputSize}}},
      {"output",
       {{"path", r.output},
        {"size", r.outputSize},
        {"crc32", r.outputCrc32},
        {"scrambled", r.scrambled},
        {"baked", r.baked}}},
      {"seconds",
       {{"import", FiniteOrZero(r.scene.importSeconds)},
        {"encode", FiniteOrZero(r.scene.encodeSeconds)},
        {"write", FiniteOrZero(r.writeSeconds)}}},
      {"meshes", meshes},
      {"animations", animations},
      {"notCarried", FindingsJson(r.scene.notCarried)},
      {"warnings", FindingsJson(r.scene.warnings)},
  };
  if (r.type == "anm") document["skeleton"] = SkeletonJson(r.scene.skeleton);
  if (r.optimized) {
    document["output"]["optimized"] = true;
    if (r.simplifyRatio > 0) document["output"]["simplifyRatio"] = r.simplifyRatio;
  }
  // Names come from the source's bytes: invalid UTF-8 is replaced, never refused.
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool FromJson(const std::string& text, Report* r, std::string* error, bool* foreign) {
  if (foreign != nullptr) *foreign = false;
  const json document = json::parse(text, nullptr, false);
  if (document.is_discarded()) {
    *error = "it is not JSON";
    return false;
  }
  if (!document.is_object() || !document.contains("schema") || document["schema"] != kSchemaName) {
    if (foreign != nullptr) *foreign = true;
    *error = "it is not a QXConvert report";
    return false;
  }
  try {
    const std::uint64_t version = Whole<std::uint64_t>(document.at("schemaVersion"));
    if (version != static_cast<std::uint64_t>(kSchemaVersion)) {
      *error = "its schema version is " + std::to_string(version) + "; this tool reads version " +
               std::to_string(kSchemaVersion);
      return false;
    }
    Report read;
    read.tool = document.at("tool").at("name").get<std::string>();
    read.toolVersion = document.at("tool").at("version").get<std::string>();
    read.type = document.at("type").get<std::string>();
    const json& input = document.at("input");
    read.input = input.at("path").get<std::string>();
    read.inputSize = Whole<std::uint64_t>(input.at("size"));
    const json& output = document.at("output");
    read.output = output.at("path").get<std::string>();
    read.outputSize = Whole<std::uint64_t>(output.at("size"));
    read.outputCrc32 = Whole<std::uint32_t>(output.at("crc32"));
    read.scrambled = output.at("scrambled").get<bool>();
    read.baked = output.at("baked").get<bool>();
    // Fields of later minor versions are read when present; those of versions after
    // this tool's are ignored.
    read.optimized = output.value("optimized", false);
    read.simplifyRatio = output.value("simplifyRatio", 0.0);
    const json& seconds = document.at("seconds");
    read.scene.importSeconds = seconds.at("import").get<double>();
    read.scene.encodeSeconds = seconds.at("encode").get<double>();
    read.writeSeconds = seconds.at("write").get<double>();
    for (const json& m : document.at("meshes")) {
      read.scene.meshes.push_back({m.at("name").get<std::string>(),
                                   Whole<std::uint32_t>(m.at("materialIndex")),
                                   m.at("material").get<std::string>(),
                                   m.at("textures").get<std::vector<std::string>>(),
                                   Whole<std::uint32_t>(m.at("vertices")),
                                   Whole<std::uint32_t>(m.at("faces")),
                                   Whole<std::uint64_t>(m.at("indices")),
                                   m.at("primitives").get<std::vector<std::string>>(),
                                   m.at("attributes").get<std::vector<std::string>>(),
                                   m.contains("optimization") ? FiguresOf(m.at("optimization")) : MeshFigures{}});
    }
    for (const json& a : document.at("animations")) {
      Animation animation{a.at("name").get<std::string>(), a.at("duration").get<double>(),
                          a.at("ticksPerSecond").get<double>(), {}};
      for (const json& c : a.at("channels")) {
        animation.channels.push_back(
            {c.at("node").get<std::string>(), Whole<std::uint32_t>(c.at("positionKeys")),
             Whole<std::uint32_t>(c.at("rotationKeys")), Whole<std::uint32_t>(c.at("scalingKeys")),
             c.at("preState").get<std::string>(), c.at("postState").get<std::string>()});
      }
      read.scene.animations.push_back(std::move(animation));
    }
    if (document.contains("skeleton")) read.scene.skeleton = SkeletonOf(document["skeleton"]);
    read.scene.notCarried = FindingsOf(document.at("notCarried"));
    read.scene.warnings = FindingsOf(document.at("warnings"));
    *r = std::move(read);
    return true;
  } catch (const json::exception& e) {
    // at() names the missing key, get() the wrong type: both say which field.
    *error = std::string("a field is missing or of the wrong type (") + e.what() + ")";
    return false;
  } catch (const FieldError& e) {
    *error = e.what();
    return false;
  } catch (const std::out_of_range& e) {
    *error = std::string("a field is out of range (") + e.what() + ")";
    return false;
  }
}

}  // namespace qx::report
