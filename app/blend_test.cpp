// .blend sources through the user's Blender and the Blender add-on, run as a user
// would: the routing between Assimp and Blender, Blender's sandbox and bounds, and
// what the exports hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "asset/asset.h"
#include "convert/import_bounds.h"
#include "convert/scene_import.h"
#include "platform/platform.h"
#include "reader/asset_reader.h"
#include "report/report.h"
#include "testing/banner.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::FileExists;
using testing::kBanner;
using testing::Listing;
using testing::ProcessOptions;
using testing::ReadFile;
using testing::RunQXConvert;
using testing::TempDir;
using testing::Unprivileged;
using testing::WriteFile;

// Whether the kernel (or the emulator) offers Landlock, without which QXConvert refuses
// to run Blender.
bool HaveLandlock() { return syscall(__NR_landlock_create_ruleset, nullptr, 0, 1) >= 1; }

// Why .blend sources cannot be converted here, or null: Debian's Blender, whose export
// is glTF, run in the sandbox the kernel gives.
const char* BlenderUnavailable() {
  if (!FileExists("/usr/bin/blender")) return "needs Debian's blender";
  if (const char* why = testing::Unavailable(testing::Need::kAssimpGltf)) return why;
  if (!HaveLandlock()) return "the kernel (or the emulator) offers no Landlock to sandbox Blender with";
  return nullptr;
}

// Makes one of the crafted .blend files of testing/make_blend_hazards.py.
void MakeHazard(const std::vector<std::string>& args) {
  std::vector<std::string> command = {"-b",
                                      "--factory-startup",
                                      "-noaudio",
                                      "--python-exit-code",
                                      "1",
                                      "--python",
                                      std::string(QX_SOURCE_DIR) + "/testing/make_blend_hazards.py",
                                      "--"};
  command.insert(command.end(), args.begin(), args.end());
  const auto made = testing::RunProcess("/usr/bin/blender", command);
  ASSERT_EQ(made.exitCode, 0) << made.out << made.err;
}

// Every name under root with its type, permissions, time and a hash of its content: what
// a run must leave as it found it.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    struct stat info;
    if (lstat(entry.path().c_str(), &info) != 0) continue;
    std::string& what = tree[entry.path().string()];
    what = std::to_string(info.st_mode) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
    if (S_ISREG(info.st_mode))
      what += " " + std::to_string(std::hash<std::string>()(ReadFile(entry.path().string())));
  }
  return tree;
}

