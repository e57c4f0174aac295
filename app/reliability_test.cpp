// Fault injection through the built executable: a run that reports success has
// written a complete file, and a failed run leaves the earlier output as it was.
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
#include "testing/cursor.h"
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

unsigned Mode(const std::string& path) {
  struct stat info;
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

ProcessOptions FileSizeLimit(rlim_t bytes) {
  ProcessOptions options;
  options.beforeExec = [bytes] {
    // As a shell's `ulimit -f` leaves it: the tool itself must turn the signal into an
    // error with an outcome line.
    signal(SIGXFSZ, SIG_DFL);
    const rlimit limit = {bytes, bytes};
    setrlimit(RLIMIT_FSIZE, &limit);
  };
  return options;
}


TEST(FailedWrites, FileSizeLimitFailsTheRunAndKeepsThePreviousOutput) {
  TempDir dir;
  WriteFile(dir / "big.png", std::string(20000, 'p'));
  WriteFile(dir / "out.img", "previous asset");
  const auto r = RunQXConvert({"tex", dir / "big.png", dir / "out.img"}, FileSizeLimit(4096));
  EXPECT_EQ(r.out, kBanner + "Failed to write file with errno 27\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(ReadFile(dir / "out.img"), "previous asset");
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"big.png", "out.img"}));
}

TEST(FailedWrites, FailedSaveOverItsOwnInputKeepsTheSource) {
  TempDir dir;
  const std::string source(20000, 's');
  WriteFile(dir / "theme.ogg", source);
  const auto r =
      RunQXConvert({"mus", dir / "theme.ogg", dir / "theme.ogg", "-ue"}, FileSizeLimit(8192));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(ReadFile(dir / "theme.ogg"), source);
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"theme.ogg"}));

  // Without the limit the same run replaces the source with the asset.
  const auto ok = RunQXConvert({"mus", dir / "theme.ogg", dir / "theme.ogg", "-ue"});
  EXPECT_EQ(ok.exitCode, 0);
  EXPECT_EQ(ReadFile(dir / "theme.ogg").size(), 7 + 16 + source.size());
}

TEST(FailedWrites, FullDeviceIsReportedAndNeverCalledWritten) {
  TempDir dir;
  WriteFile(dir / "a.png", "pixels");
  const auto r = RunQXConvert({"tex", dir / "a.png", "/dev/full"});
  EXPECT_EQ(r.out, kBanner + "Failed to write file with errno 28\n");
  EXPECT_EQ(r.exitCode, 1);
}

TEST(FailedWrites, MissingOrReadOnlyDirectoriesFailAtOpen) {
  TempDir dir;
  WriteFile(dir / "a.png", "pixels");
  const auto missing = RunQXConvert({"tex", dir / "a.png", dir / "none/out.img"});
  EXPECT_EQ(missing.out, kBanner + "Failed to open file with errno 2\n");
  EXPECT_EQ(missing.exitCode, 1);

  // Root may write anywhere; run the child as an ordinary user to see the refusal.
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir / "a.png").c_str(), 0644), 0);
  std::filesystem::create_directory(dir / "locked");
  WriteFile(dir / "locked/out.img", "previous");
  WriteFile(dir / "readonly.img", "previous");
  ASSERT_EQ(chmod((dir / "readonly.img").c_str(), 0444), 0);
  ASSERT_EQ(chmod((dir / "locked").c_str(), 0555), 0);
  // The parent directory stays open to all, so only the locks below can refuse.
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  std::string exe;
  const ProcessOptions unprivileged = Unprivileged(dir.path(), &exe);
  const auto locked =
      testing::RunProcess(exe, {"tex", dir / "a.png", dir / "locked/out.img"}, unprivileged);
  EXPECT_EQ(locked.out, kBanner + "Failed to open file with errno 13\n");
  EXPECT_EQ(locked.exitCode, 1);
  EXPECT_EQ(ReadFile(dir / "locked/out.img"), "previous");

  const auto readonly =
      testing::RunProcess(exe, {"tex", dir / "a.png", dir / "readonly.img"}, unprivileged);
  EXPECT_EQ(readonly.out, kBanner + "Failed to open file with errno 13\n");
  EXPECT_EQ(readonly.exitCode, 1);
  EXPECT_EQ(ReadFile(dir / "readonly.img"), "previous");
}

