#include "reader/asset_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <queue>

#include "format/scramble.h"
#include "format/little_endian.h"

namespace qx::reader {
namespace {

using format::kExtensionFieldSize;
using format::kHeaderSize;

// Where a field sits, kept as numbers and static texts: the face-size search meets
// many errors on readings it then drops, so no text is built until one is reported.
struct Place {
  const char* owner = nullptr;  // "mesh" or "animation", numbered by index
  long index = -1;
  long channel = -1;
  const char* field = "";
};

Place MeshPlace(std::size_t m, const char* field) { return {"mesh", long(m), -1, field}; }

std::string Describe(const Place& place) {
  std::string text;
  if (place.owner != nullptr) text = std::string(place.owner) + " " + std::to_string(place.index);
  if (place.channel >= 0) text += " channel " + std::to_string(place.channel);
  if (*place.field != '\0') text += (text.empty() ? "" : " ") + std::string(place.field);
  return text;
}

// The first thing found wrong, as data; Text() words it.
struct Problem {
  enum Kind { kNone, kEndsInside, kIndexOutside, kBadFlag, kLeftOver, kPlain, kUnsplittable };
  Kind kind = kNone;
  Place place;
  std::size_t at = 0;       // payload offset
  std::uint64_t value = 0;  // the flag, or the bytes left over
};

// Reads fields from an unscrambled payload. Every read is preceded by Need(), which
// checks the bytes that remain, so a count can never lead outside the buffer or to
// an allocation larger than the file. Error offsets are file offsets.
class PayloadCursor {
 public:
  PayloadCursor(const std::uint8_t* data, std::size_t size, const char* payloadName)
      : data_(data), size_(size), payloadName_(payloadName) {}

  // True when count items of itemSize (1 or more) bytes remain; otherwise notes what
  // was cut short and where it starts.
  bool Need(std::uint64_t count, std::uint64_t itemSize, const Place& place) {
    if (count <= (size_ - at_) / itemSize) return true;
    Note(Problem::kEndsInside, place, 0);
    return false;
  }
  // Keeps only the first problem: on a failed file it is the one of the likeliest reading.
  void Note(Problem::Kind kind, const Place& place, std::uint64_t value) {
    if (problem_.kind == Problem::kNone) problem_ = {kind, place, at_, value};
  }

  std::uint8_t U8() { return data_[at_++]; }
  std::uint16_t U16() { return Advance(2, LoadLE16(data_ + at_)); }
  std::uint32_t U32() { return Advance(4, LoadLE32(data_ + at_)); }
  float F32() { return Advance(4, LoadF32(data_ + at_)); }
  double F64() { return Advance(8, LoadF64(data_ + at_)); }
  const std::uint8_t* Skip(std::size_t n) {
    const std::uint8_t* here = data_ + at_;
    at_ += n;
    return here;
  }

  std::size_t at() const { return at_; }
  void Seek(std::size_t at) { at_ = at; }
  std::size_t size() const { return size_; }
  std::size_t remaining() const { return size_ - at_; }
  bool failed() const { return problem_.kind != Problem::kNone; }
  void Forget() { problem_ = Problem(); }

  std::string Text() const {
    const Problem& p = problem_;
    std::string text = payloadName_;
    switch (p.kind) {
      case Problem::kNone: return std::string();
      case Problem::kEndsInside: text += " ends inside " + Describe(p.place); break;
      case Problem::kIndexOutside:
        text += " has an index outside mesh " + std::to_string(p.place.index) + "'s vertices";
        break;
      case Problem::kBadFlag:
        text += std::string(" has an invalid ") + p.place.field + " flag " +
                std::to_string(p.value) + " in mesh " + std::to_string(p.place.index);
        break;
      case Problem::kLeftOver:
        text += " has " + std::to_string(p.value) + " bytes left over after the last " +
                p.place.field;
        break;
      case Problem::kPlain: text += std::string(" ") + p.place.field; break;
      case Problem::kUnsplittable:
        return text + " cannot be split into faces of 1, 2 or 3 indices";
    }
    return text + " at byte " + std::to_string(kHeaderSize + p.at);
  }