// .blend sources go through the user's Blender: the same bytes every time, the
// depfile names the image the .blend uses, the text block never runs, and a broken
// file or a missing Blender is one clear line.
TEST(BlendSources, ConvertThroughBlenderIsolatedAndRepeatable) {
  if (const char* why = BlenderUnavailable()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string marker = dir / "ran.txt";
  ASSERT_EQ(testing::RunProcess("/usr/bin/blender", {"-b", "--factory-startup", "-noaudio",
                                                     "--python-exit-code", "1", "--python",
                                                     std::string(QX_SOURCE_DIR) + "/testing/make_blend_scene.py",
                                                     "--", dir / "scene.blend", dir / "paint.png", marker})
                .exitCode, 0);
  testing::ProcessOptions ownTemp;
  const std::string temp = dir / "tmp";
  std::filesystem::create_directory(temp);
  ownTemp.beforeExec = [temp] { setenv("TMPDIR", temp.c_str(), 1); };

  auto r = RunQXConvert({"mdl", dir / "scene.blend", dir / "a.mdl", "-ue", "-depfile=" + (dir / "a.d")}, ownTemp);
  ASSERT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(ReadFile(dir / "a.d"), dir / "a.mdl" + ": " + dir / "scene.blend" + " " + dir / "paint.png" + "\n");
  ASSERT_EQ(RunQXConvert({"mdl", dir / "scene.blend", dir / "b.mdl", "-ue"}).exitCode, 0);
  EXPECT_EQ(ReadFile(dir / "a.mdl"), ReadFile(dir / "b.mdl"));
  reader::AssetFile model;
  std::string error;
  ASSERT_TRUE(reader::ReadAssetFile(dir / "a.mdl", &model, &error)) << error;
  ASSERT_EQ(model.meshes.size(), 1u);
  EXPECT_EQ(model.meshes[0].positions.size(), 24u);
  EXPECT_EQ(model.meshes[0].faceCount, 12u);
  EXPECT_TRUE(model.meshes[0].hasTextureCoords);
  ASSERT_EQ(RunQXConvert({"anm", dir / "scene.blend", dir / "a.anm", "-ue"}).exitCode, 0);
  reader::AssetFile animation;
  ASSERT_TRUE(reader::ReadAssetFile(dir / "a.anm", &animation, &error)) << error;
  ASSERT_EQ(animation.animations.size(), 1u);
  EXPECT_EQ(animation.animations[0].channels.size(), 1u);
  EXPECT_FALSE(FileExists(marker));
  EXPECT_TRUE(std::filesystem::is_empty(temp));
  // The text block does write the file when Blender is let run scripts.
  testing::RunProcess("/usr/bin/blender", {"-b", "--factory-startup", "-noaudio", "--enable-autoexec",
                                           dir / "scene.blend", "--python-expr", "pass"});
  EXPECT_TRUE(FileExists(marker));

  WriteFile(dir / "broken.blend", "not a blend file");
  r = RunQXConvert({"mdl", dir / "broken.blend", dir / "c.mdl"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out.rfind(kBanner + "Blender (/usr/bin/blender) could not export " + dir / "broken.blend" +
                            ": Error: File format is not supported", 0), 0u) << r.out;
  testing::ProcessOptions noBlender;
  noBlender.beforeExec = [] {
    setenv("PATH", "/nonexistent", 1);
    unsetenv("QX_BLENDER");
  };
  r = RunQXConvert({"mdl", dir / "scene.blend", dir / "c.mdl"}, noBlender);
  EXPECT_EQ(r.out, kBanner + "Converting " + dir / "scene.blend" + " needs Blender, which was not found on "
                   "PATH; install it, or name it with -blender=PATH or the QX_BLENDER environment variable\n");
  EXPECT_FALSE(FileExists(dir / "c.mdl"));
}

// A .blend can make Blender write where it says: a smoke domain caches into //victim
// or into an absolute folder (emptying it first), a cloth's disk cache makes a
// folder beside the file, and a launcher named by -blender= could do anything. As root
// and as user nobody, with every folder open to them, nothing outside Blender's
// private folder is created, changed or removed, and that folder goes too.
TEST(BlendSources, BlenderWritesNothingOutsideItsPrivateFolder) {
  if (const char* why = BlenderUnavailable()) GTEST_SKIP() << why;
  TempDir dir;
  const std::string work = dir / "work";
  std::filesystem::create_directories(work);
  MakeHazard({"caches", work + "/relative.blend", "//victim"});
  MakeHazard({"caches", work + "/absolute.blend", work + "/absolute"});
  // Making it evaluated it already: start from folders holding something to lose.
  for (const auto& entry : std::filesystem::directory_iterator(work)) {
    if (entry.is_directory()) std::filesystem::remove_all(entry.path());
  }
  for (const std::string& victim : {work + "/victim", work + "/absolute"}) {
    std::filesystem::create_directories(victim + "/data");
    WriteFile(victim + "/data/keep.txt", "kept");
    WriteFile(victim + "/config", "a file where the cache wants a folder");
  }
  const std::string launcher = dir / "launcher.sh";
  // It also writes through a descriptor its caller left open (fd 9, opened below).
  WriteFile(launcher, "#!/bin/sh\necho attacked > " + work + "/victim/data/keep.txt\nrm -rf " +
                          work + "/absolute\nmkdir " + work +
                          "/made\necho attacked >&9\nexec /usr/bin/blender \"$@\"\n");
  const std::string temp = dir / "tmp", out = dir / "out";
  std::filesystem::create_directories(temp);
  std::filesystem::create_directories(out);
  // Open to every user, so that only the sandbox protects them.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    chmod(entry.path().c_str(), entry.is_directory() || entry.path() == launcher ? 0777 : 0666);
  }
  const auto before = Tree(work);
  ASSERT_EQ(before.size(), 10u);

  std::string exe = QXCONVERT_EXE;
  std::vector<std::pair<std::string, ProcessOptions>> users = {
      {"as " + std::to_string(geteuid()), {}}};
  if (geteuid() == 0) {
    users.push_back({"as nobody", Unprivileged(dir.path(), &exe)});
  }
  for (auto& [who, options] : users) {
    const auto become = options.beforeExec;
    const std::string leaked = work + "/absolute/config";
    options.beforeExec = [become, temp, leaked] {
      if (become) become();
      setenv("TMPDIR", temp.c_str(), 1);
      // A build tool may leak a descriptor to QXConvert; Blender must not inherit it.
      const int fd = open(leaked.c_str(), O_WRONLY | O_APPEND);
      if (fd >= 0 && fd != 9) {
        dup2(fd, 9);
        close(fd);
      }
    };
    const std::string program = who == "as nobody" ? exe : QXCONVERT_EXE;
    const std::string prefix = out + "/" + (who == "as nobody" ? "nobody-" : "");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"anm", work + "/relative.blend", prefix + "a.anm"},
          std::vector<std::string>{"mdl", work + "/absolute.blend", prefix + "a.mdl"},
          std::vector<std::string>{"mdl", work + "/relative.blend", prefix + "b.mdl",
                                   "-blender=" + launcher}}) {
      const auto r = testing::RunProcess(program, args, options);
      EXPECT_EQ(r.exitCode, 0) << who << " " << args[0] << " " << args.back() << ": " << r.out
                               << r.err;
      EXPECT_EQ(Tree(work), before) << who << " " << args[0] << " " << args.back();
      EXPECT_TRUE(std::filesystem::is_empty(temp)) << who;
    }
  }
}