// A link is followed where the kernel follows it for this user, as for cp: one's own
// links are written through, a link to nothing is not, and with fs.protected_symlinks
// on, root does not follow another user's link in a sticky folder to a file of root's.
TEST(OutputPaths, SymlinksAreFollowedOnlyWhereTheKernelWould) {
  TempDir dir;
  WriteFile(dir / "a.png", "pixels");
  std::filesystem::create_directory(dir / "real");
  WriteFile(dir / "real/out.img", "old");
  std::filesystem::create_symlink("real/out.img", dir / "link.img");
  std::filesystem::create_symlink("real/new.img", dir / "dangling.img");
  ASSERT_EQ(RunQXConvert({"tex", dir / "a.png", dir / "link.img", "-ue"}).exitCode, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.img"));
  EXPECT_EQ(ReadFile(dir / "real/out.img"), testing::Header("QTEX") + "pixels");
  const auto dangling = RunQXConvert({"tex", dir / "a.png", dir / "dangling.img", "-ue"});
  EXPECT_EQ(dangling.out, kBanner + "Failed to open file with errno 2\n");
  EXPECT_FALSE(FileExists(dir / "real/new.img"));

  if (geteuid() != 0) GTEST_SKIP() << "the protected link needs root and user nobody";
  std::ifstream setting("/proc/sys/fs/protected_symlinks");
  std::string saved;
  if (!(setting >> saved)) GTEST_SKIP() << "no fs.protected_symlinks here";
  const auto setProtection = [](const std::string& value) {
    std::ofstream("/proc/sys/fs/protected_symlinks") << value;
  };
  setProtection("1");
  std::filesystem::create_directory(dir / "shared");
  ASSERT_EQ(chmod((dir / "shared").c_str(), 01777), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  WriteFile(dir / "secret", "root only");
  ASSERT_EQ(chmod((dir / "secret").c_str(), 0600), 0);
  ProcessOptions asNobody;
  asNobody.beforeExec = [] {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
  };
  const std::string link = dir / "shared/link";
  ASSERT_EQ(testing::RunProcess("/bin/ln", {"-s", dir / "secret", link}, asNobody).exitCode, 0);
  WriteFile(dir / "a.img", testing::Header("QTEX") + "pixels");
  const auto cp = testing::RunProcess("/bin/cp", {dir / "a.png", link});
  const auto output = RunQXConvert({"tex", dir / "a.png", link});
  const auto depfile = RunQXConvert({"tex", dir / "a.png", dir / "b.img", "-depfile=" + link});
  const auto extract = testing::RunQXInspect({dir / "a.img", "--extract", link});
  setProtection(saved);
  EXPECT_NE(cp.exitCode, 0);
  EXPECT_EQ(output.out, kBanner + "Failed to open file with errno 13\n");
  EXPECT_EQ(depfile.out, kBanner + "Depfile " + link +
                             " could not be written: Failed to open file with errno 13 "
                             "(Permission denied)\n");
  EXPECT_NE(extract.exitCode, 0);
  EXPECT_NE(extract.err.find("errno 13"), std::string::npos) << extract.err;
  EXPECT_EQ(ReadFile(dir / "secret"), "root only");
}

TEST(OutputPaths, PermissionsAreKeptOrFollowTheUmask) {
  TempDir dir;
  WriteFile(dir / "a.png", "pixels");
  WriteFile(dir / "existing.img", "old");
  ASSERT_EQ(chmod((dir / "existing.img").c_str(), 0640), 0);
  ASSERT_EQ(RunQXConvert({"tex", dir / "a.png", dir / "existing.img"}).exitCode, 0);
  EXPECT_EQ(Mode(dir / "existing.img"), 0640u);

  for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    ProcessOptions withMask;
    withMask.beforeExec = [mask] { umask(mask); };
    const std::string out = dir / ("new" + std::to_string(mask) + ".img");
    ASSERT_EQ(RunQXConvert({"tex", dir / "a.png", out}, withMask).exitCode, 0);
    EXPECT_EQ(Mode(out), 0666u & ~mask) << "umask " << mask;
  }
}

TEST(OutputPaths, DevicesAndPipesAreWrittenInPlace) {
  TempDir dir;
  WriteFile(dir / "a.png", "pixels");
  const auto toNull = RunQXConvert({"tex", dir / "a.png", "/dev/null"});
  EXPECT_EQ(toNull.out, kBanner + "Wrote encrypted /dev/null\n");
  EXPECT_EQ(toNull.exitCode, 0);
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));

  const std::string fifo = dir / "pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] {
    std::ifstream in(fifo, std::ios::binary);
    received.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  const auto toFifo = RunQXConvert({"tex", dir / "a.png", fifo, "-ue"});
  reader.join();
  EXPECT_EQ(toFifo.exitCode, 0);
  EXPECT_EQ(received, testing::Header("QTEX") + "pixels");
}

TEST(OutputPaths, UnusualNamesWorkAsTyped) {
  TempDir dir;
  ProcessOptions inDir;
  inDir.workingDirectory = dir.path();
  for (const std::string name :
       {"with space.png", "gr\xC3\xA4s \xE2\x9C\x93.png", "-ue.png", "--pause"}) {
    WriteFile(dir / name, "px");
    const std::string out = "-" + name + ".img";
    const auto r = RunQXConvert({"tex", name, out, "-ue"}, inDir);
    EXPECT_EQ(r.out, kBanner + "Wrote " + out + "\n") << name;
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ReadFile(dir / out), testing::Header("QTEX") + "px");
  }
}

