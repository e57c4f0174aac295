// Mutates valid assets field by field and draws them. Byte flips mostly break an
// asset's structure, so the reader refuses it and the drawing code never runs; this
// mutator finds every number field of an unscrambled model, animation or sound (key
// times and values, positions, normals, texture coordinates, indices, counts, the
// WAV header's sizes and format) and sets some of them to values that stress
// arithmetic: 1e17 (where adding 0.2 changes nothing), the ends of the range,
// infinities, NaN, tiny and negative numbers, or another field's value. One call in
// four is left to libFuzzer's own byte mutations. Every accepted file must export (a
// model) and draw, or fail with a reason, within the drawing budget; what the reader
// itself must hold to is asset_reader_fuzzer's to check. Against a render that looped
// forever on one key at 1e17 ticks, this found the hang in seconds where byte
// mutations took minutes.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "examine/render.h"
#include "examine/write_out.h"
#include "format/asset_format.h"
#include "reader/asset_reader.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

enum class Type { kF64, kF32, kU32, kU16 };

struct Field {
  std::size_t offset;
  Type type;
};

std::size_t Width(Type type) {
  switch (type) {
    case Type::kF64: return 8;
    case Type::kF32: case Type::kU32: return 4;
    case Type::kU16: return 2;
  }
  return 0;
}

// The fields of a file the reader accepted, at the offsets its sequential layout gives
// them. The layout is asset_format.h's; the counts come from what the reader decoded.
class Layout {
 public:
  explicit Layout(std::size_t size) : size_(size) {}
  void Add(Type type, std::size_t count = 1) {
    for (std::size_t i = 0; i < count && at_ + Width(type) <= size_; ++i) {
      fields_.push_back({at_, type});
      at_ += Width(type);
    }
  }
  void Skip(std::size_t bytes) { at_ += bytes; }
  std::size_t at() const { return at_; }
  const std::vector<Field>& fields() const { return fields_; }

 private:
  std::size_t size_, at_ = qx::format::kHeaderSize;
  std::vector<Field> fields_;
};

void ModelFields(const qx::reader::AssetFile& asset, Layout& layout) {
  layout.Add(Type::kU16);
  for (const qx::reader::Mesh& mesh : asset.meshes) {
    layout.Add(Type::kU16);
    layout.Skip(mesh.name.size());
    layout.Add(Type::kU32, 2);  // material index, vertex count
    layout.Add(Type::kF32, 3 * mesh.positions.size());
    layout.Add(Type::kU32, 1 + mesh.indices.size());
    layout.Skip(1);
    if (mesh.hasNormals) layout.Add(Type::kF32, 3 * mesh.normals.size());
    layout.Skip(1);
    if (mesh.hasTextureCoords) layout.Add(Type::kF32, 2 * mesh.textureCoords.size());
  }
}

void AnimationFields(const qx::reader::AssetFile& asset, Layout& layout) {
  layout.Add(Type::kU16);
  for (const qx::reader::Animation& animation : asset.animations) {
    layout.Add(Type::kU16);
    for (const qx::reader::Channel channel : animation.channels) {
      int list = 0;
      for (const qx::reader::KeySpan* keys : {&channel.positions, &channel.scalings, &channel.rotations}) {
        layout.Add(Type::kU16);
        for (std::size_t k = 0; k < keys->size(); ++k) {
          layout.Add(Type::kF64);
          layout.Add(Type::kF32, list == 2 ? 4 : 3);
        }
        ++list;
      }
    }
  }
}

// A WAV's chunk sizes and its format fields (format tag, channels, rate, bits).
void SoundFields(const std::uint8_t* data, std::size_t size, Layout& layout) {
  layout.Skip(qx::format::kExtensionFieldSize);
  const std::size_t riff = layout.at();
  if (riff + 12 > size || std::memcmp(data + riff, "RIFF", 4) != 0) return;
  layout.Skip(4);
  layout.Add(Type::kU32);
  layout.Skip(4);
  while (layout.at() + 8 <= size) {
    const std::size_t chunk = layout.at();
    std::uint32_t length = 0;
    std::memcpy(&length, data + chunk + 4, 4);
    layout.Skip(4);
    layout.Add(Type::kU32);
    if (std::memcmp(data + chunk, "fmt ", 4) == 0 && length >= 16) {
      layout.Add(Type::kU16, 2);
      layout.Add(Type::kU32, 2);
      layout.Add(Type::kU16, 2);
      layout.Skip(length - 16);
    } else {
      layout.Skip(length);
    }
    if (length > size) break;
  }
}

