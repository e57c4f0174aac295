#include "convert/blend_source.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/platform.h"

namespace qx {
namespace {

// Run by Blender: lists what the .blend uses, then exports glTF binary. Animations
// only for animation assets; nothing else is left to Blender's defaults that could
// differ run to run.
const char kExportScript[] = R"(import sys
import bpy
out, kind, listing = sys.argv[sys.argv.index("--") + 1:]
with open(listing, "w", encoding="utf-8") as f:
    for path in sorted(set(bpy.utils.blend_paths(absolute=True))):
        f.write(path + "\n")
bpy.ops.export_scene.gltf(filepath=out, export_format="GLB", export_animations=(kind == "anm"))
)";

std::string ReadAll(const std::string& path) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Blender's own words for what went wrong: its last line that says error, else its
// last line.
std::string LastError(const std::string& log) {
  std::istringstream lines(log);
  std::string line, last, lastError;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.rfind("Blender quit", 0) == 0) continue;
    last = line;
    if (line.find("Error") != std::string::npos || line.find("error") != std::string::npos) lastError = line;
  }
  return lastError.empty() ? last : lastError;
}

}  // namespace

bool IsBlendFile(const std::string& path) {
  if (path.size() < 6) return false;
  std::string extension = path.substr(path.size() - 6);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return extension == ".blend";
}

std::string FindBlender(const std::string& named) {
  if (!named.empty()) return named;
  const char* environment = std::getenv("QX_BLENDER");
  if (environment != nullptr && *environment != '\0') return environment;
  return platform::FindOnPath("blender");
}

BlendExport::~BlendExport() {
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(std::filesystem::u8path(folder_), ignored);
}

bool BlendExport::Run(const std::string& source, format::AssetKind kind, const std::string& blender,
                      unsigned seconds, std::string* error) {
  if (blender.empty()) {
    *error = "Converting " + source + " needs Blender, which was not found on PATH; install it, "
             "or name it with -blender=PATH or the QX_BLENDER environment variable";
    return false;
  }
  folder_ = platform::MakeTempDirectory(error);
  if (folder_.empty()) return false;
  const std::string home = folder_ + "/home", temp = folder_ + "/tmp";
  std::error_code made;
  std::filesystem::create_directory(std::filesystem::u8path(home), made);
  std::filesystem::create_directory(std::filesystem::u8path(temp), made);
  const std::string script = folder_ + "/export.py", listing = folder_ + "/used.txt";
  std::ofstream(std::filesystem::u8path(script), std::ios::binary) << kExportScript;
  glb_ = folder_ + "/export.glb";
  const bool animation = kind == format::AssetKind::Animation;
  const int code = platform::RunProgram(
      blender,
      {"--factory-startup", "-noaudio", "--disable-autoexec", "-b", source, "--python-exit-code", "1",
       "--python", script, "--", glb_, animation ? "anm" : "mdl", listing},
      {"HOME=" + home, "TMPDIR=" + temp, "TEMP=" + temp, "TMP=" + temp}, folder_ + "/blender.log",
      seconds, error);
  if (code != 0 || !platform::PathExists(glb_.c_str())) {
    const std::string why = code < 0 ? *error : LastError(ReadAll(folder_ + "/blender.log"));
    *error = "Blender (" + blender + ") could not export " + source + ": " +
             (why.empty() ? "exit code " + std::to_string(code) : why);
    return false;
  }
  std::istringstream lines(ReadAll(listing));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && platform::PathExists(line.c_str())) used_.push_back(line);
  }
  return true;
}

}  // namespace qx
