#include "app/run.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/depfile.h"
#include "asset/asset.h"
#include "cipher/cipher.h"
#include "platform/platform.h"

namespace qx {

const char kUsageText[] =
    "QXConvert v1.00\n"
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
  static const char* const kNames[] = {"mdl", "anm", "tex", "mus", "snd"};
  const std::string folded = Folded(argument);
  for (int i = 0; i < 5; ++i) {
    if (folded == kNames[i]) {
      *type = static_cast<AssetType>(i + 1);
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

bool Load(Asset& asset, AssetType type, const std::string& input,
          std::vector<std::string>* openedFiles) {
  switch (type) {
    case AssetType::Model: return asset.LoadModel(input, openedFiles);
    case AssetType::Animation: return asset.LoadAnimation(input, openedFiles);
    case AssetType::Texture: return asset.LoadTexture(input);
    case AssetType::Music: return asset.LoadAudio(input, true);
    case AssetType::Sound: return asset.LoadAudio(input, false);
  }
  return false;
}

}  // namespace

int RunConverter(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 4) {
    PrintUsage();
    return 1;
  }
  PrintLine(std::string("QXConvert v") + kVersion);

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
  std::string depfile;
  const std::string kDepfileOption = "-depfile=";
  for (std::size_t i = 4; i < args.size(); ++i) {
    const std::string option = Folded(args[i]);
    if (option == "-ue") {
      scramble = false;
    } else if (option == "-pause") {
      pause = true;
    } else if (option.compare(0, kDepfileOption.size(), kDepfileOption) == 0) {
      depfile = args[i].substr(kDepfileOption.size());
    }
  }

  AssetKey key{};
  if (scramble) DeriveAssetKey(kPassPhrase, key);

  int exitCode = 1;
  Asset asset;
  std::vector<std::string> inputs;
  const bool scene = type == AssetType::Model || type == AssetType::Animation;
  if (!scene) inputs.push_back(input);
  if (Load(asset, type, input, depfile.empty() || !scene ? nullptr : &inputs) &&
      asset.Save(output, scramble, key) &&
      (depfile.empty() || WriteDepfile(depfile, DepfileText(output, inputs), &asset.errorText))) {
    PrintLine((scramble ? "Wrote encrypted " : "Wrote ") + output);
    exitCode = 0;
  } else {
    PrintLine(asset.errorText);
  }
  if (pause) {
    PrintLine("Press any key to continue...");
    platform::WaitForKey();
  }
  return exitCode;
}

}  // namespace qx
