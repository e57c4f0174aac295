// Test helper: runs a program with arguments and standard input bytes, and collects
// its standard output, standard error and exit code separately.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qx::testing {

struct ProcessResult {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 when the child did not exit normally
  int signal = 0;     // the signal that ended it, if any
};

struct ProcessOptions {
  std::string input;             // written to the child's standard input, then closed
  std::string workingDirectory;  // empty: the parent's
  // Runs in the child before exec (resource limits, signal dispositions); POSIX only.
  std::function<void()> beforeExec;
};

// What a test may need of the system beyond running a program. Unavailable() gives
// the reason a test must be skipped, or null where the system has it.
enum class Need {
  kChildSetup,   // ProcessOptions::beforeExec: resource limits, another user
  kFullDevice,   // a device on which every write fails with "no space"
  kPosixShell,   // /bin/sh with FIFOs and signals
  kProcFiles,    // files under /proc that report a size of 0
  kNinjaAndMake,  // /usr/bin/ninja and /usr/bin/make
  kNativeTools,   // the tools run natively, not under an emulator (QX_EMULATOR)
  kAssimpGltf     // Debian's Assimp reads and writes glTF (it does not on big-endian hosts)
};
const char* Unavailable(Need need);

// For beforeExec: writes past bytes fail with EFBIG instead of ending the child.
void LimitFileSize(unsigned long long bytes);

// For beforeExec: past seconds of processor time the child is killed (SIGXCPU), so a
// test of a loop that must end fails rather than hangs.
void LimitProcessorSeconds(unsigned seconds);

// A program that is not the system's (under /bin or /usr) is one of the tools built
// here: where QX_EMULATOR names an emulator (a cross build's tests), it runs under it.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// The emulator the tools run under, or null.
const char* Emulator();

// A tool as a shell command line starts it: quoted, behind the emulator if any.
std::string ToolInShell(const std::string& tool);

// Root may write anywhere: as root, the tool runs as user nobody from a copy of it (and
// of the scene module) in dir, which the build tree's permissions cannot stop; *exe
// names what to run. Not root: the tool as built. POSIX only.
ProcessOptions Unprivileged(const std::string& dir, std::string* exe);

// The tools built beside the tests (the test build names their paths).
inline ProcessResult RunQXConvert(const std::vector<std::string>& args,
                                  const ProcessOptions& options = {}) {
  return RunProcess(QXCONVERT_EXE, args, options);
}
inline ProcessResult RunQXInspect(const std::vector<std::string>& args,
                                  const ProcessOptions& options = {}) {
  return RunProcess(QXINSPECT_EXE, args, options);
}

}  // namespace qx::testing
