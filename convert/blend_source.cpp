#include "convert/blend_source.h"

#include <algorithm>
#include <cctype>
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

// Run by Blender: lists what the .blend uses, notes what the glTF export cannot say
// (each material's image files as the .blend names them, since the export embeds
// their pixels; the cameras, lights and shape keys the export leaves out), then
// exports glTF binary as the artist sees the scene: modifiers applied as Blender
// evaluates them, and Blender's own axes (Z up), as Assimp's reading of a .blend
// keeps them. A subdivision takes the higher of its viewport and render levels, as
// Assimp's reading does, so an old file and its re-save in a newer Blender agree.
// Animations only for animation assets; nothing else is left to Blender's defaults
// that could differ run to run.
const char kExportScript[] = R"(import os
import sys
import bpy
out, kind, listing, facts = sys.argv[sys.argv.index("--") + 1:]
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
def fact(*fields):
    return "\t".join(str(x).replace("\t", " ").replace("\n", " ") for x in fields) + "\n"
with open(facts, "w", encoding="utf-8") as f:
    for material in bpy.data.materials:
        for node in material.node_tree.nodes if material.node_tree else ():
            if node.type == "TEX_IMAGE" and node.image is not None:
                image = node.image
                f.write(fact("image", material.name, int(image.packed_file is not None), image.filepath or image.name))
    for item in bpy.context.scene.objects:
        if item.type in ("CAMERA", "LIGHT"):
            f.write(fact(item.type.lower(), item.name))
        elif item.type == "MESH" and item.data.shape_keys is not None:
            for key in item.data.shape_keys.key_blocks[1:]:
                f.write(fact("shape-key", item.data.name, key.name))
for item in bpy.data.objects:
    for modifier in item.modifiers:
        if modifier.type == "SUBSURF":
            modifier.levels = max(modifier.levels, modifier.render_levels)
bpy.ops.export_scene.gltf(filepath=out, export_format="GLB", export_animations=(kind == "anm"),
                          export_apply=True, export_yup=False)
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

// Blender's own words for what went wrong: the last Python exception (the line that
// closes a traceback, not Blender's "script failed" after it, which names only our
// script), else its last line that says error, else its last line.
std::string LastError(const std::string& log) {
  std::istringstream lines(log);
  std::string line, last, lastError, exception;
  bool inTraceback = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.rfind("Blender quit", 0) == 0) continue;
    if (inTraceback && line[0] != ' ') {
      // "Name: words" closes it; Blender's own "Error: ..." and "Location: ..." lines
      // (its stdout reaches the log out of step with Python's stderr) do not.
      const std::string name = line.substr(0, line.find(':'));
      const bool exceptionName =
          !name.empty() && name != "Error" && name != "Location" &&
          std::all_of(name.begin(), name.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
          });
      if (exceptionName) exception = line;
      inTraceback = false;
    }
    if (line.find("Traceback (most recent call last):") != std::string::npos) inTraceback = true;
    last = line;
    if (line.find("Error") != std::string::npos || line.find("error") != std::string::npos) lastError = line;
  }
  return !exception.empty() ? exception : lastError.empty() ? last : lastError;
}

// Fields of one tab-separated line.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(line.substr(start, tab - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

// Blender's environment: the caller's, without what would change Blender's Python or
// run the caller's code inside it. Debian's Blender takes its Python's prefix from the
// first python3.x on PATH (a virtual environment's or a pyenv build loses Debian's
// packages), so PATH holds only Blender's folder and the system's; PYTHONHOME,
// PYTHONPATH, PYTHONSTARTUP, PYTHONUSERBASE (a sitecustomize.py on the caller's path)
// go, as do BLENDER_* and XDG_* (the caller's scripts and settings folders).
std::vector<std::string> BlenderEnvironment(const std::string& blender, const std::string& home,
                                            const std::string& temp) {
  std::vector<std::string> environment = {"PYTHON*", "BLENDER_*", "XDG_*", "HOME=" + home, "TMPDIR=" + temp,
                                          "TEMP=" + temp, "TMP=" + temp};
  std::error_code failed;
  const auto program = std::filesystem::absolute(std::filesystem::u8path(blender), failed);
  const std::string path = platform::SystemSearchPath(failed ? "" : program.parent_path().u8string());
  if (!path.empty()) environment.push_back("PATH=" + path);
  return environment;
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
  const std::string script = folder_ + "/export.py", listing = folder_ + "/used.txt",
                    facts = folder_ + "/facts.txt";
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
       animation ? "anm" : "mdl", listing, facts},
      BlenderEnvironment(blender, home, temp), folder_ + "/blender.log", bounds, error);
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
  std::istringstream factLines(ReadAll(facts));
  for (std::string line; std::getline(factLines, line);) {
    const std::vector<std::string> fields = Fields(line);
    if (fields[0] == "image" && fields.size() == 4) {
      images_.push_back({fields[1], fields[2] == "1", fields[3]});
    } else if (fields.size() >= 2) {
      const std::string label = "\"" + fields[1] + "\"" + (fields.size() == 3 ? " key \"" + fields[2] + "\"" : "");
      if (fields[0] == "camera") cameras_.push_back(label);
      if (fields[0] == "light") lights_.push_back(label);
      if (fields[0] == "shape-key" && fields.size() == 3) shapeKeys_.push_back("mesh " + label);
    }
  }
  return true;
}

void BlendExport::Describe(format::AssetKind kind, report::Scene* scene) const {
  for (report::Mesh& mesh : scene->meshes) {
    std::vector<std::string> textures;
    for (const Image& image : images_) {
      if (image.material == mesh.material &&
          std::find(textures.begin(), textures.end(), image.path) == textures.end()) {
        textures.push_back(image.path);
      }
    }
    if (!textures.empty()) mesh.textures = textures;
  }
  // The export's own cameras, lights, embedded images and morph targets are not the
  // .blend's (its morph targets are the shape keys, noted below by their names).
  std::vector<report::Finding>& found = scene->notCarried;
  found.erase(std::remove_if(found.begin(), found.end(),
                             [](const report::Finding& f) {
                               return f.kind == "cameras" || f.kind == "lights" || f.kind == "textures" ||
                                      f.kind == "morph-targets";
                             }),
              found.end());
  std::vector<std::string> packed;
  for (const Image& image : images_) {
    if (image.packed && std::find(packed.begin(), packed.end(), image.path) == packed.end()) {
      packed.push_back(image.path);
    }
  }
  const auto note = [&found](const char* findingKind, const std::vector<std::string>& concerns, const char* text) {
    if (!concerns.empty()) found.push_back({findingKind, concerns.size(), concerns, text});
  };
  if (kind == format::AssetKind::Model) note("morph-targets", shapeKeys_, report::kMorphTargetsText);
  note("cameras", cameras_, report::kCamerasText);
  note("lights", lights_, report::kLightsText);
  note("textures", packed, report::kEmbeddedTexturesText);
}

}  // namespace qx