// Whatever bytes arrive as a model or animation, the run ends with one outcome line.
TEST(BadSceneInputs, EndWithOneLineAndExitCodeOne) {
  TempDir dir;
  std::mt19937 random(1234);
  std::string noise(4096, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  const std::string gltf =
      R"({"asset":{"version":"2.0"},"meshes":[{"primitives":[{"attributes":{"POSITION":7}}]}]})";
  const struct {
    std::string name, bytes;
  } inputs[] = {
      {"empty.fbx", ""},
      {"empty.obj", ""},
      {"noise.fbx", noise},
      {"noise.glb", "glTF" + noise},
      {"noise.dae", noise},
      {"noise.bvh", "HIERARCHY\n" + noise},
      {"truncated.obj", "v 0 0 0\nv 1 0 0\nf 1 2 3"},
      {"truncated.bvh", "HIERARCHY\nROOT Hips\n{\n OFFSET 0 0 0\n CHANNELS 3"},
      {"dangling.gltf", gltf},
      {"truncated.gltf", gltf.substr(0, 40)},
      {"kaydara.fbx", std::string("Kaydara FBX Binary  \0\x1a\0", 23) + noise.substr(0, 64)},
      // A face of no indices trips an assertion inside Assimp's triangulation.
      {"zeroface.ply",
       "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
       "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
       "0 0 0\n1 0 0\n0 1 0\n0\n"},
  };
  for (const auto& input : inputs) {
    WriteFile(dir / input.name, input.bytes);
    for (const char* type : {"mdl", "anm"}) {
      const auto r = RunQXConvert({type, dir / input.name, dir / "out"});
      EXPECT_EQ(r.signal, 0) << type << " " << input.name;
      EXPECT_EQ(r.exitCode, 1) << type << " " << input.name << ": " << r.out;
      ASSERT_GE(r.out.size(), kBanner.size());
      const std::string outcome = r.out.substr(kBanner.size());
      EXPECT_EQ(std::count(outcome.begin(), outcome.end(), '\n'), 1)
          << input.name << ": " << outcome;
      EXPECT_FALSE(FileExists(dir / "out")) << input.name;
    }
  }
}

// Outputs a plain overwrite would accept: an existing file this user may write, where
// no temporary file can be made beside it, or where the rename is refused.
TEST(OutputPaths, WritableOutputsInLockedOrStickyDirectoriesAreWrittenInPlace) {
  TempDir dir;
  WriteFile(dir / "a.png", "pixels");
  ASSERT_EQ(chmod((dir / "a.png").c_str(), 0644), 0);
  std::filesystem::create_directory(dir / "locked");
  std::filesystem::create_directory(dir / "sticky");
  WriteFile(dir / "locked/out.img", "previous");
  WriteFile(dir / "sticky/out.img", "previous");
  for (const char* file : {"locked/out.img", "sticky/out.img"}) {
    ASSERT_EQ(chmod((dir / file).c_str(), 0666), 0);
  }
  ASSERT_EQ(chmod((dir / "locked").c_str(), 0555), 0);
  ASSERT_EQ(chmod((dir / "sticky").c_str(), 01777), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  std::string exe;
  const ProcessOptions unprivileged = Unprivileged(dir.path(), &exe);
  for (const char* file : {"locked/out.img", "sticky/out.img"}) {
    const auto r = testing::RunProcess(exe, {"tex", dir / "a.png", dir / file, "-ue"}, unprivileged);
    EXPECT_EQ(r.out, kBanner + "Wrote " + dir / file + "\n") << file;
    EXPECT_EQ(ReadFile(dir / file), testing::Header("QTEX") + "pixels") << file;
  }
  EXPECT_EQ(Listing(dir.path()).count("sticky"), 1u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "sticky"), {}), 1);
}

// Sources the file system reports no size for, and outputs that only the kernel can
// follow, are converted like any other file.
TEST(OutputPaths, ProcFilesAndStandardOutputPipesWork) {
  TempDir dir;
  const auto proc = RunQXConvert({"tex", "/proc/self/status", dir / "status.img", "-ue"});
  EXPECT_EQ(proc.exitCode, 0) << proc.out;
  EXPECT_NE(ReadFile(dir / "status.img").find("Name:"), std::string::npos);

  WriteFile(dir / "a.png", "pixels");
  const auto piped = testing::RunProcess(
      "/bin/sh", {"-c", testing::ToolInShell(QXCONVERT_EXE) + " tex " + dir / "a.png" +
                            " /dev/stdout -ue | wc -c"});
  // The asset, the banner and the outcome line all went down the pipe.
  EXPECT_EQ(std::stoi(piped.out), 13 + 16 + 18);

  // A source with no size to check up front is bounded as it streams: 2 GiB and one
  // byte through a pipe stop at the format's limit.
  const auto endless = testing::RunProcess(
      "/bin/sh", {"-c", "head -c 2147483649 /dev/zero | " + testing::ToolInShell(QXCONVERT_EXE) +
                            " tex /dev/stdin /dev/null -ue"});
  EXPECT_EQ(endless.out, kBanner + "File is 2 GiB or larger, bytes 2147483648\n");
  EXPECT_EQ(endless.exitCode, 1);
}

// Ctrl-C in a build interrupts every job: the temporary file goes, the previous output
// stays, and the exit status names the signal.
TEST(Interrupts, RemoveTheTemporaryFileAndEndWithTheSignal) {
  TempDir dir;
  const std::string fifo = dir / "source.png";
  WriteFile(dir / "out.img", "previous");
  const std::pair<const char*, int> signals[] = {{"INT", SIGINT}, {"TERM", SIGTERM}, {"HUP", SIGHUP}};
  for (const auto& [name, signal] : signals) {
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The source stays open and half written, so the conversion waits inside its write.
    const std::string script =
        "cd " + dir.path() + " || exit; (printf pix; exec sleep 10) > source.png 2> /dev/null & " +
        "writer=$!; " + testing::ToolInShell(QXCONVERT_EXE) + " tex source.png out.img > /dev/null & pid=$!; " +
        "n=0; while ! ls -a | grep -q qx- && [ $n -lt 200 ]; do sleep 0.05; n=$((n+1)); done; " +
        "kill -" + name + " $pid; wait $pid; echo $?; kill $writer";
    // A signal ignored when the shell starts stays ignored for the converter (nohup
    // ignores SIGHUP): each is set to its default first, as in a terminal.
    ProcessOptions defaults;
    defaults.beforeExec = [] {
      for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
    };
    const auto r = testing::RunProcess("/bin/sh", {"-c", script}, defaults);
    EXPECT_EQ(r.out, std::to_string(128 + signal) + "\n") << name << r.err;
    EXPECT_EQ(ReadFile(dir / "out.img"), "previous") << name;
    std::filesystem::remove(fifo);
    EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"out.img"})) << name;
  }
}