// A signal that ends QXConvert while Blender exports, and -timeout, stop all of
// Blender's processes, even those a launcher started (here Blender is the launcher's
// child, not QXConvert's), and remove Blender's private folder.
TEST(BlendSources, SignalsAndTimeoutStopBlendersWholeTree) {
  if (const char* why = BlenderUnavailable()) GTEST_SKIP() << why;
  TempDir dir;
  MakeHazard({"grid", dir / "grid.blend", "3000"});  // about 6 s of work
  const std::string launcher = dir / "launcher.sh", temp = dir / "tmp";
  WriteFile(launcher,
            "#!/bin/sh\n/usr/bin/blender \"$@\" &\necho $! > \"$HOME/blender.pid\"\nwait $!\n");
  chmod(launcher.c_str(), 0755);
  std::filesystem::create_directories(temp);
  // Runs QXConvert with the options given, learns Blender's process from the launcher,
  // sends the signal given (none: waits), and says how each ended.
  const std::string script = "export TMPDIR='" + temp + "'\n" + "run() {\n  " +
                             testing::ToolInShell(QXCONVERT_EXE) + " mdl '" + dir / "grid.blend" +
                             "' '" + dir / "out.mdl" + "' -blender='" + launcher + "' $2 & q=$!\n" +
                             R"sh(  for i in $(seq 600); do
    b=$(cat "$TMPDIR"/qx-*/home/blender.pid 2>/dev/null) && [ -n "$b" ] && break
    sleep 0.05
  done
  [ -n "$1" ] && sleep 0.5 && kill -"$1" $q
  wait $q; echo "status $?"
  if [ -n "$b" ] && [ -e /proc/$b ]; then echo "blender $(cut -d' ' -f3 /proc/$b/stat)"; kill -9 $b; else echo "blender gone"; fi
  ls -A "$TMPDIR"
}
run TERM ""
run "" -timeout=2
)sh";
  const auto started = std::chrono::steady_clock::now();
  const auto r = testing::RunProcess("/bin/bash", {"-c", script});
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 30);
  EXPECT_EQ(r.out, kBanner + "status 143\nblender gone\n" + kBanner + "Blender (" + launcher +
                       ") could not export " + dir / "grid.blend" +
                       ": it did not finish within 2 seconds\n"
                       "status 1\nblender gone\n")
      << r.err;
  EXPECT_FALSE(FileExists(dir / "out.mdl"));
}

// -memory bounds Blender too: the grid, whose export maps 2.6 GB, fails with the
// converter's out-of-memory line under 256 MiB (where Blender cannot even start) and
// under 2 GiB, where an ordinary scene still converts.
TEST(BlendSources, MemoryBoundHoldsForBlender) {
  if (const char* why = BlenderUnavailable()) GTEST_SKIP() << why;
  if (const char* why = testing::Unavailable(testing::Need::kNativeTools)) GTEST_SKIP() << why;
  TempDir dir;
  MakeHazard({"grid", dir / "grid.blend", "3000"});
  MakeHazard({"linked", dir / "ball.blend", dir / "crate.blend"});
  for (const char* bound : {"-memory=256", "-memory=2048"}) {
    const auto r = RunQXConvert({"mdl", dir / "grid.blend", dir / "grid.mdl", bound});
    EXPECT_EQ(r.out, kBanner + "Out of memory while converting " + dir / "grid.blend" + "\n")
        << bound;
    EXPECT_EQ(r.exitCode, 1) << bound;
  }
  EXPECT_EQ(RunQXConvert({"mdl", dir / "ball.blend", dir / "ball.mdl", "-memory=2048"}).exitCode,
            0);
  EXPECT_FALSE(FileExists(dir / "grid.mdl"));
}

