#include "reader/asset_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>

#include "cipher/cipher.h"
#include "endian/little_endian.h"

namespace qx::reader {
namespace {

constexpr std::size_t kHeaderSize = 7;
constexpr std::size_t kExtensionFieldSize = 16;

// Reads fields from an unscrambled payload. Every read is preceded by Need(), which
// checks the bytes that remain, so a count can never lead outside the buffer or to
// an allocation larger than the file. Error offsets are file offsets.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size, const char* payloadName)
      : data_(data), size_(size), payloadName_(payloadName) {}

  // True when count items of itemSize (1 or more) bytes remain; otherwise sets the error,
  // naming what was cut short and where it starts.
  bool Need(std::uint64_t count, std::uint64_t itemSize, const std::string& what) {
    if (count <= (size_ - at_) / itemSize) return true;
    if (error_.empty()) {
      error_ = std::string(payloadName_) + " ends inside " + what + " at byte " +
               std::to_string(kHeaderSize + at_);
    }
    return false;
  }
  void Fail(const std::string& what) {
    if (error_.empty()) {
      error_ =
          std::string(payloadName_) + " " + what + " at byte " + std::to_string(kHeaderSize + at_);
    }
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
  std::size_t remaining() const { return size_ - at_; }
  const std::uint8_t* data() const { return data_; }
  const std::string& error() const { return error_; }
  void SetError(const std::string& error) { error_ = error; }
  void ClearError() { error_.clear(); }

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
  std::string error_;
};

std::string MeshText(std::size_t m) { return "mesh " + std::to_string(m); }

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
  std::size_t start = 0;
  std::size_t indicesAt = 0;
  std::uint32_t vertices = 0;
  std::uint32_t faces = 0;
};

bool ScanMeshHead(Cursor& c, std::size_t m, MeshLayout* layout) {
  layout->start = c.at();
  if (!c.Need(1, 2, MeshText(m) + " name length")) return false;
  const std::uint16_t nameLength = c.U16();
  if (!c.Need(nameLength, 1, MeshText(m) + " name")) return false;
  c.Skip(nameLength);
  if (!c.Need(2, 4, MeshText(m) + " material index and vertex count")) return false;
  c.U32();
  layout->vertices = c.U32();
  if (!c.Need(layout->vertices, 12, MeshText(m) + " positions")) return false;
  c.Skip(std::size_t{12} * layout->vertices);
  if (!c.Need(1, 4, MeshText(m) + " face count")) return false;
  layout->faces = c.U32();
  layout->indicesAt = c.at();
  return true;
}

// Checks the rest of a mesh block when each face has perFace indices: every index
// names a vertex of the mesh and both flags are 0 or 1. Leaves c after the block.
bool ScanMeshTail(Cursor& c, std::size_t m, const MeshLayout& layout, std::uint32_t perFace) {
  c.Seek(layout.indicesAt);
  const std::uint64_t indices = std::uint64_t{layout.faces} * perFace;
  if (!c.Need(indices, 4, MeshText(m) + " indices")) return false;
  const std::uint8_t* p = c.Skip(static_cast<std::size_t>(indices) * 4);
  for (std::uint64_t i = 0; i < indices; ++i) {
    if (LoadLE32(p + 4 * i) >= layout.vertices) {
      c.Seek(layout.indicesAt + 4 * static_cast<std::size_t>(i));
      c.Fail("has an index outside " + MeshText(m) + "'s vertices");
      return false;
    }
  }
  const char* flagNames[] = {" normals", " texture coordinates"};
  const std::size_t widths[] = {12, 8};
  for (int f = 0; f < 2; ++f) {
    if (!c.Need(1, 1, MeshText(m) + flagNames[f] + " flag")) return false;
    const std::size_t flagAt = c.at();
    const std::uint8_t flag = c.U8();
    if (flag > 1 || (flag == 1 && layout.vertices == 0)) {
      c.Seek(flagAt);
      c.Fail("has an invalid" + std::string(flagNames[f]) + " flag " + std::to_string(flag) +
             " in " + MeshText(m));
      return false;
    }
    if (flag == 1) {
      if (!c.Need(layout.vertices, widths[f], MeshText(m) + flagNames[f])) return false;
      c.Skip(widths[f] * layout.vertices);
    }
  }
  return true;
}

// Finds how many indices make a face in each mesh. The file does not say; a mesh
// holds points, lines or triangles, and only one choice per mesh lets every later
// block parse. Triangles are tried first and the search backtracks within a budget
// of work proportional to the payload's size, so even a hostile file ends quickly. On failure the
// error is the one met first, on the most likely reading.
bool FindFaceSizes(Cursor& c, std::size_t meshCount, std::vector<std::uint32_t>* perFace) {
  static constexpr std::uint32_t kSizes[] = {3, 2, 1};
  struct Step {
    MeshLayout layout;
    int candidate = -1;  // index into kSizes
    std::uint32_t Size() const { return layout.faces == 0 ? 0 : kSizes[candidate]; }
  };
  std::vector<Step> steps;
  std::string firstError;
  // Each attempt costs one unit plus the indices it scans.
  long long budget = 4 * static_cast<long long>(c.at() + c.remaining()) + 10000;
  auto remember = [&] {
    if (firstError.empty()) firstError = c.error();
    c.ClearError();
  };
  // Tries the next face size of the newest mesh; on success c is after its block.
  auto advance = [&] {
    Step& step = steps.back();
    const int limit = step.layout.faces == 0 ? 1 : 3;
    while (++step.candidate < limit && (budget -= 1 + static_cast<long long>(step.layout.faces) *
                                                          kSizes[step.candidate]) >= 0) {
      if (ScanMeshTail(c, steps.size() - 1, step.layout, step.Size())) return true;
      remember();
    }
    return false;
  };
  auto backtrack = [&] {
    while (!steps.empty()) {
      if (advance()) return true;
      steps.pop_back();
    }
    return false;
  };
  auto fail = [&] {
    c.SetError(budget < 0 ? "model payload cannot be split into faces of 1, 2 or 3 indices"
                          : firstError);
    return false;
  };

  while (true) {
    if (--budget < 0) return fail();
    if (steps.size() == meshCount) {
      if (c.remaining() == 0) break;
      c.Fail("has " + std::to_string(c.remaining()) + " bytes left over after the last mesh");
      remember();
      if (!backtrack()) return fail();
      continue;
    }
    Step step;
    if (!ScanMeshHead(c, steps.size(), &step.layout)) {
      remember();
      if (!backtrack()) return fail();
      continue;
    }
    steps.push_back(step);
    if (!advance()) {
      steps.pop_back();
      if (!backtrack()) return fail();
    }
  }
  perFace->clear();
  for (const Step& step : steps) perFace->push_back(step.Size());
  return true;
}

Mesh DecodeMesh(Cursor& c, std::uint32_t perFace) {
  Mesh mesh;
  const std::uint16_t nameLength = c.U16();
  mesh.name.assign(reinterpret_cast<const char*>(c.Skip(nameLength)), nameLength);
  mesh.materialIndex = c.U32();
  const std::uint32_t vertices = c.U32();
  mesh.positions = ReadVec3s(c, vertices);
  mesh.faceCount = c.U32();
  mesh.indicesPerFace = perFace;
  mesh.indices.resize(std::size_t{mesh.faceCount} * perFace);
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
  return mesh;
}

bool DecodeModel(Cursor& c, AssetFile* asset) {
  if (!c.Need(1, 2, "mesh count")) return false;
  const std::uint16_t meshCount = c.U16();
  std::vector<std::uint32_t> perFace;
  if (!FindFaceSizes(c, meshCount, &perFace)) return false;
  c.Seek(2);
  asset->meshes.reserve(meshCount);
  for (std::uint32_t size : perFace) asset->meshes.push_back(DecodeMesh(c, size));
  return true;
}

// A key list: its u16 count, then each key's f64 time and f32 x, y, z, and w for
// rotations (20 or 24 bytes a key).
template <typename Key>
bool ReadKeys(Cursor& c, const std::string& what, std::vector<Key>* keys) {
  constexpr bool kRotation = std::is_same_v<Key, RotationKey>;
  if (!c.Need(1, 2, what + " key count")) return false;
  const std::uint16_t count = c.U16();
  if (!c.Need(count, kRotation ? 24 : 20, what + " keys")) return false;
  keys->resize(count);
  for (Key& key : *keys) {
    key.time = c.F64();
    key.x = c.F32();
    key.y = c.F32();
    key.z = c.F32();
    if constexpr (kRotation) key.w = c.F32();
  }
  return true;
}

bool DecodeAnimations(Cursor& c, AssetFile* asset) {
  if (!c.Need(1, 2, "animation count")) return false;
  const std::uint16_t animationCount = c.U16();
  // Every animation takes at least its 2-byte channel count.
  if (!c.Need(animationCount, 2, "animation 0")) return false;
  asset->animations.resize(animationCount);
  for (std::size_t a = 0; a < animationCount; ++a) {
    const std::string animation = "animation " + std::to_string(a);
    if (!c.Need(1, 2, animation + " channel count")) return false;
    const std::uint16_t channelCount = c.U16();
    // Every channel takes at least its three 2-byte key counts.
    if (!c.Need(channelCount, 6, animation + " channels")) return false;
    auto& channels = asset->animations[a].channels;
    channels.resize(channelCount);
    for (std::size_t ch = 0; ch < channelCount; ++ch) {
      const std::string channel = animation + " channel " + std::to_string(ch);
      if (!ReadKeys(c, channel + " position", &channels[ch].positions) ||
          !ReadKeys(c, channel + " scaling", &channels[ch].scalings) ||
          !ReadKeys(c, channel + " rotation", &channels[ch].rotations)) {
        return false;
      }
    }
  }
  if (c.remaining() != 0) {
    c.Fail("has " + std::to_string(c.remaining()) + " bytes left over after the last animation");
    return false;
  }
  return true;
}

bool DecodeAudio(Cursor& c, AssetFile* asset) {
  if (!c.Need(kExtensionFieldSize, 1, "the extension field")) return false;
  const std::uint8_t* field = c.Skip(kExtensionFieldSize);
  const std::size_t length = strnlen(reinterpret_cast<const char*>(field), kExtensionFieldSize);
  asset->extension.assign(reinterpret_cast<const char*>(field), length);
  for (std::size_t i = length; i < kExtensionFieldSize; ++i) {
    if (field[i] != 0) {
      c.Seek(i);
      c.Fail("has a byte after the end of the extension");
      return false;
    }
  }
  if (length > 0 && field[0] != '.') {
    c.Seek(0);
    c.Fail("has an extension that does not start with a dot");
    return false;
  }
  const std::uint8_t* audio = c.Skip(0);
  asset->data.assign(audio, audio + c.remaining());
  return true;
}

struct TagInfo {
  const char* tag;
  AssetKind kind;
  const char* payloadName;
};

constexpr TagInfo kTags[] = {
    {"QMDL", AssetKind::Model, "model payload"},
    {"QANM", AssetKind::Animation, "animation payload"},
    {"QTEX", AssetKind::Texture, "texture payload"},
    {"QMUS", AssetKind::Music, "music payload"},
    {"QSND", AssetKind::Sound, "sound payload"},
};

std::string Printable(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '"' && bytes[i] != '\\') {
      out += static_cast<char>(bytes[i]);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
      out += escaped;
    }
  }
  return out;
}

}  // namespace