// Where no rename can replace a writable output (a read-only folder, a single file
// bind-mounted over it), the new content is staged whole first: a refused conversion
// leaves the output as it was.
TEST(OutputPaths, UnrenamableOutputsAreTouchedOnlyOnceTheNewContentIsWhole) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as user nobody and to bind-mount";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  std::filesystem::create_directory(dir / "ro");
  std::filesystem::create_directory(dir / "tmp");
  // Over the copy's 1 MiB slice, so that the copy over the output takes two.
  std::string source(std::size_t{3} << 19, 's');
  for (std::size_t i = 0; i < source.size(); i += 4099) source[i] = static_cast<char>(i / 4099);
  WriteFile(dir / "ro/f.img", source);
  WriteFile(dir / "ro/out.img", "previous");
  WriteFile(dir / "unreadable.png", "px");
  WriteFile(dir / "a.abcdefghijklmnopqrstuvwxy", "long extension");
  testing::MakeSparseFile(dir / "huge.png", std::int64_t{3} << 30);
  for (const char* file : {"ro/f.img", "ro/out.img", "huge.png", "a.abcdefghijklmnopqrstuvwxy"}) {
    ASSERT_EQ(chmod((dir / file).c_str(), 0666), 0);
  }
  ASSERT_EQ(chmod((dir / "unreadable.png").c_str(), 0), 0);
  ASSERT_EQ(chmod((dir / "ro").c_str(), 0555), 0);
  ASSERT_EQ(chmod((dir / "tmp").c_str(), 0777), 0);
  std::string exe;
  ProcessOptions options = Unprivileged(dir.path(), &exe);
  const std::string staging = dir / "tmp";
  options.beforeExec = [staging, asNobody = options.beforeExec] {
    setenv("TMPDIR", staging.c_str(), 1);
    asNobody();
  };
  const auto staged = testing::RunProcess(exe, {"tex", dir / "ro/f.img", dir / "ro/out.img", "-ue"}, options);
  EXPECT_EQ(staged.exitCode, 0) << staged.out;
  EXPECT_TRUE(ReadFile(dir / "ro/out.img") == testing::Header("QTEX") + source);
  WriteFile(dir / "ro/out.img", "previous");

  const std::vector<std::vector<std::string>> refused = {
      {"tex", dir.path()}, {"tex", dir / "unreadable.png"}, {"tex", dir / "huge.png"},
      {"mus", dir / "a.abcdefghijklmnopqrstuvwxy"}};
  for (auto args : refused) {
    args.push_back(dir / "ro/out.img");
    const auto r = testing::RunProcess(exe, args, options);
    EXPECT_EQ(r.exitCode, 1) << args[1] << ": " << r.out;
    EXPECT_EQ(ReadFile(dir / "ro/out.img"), "previous") << args[1];
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "tmp"), {}), 0);

  // A file bind-mounted on its own cannot be renamed over (EBUSY); cp writes into it.
  WriteFile(dir / "mounted.img", "previous");
  WriteFile(dir / "a.png", "pixels");
  if (testing::RunProcess("/bin/mount", {"--bind", dir / "ro/out.img", dir / "mounted.img"})
          .exitCode != 0) {
    GTEST_SKIP() << "bind mounts are not allowed here";
  }
  const auto mounted = RunQXConvert({"tex", dir / "a.png", dir / "mounted.img", "-ue"});
  testing::RunProcess("/bin/umount", {dir / "mounted.img"});
  EXPECT_EQ(mounted.exitCode, 0) << mounted.out;
  EXPECT_EQ(ReadFile(dir / "ro/out.img"), testing::Header("QTEX") + "pixels");
}

