#include "convert/blend_source.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <system_error>

#include "platform/platform.h"

namespace qx {
namespace {

// Run by Blender: lists what the .blend uses, then exports glTF binary. Animations
// only for animation assets; nothing else is left to Blender's defaults that could
// differ run to run.
const char kExportScript[] = R"(import os
import sys
import bpy
out, kind, listing = sys.argv[sys.argv.index("--") + 1:]
folder = os.path.dirname(out)

# Linked libraries that are not there: named on standard error and in the depfile.
with open(os.path.join(folder, "missing.txt"), "w", encoding="utf-8") as f:
    for library in bpy.data.libraries:
        path = os.path.normpath(bpy.path.abspath(library.filepath, library=library.parent))
        if not os.path.exists(path):
            f.write(path + "\n")

with open(listing, "w", encoding="utf-8") as f:
    for path in sorted(set(bpy.utils.blend_paths(absolute=True))):
        f.write(path + "\n")
bpy.ops.export_scene.gltf(filepath=out, export_format="GLB", export_animations=(kind == "anm"))
)";

// Run by Blender before it loads the .blend. Blender writes simulation caches where
// the file says (even out of the sandbox's reach, where there is none): once the file
// is loaded and before anything is evaluated, every cache is pointed into the private
// folder and no point cache goes to disk. Linked data may refuse the change; the
// sandbox still holds there.
const char kCacheScript[] = R"(import os
import sys
import bpy
folder = os.path.dirname(sys.argv[sys.argv.index("--") + 1])

def keep_in(owner, name, value):
    try:
        setattr(owner, name, value)
    except (AttributeError, TypeError):
        pass

@bpy.app.handlers.persistent
def keep_caches_in_folder(*_):
    for number, item in enumerate(bpy.data.objects):
        caches = [system.point_cache for system in item.particle_systems]
        for modifier in item.modifiers:
            caches.append(getattr(modifier, "point_cache", None))
            if modifier.type == "FLUID" and modifier.domain_settings is not None:
                keep_in(modifier.domain_settings, "cache_directory", os.path.join(folder, "caches", str(number)))
            if modifier.type == "DYNAMIC_PAINT" and modifier.canvas_settings is not None:
                caches += [surface.point_cache for surface in modifier.canvas_settings.canvas_surfaces]
        for cache in caches:
            for each in (cache.point_caches if cache is not None else []):
                keep_in(each, "use_disk_cache", False)
    for scene in bpy.data.scenes:
        if scene.rigidbody_world is not None and scene.rigidbody_world.point_cache is not None:
            for each in scene.rigidbody_world.point_cache.point_caches:
                keep_in(each, "use_disk_cache", False)

bpy.app.handlers.load_post.append(keep_caches_in_folder)
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

// Whether Blender's log says an allocation failed (its allocator, Python, the loader,
// the C runtime), as it does when -memory bounds it.
bool RanOutOfMemory(std::string log) {
  for (char& c : log) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const char* sign : {"returns null", "memoryerror", "failed to map segment",
                           "cannot allocate memory", "bad_alloc", "out of memory"}) {
    if (log.find(sign) != std::string::npos) return true;
  }
  return false;
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
  if (!folder_.empty()) platform::RemoveTempDirectory(folder_);
}

bool BlendExport::Run(const std::string& source, format::AssetKind kind, const std::string& blender,
                      unsigned seconds, std::uint64_t memoryBytes, std::string* error) {
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
  const std::string caches = folder_ + "/caches.py";
  std::ofstream(std::filesystem::u8path(caches), std::ios::binary) << kCacheScript;
  glb_ = folder_ + "/export.glb";
  const bool animation = kind == format::AssetKind::Animation;
  // Blender resolves a relative path against $PWD, which the caller may have left
  // stale: it is given the file the working folder itself leads to.
  std::error_code unresolved;
  const std::string absolute =
      std::filesystem::absolute(std::filesystem::u8path(source), unresolved).u8string();
  // A .blend can make Blender write anywhere (simulation caches): it may write only in
  // its private folder, and it gets the run's bounds on time and memory.
  platform::ChildBounds bounds;
  bounds.seconds = seconds;
  bounds.memoryBytes = memoryBytes;
  bounds.writableFolder = folder_;
  const int code = platform::RunProgram(
      blender,
      {"--factory-startup", "-noaudio", "--disable-autoexec", "-b", "--python-exit-code", "1",
       "--python", caches, unresolved ? source : absolute, "--python", script, "--", glb_,
       animation ? "anm" : "mdl", listing},
      {"HOME=" + home, "TMPDIR=" + temp, "TEMP=" + temp, "TMP=" + temp}, folder_ + "/blender.log",
      bounds, error);
  if (code == platform::kCannotConfine) {
    *error = "Cannot sandbox Blender to convert " + source + ": " + *error +
             "; a .blend can make Blender write anywhere, so it runs only where it can write "
             "nothing but its own temporary folder";
    return false;
  }
  if (code != 0 || !platform::PathExists(glb_.c_str())) {
    const std::string log = ReadAll(folder_ + "/blender.log");
    if (memoryBytes > 0 && RanOutOfMemory(log)) throw std::bad_alloc();
    const std::string why = code < 0 ? *error : LastError(log);
    *error = "Blender (" + blender + ") could not export " + source + ": " +
             (why.empty() ? "exit code " + std::to_string(code) : why);
    return false;
  }
  std::istringstream lines(ReadAll(listing));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && platform::PathExists(line.c_str())) used_.push_back(line);
  }
  // A missing library leaves its data out, as Blender itself opens such a file; the
  // depfile names it, so that restoring it converts again.
  std::istringstream missing(ReadAll(folder_ + "/missing.txt"));
  for (std::string line; std::getline(missing, line);) {
    if (line.empty()) continue;
    const std::string warning = "Warning: " + source + " links the library " + line +
                                ", which is missing; what it holds is left out\n";
    std::fwrite(warning.data(), 1, warning.size(), stderr);
    used_.push_back(line);
  }
  return true;
}

}  // namespace qx