bool ReadAsset(const std::uint8_t* bytes, std::size_t size, AssetFile* asset, std::string* error) {
  *asset = AssetFile();
  if (size < kHeaderSize) {
    *error = "file is " + std::to_string(size) + " bytes, shorter than the 7-byte header";
    return false;
  }
  const TagInfo* info = nullptr;
  for (const TagInfo& candidate : kTags) {
    if (std::memcmp(bytes, candidate.tag, 4) == 0) info = &candidate;
  }
  if (info == nullptr) {
    *error = "unknown type tag \"" + Printable(bytes, 4) + "\"";
    return false;
  }
  const std::uint16_t version = LoadLE16(bytes + 4);
  if (version != 1) {
    *error = "unsupported version " + std::to_string(version);
    return false;
  }
  if (bytes[6] > 1) {
    *error = "scrambled flag is " + std::to_string(bytes[6]) + ", not 0 or 1";
    return false;
  }
  if (size - kHeaderSize > 0xFFFFFFFFu) {
    *error = "payload is 4 GiB or larger";
    return false;
  }
  asset->typeTag = info->tag;
  asset->kind = info->kind;
  asset->version = version;
  asset->scrambled = bytes[6] == 1;
  asset->payloadSize = static_cast<std::uint32_t>(size - kHeaderSize);

  std::vector<std::uint8_t> payload(bytes + kHeaderSize, bytes + size);
  if (asset->scrambled) {
    AssetKey key;
    DeriveAssetKey(kPassPhrase, key);
    UnscramblePayload(key, payload.data(), asset->payloadSize);
  }
  Cursor c(payload.data(), payload.size(), info->payloadName);
  bool ok = true;
  switch (info->kind) {
    case AssetKind::Model: ok = DecodeModel(c, asset); break;
    case AssetKind::Animation: ok = DecodeAnimations(c, asset); break;
    case AssetKind::Music:
    case AssetKind::Sound: ok = DecodeAudio(c, asset); break;
    case AssetKind::Texture: asset->data = std::move(payload); break;
  }
  if (!ok) {
    *error = c.error();
    AssetFile empty;
    empty.typeTag = asset->typeTag;
    *asset = std::move(empty);
  }
  return ok;
}

bool ReadAssetFile(const std::string& path, AssetFile* asset, std::string* error) {
  errno = 0;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!file) {
    *error = "Failed to open file with errno " + std::to_string(errno);
    return false;
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t chunk[1 << 16];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  if (std::ferror(file.get())) {
    *error = "Failed to read file with errno " + std::to_string(errno);
    return false;
  }
  return ReadAsset(bytes.data(), bytes.size(), asset, error);
}

const char* KindName(AssetKind kind) {
  switch (kind) {
    case AssetKind::Model: return "model";
    case AssetKind::Animation: return "animation";
    case AssetKind::Texture: return "texture";
    case AssetKind::Music: return "music";
    case AssetKind::Sound: return "sound";
  }
  return "unknown";
}

}  // namespace qx::reader