// Writing in place changes the file itself, not a name: where no rename is possible, an
// output that is a file the run read (the input under its own name, a hard link of the
// OBJ's material file, the OBJ bind-mounted on the output) is refused as cp refuses it,
// before anything is written or right before the copy, and the source keeps its bytes.
TEST(OutputPaths, NoFileTheRunReadIsOverwrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as user nobody and to bind-mount";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  for (const char* folder : {"ro", "tmp"}) std::filesystem::create_directory(dir / folder);
  const std::string obj = "mtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl red\nf 1 2 3\n";
  const std::string mtl = "newmtl red\nKd 1 0 0\n";
  WriteFile(dir / "ro/m.obj", obj);
  WriteFile(dir / "ro/m.mtl", mtl);
  WriteFile(dir / "ro/a.png", "pixels");
  for (const char* file : {"ro/m.obj", "ro/m.mtl", "ro/a.png"}) {
    ASSERT_EQ(chmod((dir / file).c_str(), 0666), 0);
  }
  std::filesystem::create_hard_link(dir / "ro/m.mtl", dir / "ro/out.mdl");
  ASSERT_EQ(chmod((dir / "ro").c_str(), 0555), 0);
  ASSERT_EQ(chmod((dir / "tmp").c_str(), 0777), 0);
  std::string exe;
  ProcessOptions options = Unprivileged(dir.path(), &exe);
  const std::string staging = dir / "tmp";
  options.beforeExec = [staging, asNobody = options.beforeExec] {
    setenv("TMPDIR", staging.c_str(), 1);
    asNobody();
  };
  const std::string same = ": they are the same file, and no rename can replace it\n";
  const auto self = testing::RunProcess(exe, {"tex", dir / "ro/a.png", dir / "ro/a.png"}, options);
  EXPECT_EQ(self.out, kBanner + "Output " + dir / "ro/a.png" + " would overwrite the input " +
                          dir / "ro/a.png" + same);
  EXPECT_EQ(self.exitCode, 1);
  const auto linked = testing::RunProcess(exe, {"mdl", dir / "ro/m.obj", dir / "ro/out.mdl"}, options);
  EXPECT_EQ(linked.out, kBanner + "Output " + dir / "ro/out.mdl" + " would overwrite " +
                            dir / "ro/m.mtl" + ", which the conversion reads" + same);
  EXPECT_EQ(linked.exitCode, 1);

  // A file bind-mounted on the output: the rename fails (EBUSY), the copy is refused.
  ASSERT_EQ(chmod((dir / "ro").c_str(), 0755), 0);
  WriteFile(dir / "mounted.mdl", "previous");
  if (testing::RunProcess("/usr/bin/unshare", {"-m", "true"}).exitCode != 0) {
    GTEST_SKIP() << "mount namespaces are not allowed here";
  }
  const auto mounted = testing::RunProcess(
      "/usr/bin/unshare",
      {"-m", "sh", "-c",
       "mount --bind \"$1\" \"$2\" && exec " + testing::ToolInShell(QXCONVERT_EXE) + " mdl \"$1\" \"$2\"",
       "sh", dir / "ro/m.obj", dir / "mounted.mdl"});
  EXPECT_EQ(mounted.out, kBanner + "Output " + dir / "mounted.mdl" + " would overwrite the input " +
                             dir / "ro/m.obj" + same);
  EXPECT_EQ(mounted.exitCode, 1);

  EXPECT_EQ(ReadFile(dir / "ro/m.obj"), obj);
  EXPECT_EQ(ReadFile(dir / "ro/m.mtl"), mtl);
  EXPECT_EQ(ReadFile(dir / "ro/a.png"), "pixels");
  EXPECT_EQ(ReadFile(dir / "mounted.mdl"), "previous");
  for (const std::string& name : Listing(dir.path())) EXPECT_EQ(name.find(".qx-"), std::string::npos) << name;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "tmp"), {}), 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "ro"), {}), 4);
}

// The conversion both fault-injection tests trace: dir/a.png into out with a report,
// beside it with a depfile too, or as user nobody into a read-only folder, where the
// run stages in dir/tmp and copies over the asset and the report.
struct TracedCase {
  std::string out, depfile, report, user;
};

std::vector<TracedCase> PrepareTracedCases(const TempDir& dir, const std::string& source) {
  EXPECT_EQ(chmod(dir.path().c_str(), 0777), 0);
  WriteFile(dir / "a.png", source);
  EXPECT_EQ(chmod((dir / "a.png").c_str(), 0644), 0);
  std::filesystem::create_directory(dir / "ro");
  std::filesystem::create_directory(dir / "tmp");
  EXPECT_EQ(chmod((dir / "tmp").c_str(), 0777), 0);
  std::vector<TracedCase> cases = {{dir / "out.img", dir / "out.d", dir / "out.img.json", ""}};
  if (geteuid() == 0) cases.push_back({dir / "ro/out.img", "", dir / "ro/out.img.json", "nobody"});
  return cases;
}

// The time the previous output had, long ago: a cut output must keep it.
constexpr time_t kPreviousTime = 1000000000;

time_t Modified(const std::string& path) {
  struct stat info;
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mtime;
}

// Puts the previous output (and an old depfile and report) back, then converts under strace.
testing::ProcessResult RunTraced(const TempDir& dir, const TracedCase& c,
                                 const std::string& previous, const std::string& trace) {
  WriteFile(c.out, previous);
  EXPECT_EQ(chmod(c.out.c_str(), 0666), 0);
  WriteFile(c.report, "old report");
  EXPECT_EQ(chmod(c.report.c_str(), 0666), 0);
  const timeval times[2] = {{kPreviousTime, 0}, {kPreviousTime, 0}};
  EXPECT_EQ(utimes(c.out.c_str(), times), 0);
  if (!c.user.empty()) {
    // The user's own files in a folder they may not write: only an owner (or root) may
    // put a file's times back.
    for (const std::string& file : {c.out, c.report}) EXPECT_EQ(chown(file.c_str(), 65534, 65534), 0);
  }
  EXPECT_EQ(chmod((dir / "ro").c_str(), 0555), 0);
  if (!c.depfile.empty()) WriteFile(c.depfile, "old depfile");
  std::vector<std::string> args = {"-f", "-qq", "-o", dir / "calls", "-e", trace};
  if (!c.user.empty()) args.insert(args.end(), {"-u", c.user});
  // LeakSanitizer cannot run under a tracer; the sanitized build still checks the rest.
  args.insert(args.end(), {"env", "TMPDIR=" + dir / "tmp", "ASAN_OPTIONS=detect_leaks=0",
                           QXCONVERT_EXE, "tex", dir / "a.png", c.out, "-ue", "-report=" + c.report});
  if (!c.depfile.empty()) args.push_back("-depfile=" + c.depfile);
  return testing::RunProcess("/usr/bin/strace", args);
}

