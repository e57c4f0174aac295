// Micro-benchmarks: scrambling against memcpy over the same 64 MiB buffer, payload
// encoding per million vertices and per million keys, and reading a hostile model
// against a real one. After the run the
// throughput ratios that matter are printed, measured side by side in this run.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "asset/byte_stream.h"
#include "format/scramble.h"
#include "convert/animation_payload.h"
#include "convert/model_payload.h"
#include "examine/render.h"
#include "reader/asset_reader.h"
#include "testing/cursor.h"

namespace {

constexpr std::size_t kBufferSize = std::size_t{64} << 20;

qx::AssetKey Key() {
  qx::AssetKey key;
  qx::DeriveAssetKey(qx::kPassPhrase, key);
  return key;
}

std::vector<std::uint8_t>& Buffer() {
  static std::vector<std::uint8_t> buffer = [] {
    std::vector<std::uint8_t> b(kBufferSize);
    for (std::size_t i = 0; i < b.size(); ++i)
      b[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    return b;
  }();
  return buffer;
}

void BM_Memcpy(benchmark::State& state) {
  std::vector<std::uint8_t>& source = Buffer();
  std::vector<std::uint8_t> target(kBufferSize, 1);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), kBufferSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

template <void (*Scramble)(const qx::AssetKey&, std::uint8_t*, std::uint32_t)>
void BM_Scramble(benchmark::State& state) {
  const qx::AssetKey key = Key();
  std::vector<std::uint8_t>& data = Buffer();
  for (auto _ : state) {
    Scramble(key, data.data(), static_cast<std::uint32_t>(data.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBufferSize));
}
void ScrambleFromZero(const qx::AssetKey& key, std::uint8_t* data, std::uint32_t size) {
  qx::ScramblePayload(key, data, size, 0);
}
BENCHMARK_TEMPLATE(BM_Scramble, ScrambleFromZero)
    ->Name("BM_ScramblePayload")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Scramble, qx::ScramblePayloadPortable)
    ->Name("BM_ScramblePortable")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Scramble, qx::ScramblePayloadPlain)
    ->Name("BM_ScramblePlainLoop")
    ->Unit(benchmark::kMillisecond);

// One mesh of a million vertices with normals and texture coordinates, two
// triangles per vertex as in a large grid.
std::unique_ptr<aiScene> LargeModel() {
  constexpr unsigned kVertices = 1000000;
  auto scene = std::make_unique<aiScene>();
  auto* mesh = new aiMesh();
  mesh->mName.Set("grid");
  mesh->mNumVertices = kVertices;
  mesh->mVertices = new aiVector3D[kVertices];
  mesh->mNormals = new aiVector3D[kVertices];
  mesh->mTextureCoords[0] = new aiVector3D[kVertices];
  for (unsigned v = 0; v < kVertices; ++v) {
    mesh->mVertices[v] = aiVector3D(float(v % 1000), float(v / 1000), 0);
    mesh->mNormals[v] = aiVector3D(0, 0, 1);
    mesh->mTextureCoords[0][v] = aiVector3D(float(v % 1000) / 1000, float(v / 1000) / 1000, 0);
  }
  mesh->mNumFaces = 2 * kVertices;
  mesh->mFaces = new aiFace[mesh->mNumFaces];
  for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
    mesh->mFaces[f].mNumIndices = 3;
    mesh->mFaces[f].mIndices =
        new unsigned[3]{f / 2, (f / 2 + 1) % kVertices, (f / 2 + 1000) % kVertices};
  }
  scene->mNumMeshes = 1;
  scene->mMeshes = new aiMesh* [1] { mesh };
  return scene;
}

// Built once, shared by every benchmark that needs a large real model.
const aiScene& LargeScene() {
  static const std::unique_ptr<aiScene> scene = LargeModel();
  return *scene;
}

// The large model as the converter writes it (unscrambled).
const std::string& LargeModelFile() {
  static const std::string file = [] {
    qx::ByteStream payload;
    std::string error;
    qx::EncodeModel(LargeScene(), payload, &error);
    return qx::testing::Header("QMDL") + qx::testing::Content(payload);
  }();
  return file;
}

