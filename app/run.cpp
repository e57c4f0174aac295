#include "app/run.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app/depfile.h"
#include "asset/asset.h"
#include "convert/scene_loader.h"
#include "format/scramble.h"
#include "platform/platform.h"
#include "report/report.h"

namespace qx {

const char kUsageText[] =
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
    "Options:\n"
    " -ue: Do not encrypt the output file\n"
    " -pause: Pause when done\n"
    "\n"
    "Examples:\n"
    " QXConvert.exe mdl model.fbx model.mdl\n"
    " QXConvert.exe mdl model.fbx model.mdl -ue\n"
    " QXConvert.exe anm walk.fbx walk.anm\n"
    " QXConvert.exe tex grass.png grass.img\n"
    " QXConvert.exe mus music.mod music.mus\n"
    " QXConvert.exe snd sound.ogg sound.snd\n";

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

void PrintUsage() { std::fwrite(kUsageText, 1, sizeof(kUsageText) - 1, stdout); }

bool IsScene(AssetType type) { return type == AssetType::Model || type == AssetType::Animation; }

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

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
  if (IsScene(job.type)) {
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
  } else {
    read.push_back(job.input);
  }
  std::vector<SideFile> sideFiles;
  if (!job.depfile.empty()) {
    sideFiles.push_back({"Depfile", job.depfile, ""});
    if (SideFileClashes("Depfile", job.depfile, job.input, job.output, read, message) ||
        !DepfileText(job.output, read, &sideFiles.back().text, message)) {
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
  if (IsScene(job.type) ? !asset.WriteTo(out, job.scramble, job.key)
                        : !StreamRawAsset(job.type, job.input, out, job.scramble, job.key, message)) {
    if (IsScene(job.type)) *message = asset.errorText;
    return false;
  }
  if (!out.Prepare()) {
    *message = out.errorText();
    return false;
  }
  if (!job.report.empty()) {
    sideFiles.push_back({"Report", job.report, ReportText(job, scene, out, SecondsSince(writeStarted))});
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
bool ParseBound(const std::string& option, const std::string& prefix, std::uint64_t max,
                std::uint64_t* value, std::string* message) {
  const std::string digits = option.substr(prefix.size());
  *value = 0;
  bool valid = !digits.empty() && digits.size() <= 9;
  for (const char c : digits) valid = valid && c >= '0' && c <= '9';
  if (valid) *value = std::stoull(digits);
  if (!valid || *value == 0 || *value > max) {
    *message = prefix + " needs a whole number from 1 to " + std::to_string(max);
    return false;
  }
  return true;
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
  // -depfile=PATH: after a successful conversion, also write a Make-style list of
  // every file the conversion read, for build systems. Not in the usage text.
  bool depfileGiven = false;
  std::string depfile;
  const std::string kDepfileOption = "-depfile=";
  // -timeout=SECONDS and -memory=MIB bound a model or animation import, so that a
  // crafted file cannot stall a build farm. Not in the usage text either.
  // -report=PATH: after a successful conversion, also write a JSON report of what the
  // asset holds and what of the source it does not carry. -bake: apply node placement
  // to a model's meshes. Neither changes the asset unless asked.
  Job job;
  job.type = type;
  job.input = input;
  job.output = output;
  bool reportGiven = false;
  const std::string kReportOption = "-report=";
  bool blenderGiven = false;
  ImportLimits& limits = job.limits;
  std::string message;
  for (std::size_t i = 4; i < args.size() && message.empty(); ++i) {
    const std::string option = Folded(args[i]);
    std::uint64_t value = 0;
    if (option == "-ue") {
      scramble = false;
    } else if (option == "-pause") {
      pause = true;
    } else if (option.compare(0, kDepfileOption.size(), kDepfileOption) == 0) {
      depfileGiven = true;
      depfile = args[i].substr(kDepfileOption.size());
    } else if (option.compare(0, kReportOption.size(), kReportOption) == 0) {
      reportGiven = true;
      job.report = args[i].substr(kReportOption.size());
    } else if (option == "-bake") {
      job.bake = true;
    } else if (option.rfind("-blender=", 0) == 0) {
      blenderGiven = true;
      job.blender = args[i].substr(9);
    } else if (option.rfind("-timeout=", 0) == 0) {
      if (ParseBound(option, "-timeout=", 86400, &value, &message)) {
        limits.seconds = static_cast<unsigned>(value);
      }
    } else if (option.rfind("-memory=", 0) == 0) {
      if (ParseBound(option, "-memory=", 1 << 24, &value, &message)) {
        limits.memoryBytes = value << 20;
      }
    }
  }

  AssetKey key{};
  if (scramble) DeriveAssetKey(kPassPhrase, key);

  int exitCode = 1;
  if (message.empty() && depfileGiven && depfile.empty()) {
    message = "-depfile= needs a path after the equals sign";
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