 private:
  template <typename T>
  T Advance(std::size_t n, T value) {
    at_ += n;
    return value;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  const char* payloadName_;
  Problem problem_;
};

std::vector<Vec3> ReadVec3s(PayloadCursor& c, std::uint32_t count) {
  std::vector<Vec3> out(count);
  for (Vec3& v : out) {
    v.x = c.F32();
    v.y = c.F32();
    v.z = c.F32();
  }
  return out;
}

// What a mesh block looks like before its indices are read: its layout does not
// depend on how many indices make a face.
struct MeshLayout {
  std::size_t indicesAt = 0;
  std::uint32_t vertices = 0;
  std::uint32_t faces = 0;
};

bool ScanMeshHead(PayloadCursor& c, std::size_t m, MeshLayout* layout) {
  if (!c.Need(1, format::kCountWidth, MeshPlace(m, "name length"))) return false;
  const std::uint16_t nameLength = c.U16();
  if (!c.Need(nameLength, 1, MeshPlace(m, "name"))) return false;
  c.Skip(nameLength);
  if (!c.Need(2, format::kMeshFieldWidth, MeshPlace(m, "material index and vertex count"))) {
    return false;
  }
  c.U32();
  layout->vertices = c.U32();
  if (!c.Need(layout->vertices, format::kPositionWidth, MeshPlace(m, "positions"))) return false;
  c.Skip(format::kPositionWidth * layout->vertices);
  if (!c.Need(1, format::kMeshFieldWidth, MeshPlace(m, "face count"))) return false;
  layout->faces = c.U32();
  layout->indicesAt = c.at();
  return true;
}

// Checks the rest of a mesh block when each face has perFace indices: every index
// names a vertex of the mesh and both flags are 0 or 1. Leaves c after the block.
bool ScanMeshTail(PayloadCursor& c, std::size_t m, const MeshLayout& layout, std::uint32_t perFace) {
  c.Seek(layout.indicesAt);
  const std::uint64_t indices = std::uint64_t{layout.faces} * perFace;
  if (!c.Need(indices, format::kIndexWidth, MeshPlace(m, "indices"))) return false;
  const std::uint8_t* p = c.Skip(static_cast<std::size_t>(indices) * format::kIndexWidth);
  for (std::uint64_t i = 0; i < indices; ++i) {
    if (LoadLE32(p + format::kIndexWidth * i) >= layout.vertices) {
      c.Seek(layout.indicesAt + format::kIndexWidth * static_cast<std::size_t>(i));
      c.Note(Problem::kIndexOutside, MeshPlace(m, ""), 0);
      return false;
    }
  }
  static const char* const kFlagNames[] = {"normals", "texture coordinates"};
  static const char* const kFlagFields[] = {"normals flag", "texture coordinates flag"};
  static const std::size_t kWidths[] = {format::kNormalWidth, format::kTextureCoordWidth};
  for (int f = 0; f < 2; ++f) {
    if (!c.Need(1, format::kFlagWidth, MeshPlace(m, kFlagFields[f]))) return false;
    const std::size_t flagAt = c.at();
    const std::uint8_t flag = c.U8();
    if (flag > 1 || (flag == 1 && layout.vertices == 0)) {
      c.Seek(flagAt);
      c.Note(Problem::kBadFlag, MeshPlace(m, kFlagNames[f]), flag);
      return false;
    }
    if (flag == 1) {
      if (!c.Need(layout.vertices, kWidths[f], MeshPlace(m, kFlagNames[f]))) return false;
      c.Skip(kWidths[f] * layout.vertices);
    }
  }
  return true;
}

// Finds how a model payload splits into meshes. The file does not store how many
// indices make a face (a mesh holds points, lines or triangles), and only readings
// under which every later block parses, with nothing left over, count. A block's length
// depends on its face size but not on which mesh it is, so each offset where a mesh
// may start is parsed once, however many readings reach it and after however many
// meshes. Every block is longer than zero bytes, so a forward pass in offset order
// (a heap of the offsets readings have reached) meets each offset after all that lead
// to it, with the fewest and most meshes before it; a backward pass then learns, for
// each, how many meshes after it reach the end exactly (as ranges, kept to what the
// readings there allow). The nodes come out sorted by offset, so no table is needed to
// find one. Work is counted per offset reached, per index scanned and per range, and
// the search stops when the budget the payload's size gives runs out.
class FaceSizeSweep {
 public:
  enum Outcome { kParses, kFails, kOutOfBudget };

