#include "reader/asset_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cipher/cipher.h"
#include "endian/little_endian.h"

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
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size, const char* payloadName)
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

std::vector<Vec3> ReadVec3s(Cursor& c, std::uint32_t count) {
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

bool ScanMeshHead(Cursor& c, std::size_t m, MeshLayout* layout) {
  if (!c.Need(1, 2, MeshPlace(m, "name length"))) return false;
  const std::uint16_t nameLength = c.U16();
  if (!c.Need(nameLength, 1, MeshPlace(m, "name"))) return false;
  c.Skip(nameLength);
  if (!c.Need(2, 4, MeshPlace(m, "material index and vertex count"))) return false;
  c.U32();
  layout->vertices = c.U32();
  if (!c.Need(layout->vertices, format::kPositionWidth, MeshPlace(m, "positions"))) return false;
  c.Skip(format::kPositionWidth * layout->vertices);
  if (!c.Need(1, 4, MeshPlace(m, "face count"))) return false;
  layout->faces = c.U32();
  layout->indicesAt = c.at();
  return true;
}

// Checks the rest of a mesh block when each face has perFace indices: every index
// names a vertex of the mesh and both flags are 0 or 1. Leaves c after the block.
bool ScanMeshTail(Cursor& c, std::size_t m, const MeshLayout& layout, std::uint32_t perFace) {
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
    if (!c.Need(1, 1, MeshPlace(m, kFlagFields[f]))) return false;
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

// Reads mesh m at offset with perFace indices a face; the end offset, or 0 on failure.
std::size_t MeshEnd(Cursor& c, std::size_t m, std::size_t offset, std::uint32_t perFace) {
  MeshLayout layout;
  c.Seek(offset);
  if (!ScanMeshHead(c, m, &layout)) return 0;
  if ((layout.faces == 0) != (perFace == 0)) return 0;
  return ScanMeshTail(c, m, layout, perFace) ? c.at() : 0;
}

// What is known of a state (mesh m starting at a payload offset): whether meshes m..
// parse from there, and with which face size for m first. An open addressing table over
// one array of words, each holding a key and its value, so that a probe touches one
// cache line: states are many on a hostile file, and a node per state would cost an
// allocation per attempt.
class StateTable {
 public:
  static constexpr std::uint8_t kFails = 0xFF;  // otherwise: the face size that works

  // Keys are below 2^48: a mesh number (under 2^16) above a payload offset (under 2^32).
  bool Find(std::uint64_t key, std::uint8_t* value) const {
    if (slots_.empty()) return false;
    for (std::size_t i = Slot(key);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == kEmpty) return false;
      if ((slots_[i] & kKeyMask) == key) {
        *value = static_cast<std::uint8_t>(slots_[i] >> 48);
        return true;
      }
    }
  }
  void Put(std::uint64_t key, std::uint8_t value) {
    if (2 * (count_ + 1) > slots_.size()) Grow();
    std::size_t i = Slot(key);
    while (slots_[i] != kEmpty && (slots_[i] & kKeyMask) != key) i = (i + 1) & (slots_.size() - 1);
    if (slots_[i] == kEmpty) ++count_;
    slots_[i] = key | std::uint64_t{value} << 48;
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static constexpr std::uint64_t kKeyMask = (std::uint64_t{1} << 48) - 1;
  // Fibonacci hashing: the product's top bits depend on every bit of the key, so the
  // mesh number spreads states as well as the offset does.
  std::size_t Slot(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void Grow() {
    std::vector<std::uint64_t> slots(std::max<std::size_t>(64, slots_.size() * 2), kEmpty);
    shift_ = 64;
    for (std::size_t n = slots.size(); n > 1; n >>= 1) --shift_;
    slots.swap(slots_);
    count_ = 0;
    for (const std::uint64_t slot : slots) {
      if (slot != kEmpty) Put(slot & kKeyMask, static_cast<std::uint8_t>(slot >> 48));
    }
  }

  std::vector<std::uint64_t> slots_;
  std::size_t count_ = 0;
  int shift_ = 64;
};

// Searches for a way to split the rest of a model payload into meshes. The file does
// not store how many indices make a face; a mesh holds points, lines or triangles, and
// only readings under which every later block parses, with nothing left over, count.
// Depth first in the order 3, 2, 1, without recursion (a file may hold 65535 meshes).
// Every state's outcome is kept, so no state is scanned twice however many readings
// lead to it, and each search stops when its budget of work (one unit per state plus
// the indices scanned) runs out: together they bound the time by the payload's size.
class FaceSizeSearch {
 public:
  enum Outcome { kParses, kFails, kOutOfBudget };

  FaceSizeSearch(Cursor& c, std::size_t meshCount)
      : c_(c), meshCount_(meshCount), first_(meshCount) {
    stack_.reserve(meshCount + 1);
  }

  void SetBudget(long long units) { budget_ = units; }

  // Whether meshes m.. parse from offset.
  Outcome Solve(std::size_t m, std::size_t offset) {
    stack_.clear();
    stack_.push_back({m, offset, {}, 0});
    bool fresh = true;
    bool childParses = false;
    while (!stack_.empty()) {
      if (--budget_ < 0) return kOutOfBudget;
      Frame& f = stack_.back();
      if (fresh) {
        fresh = false;
        if (!Enter(f, &childParses)) {
          stack_.pop_back();
          continue;
        }
      } else if (childParses) {
        // The candidate just tried works, so this state does, with that face size.
        Put(f, std::uint8_t(SizeAt(f.layout, f.next - 1)));
        stack_.pop_back();
        continue;
      }
      const int limit = f.layout.faces == 0 ? 1 : 3;
      while (f.next < limit) {
        const std::uint32_t size = SizeAt(f.layout, f.next++);
        budget_ -= static_cast<long long>(f.layout.faces) * size;
        if (budget_ < 0) return kOutOfBudget;
        if (ScanMeshTail(c_, f.mesh, f.layout, size)) {
          fresh = true;
          break;
        }
      }
      if (fresh) {
        const Frame child{f.mesh + 1, c_.at(), {}, 0};
        stack_.push_back(child);
        continue;
      }
      Put(f, StateTable::kFails);
      childParses = false;
      stack_.pop_back();
    }
    return childParses ? kParses : kFails;
  }

  // The face size of mesh m at offset on the first reading that parses; Solve has
  // found that state to parse.
  std::uint32_t FirstSize(std::size_t m, std::size_t offset) const {
    std::uint8_t value = 0;
    Find({m, offset, {}, 0}, &value);
    return value;
  }

 private:
  struct Frame {
    std::size_t mesh, offset;
    MeshLayout layout;
    int next;  // the candidate to try next, in the order 3, 2, 1
  };

  static std::uint64_t Key(const Frame& f) {
    return (std::uint64_t{f.mesh} << 32) | f.offset;  // payloads are under 4 GiB
  }
  static std::uint32_t SizeAt(const MeshLayout& layout, int candidate) {
    static constexpr std::uint32_t kSizes[] = {3, 2, 1};
    return layout.faces == 0 ? 0 : kSizes[candidate];
  }

  // Settles a state at once where it can (known already, past the last mesh, or a
  // head that does not parse), setting *parses; otherwise scans its head and is true.
  bool Enter(Frame& f, bool* parses) {
    c_.Seek(f.offset);
    if (f.mesh == meshCount_) {
      *parses = c_.remaining() == 0;
      if (!*parses) c_.Note(Problem::kLeftOver, {nullptr, -1, -1, "mesh"}, c_.remaining());
      return false;
    }
    std::uint8_t known;
    if (Find(f, &known)) {
      *parses = known != StateTable::kFails;
      return false;
    }
    // Every mesh takes at least 16 bytes, so a reading that has fallen behind ends
    // here; until something has been noted it runs on, so that the error told is the
    // natural one.
    const bool roomLeft = c_.remaining() / 16 >= meshCount_ - f.mesh;
    if ((!roomLeft && c_.failed()) || !ScanMeshHead(c_, f.mesh, &f.layout)) {
      Put(f, StateTable::kFails);
      *parses = false;
      return false;
    }
    return true;
  }

  // The first state met at each mesh sits in an array indexed by mesh, which a
  // reading walks in order; only further states at the same mesh go to the table.
  bool Find(const Frame& f, std::uint8_t* value) const {
    const First& first = first_[f.mesh];
    if (first.offset == f.offset) {
      *value = first.value;
      return true;
    }
    return table_.Find(Key(f), value);
  }
  void Put(const Frame& f, std::uint8_t value) {
    First& first = first_[f.mesh];
    if (first.offset == kNoOffset || first.offset == f.offset) {
      first = {f.offset, value};
    } else {
      table_.Put(Key(f), value);
    }
  }

  static constexpr std::size_t kNoOffset = ~std::size_t{0};
  struct First {
    std::size_t offset = kNoOffset;
    std::uint8_t value = 0;
  };

  Cursor& c_;
  std::size_t meshCount_;
  long long budget_ = 0;
  std::vector<First> first_;
  StateTable table_;
  std::vector<Frame> stack_;
};

// Finds each mesh's face size: the first reading that parses, in the order 3, 2, 1,
// is the one decoded. Then, for every mesh on that reading, each other size is tried
// with the rest of the file: where it parses too, the file is ambiguous, and the mesh
// lists it. The second search has its own budget; a size it could not rule out in
// time is listed as possible, so ambiguity is never hidden.
bool FindFaceSizes(Cursor& c, std::size_t meshCount, std::vector<Mesh>* meshes) {
  const std::size_t start = c.at();
  const long long budget = 2 * static_cast<long long>(c.size()) + 10000;
  FaceSizeSearch search(c, meshCount);
  search.SetBudget(budget);
  const FaceSizeSearch::Outcome outcome = search.Solve(0, start);
  if (outcome == FaceSizeSearch::kOutOfBudget) {
    c.Forget();
    c.Note(Problem::kUnsplittable, {}, 0);
  }
  if (outcome != FaceSizeSearch::kParses) return false;
  c.Forget();

  meshes->resize(meshCount);
  search.SetBudget(budget);
  std::size_t offset = start;
  for (std::size_t m = 0; m < meshCount; ++m) {
    Mesh& mesh = (*meshes)[m];
    mesh.indicesPerFace = search.FirstSize(m, offset);
    std::size_t next = 0;
    for (const std::uint32_t size : {3u, 2u, 1u}) {
      if (mesh.indicesPerFace == 0) break;
      const std::size_t end = MeshEnd(c, m, offset, size);
      if (size == mesh.indicesPerFace) {
        next = end;
        mesh.possibleFaceSizes.push_back(size);
      } else if (end != 0 && search.Solve(m + 1, end) != FaceSizeSearch::kFails) {
        mesh.possibleFaceSizes.push_back(size);
      }
    }
    offset = mesh.indicesPerFace == 0 ? MeshEnd(c, m, offset, 0) : next;
  }
  c.Forget();
  c.Seek(start);
  return true;
}

// Checks that each mesh parses with the face size the caller knows.
bool CheckFaceSizes(Cursor& c, std::size_t meshCount, const std::vector<std::uint32_t>& faceSizes,
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

void DecodeMesh(Cursor& c, Mesh& mesh) {
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

bool DecodeModel(Cursor& c, AssetFile* asset, const std::vector<std::uint32_t>* faceSizes) {
  if (!c.Need(1, 2, {nullptr, -1, -1, "mesh count"})) return false;
  const std::uint16_t meshCount = c.U16();
  const bool found = faceSizes != nullptr ? CheckFaceSizes(c, meshCount, *faceSizes, &asset->meshes)
                                          : FindFaceSizes(c, meshCount, &asset->meshes);
  if (!found) return false;
  for (Mesh& mesh : asset->meshes) DecodeMesh(c, mesh);
  return true;
}

// A key list: its u16 count, then each key's f64 time and f32 x, y, z, and w for
// rotations (20 or 24 bytes a key). Checks that the keys are there and skips them.
bool ScanKeyList(Cursor& c, long a, long ch, int list, std::uint16_t* count) {
  static const char* const kCount[] = {"position key count", "scaling key count",
                                       "rotation key count"};
  static const char* const kKeys[] = {"position keys", "scaling keys", "rotation keys"};
  const std::size_t width = list == 2 ? format::kRotationKeyWidth : format::kVectorKeyWidth;
  if (!c.Need(1, 2, {"animation", a, ch, kCount[list]})) return false;
  *count = c.U16();
  if (!c.Need(*count, width, {"animation", a, ch, kKeys[list]})) return false;
  c.Skip(width * *count);
  return true;
}

void DecodeKeys(Cursor& c, Key* keys, std::uint16_t count, bool rotation) {
  c.Skip(2);
  for (Key* key = keys; key != keys + count; ++key) {
    key->time = c.F64();
    key->x = c.F32();
    key->y = c.F32();
    key->z = c.F32();
    key->w = rotation ? c.F32() : 0.0f;
  }
}

bool DecodeChannel(Cursor& c, long a, long ch, ChannelList* channels) {
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

bool DecodeAnimations(Cursor& c, AssetFile* asset) {
  if (!c.Need(1, 2, {nullptr, -1, -1, "animation count"})) return false;
  const std::uint16_t animationCount = c.U16();
  // Every animation takes at least its 2-byte channel count.
  if (!c.Need(animationCount, 2, {"animation", 0, -1, ""})) return false;
  asset->animations.resize(animationCount);
  for (std::size_t a = 0; a < animationCount; ++a) {
    if (!c.Need(1, 2, {"animation", long(a), -1, "channel count"})) return false;
    const std::uint16_t channelCount = c.U16();
    // Every channel takes at least its three 2-byte key counts.
    if (!c.Need(channelCount, 6, {"animation", long(a), -1, "channels"})) return false;
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

bool DecodeAudio(Cursor& c, AssetFile* asset) {
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
    UnscramblePayload(key, payload, asset->payloadSize);
  }
  Cursor c(payload, asset->payloadSize, info.payloadName);
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

bool ReadAssetFile(const std::string& path, AssetFile* asset, std::string* error,
                   const std::vector<std::uint32_t>* faceSizes) {
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
  std::vector<std::uint8_t> bytes;
  file.seekg(0, std::ios::end);
  const std::streamoff length = file.tellg();
  if (length > 0) bytes.reserve(static_cast<std::size_t>(length) + 1);
  file.seekg(0, std::ios::beg);
  file.clear();
  std::size_t have = 0;
  while (file) {
    if (bytes.size() == have) bytes.resize(std::max<std::size_t>(bytes.capacity(), have + 65536));
    file.read(reinterpret_cast<char*>(bytes.data() + have),
              static_cast<std::streamsize>(bytes.size() - have));
    have += static_cast<std::size_t>(file.gcount());
  }
  if (file.bad()) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes.resize(have);
  return DecodeFile(std::move(bytes), asset, error, faceSizes);
}

const char* KindName(AssetKind kind) { return format::InfoOf(kind).name; }

}  // namespace qx::reader
