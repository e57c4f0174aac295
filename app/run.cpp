#include "app/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/depfile.h"
#include "asset/asset.h"
#include "convert/import_bounds.h"
#include "convert/mesh_work.h"
#include "convert/asset_loader.h"
#include "files/write_guard.h"
#include "format/scramble.h"
#include "platform/platform.h"
#include "report/report.h"

namespace qx {

namespace {

// The first line of every run and of the usage text.
constexpr const char kBanner[] = "QXConvert v" QX_VERSION;

enum class OptionId {
  kUnscrambled,
  kPause,
  kDepfile,
  kNinjaDepfile,
  kReport,
  kBake,
  kBlender,
  kTimeout,
  kMemory,
  kOptimize,
  kSimplify
};

// Every option QXConvert knows, listed once: the parser dispatches on this table, the
// usage text lists the ones that have a line there, and an unknown argument is held
// against it. A name ending in '=' takes the rest of the argument as its value.
struct OptionInfo {
  const char* name;
  OptionId id;
  const char* value;  // what the value is, for a suggestion that has none to copy
  const char* usage;  // the line in the usage text, or null for an option left out of it
};
constexpr OptionInfo kOptions[] = {
    {"-ue", OptionId::kUnscrambled, "", "Do not encrypt the output file"},
    {"-pause", OptionId::kPause, "", "Pause when done"},
    // A Make-style list of every file the conversion read, for build systems.
    {"-depfile=", OptionId::kDepfile, "PATH", nullptr},
    // The same for a build that Ninja alone reads (CMake's Ninja generators): names
    // only Make would misread are written as they are.
    {"-ninja-depfile=", OptionId::kNinjaDepfile, "PATH", nullptr},
    // A JSON report of what the asset holds and what of the source it does not carry.
    {"-report=", OptionId::kReport, "PATH", nullptr},
    // Node placement applied to a model's meshes.
    {"-bake", OptionId::kBake, "", nullptr},
    {"-blender=", OptionId::kBlender, "PATH", nullptr},
    // Bounds on a model or animation import, so a crafted file cannot stall a build.
    {"-timeout=", OptionId::kTimeout, "SECONDS", nullptr},
    {"-memory=", OptionId::kMemory, "MIB", nullptr},
    // A model's meshes made ready for the GPU (vertex cache, overdraw, fetch), and
    // simplified to about RATIO of their triangles; the asset format is the same.
    {"-optimize", OptionId::kOptimize, "", nullptr},
    {"-simplify=", OptionId::kSimplify, "RATIO", nullptr},
};

bool TakesValue(const OptionInfo& option) { return option.name[std::strlen(option.name) - 1] == '='; }

}  // namespace

const std::string& UsageText() {
  static const std::string text = [] {
    std::string usage =
        std::string(kBanner) + "\n"
        "Usage:\n"
        " QXConvert.exe <ASSET TYPE> <INPUT FILENAME> <OUTPUT_FILENAME> [OPTIONS]\n"
        "\n"
        "Asset Types:\n"
        " mdl = 3D model (e.g. fbx)\n"
        " anm = Animation (e.g. fbx)\n"
        " tex = Texture (e.g. png, tga)\n"
        " mus = Music (e.g. ogg, mod, xm, s3m, it)\n"
        " snd = Sound (e.g. ogg)\n"
        "\n"
        "Options:\n";
    for (const OptionInfo& option : kOptions) {
      if (option.usage != nullptr) usage += std::string(" ") + option.name + ": " + option.usage + "\n";
    }
    return usage +
           "\n"
           "Examples:\n"
           " QXConvert.exe mdl model.fbx model.mdl\n"
           " QXConvert.exe mdl model.fbx model.mdl -ue\n"
           " QXConvert.exe anm walk.fbx walk.anm\n"
           " QXConvert.exe tex grass.png grass.img\n"
           " QXConvert.exe mus music.mod music.mus\n"
           " QXConvert.exe snd sound.ogg sound.snd\n";
  }();
  return text;
}

namespace {

// Byte-wise folding in the C locale, so only A-Z change whatever the environment says.
std::string Folded(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool ParseAssetType(const std::string& argument, AssetType* type) {
  const std::string folded = Folded(argument);
  for (const format::KindInfo& info : format::kKinds) {
    if (folded == info.typeName) {
      *type = info.kind;
      return true;
    }
  }
  return false;
}

void PrintLine(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintUsage() { std::fwrite(UsageText().data(), 1, UsageText().size(), stdout); }


std::string SideFileFailure(const char* label, const std::string& path, const OutputFile& file) {
  if (file.refused()) return file.errorText();
  std::string text = label + (" " + path) + " could not be written: " + file.errorText();
  if (file.errorNumber() != 0) text += std::string(" (") + std::strerror(file.errorNumber()) + ")";
  return text;
}

// What one run was asked to do.
struct Job {
  AssetType type = AssetType::Texture;
  std::string input;
  std::string output;
  bool scramble = true;
  AssetKey key{};
  std::string depfile;
  DepfileReader depfileReader = DepfileReader::kMakeAndNinja;
  std::string report;
  bool bake = false;
  MeshWork meshWork;
  ImportLimits limits;
  std::string blender;
};

// A file of words written beside the asset, made ready before the asset is committed.
struct SideFile {
  const char* label;
  std::string path;
  int claim;
  std::string text;
};

std::int64_t SizeOf(const std::string& path) {
  int error = 0;
  std::FILE* file = platform::OpenFile(path.c_str(), "rb", &error);
  if (file == nullptr) return 0;
  const std::int64_t size = platform::Seek(file, 0, SEEK_END) == 0 ? platform::Tell(file) : 0;
  std::fclose(file);
  return size < 0 ? 0 : size;
}

std::string ReportText(const Job& job, const report::Scene& scene, const OutputFile& out,
                       double writeSeconds) {
  report::Report r;
  r.toolVersion = QX_VERSION;
  r.type = format::InfoOf(job.type).typeName;
  r.input = job.input;
  r.output = job.output;
  r.inputSize = static_cast<std::uint64_t>(SizeOf(job.input));
  r.outputSize = static_cast<std::uint64_t>(out.size());
  r.outputCrc32 = out.checksum();
  r.scrambled = job.scramble;
  r.baked = job.bake && job.type == AssetType::Model;
  if (job.type == AssetType::Model) {
    r.optimized = job.meshWork.Any();
    r.simplifyRatio = job.meshWork.simplifyRatio;
  }
  r.writeSeconds = writeSeconds;
  r.scene = scene;
  return report::ToJson(r);
}

// Loads or streams the asset into the output and, when asked, writes the depfile and
// the report. Every path written is claimed from one guard that holds every file the
// run read, before anything is written. Every file is made ready before any replaces
// what was there. The depfile is committed before the asset, so a new asset never
// sits beside an old depfile; the report after it, so a failed run leaves no report
// of an asset that was never written.
bool Convert(const Job& job, std::string* message) {
  Asset asset;
  std::vector<std::string> read;
  report::Scene scene;
  SceneOptions options;
  options.openedFiles = &read;
  options.report = job.report.empty() ? nullptr : &scene;
  options.bake = job.bake;
  options.meshWork = job.meshWork;
  options.limits = job.limits;
  options.blender = job.blender;
  if (!LoadAsset(job.type, job.input, &asset, options)) {
    *message = asset.errorText;
    return false;
  }
  WriteGuard guard(" would overwrite ", ": they are the same file, and no rename can replace it");
  // The asset may replace its own input by name, as asked, but never be written into it.
  const int outputClaim = guard.Claim("Output", job.output, "the output " + job.output, true, message);
  guard.AddRead(job.input, "the input " + job.input);
  for (const std::string& other : read) guard.AddRead(other, other + ", which the conversion reads");
  std::vector<SideFile> sideFiles;
  if (!job.depfile.empty()) {
    const int claim = guard.Claim("Depfile", job.depfile, "the depfile " + job.depfile, false, message);
    if (claim < 0) return false;
    sideFiles.push_back({"Depfile", job.depfile, claim, ""});
    if (!DepfileText(job.output, read, job.depfileReader, &sideFiles.back().text, message)) return false;
  }
  if (!job.report.empty()) {
    const int claim = guard.Claim("Report", job.report, "the report " + job.report, false, message);
    if (claim < 0) return false;
    sideFiles.push_back({"Report", job.report, claim, ""});
  }

  const auto writeStarted = std::chrono::steady_clock::now();
  OutputFile out;
  if (!out.Open(job.output, guard, outputClaim)) {
    *message = out.errorText();
    return false;
  }
  if (!job.report.empty()) out.TrackChecksum();
  if (!asset.Save(out, job.scramble, job.key)) {
    *message = asset.errorText;
    return false;
  }
  if (!out.Prepare()) {
    *message = out.errorText();
    return false;
  }
  if (!job.report.empty()) {
    sideFiles.back().text = ReportText(job, scene, out, report::SecondsSince(writeStarted));
  }
  std::vector<std::unique_ptr<OutputFile>> files;
  for (const SideFile& side : sideFiles) {
    files.push_back(std::make_unique<OutputFile>());
    OutputFile& file = *files.back();
    if (!file.Open(side.path, guard, side.claim) ||
        !file.Write(side.text.data(), static_cast<std::int32_t>(side.text.size())) || !file.Prepare()) {
      *message = SideFileFailure(side.label, side.path, file);
      return false;
    }
  }
  auto commit = [&](std::size_t i) {
    if (files[i]->Commit()) return true;
    *message = SideFileFailure(sideFiles[i].label, sideFiles[i].path, *files[i]);
    return false;
  };
  const bool depfile = !job.depfile.empty();
  if (depfile && !commit(0)) return false;
  if (!out.Commit()) {
    *message = out.errorText();
    return false;
  }
  return job.report.empty() || commit(depfile ? 1 : 0);
}

// "-timeout=SECONDS" or "-memory=MIB": a whole number from 1 to max.
bool ParseBound(const OptionInfo& option, const std::string& digits, std::uint64_t max,
                std::uint64_t* value, std::string* message) {
  *value = 0;
  bool valid = !digits.empty() && digits.size() <= 9;
  for (const char c : digits) valid = valid && c >= '0' && c <= '9';
  if (valid) *value = std::stoull(digits);
  if (!valid || *value == 0 || *value > max) {
    *message = option.name + std::string(" needs a whole number from 1 to ") + std::to_string(max);
    return false;
  }
  return true;
}

// "-simplify=RATIO": a decimal number strictly between 0 and 1 ("0.5", ".25"), read
// without the locale, so a comma never counts as the decimal point.
bool ParseRatio(const OptionInfo& option, const std::string& text, double* value, std::string* message) {
  const std::size_t point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
  bool valid = !(whole.empty() && fraction.empty()) && whole.size() <= 9 &&
               fraction.size() <= kMaxRatioDecimals;
  for (const char c : whole + fraction) valid = valid && c >= '0' && c <= '9';
  double ratio = 0;
  if (valid) {
    // One division of exact integers: "0.3" reads as the double nearest 0.3.
    double scale = 1;
    for (std::size_t i = 0; i < fraction.size(); ++i) scale *= 10;
    ratio = static_cast<double>(std::stoull(whole + fraction)) / scale;
  }
  if (!valid || ratio <= 0 || ratio >= 1) {
    *message = option.name + std::string(" needs a number between 0 and 1, such as 0.5 (the share of "
                                         "triangles to keep)");
    return false;
  }
  *value = ratio;
  return true;
}

// The option a folded argument names, or null.
const OptionInfo* FindOption(const std::string& folded) {
  for (const OptionInfo& option : kOptions) {
    if (TakesValue(option) ? folded.rfind(option.name, 0) == 0 : folded == option.name) return &option;
  }
  return nullptr;
}

// How many single-character insertions, deletions, changes and swaps of neighbours
// turn a into b.
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// Unknown arguments are ignored, as they always were; one that looks like an option of
// ours gone wrong (a double dash or a slash, a close spelling, the '=' left out with
// the value in the next argument) is named on standard error with what it probably meant, so that a
// mistyped bound or report does not pass unnoticed.
void WarnIfMeantAsOption(const std::string& argument, const std::string* next) {
  const std::string folded = Folded(argument);
  // A slash is how options are written on Windows, where the usage text's example runs.
  if (folded.size() < 2 || (folded[0] != '-' && folded[0] != '/')) return;
  const std::size_t dashes = folded[1] == '-' ? 2 : 1;
  const std::size_t equals = folded.find('=');
  const std::string name = folded.substr(dashes, equals == std::string::npos ? equals : equals - dashes);
  const OptionInfo* meant = nullptr;
  std::size_t closest = std::string::npos;
  for (const OptionInfo& option : kOptions) {
    std::string known = option.name + 1;
    if (TakesValue(option)) known.pop_back();
    const std::size_t allowed = known.size() <= 4 ? 1 : 2;
    if (name.size() > known.size() + allowed || known.size() > name.size() + allowed) continue;
    const std::size_t distance = EditDistance(name, known);
    if (distance <= allowed && distance < closest) {
      meant = &option;
      closest = distance;
    }
  }
  if (meant == nullptr) return;
  std::string suggestion = meant->name;
  if (TakesValue(*meant)) {
    if (equals != std::string::npos) {
      suggestion += argument.substr(equals + 1);
    } else if (next != nullptr && !next->empty() && (*next)[0] != '-') {
      suggestion += *next;
    } else {
      suggestion += meant->value;
    }
  }
  const std::string line =
      "QXConvert: ignoring unknown option \"" + argument + "\" (did you mean " + suggestion + "?)\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

int RunConverter(const std::vector<std::string>& args) {
  if (args.size() < 4) {
    PrintUsage();
    return 1;
  }
  PrintLine(kBanner);

  AssetType type;
  if (!ParseAssetType(args[1], &type)) {
    const std::string line = "Unknown asset type " + args[1] + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    PrintUsage();
    return 1;
  }
  const std::string& input = args[2];
  if (!platform::PathExists(input.c_str())) {
    const std::string line = "File \"" + input + "\" not found.\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return 1;
  }
  const std::string& output = args[3];

  bool scramble = true;
  bool pause = false;
  bool depfileGiven = false;
  std::string depfile;
  const char* depfileOption = "";
  Job job;
  job.type = type;
  job.input = input;
  job.output = output;
  bool reportGiven = false;
  bool blenderGiven = false;
  ImportLimits& limits = job.limits;
  std::string message;
  for (std::size_t i = 4; i < args.size() && message.empty(); ++i) {
    const OptionInfo* option = FindOption(Folded(args[i]));
    if (option == nullptr) {
      WarnIfMeantAsOption(args[i], i + 1 < args.size() ? &args[i + 1] : nullptr);
      continue;
    }
    const std::string value = args[i].substr(std::strlen(option->name));
    std::uint64_t number = 0;
    switch (option->id) {
      case OptionId::kUnscrambled: scramble = false; break;
      case OptionId::kPause: pause = true; break;
      case OptionId::kDepfile:
      case OptionId::kNinjaDepfile:
        depfileGiven = true;
        depfile = value;
        job.depfileReader = option->id == OptionId::kNinjaDepfile ? DepfileReader::kNinja
                                                                  : DepfileReader::kMakeAndNinja;
        depfileOption = option->name;
        break;
      case OptionId::kReport:
        reportGiven = true;
        job.report = value;
        break;
      case OptionId::kBake: job.bake = true; break;
      case OptionId::kBlender:
        blenderGiven = true;
        job.blender = value;
        break;
      case OptionId::kTimeout:
        if (ParseBound(*option, value, kMaxImportSeconds, &number, &message)) {
          limits.seconds = static_cast<unsigned>(number);
        }
        break;
      case OptionId::kMemory:
        if (ParseBound(*option, value, kMaxImportMiB, &number, &message)) {
          limits.memoryBytes = number << 20;
        }
        break;
      case OptionId::kOptimize: job.meshWork.optimize = true; break;
      case OptionId::kSimplify: ParseRatio(*option, value, &job.meshWork.simplifyRatio, &message); break;
    }
  }

  AssetKey key{};
  if (scramble) DeriveAssetKey(kPassPhrase, key);

  int exitCode = 1;
  if (message.empty() && depfileGiven && depfile.empty()) {
    message = depfileOption + std::string(" needs a path after the equals sign");
  }
  if (message.empty() && reportGiven && job.report.empty()) {
    message = "-report= needs a path after the equals sign";
  }
  if (message.empty() && blenderGiven && job.blender.empty()) {
    message = "-blender= needs a path after the equals sign";
  }
  job.scramble = scramble;
  job.key = key;
  job.depfile = depfile;
  if (message.empty()) {
    try {
      if (Convert(job, &message)) {
        message = (scramble ? "Wrote encrypted " : "Wrote ") + output;
        exitCode = 0;
      }
    } catch (const std::bad_alloc&) {
      // Whatever was being written has been removed on the way out.
      message = "Out of memory while converting " + input;
    }
  }
  PrintLine(message);
  if (pause) {
    PrintLine("Press any key to continue...");
    platform::WaitForKey();
  }
  return exitCode;
}

}  // namespace qx