// The calls of the last traced run as "name:when=N" (the Nth call of that name), for
// strace to inject at; with filesOnly, only calls on the run's own files (by a name
// under dir, or by descriptor) from its first look at one of them.
std::vector<std::string> TracedCalls(const TempDir& dir, bool filesOnly) {
  std::vector<std::string> calls;
  std::map<std::string, int> seen;
  std::set<char> pipes;
  std::istringstream lines(ReadFile(dir / "calls"));
  bool started = !filesOnly;
  for (std::string line; std::getline(lines, line);) {
    // "PID  name(args": a process id, spaces, the call's name, its arguments.
    std::size_t at = 0;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
    const std::size_t spaces = at;
    while (at < line.size() && line[at] == ' ') ++at;
    const std::size_t nameStart = at;
    while (at < line.size() && (std::isalnum(static_cast<unsigned char>(line[at])) || line[at] == '_')) ++at;
    if (spaces == 0 || at == spaces || at == nameStart || at >= line.size() || line[at] != '(') continue;
    const std::string name = line.substr(nameStart, at - nameStart), args = line.substr(at + 1);
    const std::string when = name + ":when=" + std::to_string(++seen[name]);
    if (name == "execve") continue;  // strace's own start of the program
    const bool named = args.find(dir.path()) != std::string::npos;
    started = started || named;
    // A sanitized build probes its own memory through a pipe; those calls are not the run's.
    if (name == "pipe2" && args.size() >= 6) pipes = {args[1], args[4]};
    const bool byDescriptor = args.size() >= 2 && args[0] >= '3' && args[0] <= '9' &&
                              args[1] == ',' && pipes.count(args[0]) == 0;
    if (name == "close" && !args.empty() && pipes.erase(args[0]) != 0) continue;
    if (started && (!filesOnly || named || byDescriptor)) {
      calls.push_back(when);
    }
  }
  return calls;
}

// Where the run said it kept the complete new content of each output, read and
// removed: that content by the output's path.
std::map<std::string, std::string> TakeKept(const std::string& err) {
  std::map<std::string, std::string> kept;
  const std::string marker = "; its complete new content is kept in ";
  std::istringstream lines(err);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t notice = line.find(marker);
    const std::size_t named = line.find("overwriting ");
    if (notice == std::string::npos || named == std::string::npos) continue;
    std::string output = line.substr(named + 12, notice - named - 12);
    if (output.size() > 9 && output.compare(output.size() - 9, 9, " in place") == 0) {
      output.resize(output.size() - 9);
    }
    const std::string path = line.substr(notice + marker.size());
    kept[output] = ReadFile(path);
    std::filesystem::remove(path);
  }
  return kept;
}

// No temporary file is left but one the run named because the system refused to remove it.
void ExpectNoTemporaryLeft(const TempDir& dir, const std::string& err, const std::string& at) {
  for (const auto& place : {dir.path(), dir / "ro", dir / "tmp"}) {
    for (const auto& entry : std::filesystem::directory_iterator(place)) {
      const std::string path = entry.path().string();
      if (path.find(".qx-") == std::string::npos) continue;
      EXPECT_NE(err.find("Could not remove the temporary file " + path), std::string::npos)
          << path << at;
      std::filesystem::remove(path);
    }
  }
}

// A signal may come at any system call of a run. strace lists a run's calls, then
// delivers a signal at each of them in turn: each time, either the old or the new
// asset is whole at the output, or a notice names where the new one is kept and the
// cut output has its old time back; no temporary file is left; a new asset never
// stands beside an old depfile, and no new report describes an asset not written.
TEST(Interrupts, AtAnyMomentTheOldOrTheNewContentSurvivesWhole) {
  if (!FileExists("/usr/bin/strace")) GTEST_SKIP() << "needs strace";
  if (const char* why = testing::Unavailable(testing::Need::kNativeTools)) GTEST_SKIP() << why;
  TempDir dir;
  std::string source(300000, '\0');
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>(i * 7);
  const std::string asset = testing::Header("QTEX") + source;
  const std::string previous(400000, 'o');
  for (const TracedCase& c : PrepareTracedCases(dir, source)) {
    ASSERT_EQ(RunTraced(dir, c, previous, "trace=all").exitCode, 0);
    const std::vector<std::string> calls = TracedCalls(dir, false);
    ASSERT_GT(calls.size(), 50u);
    for (const std::string& call : calls) {
      const std::size_t colon = call.find(':');
      const auto r = RunTraced(dir, c, previous,
                               "inject=" + call.substr(0, colon) + ":signal=TERM" + call.substr(colon));
      const std::string at = c.out + ", signal at " + call + ": " + r.err;
      const std::string output = ReadFile(c.out);
      const std::string kept = TakeKept(r.err)[c.out];
      EXPECT_TRUE(kept.empty() ? output == asset || output == previous : kept == asset) << at;
      if (!c.depfile.empty() && output == asset) {
        EXPECT_NE(ReadFile(c.depfile), "old depfile") << at;
      }
      if (output != asset) {
        EXPECT_EQ(ReadFile(c.report), "old report") << at;
      }
      if (output != asset && output != previous) {
        EXPECT_EQ(Modified(c.out), kPreviousTime) << at;
      }
      ExpectNoTemporaryLeft(dir, r.err, at);
      EXPECT_TRUE(r.exitCode == 0 ? output == asset : r.signal == SIGTERM) << at;
    }
  }
}