// The .blend named relative to the working folder is that folder's, whatever $PWD
// says; a missing linked library is named on standard error and in the depfile; an
// empty -blender= is refused.
TEST(BlendSources, WorkingFolderMissingLibraryAndEmptyBlenderOption) {
  if (const char* why = BlenderUnavailable()) GTEST_SKIP() << why;
  TempDir dir;
  std::filesystem::create_directories(dir / "a");
  std::filesystem::create_directories(dir / "b/libs");
  MakeHazard({"grid", dir / "a/x.blend", "3"});
  MakeHazard({"linked", dir / "b/x.blend", dir / "b/libs/crate.blend"});
  ProcessOptions inB;
  inB.workingDirectory = dir / "b";
  const std::string stale = dir / "a";
  inB.beforeExec = [stale] { setenv("PWD", stale.c_str(), 1); };
  std::string error;
  for (const bool present : {true, false}) {
    if (!present) std::filesystem::rename(dir / "b/libs/crate.blend", dir / "b/libs/away.blend");
    const auto r = RunQXConvert({"mdl", "x.blend", "x.mdl", "-ue", "-depfile=x.d"}, inB);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    reader::AssetFile model;
    ASSERT_TRUE(reader::ReadAssetFile(dir / "b/x.mdl", &model, &error)) << error;
    EXPECT_EQ(model.meshes.size(), present ? 2u : 1u);  // the ball, and the crate when there
    EXPECT_EQ(r.err, present ? ""
                             : "Warning: x.blend links the library " + dir / "b/libs/crate.blend" +
                                   ", which is missing; what it holds is left out\n");
    EXPECT_EQ(ReadFile(dir / "b/x.d"), "x.mdl: x.blend " + dir / "b/libs/crate.blend" + "\n");
  }
  const auto r = RunQXConvert({"mdl", "x.blend", "y.mdl", "-blender="}, inB);
  EXPECT_EQ(r.out, kBanner + "-blender= needs a path after the equals sign\n");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(FileExists(dir / "b/y.mdl"));
}

// The Blender add-on as an artist uses it (testing/blender_addon_check.py, which also
// checks that every export, successful or failed, leaves the scene's actions,
// selection, frame and file state as they were, and that Import keeps every mesh
// name): one file per action holds that action's keys only, the one action Walk is
// Walk.anm's bytes, "Every action" holds all three, -bake places the cube under its
// turned and moved parent, and the add-on's exports are the converter's own from
// the saved .blend, byte for byte.
TEST(BlenderAddon, ExportsEachActionPlacedAndAsTheDirectPath) {
  if (const char* why = BlenderUnavailable()) GTEST_SKIP() << why;
  if (testing::Emulator() != nullptr) GTEST_SKIP() << "Blender cannot start tools built for another machine";
  TempDir dir;
  const std::string out = dir / "out";
  std::filesystem::create_directories(out);
  std::filesystem::create_directories(dir / "scripts/addons");
  std::filesystem::copy(std::string(QX_SOURCE_DIR) + "/blender/qxconvert", dir / "scripts/addons/qxconvert",
                        std::filesystem::copy_options::recursive);
  ProcessOptions addons;
  const std::string scripts = dir / "scripts";
  addons.beforeExec = [scripts] {
    setenv("BLENDER_USER_SCRIPTS", scripts.c_str(), 1);
    setenv("PATH", "/usr/bin:/bin", 1);  // Debian's Python for Blender's, with numpy
  };
  const auto checked = testing::RunProcess(
      "/usr/bin/blender", {"-b", "--factory-startup", "-noaudio", "--python-exit-code", "1", "--python",
                           std::string(QX_SOURCE_DIR) + "/testing/blender_addon_check.py", "--", out,
                           QXCONVERT_EXE, QXINSPECT_EXE}, addons);
  ASSERT_EQ(checked.exitCode, 0) << checked.out << checked.err;

  // Each action is keyed on its first and last frame, sampled at every frame at 24 fps.
  auto expectAction = [](const reader::Animation& animation, unsigned frames) {
    ASSERT_EQ(animation.channels.size(), 1u);
    const reader::Channel bone = animation.channels[0];
    ASSERT_EQ(bone.rotations.size(), frames);
    EXPECT_NEAR(bone.rotations[frames - 1].time - bone.rotations[0].time, (frames - 1) * 1000.0 / 24, 0.01);
  };
  std::string error;
  const std::pair<const char*, unsigned> actions[] = {{"Idle", 41}, {"Jump", 13}, {"Walk", 25}};
  for (const auto& [name, frames] : actions) {
    SCOPED_TRACE(name);
    reader::AssetFile clip;
    ASSERT_TRUE(reader::ReadAssetFile(out + "/" + name + ".anm", &clip, &error)) << error;
    ASSERT_EQ(clip.animations.size(), 1u);
    expectAction(clip.animations[0], frames);
    // The report names the animation after its action.
    EXPECT_NE(ReadFile(out + "/" + name + ".anm.json").find("\"name\": \"" + std::string(name) + "\""),
              std::string::npos);
  }
  // Actions named "*", "../x" and "Con.walk": each file holds its one action.
  const std::pair<const char*, unsigned> odd[] = {{"_", 5}, {"_x", 7}, {"Con_.walk", 9}};
  for (const auto& [name, frames] : odd) {
    SCOPED_TRACE(name);
    reader::AssetFile clip;
    ASSERT_TRUE(reader::ReadAssetFile(out + "/odd/" + name + ".anm", &clip, &error)) << error;
    ASSERT_EQ(clip.animations.size(), 1u);
    expectAction(clip.animations[0], frames);
  }
  EXPECT_TRUE(ReadFile(out + "/walk_only.anm") == ReadFile(out + "/Walk.anm"));
  reader::AssetFile every;
  ASSERT_TRUE(reader::ReadAssetFile(out + "/every.anm", &every, &error)) << error;
  ASSERT_EQ(every.animations.size(), 3u);
  for (std::size_t a = 0; a < 3; ++a) expectAction(every.animations[a], actions[a].second);

  // Empty at (5, 0, 0) turned a quarter about Z, the 2-unit cube 1 along its x.
  auto centre = [&](const std::string& path) {
    reader::AssetFile model;
    EXPECT_TRUE(reader::ReadAssetFile(path, &model, &error)) << error;
    reader::Vec3 sum{0, 0, 0};
    for (const reader::Vec3& p : model.meshes.at(0).positions) sum = {sum.x + p.x, sum.y + p.y, sum.z + p.z};
    const float n = static_cast<float>(model.meshes[0].positions.size());
    return reader::Vec3{sum.x / n, sum.y / n, sum.z / n};
  };
  const reader::Vec3 baked = centre(out + "/placed_bake1.mdl"), unbaked = centre(out + "/placed_bake0.mdl");
  EXPECT_NEAR(baked.x, 5, 1e-4);
  EXPECT_NEAR(baked.y, 1, 1e-4);
  EXPECT_NEAR(baked.z, 0, 1e-4);
  EXPECT_NEAR(unbaked.x, 0, 1e-4);

  ASSERT_EQ(RunQXConvert({"mdl", out + "/scene.blend", dir / "direct.mdl", "-ue", "-blender=/usr/bin/blender"}).exitCode, 0);
  EXPECT_TRUE(ReadFile(dir / "direct.mdl") == ReadFile(out + "/scene.mdl"));
  ASSERT_EQ(RunQXConvert({"anm", out + "/scene.blend", dir / "direct.anm", "-ue", "-blender=/usr/bin/blender"}).exitCode, 0);
  EXPECT_TRUE(ReadFile(dir / "direct.anm") == ReadFile(out + "/every.anm"));
}

