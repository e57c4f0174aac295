#include "app/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app/depfile.h"
#include "asset/asset.h"
#include "convert/import_bounds.h"
#include "convert/scene_loader.h"
#include "format/scramble.h"
#include "platform/platform.h"
#include "report/report.h"

namespace qx {

namespace {

enum class OptionId {
  kUnscrambled,
  kPause,
  kDepfile,
  kNinjaDepfile,
  kReport,
  kBake,
  kBlender,
  kTimeout,
  kMemory
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
};

bool TakesValue(const OptionInfo& option) { return option.name[std::strlen(option.name) - 1] == '='; }

}  // namespace

const std::string& UsageText() {
  static const std::string text = [] {
    std::string usage =
        "QXConvert v" QX_VERSION "\n"
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


// A file written beside the asset (the depfile, the report) must never replace a file
// the conversion reads or writes: it is checked by file identity, so another spelling
// of the same path is caught too.
bool SideFileClashes(const char* label, const std::string& path, const std::string& input,
                     const std::string& output, const std::vector<std::string>& read,
                     std::string* message) {
  const std::string refused = label + (" " + path) + " would overwrite ";
  if (platform::SameFile(path, output)) {
    *message = refused + "the output " + output;
    return true;
  }
  if (platform::SameFile(path, input)) {
    *message = refused + "the input " + input;
    return true;
  }
  for (const std::string& other : read) {
    if (platform::SameFile(path, other)) {
      *message = refused + other + ", which the conversion reads";
      return true;
    }
  }
  return false;
}

std::string SideFileFailure(const char* label, const std::string& path, const OutputFile& file) {
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
  ImportLimits limits;
  std::string blender;
};

// A file of words written beside the asset, made ready before the asset is committed.
struct SideFile {
  const char* label;
  std::string path;
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
  r.writeSeconds = writeSeconds;
  r.scene = scene;
  return report::ToJson(r);
}

// Loads or streams the asset into the output and, when asked, writes the depfile and
// the report. Every file is made ready before any replaces what was there, the asset
// last: an asset is never committed beside a missing or stale depfile or report.
bool Convert(const Job& job, std::string* message) {
  Asset asset;
  std::vector<std::string> read;
  report::Scene scene;
  SceneOptions options;
  options.openedFiles = job.depfile.empty() ? nullptr : &read;
  options.report = job.report.empty() ? nullptr : &scene;
  options.bake = job.bake;
  options.limits = job.limits;
  options.blender = job.blender;
  if (!LoadAsset(job.type, job.input, &asset, options)) {
    *message = asset.errorText;
    return false;
  }
  std::vector<SideFile> sideFiles;
  if (!job.depfile.empty()) {
    sideFiles.push_back({"Depfile", job.depfile, ""});
    if (SideFileClashes("Depfile", job.depfile, job.input, job.output, read, message) ||
        !DepfileText(job.output, read, job.depfileReader, &sideFiles.back().text, message)) {
      return false;
    }
  }
  if (!job.report.empty()) {
    if (SideFileClashes("Report", job.report, job.input, job.output, read, message)) return false;
    if (!job.depfile.empty() && platform::SameFile(job.report, job.depfile)) {
      *message = "Report " + job.report + " would overwrite the depfile " + job.depfile;
      return false;
    }
  }

  const auto writeStarted = std::chrono::steady_clock::now();
  OutputFile out;
  if (!out.Open(job.output)) {
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
    sideFiles.push_back({"Report", job.report, ReportText(job, scene, out, report::SecondsSince(writeStarted))});
  }
  for (const SideFile& side : sideFiles) {
    OutputFile file;
    if (!file.Open(side.path) ||
        !file.Write(side.text.data(), static_cast<std::int32_t>(side.text.size())) || !file.Commit()) {
      *message = SideFileFailure(side.label, side.path, file);
      return false;
    }
  }
  if (!out.Commit()) {
    *message = out.errorText();
    return false;
  }
  return true;
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
  PrintLine("QXConvert v" QX_VERSION);

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
