#include "app/run.h"

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

// A depfile must never replace a file the conversion reads or writes: it is checked by
// file identity, so another spelling of the same path is caught too.
bool DepfileClashes(const std::string& depfile, const std::string& input,
                    const std::string& output, const std::vector<std::string>& read,
                    std::string* message) {
  const std::string refused = "Depfile " + depfile + " would overwrite ";
  if (platform::SameFile(depfile, output)) {
    *message = refused + "the output " + output;
    return true;
  }
  if (platform::SameFile(depfile, input)) {
    *message = refused + "the input " + input;
    return true;
  }
  for (const std::string& path : read) {
    if (platform::SameFile(depfile, path)) {
      *message = refused + path + ", which the conversion reads";
      return true;
    }
  }
  return false;
}

std::string DepfileFailure(const std::string& depfile, const OutputFile& file) {
  std::string text = "Depfile " + depfile + " could not be written: " + file.errorText();
  if (file.errorNumber() != 0) text += std::string(" (") + std::strerror(file.errorNumber()) + ")";
  return text;
}

// Loads or streams the asset into the output and, when asked, writes the depfile.
// Both files are made ready before either replaces what was there, the depfile first:
// an asset is never committed beside a missing or stale depfile.
bool Convert(AssetType type, const std::string& input, const std::string& output,
             bool scramble, const AssetKey& key, const std::string& depfile,
             const ImportLimits& limits, std::string* message) {
  Asset asset;
  std::vector<std::string> read;
  if (IsScene(type)) {
    std::vector<std::string>* opened = depfile.empty() ? nullptr : &read;
    if (!LoadAsset(type, input, &asset, opened, nullptr, limits)) {
      *message = asset.errorText;
      return false;
    }
  } else {
    read.push_back(input);
  }
  std::string rule;
  if (!depfile.empty() && (DepfileClashes(depfile, input, output, read, message) ||
                           !DepfileText(output, read, &rule, message))) {
    return false;
  }

  OutputFile out;
  if (!out.Open(output)) {
    *message = out.errorText();
    return false;
  }
  if (IsScene(type) ? !asset.WriteTo(out, scramble, key)
                    : !StreamRawAsset(type, input, out, scramble, key, message)) {
    if (IsScene(type)) *message = asset.errorText;
    return false;
  }
  if (!out.Prepare()) {
    *message = out.errorText();
    return false;
  }
  if (!depfile.empty()) {
    OutputFile dep;
    if (!dep.Open(depfile) || !dep.Write(rule.data(), static_cast<std::int32_t>(rule.size())) ||
        !dep.Commit()) {
      *message = DepfileFailure(depfile, dep);
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
  ImportLimits limits;
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
  if (message.empty()) {
    try {
      if (Convert(type, input, output, scramble, key, depfile, limits, &message)) {
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