void BM_EncodeModelPerMillionVertices(benchmark::State& state) {
  const aiScene* scene = &LargeScene();
  qx::ByteStream out;
  std::string error;
  for (auto _ : state) {
    if (!qx::EncodeModel(*scene, out, &error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(out.GetAllData());
  }
  state.SetBytesProcessed(state.iterations() * out.Size());
}
BENCHMARK(BM_EncodeModelPerMillionVertices)->Unit(benchmark::kMillisecond);

// 500 channels of 2000 keys in each list: a million vector and rotation keys.
std::unique_ptr<aiScene> LongAnimation() {
  constexpr unsigned kChannels = 500, kKeys = 2000;
  auto scene = std::make_unique<aiScene>();
  auto* animation = new aiAnimation();
  animation->mNumChannels = kChannels;
  animation->mChannels = new aiNodeAnim*[kChannels];
  for (unsigned c = 0; c < kChannels; ++c) {
    auto* channel = new aiNodeAnim();
    channel->mNumPositionKeys = kKeys;
    channel->mPositionKeys = new aiVectorKey[kKeys];
    channel->mNumRotationKeys = kKeys;
    channel->mRotationKeys = new aiQuatKey[kKeys];
    for (unsigned k = 0; k < kKeys; ++k) {
      channel->mPositionKeys[k] = aiVectorKey(k, aiVector3D(float(c), float(k), 0));
      channel->mRotationKeys[k] = aiQuatKey(k, aiQuaternion(1, 0, 0, 0));
    }
    animation->mChannels[c] = channel;
  }
  scene->mNumAnimations = 1;
  scene->mAnimations = new aiAnimation* [1] { animation };
  return scene;
}

void BM_EncodeAnimationPerMillionKeys(benchmark::State& state) {
  static const std::unique_ptr<aiScene> scene = LongAnimation();
  qx::ByteStream out;
  std::string error;
  for (auto _ : state) {
    if (!qx::EncodeAnimation(*scene, out, &error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(out.GetAllData());
  }
  state.SetBytesProcessed(state.iterations() * out.Size());
}
BENCHMARK(BM_EncodeAnimationPerMillionKeys)->Unit(benchmark::kMillisecond);

// An unscrambled model file, written field by field, little-endian.
struct ModelFile {
  std::string bytes = qx::testing::Header("QMDL");
  void U16(unsigned v) { bytes += qx::testing::U16(v); }
  void U32(std::uint32_t v) { bytes += qx::testing::U32(v); }
  // A mesh of vertices zero positions and no faces, there only to give the file a size
  // (and the search its budget) of `total` bytes when `fixed` bytes follow.
  void Padding(std::size_t total, std::size_t fixed) {
    const std::uint32_t vertices = total > fixed + 16 ? std::uint32_t((total - fixed - 16) / 12) : 0;
    U16(0), U32(0), U32(vertices), bytes.append(std::size_t{12} * vertices, '\0'), U32(0);
    bytes.append(2, '\0');
  }
};

// A model file built to make the face-size search work hardest: one mesh whose large
// positions block sets the work budget, 16 meshes that parse both as triangles and as
// points with texture coordinates (ending at the same byte), 65,500 empty meshes, and
// one stray byte at the end, so every combination of readings fails only at the end.
std::string HostileModelFile(std::size_t megabytes) {
  ModelFile f;
  constexpr unsigned kAmbiguous = 16, kEmpty = 65500, kSide = 257;
  f.U16(1 + kAmbiguous + kEmpty);
  f.Padding(megabytes << 20, 2 + kAmbiguous * (16 + 12 * kSide + 12 * kSide + 2) + kEmpty * 16 + 1);
  for (unsigned m = 0; m < kAmbiguous; ++m) {
    f.U16(0), f.U32(0), f.U32(kSide), f.bytes.append(12 * kSide, '\0'), f.U32(kSide);
    // As points: 257 indices, no normals, texture coordinates. As triangles: 771 indices
    // (the flag bytes read as index 256), then two zero flags.
    std::string tail(12 * kSide + 2, '\0');
    tail[4 * kSide + 1] = 1;
    f.bytes += tail;
  }
  for (unsigned m = 0; m < kEmpty; ++m) f.U16(0), f.U32(0), f.U32(0), f.U32(0), f.bytes.append(2, '\0');
  f.bytes += 'x';
  return f.bytes;
}

// A model file built to give the search as many readings as it can: after the padding,
// branch meshes of one vertex and four faces, whose readings as triangles, lines and
// points end 0, 16 and 32 bytes early in zeros that then read as one or two empty
// meshes more. After k branches every 16 bytes of the zeros that follow is reached
// after 2k + 1 different numbers of meshes; a stray byte at the end makes every
// reading fail, so none is cut short.
std::string LayeredModelFile(std::size_t megabytes) {
  ModelFile f;
  constexpr unsigned kMeshes = 65535, kBranches = 2000, kBranchSize = 76;
  f.U16(kMeshes);
  f.Padding(megabytes << 20, 2 + kBranches * kBranchSize + (kMeshes - 1 - kBranches) * 16 + 1);
  for (unsigned m = 0; m < kBranches; ++m) {
    f.U16(0), f.U32(0), f.U32(1), f.bytes.append(12, '\0'), f.U32(4), f.bytes.append(48 + 2, '\0');
  }
  f.bytes.append(std::size_t{16} * (kMeshes - 1 - kBranches), '\0');
  f.bytes += 'x';
  return f.bytes;
}

template <std::string (*Make)(std::size_t)>
void BM_ReadHostile(benchmark::State& state) {
  const std::string file = Make(static_cast<std::size_t>(state.range(0)));
  qx::reader::AssetFile asset;
  std::string error;
  for (auto _ : state) {
    if (qx::reader::ReadAsset(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(),
                              &asset, &error)) {
      state.SkipWithError("the hostile file was accepted");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}
BENCHMARK_TEMPLATE(BM_ReadHostile, HostileModelFile)
    ->Name("BM_ReadHostileModel")
    ->Arg(1)->Arg(8)->Arg(64)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_ReadHostile, LayeredModelFile)
    ->Name("BM_ReadLayeredModel")
    ->Arg(1)->Arg(8)->Arg(64)
    ->Unit(benchmark::kMillisecond);

void BM_ReadRealModel(benchmark::State& state) {
  const std::string& file = LargeModelFile();
  std::string error;
  qx::reader::AssetFile asset;
  for (auto _ : state) {
    if (!qx::reader::ReadAsset(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(),
                               &asset, &error)) {
      state.SkipWithError(error.c_str());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * file.size()));
}
BENCHMARK(BM_ReadRealModel)->Unit(benchmark::kMillisecond);

// A million-vertex grid (two million triangles) drawn at 512 x 512.
void BM_RenderTwoMillionTriangles(benchmark::State& state) {
  const std::string& file = LargeModelFile();
  std::string error;
  qx::reader::AssetFile asset;
  qx::reader::ReadAsset(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), &asset,
                        &error);
  qx::examine::Image image;
  for (auto _ : state) {
    if (!qx::examine::RenderAsset(asset, 512, &image, &error)) state.SkipWithError(error.c_str());
  }
}
BENCHMARK(BM_RenderTwoMillionTriangles)->Unit(benchmark::kMillisecond);

// Keeps each run's time per iteration while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        seconds_[run.benchmark_name()] = run.GetAdjustedRealTime();
        const auto bytes = run.counters.find("bytes_per_second");
        if (bytes != run.counters.end()) bytesPerSecond_[run.benchmark_name()] = bytes->second;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatios() const {
    const auto real = bytesPerSecond_.find("BM_ReadRealModel");
    if (real != bytesPerSecond_.end()) {
      std::printf("\nReading a model, time per MB relative to a real model's (%.1f ms/MB; "
                  "target for the hostile shape: 4.00 or less):\n",
                  1e3 * (1 << 20) / real->second);
      for (const char* name :
           {"BM_ReadHostileModel/1", "BM_ReadHostileModel/8", "BM_ReadHostileModel/64",
            "BM_ReadLayeredModel/1", "BM_ReadLayeredModel/8", "BM_ReadLayeredModel/64"}) {
        const auto it = bytesPerSecond_.find(name);
        if (it != bytesPerSecond_.end()) {
          std::printf("  %-24s %6.1f ms/MB  %.2f\n", name, 1e3 * (1 << 20) / it->second,
                      real->second / it->second);
        }
      }
    }
    const auto memcpy = seconds_.find("BM_Memcpy");
    if (memcpy == seconds_.end()) return;
    std::printf(
        "\nThroughput relative to memcpy of the same 64 MiB (target for ScramblePayload: 0.50 or "
        "more):\n");
    for (const char* name : {"BM_ScramblePayload", "BM_ScramblePortable", "BM_ScramblePlainLoop"}) {
      const auto it = seconds_.find(name);
      if (it != seconds_.end()) std::printf("  %-22s %.2f\n", name, memcpy->second / it->second);
    }
  }

 private:
  std::map<std::string, double> seconds_;
  std::map<std::string, double> bytesPerSecond_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
