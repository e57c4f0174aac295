// The conversion report: what one QXConvert run wrote, what of the source the asset
// holds, and what it does not carry. Written as JSON beside the asset on request and
// read back by QXInspect; report/qxconvert-report.schema.json is its published schema.
// The structures are plain data, so the scene module fills them without JSON.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qx::report {

// Raised only when a field changes meaning or goes; new optional fields keep it.
inline constexpr int kSchemaVersion = 1;
// Raised with each set of fields added within the version (absent in a report means
// 0): 1 adds a mesh's optimization figures and Assimp's own messages as findings; 2
// the skeleton of an animation.
inline constexpr int kSchemaMinor = 2;
inline constexpr const char* kSchemaName = "qxconvert-report";

// What -optimize or -simplify did to one mesh: its counts and its figures before and
// after. ACMR is vertex-shader runs per triangle and ATVR per vertex (a 16-entry FIFO
// cache: 0.5 and 1 at best); overdraw is pixels shaded per pixel covered (1 at best).
struct MeshFigures {
  bool optimized = false;  // false: the mesh was left as it was (points, lines)
  std::uint32_t verticesBefore = 0, verticesAfter = 0;
  std::uint32_t trianglesBefore = 0, trianglesAfter = 0;
  double acmrBefore = 0, acmrAfter = 0;
  double atvrBefore = 0, atvrAfter = 0;
  double overdrawBefore = 0, overdrawAfter = 0;
  bool simplified = false;
  double simplifyError = 0;  // in the mesh's units: how far the surface moved at most
};

struct Mesh {
  std::string name;
  std::uint32_t materialIndex = 0;
  std::string material;               // the material's name, empty when it has none
  std::vector<std::string> textures;  // every texture file the material names
  std::uint32_t vertices = 0;
  std::uint32_t faces = 0;
  std::uint64_t indices = 0;
  std::vector<std::string> primitives;  // "points", "lines", "triangles", "polygons"
  std::vector<std::string> attributes;  // what the payload holds: "positions", "normals", "uv"
  MeshFigures figures;                  // written only when optimized
};

struct Channel {
  std::string node;
  std::uint32_t positionKeys = 0;
  std::uint32_t rotationKeys = 0;
  std::uint32_t scalingKeys = 0;
  std::string preState;  // "default", "constant", "linear" or "repeat"
  std::string postState;
};

// JSON has no infinities or NaN, and the schema wants numbers, so ToJson writes a
// non-finite duration as the largest finite number of its sign (NaN as 0), and a
// non-finite tick rate (a BVH's "Frame Time: 0") as 0, "the source does not say".
struct Animation {
  std::string name;
  double duration = 0;        // in ticks
  double ticksPerSecond = 0;  // 0 when the source does not say
  std::vector<Channel> channels;
};

// A node of the hierarchy an animation moves: every node a channel names, and their
// ancestors up to the scene's root. The asset holds channels only; with these a viewer
// poses them. The rest transform is the node's own, relative to its parent.
struct Node {
  std::string name;
  std::int32_t parent = -1;  // an index into the skeleton, below this node's; -1 at the root
  std::array<double, 3> translation = {0, 0, 0};
  std::array<double, 4> rotation = {0, 0, 0, 1};  // a unit quaternion, x y z w
  std::array<double, 3> scale = {1, 1, 1};
  bool animated = false;  // a channel of some animation names it
};

// Something of the source the asset does not hold (or holds in part, for a warning):
// a stable kind a build can test for, how many, which meshes or channels, and words.
struct Finding {
  std::string kind;
  std::uint64_t count = 0;
  std::vector<std::string> concerns;
  std::string text;
};

// The words of findings made in more than one place (the scene module, and the .blend
// export for what its glTF hides).
inline constexpr const char* kCamerasText = "cameras are not stored";
inline constexpr const char* kLightsText = "lights are not stored";
inline constexpr const char* kEmbeddedTexturesText =
    "textures embedded in the source are not stored; convert them as tex assets";
inline constexpr const char* kMorphTargetsText = "morph targets (shape keys) are not stored";

// What the import saw; filled by the scene module.
struct Scene {
  std::vector<Mesh> meshes;
  std::vector<Animation> animations;
  // Parents before their children; written for animation assets only, and absent from
  // reports before schema minor 2.
  std::vector<Node> skeleton;
  std::vector<Finding> notCarried;
  std::vector<Finding> warnings;
  double importSeconds = 0;
  double encodeSeconds = 0;
};

struct Report {
  std::string tool = "QXConvert";
  std::string toolVersion;
  std::string type;  // the command-line name: mdl, anm, tex, mus, snd
  std::string input;
  std::string output;
  std::uint64_t inputSize = 0;
  std::uint64_t outputSize = 0;
  std::uint32_t outputCrc32 = 0;  // of the whole asset file, as written
  bool scrambled = false;
  bool baked = false;
  bool optimized = false;    // -optimize or -simplify: figures are in each mesh
  double simplifyRatio = 0;  // -simplify's ratio; 0 without it
  double writeSeconds = 0;
  Scene scene;
};

std::string ToJson(const Report& report);

// False with *error in words when the text is not a report this version reads. Then
// *foreign, when given, tells whether the text is JSON that does not claim to be a
// report at all (no "schema": "qxconvert-report"), as other JSON files may sit beside
// reports; a report cut short, of another version or with a field wrong is not foreign.
bool FromJson(const std::string& text, Report* report, std::string* error, bool* foreign = nullptr);

// The kinds of finding, as a build names them in --fail-on.
const std::vector<std::string>& FindingKinds();

// The seconds from start to now, as a report records each step's time.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace qx::report