// In Blender's window (under Xvfb) an export is a modal operator whose child is the
// background Blender: Esc, and opening another file (Blender then cancels the
// operator), stop that child at once and leave no output and no copy of the scene
// (testing/blender_addon_window.py checks all three).
TEST(BlenderAddon, EscAndOpeningAFileStopTheExport) {
  if (const char* why = BlenderUnavailable()) GTEST_SKIP() << why;
  if (testing::Emulator() != nullptr) GTEST_SKIP() << "Blender cannot start tools built for another machine";
  if (!FileExists("/usr/bin/xvfb-run")) GTEST_SKIP() << "needs xvfb-run for Blender's window";
  TempDir dir;
  std::filesystem::create_directories(dir / "scripts/addons");
  std::filesystem::create_directories(dir / "tmp");
  std::filesystem::copy(std::string(QX_SOURCE_DIR) + "/blender/qxconvert", dir / "scripts/addons/qxconvert",
                        std::filesystem::copy_options::recursive);
  ProcessOptions window;
  const std::string scripts = dir / "scripts", temp = dir / "tmp", home = dir.path();
  window.beforeExec = [scripts, temp, home] {
    setenv("BLENDER_USER_SCRIPTS", scripts.c_str(), 1);
    setenv("TMPDIR", temp.c_str(), 1);  // where the add-on's copies of the scene go
    setenv("HOME", home.c_str(), 1);
    setenv("PATH", "/usr/bin:/bin", 1);
  };
  const auto r = testing::RunProcess(
      "/usr/bin/xvfb-run", {"-a", "-s", "-screen 0 1024x768x24", "/usr/bin/blender", "--factory-startup",
                            "-noaudio", "--enable-event-simulate", "--python",
                            std::string(QX_SOURCE_DIR) + "/testing/blender_addon_window.py", "--", dir.path(),
                            QXCONVERT_EXE}, window);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("qx-window-check: all held"), std::string::npos) << r.out << r.err;
}