// Any file operation may fail. strace makes each file call of a run fail in turn (EIO):
// the run ends with exit 0 and the new asset and report, or with exit 1 and an outcome
// line that says which errno, the old asset whole or the new one kept and named, and
// the old report; no temporary file is left unnamed. As user nobody a read-only folder
// takes staging and copy-over.
TEST(FailedWrites, EveryFailingFileCallIsReportedAndLosesNothing) {
  if (!FileExists("/usr/bin/strace")) GTEST_SKIP() << "needs strace";
  if (const char* why = testing::Unavailable(testing::Need::kNativeTools)) GTEST_SKIP() << why;
  TempDir dir;
  const std::string source(70000, 'p');
  const std::string asset = testing::Header("QTEX") + source;
  for (const TracedCase& c : PrepareTracedCases(dir, source)) {
    ASSERT_EQ(RunTraced(dir, c, "previous", "trace=%file,%desc").exitCode, 0);
    const std::vector<std::string> calls = TracedCalls(dir, true);
    ASSERT_GT(calls.size(), 5u);
    for (const std::string& call : calls) {
      const std::size_t colon = call.find(':');
      const auto r = RunTraced(dir, c, "previous",
                               "inject=" + call.substr(0, colon) + ":error=EIO" + call.substr(colon));
      const std::string output = ReadFile(c.out);
      const std::string at = c.out + ", EIO at " + call + ": " + r.out + r.err;
      if (r.exitCode == 0) {
        EXPECT_EQ(output, asset) << at;
        EXPECT_NE(ReadFile(c.report).find("\"size\": " + std::to_string(asset.size()) + ","),
                  std::string::npos) << at;
      } else {
        // The input that cannot be looked at is the one message of its own.
        EXPECT_EQ(r.exitCode, 1) << at;
        EXPECT_TRUE(r.out.find("errno 5") != std::string::npos ||
                    r.err.find("\" not found.") != std::string::npos) << at;
        // Only the report, committed last, can fail after the asset was committed; a
        // report cut while copied over is kept and named like an asset.
        const bool reportFailed = r.out.find("Report " + c.report) != std::string::npos;
        std::map<std::string, std::string> kept = TakeKept(r.err);
        EXPECT_TRUE(kept[c.out].empty() ? output == "previous" || (reportFailed && output == asset)
                                        : kept[c.out] == asset) << at;
        if (kept[c.report].empty()) {
          EXPECT_EQ(ReadFile(c.report), "old report") << at;
        }
      }
      ExpectNoTemporaryLeft(dir, r.err, at);
    }
  }
}

// A write error ends the run with an outcome line, whatever the system would do by
// default: a depfile on a pipe whose reader left (SIGPIPE) fails with errno 32.
TEST(FailedWrites, ClosedPipeIsAnErrorNotASignal) {
  TempDir dir;
  WriteFile(dir / "big.png", std::string(8 << 20, 'p'));
  WriteFile(dir / "out.img", "previous");
  // The test runner ignores SIGPIPE, and children would inherit that.
  ProcessOptions defaultPipeSignal;
  defaultPipeSignal.beforeExec = [] { signal(SIGPIPE, SIG_DFL); };
  const auto r = testing::RunProcess(
      "/bin/bash", {"-c", testing::ToolInShell(QXCONVERT_EXE) + " tex '" + dir / "big.png" +
                              "' '" + dir / "out.img" + "' -depfile=/dev/stdout 2>&1 | head -c 1 " +
                              "> /dev/null; echo \"${PIPESTATUS[0]}\""},
      defaultPipeSignal);
  EXPECT_EQ(r.out, "1\n") << r.err;
  EXPECT_EQ(ReadFile(dir / "out.img"), "previous");
}

// A crafted file can make the importer crash, overflow its stack, abort, hang or grow
// without end. A stand-in importer does each; every run ends with one outcome line
// naming the input and exit code 1, within its bounds, and writes nothing.
TEST(BadSceneInputs, ImporterCrashesHangsAndGrowthAreContained) {
  TempDir dir;
  const std::string exe = dir / "QXConvert";
  std::filesystem::copy_file(QXCONVERT_EXE, exe);
  std::filesystem::copy_file(QX_MISBEHAVING_IMPORTER, dir / QX_SCENE_MODULE_NAME);
  const std::string crashed = "The importer stopped on an internal error while reading ";
  // Only the hang waits out its time; the rest have room to end their own way on a
  // loaded machine (memory growth under load took over a second to reach its bound).
  struct {
    std::string word, outcome, timeout;
  } cases[] = {
      {"fault", crashed, "-timeout=20"},
      {"overflow", crashed, "-timeout=20"},
      {"abort", crashed, "-timeout=20"},
      {"hang", "The importer did not finish reading " + dir / "hang.fbx" + " within 1 seconds",
       "-timeout=1"},
#if !defined(__SANITIZE_ADDRESS__)
      {"grow", "Out of memory while converting " + dir / "grow.fbx", "-timeout=20"},
#endif
  };
  for (const auto& c : cases) {
    if (c.word == "grow" && testing::Unavailable(testing::Need::kNativeTools)) {
      std::printf("grow case skipped: %s\n", testing::Unavailable(testing::Need::kNativeTools));
      continue;
    }
    const std::string input = dir / (c.word + ".fbx");
    WriteFile(input, c.word);
    const auto started = std::chrono::steady_clock::now();
    const auto r = testing::RunProcess(
        exe, {"mdl", input, dir / "out.mdl", c.timeout, "-memory=256", "-depfile=" + dir / "out.d"});
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string outcome = c.outcome == crashed ? crashed + input : c.outcome;
    EXPECT_EQ(r.out, kBanner + outcome + "\n") << c.word;
    EXPECT_EQ(r.exitCode, 1) << c.word;
    EXPECT_LT(seconds, 30) << c.word;
    EXPECT_EQ(Listing(dir.path()).count("out.mdl") + Listing(dir.path()).count("out.d"), 0u) << c.word;
  }
  const auto bad = testing::RunProcess(exe, {"mdl", dir / "hang.fbx", dir / "out.mdl", "-timeout=0"});
  EXPECT_EQ(bad.out, kBanner + "-timeout= needs a whole number from 1 to " +
                         std::to_string(kMaxImportSeconds) + "\n");
}