std::vector<Field> FieldsOf(const std::uint8_t* data, std::size_t size) {
  qx::reader::AssetFile asset;
  std::string error;
  if (size <= qx::format::kHeaderSize || !qx::reader::ReadAsset(data, size, &asset, &error) ||
      asset.scrambled) {
    return {};
  }
  Layout layout(size);
  switch (asset.kind) {
    case qx::reader::AssetKind::Model: ModelFields(asset, layout); break;
    case qx::reader::AssetKind::Animation: AnimationFields(asset, layout); break;
    case qx::reader::AssetKind::Sound:
    case qx::reader::AssetKind::Music: SoundFields(data, size, layout); break;
    case qx::reader::AssetKind::Texture: break;
  }
  return layout.fields();
}

template <typename T>
T Pick(std::minstd_rand& random, const std::vector<T>& values) {
  return values[random() % values.size()];
}

template <typename T>
T Load(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// A stressing value, or the field's own value moved a little or a lot.
template <typename T>
T Stress(std::minstd_rand& random, T current, const std::vector<T>& table) {
  if (random() % 3 != 0) return Pick(random, table);
  switch (random() % 4) {
    case 0: return -current;
    case 1: return current * 2;
    case 2: return current + 1;
    default: return std::nextafter(current, std::numeric_limits<T>::infinity());
  }
}

void MutateField(std::uint8_t* data, const Field& field, const std::vector<Field>& fields,
                 std::minstd_rand& random) {
  std::uint8_t* at = data + field.offset;
  // Sometimes a value copied from another field of the same type: equal key times, a
  // vertex on top of another.
  if (random() % 5 == 0) {
    const Field& other = fields[random() % fields.size()];
    if (other.type == field.type) std::memmove(at, data + other.offset, Width(field.type));
    return;
  }
  switch (field.type) {
    case Type::kF64: {
      static const std::vector<double> table = {
          0.0, -0.0, 1.0, -1.0, 0.2, 1e17, -1e17, 9007199254740993.0, 1e300, -1e300, DBL_MAX,
          -DBL_MAX, DBL_MIN, std::numeric_limits<double>::denorm_min(),
          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()};
      const double value = Stress(random, Load<double>(at), table);
      std::memcpy(at, &value, 8);
      break;
    }
    case Type::kF32: {
      static const std::vector<float> table = {
          0.0f, -0.0f, 1.0f, -1.0f, 1e-20f, 1e19f, -1e19f, 1e38f, FLT_MAX, -FLT_MAX, FLT_MIN,
          std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
      const float value = Stress(random, Load<float>(at), table);
      std::memcpy(at, &value, 4);
      break;
    }
    case Type::kU32: {
      const std::uint32_t current = Load<std::uint32_t>(at);
      static const std::vector<std::uint32_t> table = {0, 1, 2, 3, 8, 16, 0xFFFF, 0x10000, 0x7FFFFFFF, 0xFFFFFFFF};
      const std::uint32_t value = random() % 2 ? Pick(random, table) : current + (random() % 2 ? 1 : -1);
      std::memcpy(at, &value, 4);
      break;
    }
    case Type::kU16: {
      const std::uint16_t current = Load<std::uint16_t>(at);
      static const std::vector<std::uint16_t> table = {0, 1, 2, 3, 8, 0x7FFF, 0xFFFF};
      const std::uint16_t value =
          random() % 2 ? Pick(random, table) : static_cast<std::uint16_t>(current + (random() % 2 ? 1 : -1));
      std::memcpy(at, &value, 2);
      break;
    }
  }
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
  std::minstd_rand random(seed);
  const std::vector<Field> fields = random() % 4 == 0 ? std::vector<Field>() : FieldsOf(data, size);
  if (fields.empty()) return LLVMFuzzerMutate(data, size, maxSize);
  const unsigned changes = 1 + random() % 3;
  for (unsigned i = 0; i < changes; ++i) MutateField(data, fields[random() % fields.size()], fields, random);
  return size;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qx::reader::AssetFile asset;
  std::string error;
  if (!qx::reader::ReadAsset(data, size, &asset, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  if (asset.kind == qx::reader::AssetKind::Model && size > 0) {
    static const char* const kNames[] = {"x.obj", "x.gltf", "x.glb", "x.ply", "x.stl", "x.dae"};
    std::vector<std::pair<std::string, std::string>> files;
    qx::examine::ExportModelToMemory(asset, kNames[data[size - 1] % 6], &files, &error);
  }
  // Small pictures keep the runs fast; the drawing code is the same at every size.
  const int side = 16 + (size > 0 ? data[size - 1] % 113 : 0);
  qx::examine::Image image;
  error.clear();
  if (!qx::examine::RenderAsset(asset, side, &image, &error) && error.empty()) std::abort();
  return 0;
}