// Assimp reads the .blend files of Blender 2.5x-2.7x (and some later ones) itself, so
// those convert exactly as they did before Blender was used at all: every one of
// Assimp's own BLEND test files that its importer reads, as a model and as an
// animation, gives the bytes of a direct import through the scene module, and the
// Blender that QX_BLENDER names (a stand-in that fails, naming what it was given: it
// may write nowhere to note it) is never started for them. It is started for the file
// Assimp refuses, and for every file once -blender= names it.
TEST(BlendSources, FilesAssimpReadsConvertAsBeforeWithoutBlender) {
  const std::string models = "/usr/share/assimp/models/BLEND";
  if (!std::filesystem::is_directory(models)) GTEST_SKIP() << "needs Assimp's test models (assimp-testmodels)";
  std::string error;
  const auto import = reinterpret_cast<ImportSceneEntry>(platform::LoadModuleSymbol(
      (std::filesystem::path(QXCONVERT_EXE).parent_path() / QX_SCENE_MODULE_NAME).string(), kImportSceneSymbol,
      &error));
  ASSERT_NE(import, nullptr) << error;
  TempDir dir;
  const std::string blender = dir / "blender";
  WriteFile(blender, "#!/bin/sh\necho \"Error: the stand-in Blender, given $* \"\nexit 1\n");
  std::filesystem::permissions(blender, std::filesystem::perms::owner_all);
  ProcessOptions blenderNamed;
  blenderNamed.beforeExec = [blender] { setenv("QX_BLENDER", blender.c_str(), 1); };
  // Without Landlock (an emulator may lack it) Blender is refused before it starts.
  const bool sandbox = HaveLandlock();
  const std::string refused =
      sandbox ? "Blender (" + blender + ") could not export " : "Cannot sandbox Blender to convert ";
  const std::string standIn = sandbox ? ": Error: the stand-in Blender" : ": ";
  std::vector<std::string> same, toBlender;
  for (const auto& entry : std::filesystem::directory_iterator(models)) {
    const std::string source = entry.path().string(), name = entry.path().filename().string();
    if (entry.path().extension() != ".blend") continue;
    for (const format::AssetKind kind : {format::AssetKind::Model, format::AssetKind::Animation}) {
      // Twice as many imports of the largest files is too slow under emulation.
      if (kind == format::AssetKind::Animation && testing::Emulator() != nullptr) continue;
      const std::string type = kind == format::AssetKind::Model ? "mdl" : "anm";
      Asset direct;
      std::string why;
      bool unreadable = false;
      SceneRequest request;
      request.path = source.c_str();
      request.kind = kind;
      request.payload = &direct.payload;
      request.error = &why;
      request.unreadable = &unreadable;
      const bool imported = import(request);
      const std::string expected = dir / ("expected." + type), output = dir / ("out." + type);
      std::filesystem::remove(output);
      const auto r = RunQXConvert({type, source, output, "-ue"}, blenderNamed);
      if (imported) {
        direct.typeTag = format::TagOf(kind);
        direct.version = format::kVersion;
        direct.loaded = true;
        ASSERT_TRUE(direct.Save(expected, false, AssetKey{})) << direct.errorText;
        ASSERT_EQ(r.exitCode, 0) << name << " " << r.out;
        EXPECT_EQ(ReadFile(output), ReadFile(expected)) << name << " " << type;
        same.push_back(name + " " + type);
      } else if (!unreadable) {
        EXPECT_EQ(r.out, kBanner + why + "\n") << name << " " << type;  // the encoder's refusal, as before
      } else {
        EXPECT_EQ(r.out.rfind(kBanner + refused + source + standIn, 0), 0u) << r.out;
        EXPECT_TRUE(!sandbox || r.out.find(" " + source + " ") != std::string::npos) << r.out;
        if (sandbox) toBlender.push_back(source);
      }
    }
  }
  // 26 of the 27 files read as models; no file holds an animation Assimp reads.
  EXPECT_GE(same.size(), 20u);
  EXPECT_TRUE(!toBlender.empty() || !sandbox);  // BlenderDefault_262.blend
  const std::string readable = models + "/box.blend";
  const auto named = RunQXConvert({"mdl", readable, dir / "named.mdl", "-blender=" + blender});
  EXPECT_EQ(named.out.rfind(kBanner + refused + readable + standIn, 0), 0u) << named.out;
}

// A model's triangles and bounds, read back.
struct Shape {
  std::uint64_t triangles = 0;
  reader::Vec3 min{1e30f, 1e30f, 1e30f}, max{-1e30f, -1e30f, -1e30f};
  float Diagonal() const { return std::hypot(max.x - min.x, max.y - min.y, max.z - min.z); }
};

Shape ShapeOf(const std::string& path) {
  reader::AssetFile model;
  std::string error;
  EXPECT_TRUE(reader::ReadAssetFile(path, &model, &error)) << error;
  Shape shape;
  for (const reader::Mesh& mesh : model.meshes) {
    if (mesh.indicesPerFace == 3) shape.triangles += mesh.faceCount;
    for (const reader::Vec3& p : mesh.positions) {
      shape.min = {std::min(shape.min.x, p.x), std::min(shape.min.y, p.y), std::min(shape.min.z, p.z)};
      shape.max = {std::max(shape.max.x, p.x), std::max(shape.max.y, p.y), std::max(shape.max.z, p.z)};
    }
  }
  return shape;
}