  FaceSizeSweep(PayloadCursor& c, std::size_t meshCount, long long budget)
      : c_(c), meshCount_(static_cast<std::uint32_t>(meshCount)), budget_(budget) {
    nodes_.reserve(meshCount + 1);  // a file with one reading: a node per mesh, and the end
  }

  Outcome Run(std::size_t start) {
    heap_.push({static_cast<std::uint32_t>(start), 0, 0});
    if (!Forward() || !Backward()) return kOutOfBudget;
    return Reaches(0, meshCount_) ? kParses : kFails;
  }

  // After kParses: each mesh's face size on the first reading that parses, in the order
  // 3, 2, 1, and every size under which the rest of the file parses too.
  void Describe(std::vector<Mesh>* meshes) const {
    meshes->resize(meshCount_);
    std::size_t node = 0;
    for (std::uint32_t m = 0; m < meshCount_; ++m) {
      Mesh& mesh = (*meshes)[m];
      std::size_t next = 0;
      for (int k = 0; k < 3; ++k) {
        const std::uint32_t end = nodes_[node].next[k];
        if (end == kNone) continue;
        const std::size_t after = Find(node, end);
        if (!Reaches(after, meshCount_ - m - 1)) continue;
        const std::uint32_t size = nodes_[node].faceless ? 0 : 3 - k;
        if (next == 0) mesh.indicesPerFace = size, next = after;
        if (size != 0) mesh.possibleFaceSizes.push_back(size);
      }
      node = next;
    }
  }

 private:
  static constexpr std::uint32_t kNone = ~std::uint32_t{0};
  static constexpr long long kReachCost = 8;  // a heap entry pushed and popped
  struct Reach {
    std::uint32_t offset, fewest, most;
    bool operator>(const Reach& other) const { return offset > other.offset; }
  };
  struct Range {
    std::uint32_t low, high;
  };
  struct Node {
    std::uint32_t offset, fewest, most;             // meshes before it, over the readings
    std::uint32_t next[3] = {kNone, kNone, kNone};  // where it ends with sizes 3, 2, 1
    bool faceless = false;                          // then next[0] alone, size 0
    std::uint32_t rangesAt = 0, rangeCount = 0;     // meshes after it that reach the end
  };

  bool Forward() {
    while (!heap_.empty()) {
      Reach reach = heap_.top();
      heap_.pop();
      while (!heap_.empty() && heap_.top().offset == reach.offset) {
        reach.fewest = std::min(reach.fewest, heap_.top().fewest);
        reach.most = std::max(reach.most, heap_.top().most);
        heap_.pop();
      }
      nodes_.push_back({reach.offset, reach.fewest, std::min(reach.most, meshCount_)});
      const std::size_t left = c_.size() - reach.offset;
      // At the end, past the mesh count, or too few bytes for the meshes still owed
      // on every reading here: nothing after it can count.
      if (left == 0 || reach.fewest >= meshCount_ ||
          left / format::kMinMeshSize < meshCount_ - nodes_.back().most) {
        continue;
      }
      c_.Seek(reach.offset);
      MeshLayout layout;
      if (!ScanMeshHead(c_, reach.fewest, &layout)) continue;
      nodes_.back().faceless = layout.faces == 0;
      // A reading that lands inside other data meets a face count that is any number;
      // what it costs is the indices the bytes left can hold, never more.
      const std::uint64_t indicesLeft = (c_.size() - layout.indicesAt) / format::kIndexWidth;
      for (int k = 0; k < (layout.faces == 0 ? 1 : 3); ++k) {
        const std::uint32_t size = layout.faces == 0 ? 0 : 3 - k;
        const std::uint64_t indices = std::uint64_t{layout.faces} * size;
        budget_ -= static_cast<long long>(indices <= indicesLeft ? indices : 0) + kReachCost;
        if (budget_ < 0) return false;
        if (!ScanMeshTail(c_, reach.fewest, layout, size)) continue;
        const auto end = static_cast<std::uint32_t>(c_.at());
        nodes_.back().next[k] = end;
        heap_.push({end, reach.fewest + 1, reach.most + 1});
      }
    }
    return true;
  }