// The signal mask, ignored dispositions and pending signals survive exec: a caller may
// leave SIGALRM and the crash signals blocked (with an alarm already pending) and
// SIGALRM and SIGCHLD ignored. The bounds hold all the same, a stray alarm is not
// taken for the timeout, and a program the run starts (a stand-in Blender) is still
// waited for and its words reported.
TEST(BadSceneInputs, BoundsHoldWhateverSignalsTheCallerLeft) {
  if (testing::Emulator() != nullptr) {
    GTEST_SKIP() << "the emulator takes the signal state the caller left; what reaches the "
                    "tool is the emulator's doing";
  }
  TempDir dir;
  const std::string exe = dir / "QXConvert";
  std::filesystem::copy_file(QXCONVERT_EXE, exe);
  std::filesystem::copy_file(QX_MISBEHAVING_IMPORTER, dir / QX_SCENE_MODULE_NAME);
  ProcessOptions careless;
  careless.beforeExec = [] {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int s : {SIGALRM, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaddset(&blocked, s);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGALRM, SIG_IGN);
    raise(SIGALRM);  // stays pending: blocked signals are never discarded
    signal(SIGCHLD, SIG_IGN);
    // Should the timeout fail, the spinning importer is ended here instead of the test
    // waiting for ever.
    const rlimit cpu = {8, 10};
    setrlimit(RLIMIT_CPU, &cpu);
  };
  WriteFile(dir / "blender", "#!/bin/sh\necho 'Error: the stand-in Blender refuses'\nexit 1\n");
  chmod((dir / "blender").c_str(), 0755);
  const std::string crashed = "The importer stopped on an internal error while reading ";
  const std::pair<std::string, std::string> cases[] = {
      {"hang.fbx", "The importer did not finish reading " + dir / "hang.fbx" + " within 1 seconds"},
      {"fault.fbx", crashed + dir / "fault.fbx"},
      {"plain.fbx", "not a scene: plain"},
      {"scene.blend", "Blender (" + dir / "blender" + ") could not export " + dir / "scene.blend" +
                          ": Error: the stand-in Blender refuses"},
  };
  for (const auto& [name, outcome] : cases) {
    WriteFile(dir / name, name.substr(0, name.find('.')));
    const auto r = testing::RunProcess(
        exe, {"mdl", dir / name, dir / "out.mdl", "-timeout=1", "-blender=" + dir / "blender"}, careless);
    EXPECT_EQ(r.out, kBanner + outcome + "\n") << name << r.err;
    EXPECT_EQ(r.exitCode, 1) << name;
    EXPECT_FALSE(FileExists(dir / "out.mdl")) << name;
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// Out of memory ends with one line and exit code 1, not an uncaught exception.
TEST(OutOfMemory, EndsWithOneLineAndWritesNothing) {
  if (const char* why = testing::Unavailable(testing::Need::kNativeTools)) GTEST_SKIP() << why;
  TempDir dir;
  std::string obj;
  for (int i = 0; i < 200000; ++i) obj += "v " + std::to_string(i) + " 1 2\n";
  for (int i = 1; i + 2 <= 200000; i += 3) {
    obj += "f " + std::to_string(i) + " " + std::to_string(i + 1) + " " + std::to_string(i + 2) + "\n";
  }
  WriteFile(dir / "big.obj", obj);
  ASSERT_EQ(RunQXConvert({"mdl", dir / "big.obj", dir / "big.mdl", "-ue"}).exitCode, 0);
  ProcessOptions limited;
  limited.beforeExec = [] {
    const rlimit limit = {std::uint64_t{96} << 20, std::uint64_t{96} << 20};
    setrlimit(RLIMIT_AS, &limit);
  };
  const auto convert = RunQXConvert({"mdl", dir / "big.obj", dir / "out.mdl"}, limited);
  EXPECT_EQ(convert.exitCode, 1);
  EXPECT_EQ(convert.signal, 0);
  EXPECT_EQ(std::count(convert.out.begin(), convert.out.end(), '\n'), 2) << convert.out;
  EXPECT_FALSE(FileExists(dir / "out.mdl"));
  const auto inspect = testing::RunQXInspect({"--json", "--full", dir / "big.mdl"}, limited);
  EXPECT_EQ(inspect.signal, 0);
  EXPECT_EQ(inspect.exitCode == 0 || inspect.err == "QXInspect: out of memory\n", true) << inspect.err;
}
#endif

}  // namespace
}  // namespace qx