// Files Assimp cannot read go through Blender, which must give what the artist sees
// (modifiers applied, Blender's Z up) and what Assimp gave for the same file saved by
// an older Blender; run from a Python build's virtual environment with the caller's
// Python settings, which must change nothing nor run inside Blender. The report names
// the image file and what the export left out; a failed export names Python's cause.
TEST(BlendSources, NewerFilesThroughBlenderAsTheArtistSeesThem) {
  if (const char* why = BlenderUnavailable()) GTEST_SKIP() << why;
  if (testing::Emulator() != nullptr) GTEST_SKIP() << "a Python build's virtual environment runs natively only";
  TempDir dir;
  // A box from x 0.5 to 1, y -0.5 to 0.5 and z 0 to 4, mirrored across x and
  // subdivided once, with a shape key, an image file, a camera and a light.
  WriteFile(dir / "make.py", R"(import sys, bpy
out, image, human, resaved, keyed = sys.argv[sys.argv.index("--") + 1:]
bpy.ops.wm.read_factory_settings(use_empty=True)
bpy.ops.mesh.primitive_cube_add(size=1)
half = bpy.context.active_object
half.name = half.data.name = "Half"
for v in half.data.vertices:
    v.co = (0.75 + v.co.x * 0.5, v.co.y, 2 + v.co.z * 4)
half.modifiers.new("Mirror", "MIRROR")
smooth = half.modifiers.new("Smooth", "SUBSURF")
smooth.levels = smooth.render_levels = 1
half.shape_key_add(name="Basis")
half.shape_key_add(name="Smile")
picture = bpy.data.images.new("checker", 4, 4)
picture.filepath_raw = image
picture.file_format = "PNG"
picture.save()
material = bpy.data.materials.new("Skin")
material.use_nodes = True
texture = material.node_tree.nodes.new("ShaderNodeTexImage")
texture.image = picture
material.node_tree.links.new(texture.outputs["Color"], material.node_tree.nodes["Principled BSDF"].inputs["Base Color"])
half.data.materials.append(material)
bpy.ops.object.camera_add(location=(0, -10, 2))
bpy.ops.object.light_add(type="POINT", location=(3, -3, 5))
bpy.ops.wm.save_as_mainfile(filepath=out)
# Without modifiers the export keeps a shape key that moves something, as a morph target.
bpy.ops.wm.read_factory_settings(use_empty=True)
bpy.ops.mesh.primitive_cube_add(size=1)
cube = bpy.context.active_object
cube.name = cube.data.name = "Keyed"
cube.shape_key_add(name="Basis")
cube.shape_key_add(name="Raised").data[0].co.z += 1
bpy.ops.wm.save_as_mainfile(filepath=keyed)
if human:
    bpy.ops.wm.open_mainfile(filepath=human)
    bpy.ops.wm.save_as_mainfile(filepath=resaved)
)");
  // HUMAN.blend (Blender 2.49, a half body mirrored and subdivided), re-saved by 3.4.
  const std::string human = "/usr/share/assimp/models/BLEND/HUMAN.blend";
  const bool haveHuman = FileExists(human);
  ASSERT_EQ(testing::RunProcess("/usr/bin/blender",
                                {"-b", "--factory-startup", "-noaudio", "--python-exit-code", "1", "--python",
                                 dir / "make.py", "--", dir / "half.blend", dir / "checker.png",
                                 haveHuman ? human : "", dir / "human.blend", dir / "keyed.blend"})
                .exitCode, 0);

  // The caller: a virtual environment of Debian's Python, activated, with every Python
  // setting pointing at code that would note it ran inside Blender.
  ASSERT_EQ(testing::RunProcess("/usr/bin/python3", {"-m", "venv", "--without-pip", dir / "venv"}).exitCode, 0);
  const std::string marker = dir / "ran-in-blender.txt";
  // (bpy is not importable yet when Python starts inside Blender; its arguments are.)
  const std::string noteIt = "import sys\nif '--factory-startup' in getattr(sys, 'argv', []):\n    open('" +
                             marker + "', 'a').write(__file__ + '\\n')\n";
  std::filesystem::create_directories(dir / "site");
  std::filesystem::create_directories(dir / "user/lib/python3.11/site-packages");
  WriteFile(dir / "site/sitecustomize.py", noteIt);
  WriteFile(dir / "user/lib/python3.11/site-packages/usercustomize.py", noteIt);
  WriteFile(dir / "startup.py", noteIt);
  WriteFile(dir / "build.py", "import os, subprocess, sys\n"
                              "done = subprocess.run(sys.argv[1:], env=dict(os.environ, PYTHONHOME='/nonexistent'))\n"
                              "sys.exit(done.returncode)\n");
  ProcessOptions caller;
  const std::string venv = dir / "venv", site = dir / "site", user = dir / "user", startup = dir / "startup.py";
  caller.beforeExec = [venv, site, user, startup] {
    setenv("VIRTUAL_ENV", venv.c_str(), 1);
    setenv("PATH", (venv + "/bin:" + getenv("PATH")).c_str(), 1);
    setenv("PYTHONPATH", site.c_str(), 1);
    setenv("PYTHONUSERBASE", user.c_str(), 1);
    setenv("PYTHONSTARTUP", startup.c_str(), 1);
  };
  const auto fromPython = [&](const std::vector<std::string>& args) {
    std::vector<std::string> command = {dir / "build.py", QXCONVERT_EXE};
    command.insert(command.end(), args.begin(), args.end());
    return testing::RunProcess(venv + "/bin/python3", command, caller);
  };

  auto r = fromPython({"mdl", dir / "half.blend", dir / "half.mdl", "-ue", "-report=" + dir / "half.json"});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  const Shape half = ShapeOf(dir / "half.mdl");
  EXPECT_EQ(half.triangles, 96u);  // 6 faces, twice, each in 4, each in 2 triangles
  EXPECT_NEAR(half.min.x, -half.max.x, 1e-4);
  EXPECT_GT(half.min.x, -1.0f);
  EXPECT_GT(half.max.z - half.min.z, 3 * (half.max.y - half.min.y));  // still standing on z
  EXPECT_GE(half.min.z, -1e-4f);
  report::Report report;
  std::string error;
  ASSERT_TRUE(report::FromJson(ReadFile(dir / "half.json"), &report, &error)) << error;
  ASSERT_EQ(report.scene.meshes.size(), 1u);
  EXPECT_EQ(report.scene.meshes[0].textures, std::vector<std::string>{"//checker.png"});
  std::map<std::string, std::vector<std::string>> found;
  for (const report::Finding& f : report.scene.notCarried) found[f.kind] = f.concerns;
  EXPECT_EQ(found["morph-targets"], std::vector<std::string>{"mesh \"Half\" key \"Smile\""});
  EXPECT_EQ(found["cameras"], std::vector<std::string>{"\"Camera\""});
  EXPECT_EQ(found["lights"], std::vector<std::string>{"\"Point\""});
  EXPECT_EQ(found.count("textures"), 0u);
  // The export's morph target is the .blend's shape key, found once.
  ASSERT_EQ(RunQXConvert({"mdl", dir / "keyed.blend", dir / "keyed.mdl", "-report=" + dir / "keyed.json"}).exitCode, 0);
  ASSERT_TRUE(report::FromJson(ReadFile(dir / "keyed.json"), &report, &error)) << error;
  std::vector<std::vector<std::string>> keyed;
  for (const report::Finding& f : report.scene.notCarried) {
    if (f.kind == "morph-targets") keyed.push_back(f.concerns);
  }
  EXPECT_EQ(keyed, std::vector<std::vector<std::string>>{{"mesh \"Keyed\" key \"Raised\""}});

  if (haveHuman) {
    ASSERT_EQ(RunQXConvert({"mdl", human, dir / "human-assimp.mdl", "-ue"}).exitCode, 0);
    r = fromPython({"mdl", dir / "human.blend", dir / "human-blender.mdl", "-ue"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    const Shape assimp = ShapeOf(dir / "human-assimp.mdl"), blender = ShapeOf(dir / "human-blender.mdl");
    EXPECT_EQ(blender.triangles, assimp.triangles);
    const float within = 0.01f * assimp.Diagonal();
    EXPECT_NEAR(blender.min.x, assimp.min.x, within);
    EXPECT_NEAR(blender.min.y, assimp.min.y, within);
    EXPECT_NEAR(blender.min.z, assimp.min.z, within);
    EXPECT_NEAR(blender.max.x, assimp.max.x, within);
    EXPECT_NEAR(blender.max.y, assimp.max.y, within);
    EXPECT_NEAR(blender.max.z, assimp.max.z, within);
  }
  EXPECT_FALSE(FileExists(marker)) << ReadFile(marker);

  // A Blender that does take its Python from the virtual environment loses Debian's
  // numpy, which its glTF exporter needs: the outcome gives Python's own words.
  const std::string wrapper = dir / "venv-blender";
  WriteFile(wrapper, "#!/bin/sh\nPATH='" + venv + "/bin':$PATH exec /usr/bin/blender \"$@\"\n");
  std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
  r = RunQXConvert({"mdl", dir / "half.blend", dir / "failed.mdl", "-blender=" + wrapper});
  EXPECT_EQ(r.out, kBanner + "Blender (" + wrapper + ") could not export " + dir / "half.blend" +
                       ": ModuleNotFoundError: No module named 'numpy'\n");
}


}  // namespace
}  // namespace qx