  // Nodes in falling offset order: the meshes after a node that reach the end are those
  // after each node it leads to, plus one, kept within what the readings here allow.
  bool Backward() {
    for (std::size_t n = nodes_.size(); n-- > 0;) {
      Node& node = nodes_[n];
      node.rangesAt = static_cast<std::uint32_t>(ranges_.size());
      if (node.offset == c_.size()) {
        ranges_.push_back({0, 0});
      } else if (node.fewest < meshCount_) {
        const std::uint32_t low = meshCount_ - node.most, high = meshCount_ - node.fewest;
        for (const std::uint32_t end : node.next) {
          if (end == kNone) continue;
          const Node& after = nodes_[Find(n, end)];
          budget_ -= after.rangeCount;
          for (std::uint32_t i = 0; i < after.rangeCount; ++i) {
            const Range r = ranges_[after.rangesAt + i];
            Add({std::max(r.low + 1, low), std::min(r.high + 1, high)}, node.rangesAt);
          }
        }
        if (budget_ < 0) return false;
      }
      nodes_[n].rangeCount = static_cast<std::uint32_t>(ranges_.size()) - nodes_[n].rangesAt;
    }
    return true;
  }

  // The node at offset, which lies after node from: galloping, since it is most often
  // one of the next few.
  std::size_t Find(std::size_t from, std::uint32_t offset) const {
    std::size_t low = from + 1, step = 1;
    while (low + step < nodes_.size() && nodes_[low + step].offset < offset) low += step, step *= 2;
    const auto at = std::lower_bound(
        nodes_.begin() + static_cast<std::ptrdiff_t>(low),
        nodes_.begin() + static_cast<std::ptrdiff_t>(std::min(low + step + 1, nodes_.size())),
        offset, [](const Node& node, std::uint32_t o) { return node.offset < o; });
    return static_cast<std::size_t>(at - nodes_.begin());
  }

  // Adds a range to the node's list, which starts at first, kept sorted and merged.
  void Add(Range r, std::uint32_t first) {
    if (r.low > r.high) return;
    auto at = std::lower_bound(ranges_.begin() + first, ranges_.end(), r,
                               [](const Range& a, const Range& b) { return a.low < b.low; });
    at = ranges_.insert(at, r);
    if (at != ranges_.begin() + first && (at - 1)->high + 1 >= at->low) {
      (at - 1)->high = std::max((at - 1)->high, at->high);
      at = ranges_.erase(at) - 1;
    }
    while (at + 1 != ranges_.end() && at->high + 1 >= (at + 1)->low) {
      at->high = std::max(at->high, (at + 1)->high);
      ranges_.erase(at + 1);
    }
  }

  bool Reaches(std::size_t node, std::uint32_t meshesAfter) const {
    const Node& n = nodes_[node];
    for (std::uint32_t i = 0; i < n.rangeCount; ++i) {
      const Range& r = ranges_[n.rangesAt + i];
      if (r.low <= meshesAfter && meshesAfter <= r.high) return true;
    }
    return false;
  }

  PayloadCursor& c_;
  std::uint32_t meshCount_;
  long long budget_;
  std::vector<Node> nodes_;  // in rising offset order; the first is the payload's start
  std::vector<Range> ranges_;
  std::priority_queue<Reach, std::vector<Reach>, std::greater<>> heap_;
};

// Notes what is wrong with a payload that no reading splits: the first problem on the
// likeliest reading, the one that takes each mesh's faces as triangles.
void NoteFirstProblem(PayloadCursor& c, std::size_t meshCount, std::size_t start) {
  c.Forget();
  std::size_t offset = start;
  for (std::size_t m = 0; m < meshCount; ++m) {
    c.Seek(offset);
    MeshLayout layout;
    if (!ScanMeshHead(c, m, &layout) || !ScanMeshTail(c, m, layout, layout.faces == 0 ? 0 : 3)) {
      return;
    }
    offset = c.at();
  }
  if (c.remaining() != 0) {
    c.Note(Problem::kLeftOver, {nullptr, -1, -1, "mesh"}, c.remaining());
  } else {
    c.Note(Problem::kUnsplittable, {}, 0);
  }
}

// Finds each mesh's face size: the first reading that parses, in the order 3, 2, 1, is
// the one decoded, and each mesh lists every size under which the rest parses too.
bool FindFaceSizes(PayloadCursor& c, std::size_t meshCount, std::vector<Mesh>* meshes) {
  const std::size_t start = c.at();
  FaceSizeSweep sweep(c, meshCount, 2 * static_cast<long long>(c.size()) + 10000);
  const FaceSizeSweep::Outcome outcome = sweep.Run(start);
  c.Forget();
  if (outcome == FaceSizeSweep::kOutOfBudget) c.Note(Problem::kUnsplittable, {}, 0);
  if (outcome == FaceSizeSweep::kFails) NoteFirstProblem(c, meshCount, start);
  if (outcome != FaceSizeSweep::kParses) return false;
  sweep.Describe(meshes);
  c.Seek(start);
  return true;
}

// Checks that each mesh parses with the face size the caller knows.
bool CheckFaceSizes(PayloadCursor& c, std::size_t meshCount, const std::vector<std::uint32_t>& faceSizes,
                    std::vector<Mesh>* meshes) {
  if (faceSizes.size() != meshCount) {
    c.Note(Problem::kPlain, {nullptr, -1, -1, "has a different mesh count than expected"}, 0);
    return false;
  }
  const std::size_t start = c.at();
  meshes->resize(meshCount);
  for (std::size_t m = 0; m < meshCount; ++m) {
    MeshLayout layout;
    if (!ScanMeshHead(c, m, &layout)) return false;
    const std::uint32_t size = layout.faces == 0 ? 0 : faceSizes[m];
    if (size > 3 || !ScanMeshTail(c, m, layout, size)) {
      if (!c.failed()) c.Note(Problem::kPlain, MeshPlace(m, "has an invalid face size"), 0);
      return false;
    }
    (*meshes)[m].indicesPerFace = size;
    if (size != 0) (*meshes)[m].possibleFaceSizes = {size};
  }
  if (c.remaining() != 0) {
    c.Note(Problem::kLeftOver, {nullptr, -1, -1, "mesh"}, c.remaining());
    return false;
  }
  c.Seek(start);
  return true;
}

void DecodeMesh(PayloadCursor& c, Mesh& mesh) {
  const std::uint16_t nameLength = c.U16();
  mesh.name.assign(reinterpret_cast<const char*>(c.Skip(nameLength)), nameLength);
  mesh.materialIndex = c.U32();
  const std::uint32_t vertices = c.U32();
  mesh.positions = ReadVec3s(c, vertices);
  mesh.faceCount = c.U32();
  mesh.indices.resize(std::size_t{mesh.faceCount} * mesh.indicesPerFace);
  for (std::uint32_t& index : mesh.indices) index = c.U32();
  mesh.hasNormals = c.U8() == 1;
  if (mesh.hasNormals) mesh.normals = ReadVec3s(c, vertices);
  mesh.hasTextureCoords = c.U8() == 1;
  if (mesh.hasTextureCoords) {
    mesh.textureCoords.resize(vertices);
    for (Vec2& uv : mesh.textureCoords) {
      uv.u = c.F32();
      uv.v = c.F32();
    }
  }
}

bool DecodeModel(PayloadCursor& c, AssetFile* asset, const std::vector<std::uint32_t>* faceSizes) {
  if (!c.Need(1, format::kCountWidth, {nullptr, -1, -1, "mesh count"})) return false;
  const std::uint16_t meshCount = c.U16();
  const bool found = faceSizes != nullptr ? CheckFaceSizes(c, meshCount, *faceSizes, &asset->meshes)
                                          : FindFaceSizes(c, meshCount, &asset->meshes);
  if (!found) return false;
  for (Mesh& mesh : asset->meshes) DecodeMesh(c, mesh);
  return true;
}

// A key list: its u16 count, then each key's f64 time and f32 x, y, z, and w for
// rotations (20 or 24 bytes a key). Checks that the keys are there and skips them.
bool ScanKeyList(PayloadCursor& c, long a, long ch, int list, std::uint16_t* count) {
  static const char* const kCount[] = {"position key count", "scaling key count",
                                       "rotation key count"};
  static const char* const kKeys[] = {"position keys", "scaling keys", "rotation keys"};
  const std::size_t width = list == 2 ? format::kRotationKeyWidth : format::kVectorKeyWidth;
  if (!c.Need(1, format::kCountWidth, {"animation", a, ch, kCount[list]})) return false;
  *count = c.U16();
  if (!c.Need(*count, width, {"animation", a, ch, kKeys[list]})) return false;
  c.Skip(width * *count);
  return true;
}

void DecodeKeys(PayloadCursor& c, Key* keys, std::uint16_t count, bool rotation) {
  c.Skip(2);
  for (Key* key = keys; key != keys + count; ++key) {
    key->time = c.F64();
    key->x = c.F32();
    key->y = c.F32();
    key->z = c.F32();
    key->w = rotation ? c.F32() : 0.0f;
  }
}

bool DecodeChannel(PayloadCursor& c, long a, long ch, ChannelList* channels) {
  const std::size_t start = c.at();
  std::uint16_t counts[3];
  for (int list = 0; list < 3; ++list) {
    if (!ScanKeyList(c, a, ch, list, &counts[list])) return false;
  }
  // Checked first, so nothing is allocated for keys that are not in the file.
  c.Seek(start);
  Key* keys = channels->Append(counts[0], counts[1], counts[2]);
  for (int list = 0; list < 3; ++list) {
    DecodeKeys(c, keys, counts[list], list == 2);
    keys += counts[list];
  }
  return true;
}

bool DecodeAnimations(PayloadCursor& c, AssetFile* asset) {
  if (!c.Need(1, format::kCountWidth, {nullptr, -1, -1, "animation count"})) return false;
  const std::uint16_t animationCount = c.U16();
  // Every animation takes at least its 2-byte channel count.
  if (!c.Need(animationCount, format::kCountWidth, {"animation", 0, -1, ""})) return false;
  asset->animations.resize(animationCount);
  for (std::size_t a = 0; a < animationCount; ++a) {
    if (!c.Need(1, format::kCountWidth, {"animation", long(a), -1, "channel count"})) return false;
    const std::uint16_t channelCount = c.U16();
    // Every channel takes at least its three 2-byte key counts.
    if (!c.Need(channelCount, format::kMinChannelSize, {"animation", long(a), -1, "channels"})) {
      return false;
    }
    ChannelList& channels = asset->animations[a].channels;
    channels.Reserve(channelCount);
    for (std::size_t ch = 0; ch < channelCount; ++ch) {
      if (!DecodeChannel(c, long(a), long(ch), &channels)) return false;
    }
  }
  if (c.remaining() != 0) {
    c.Note(Problem::kLeftOver, {nullptr, -1, -1, "animation"}, c.remaining());
    return false;
  }
  return true;
}

bool DecodeAudio(PayloadCursor& c, AssetFile* asset) {
  if (!c.Need(kExtensionFieldSize, 1, {nullptr, -1, -1, "the extension field"})) return false;
  const std::uint8_t* field = c.Skip(kExtensionFieldSize);
  const std::size_t length = strnlen(reinterpret_cast<const char*>(field), kExtensionFieldSize);
  asset->extension.assign(reinterpret_cast<const char*>(field), length);
  for (std::size_t i = length; i < kExtensionFieldSize; ++i) {
    if (field[i] != 0) {
      c.Seek(i);
      c.Note(Problem::kPlain, {nullptr, -1, -1, "has a byte after the end of the extension"}, 0);
      return false;
    }
  }
  if (length > 0 && field[0] != '.') {
    c.Seek(0);
    c.Note(Problem::kPlain, {nullptr, -1, -1, "has an extension that does not start with a dot"},
           0);
    return false;
  }
  return true;
}

// Decodes a whole file held in a buffer it may change: the payload is unscrambled in
// place and raw payloads are moved out rather than copied, so a file costs its own size
// once, plus what it decodes to.
bool DecodeFile(std::vector<std::uint8_t>&& file, AssetFile* asset, std::string* error,
                const std::vector<std::uint32_t>* faceSizes) {
  *asset = AssetFile();
  const std::size_t size = file.size();
  format::Header header;
  if (!format::DecodeHeader(file.data(), size, &header, error)) return false;
  if (size - kHeaderSize > 0xFFFFFFFFu) {
    *error = "payload is 4 GiB or larger";
    return false;
  }
  const format::KindInfo& info = format::InfoOf(header.kind);
  asset->typeTag = info.tag;
  asset->kind = header.kind;
  asset->version = header.version;
  asset->scrambled = header.scrambled;
  asset->payloadSize = static_cast<std::uint32_t>(size - kHeaderSize);

  std::uint8_t* payload = file.data() + kHeaderSize;
  if (asset->scrambled) {
    AssetKey key;
    DeriveAssetKey(kPassPhrase, key);
    UnscramblePayload(key, payload, asset->payloadSize, 0);
  }
  PayloadCursor c(payload, asset->payloadSize, info.payloadName);
  bool ok = true;
  switch (header.kind) {
    case AssetKind::Model: ok = DecodeModel(c, asset, faceSizes); break;
    case AssetKind::Animation: ok = DecodeAnimations(c, asset); break;
    case AssetKind::Music:
    case AssetKind::Sound: ok = DecodeAudio(c, asset); break;
    case AssetKind::Texture: break;
  }
  if (!ok) {
    *error = c.Text();
    AssetFile empty;
    empty.typeTag = asset->typeTag;
    *asset = std::move(empty);
    return false;
  }
  if (header.kind == AssetKind::Texture || header.kind == AssetKind::Music ||
      header.kind == AssetKind::Sound) {
    file.erase(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + c.at()));
    asset->data = std::move(file);
  }
  return true;
}

}  // namespace

Channel ChannelList::operator[](std::size_t c) const {
  const Start& s = starts_[c];
  const std::size_t end = c + 1 < starts_.size() ? starts_[c + 1].firstKey : keys_.size();
  const Key* first = keys_.data() + s.firstKey;
  const std::size_t rotations = end - s.firstKey - s.positions - s.scalings;
  return {KeySpan(first, s.positions), KeySpan(first + s.positions, s.scalings),
          KeySpan(first + s.positions + s.scalings, rotations)};
}

Key* ChannelList::Append(std::uint16_t positions, std::uint16_t scalings,
                         std::uint16_t rotations) {
  const std::size_t first = keys_.size();
  starts_.push_back({static_cast<std::uint32_t>(first), positions, scalings});
  keys_.resize(first + positions + scalings + rotations);
  return keys_.data() + first;
}

bool ReadAsset(const std::uint8_t* bytes, std::size_t size, AssetFile* asset, std::string* error,
               const std::vector<std::uint32_t>* faceSizes) {
  return DecodeFile(std::vector<std::uint8_t>(bytes, bytes + size), asset, error, faceSizes);
}

bool ReadFileBytes(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) {
  // Paths are UTF-8; through std::filesystem they reach the system's wide calls on
  // Windows, whatever the ANSI code page.
  errno = 0;
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  if (!file) {
    *error = "cannot open " + path + ": " + std::strerror(errno != 0 ? errno : ENOENT);
    return false;
  }
  // Sized once from the file's length where it has one, then read to the end: a
  // buffer grown by doubling would hold up to three times the file at its peak. One
  // byte more than the length leaves room for the read that meets the end.
  bytes->clear();
  file.seekg(0, std::ios::end);
  const std::streamoff length = file.tellg();
  if (length > 0) bytes->reserve(static_cast<std::size_t>(length) + 1);
  file.seekg(0, std::ios::beg);
  file.clear();
  std::size_t have = 0;
  while (file) {
    if (bytes->size() == have) bytes->resize(std::max<std::size_t>(bytes->capacity(), have + 65536));
    file.read(reinterpret_cast<char*>(bytes->data() + have),
              static_cast<std::streamsize>(bytes->size() - have));
    have += static_cast<std::size_t>(file.gcount());
  }
  if (file.bad()) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes->resize(have);
  return true;
}

bool ReadAssetFile(const std::string& path, AssetFile* asset, std::string* error,
                   const std::vector<std::uint32_t>* faceSizes) {
  std::vector<std::uint8_t> bytes;
  return ReadFileBytes(path, &bytes, error) && DecodeFile(std::move(bytes), asset, error, faceSizes);
}

const char* KindName(AssetKind kind) { return format::InfoOf(kind).name; }

}  // namespace qx::reader
