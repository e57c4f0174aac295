// The platform layer: the few operating-system calls the tools need. This header is
// the one contract; platform_posix.cpp and platform_win32.cpp each do all it promises,
// and the build picks one. Nothing outside this folder knows which system it runs on.
//
// Paths and arguments are UTF-8 everywhere above this layer. On Windows they are
// turned into UTF-16 for the wide API calls, and paths of 260 characters or more
// are given the \\?\ prefix that lifts the old length limit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace qx::platform {

// The process's arguments as UTF-8 (on Windows, taken from the UTF-16 command line,
// not the lossy narrow argv).
std::vector<std::string> CommandLine(int argc, char** argv);

// Called once when a tool starts. Writing into a pipe whose reader has gone, or past
// the file-size limit, then fails with an error (EPIPE, EFBIG) that the run reports,
// instead of ending the process with no outcome line; and every catchable signal that
// would end the process first runs the clean-up of CreateTempFile. A console shows
// UTF-8 output as typed (Windows); output to a file or pipe is UTF-8 bytes either way.
void SetUpProcess();

// Opens a file with a C runtime mode string ("rb", "wb", "ab"). On failure returns
// null and stores the C runtime's error number in *error (never 0).
std::FILE* OpenFile(const char* path, const char* mode, int* error);

// Opens a file for reading only when it is a regular file, and never waits doing so:
// a FIFO without a writer, a device or a directory is refused (*regular false, *error
// 0) before a byte is read. Symlinks are followed by the system's own open. *size is
// the file's length. Null with *error (never 0) when it cannot be opened.
std::FILE* OpenRegularFile(const std::string& path, std::int64_t* size, bool* regular, int* error);

// 64-bit file positioning, so sizes past 2 GiB are measured rather than wrapped.
// Both return -1 on failure with errno set.
std::int64_t Tell(std::FILE* file);
int Seek(std::FILE* file, std::int64_t offset, int origin);

// True when something (file, directory, device) exists at the path.
bool PathExists(const char* path);

// Waits for one key press without echo and without Enter. When standard input is not
// a terminal (on Windows: not a console; NUL counts as none) it consumes one byte and
// returns at end of input, so scripts never hang.
void WaitForKey();

// What an output path leads to, so it can be replaced the way a plain overwrite would
// have changed it: through symlinks, keeping permissions and owner.
struct OutputTarget {
  std::string path;  // the output path with symlinks followed
  bool exists = false;
  bool regular = false;  // an existing regular file (or nothing yet)
  bool writable = true;  // an existing file that this process may overwrite
  unsigned mode = 0;     // permission bits of an existing file
  long long owner = -1;  // owner and group of an existing file, -1 when unknown
  long long group = -1;
  std::int64_t accessed = 0;  // times of an existing file, in the system's own units
  std::int64_t modified = 0;
};

// Fills *target; false with *error set when the path cannot be examined. Symlinks are
// followed by the kernel alone, so its rules apply (POSIX: a link that
// fs.protected_symlinks forbids this user to follow gives EACCES, as it does to cp),
// and the location is taken from what it opened. A link to nothing is refused with
// ENOENT, as cp refuses to write through a dangling link.
bool InspectOutput(const std::string& path, OutputTarget* target, int* error);

// Where CreateTempFile puts its file: beside the output, so a rename can replace it
// in one step, or in the system's temporary directory, to stage the complete content
// when nothing may be created beside the output.
enum class TempPlace { kBesideTarget, kSystemTemp };

// Creates a new, empty file with a unique name ".NAME.qx-XXXXXX" (NAME from
// target.path), readable and writable by this user alone, and opens it for reading and
// writing. Signals are held off until its clean-up is armed in *slot: from then until
// ForgetOnInterrupt(*slot), any signal that ends the process removes it first. Null
// with *error set on failure.
std::FILE* CreateTempFile(const OutputTarget& target, TempPlace place, std::string* tempPath,
                          int* slot, int* error);

// Gives the written temporary file the permissions a plain overwrite would have left
// (those of the existing file, or the default for a new file) and forces its bytes to
// the disk. Call after the last write, before the rename.
bool FinishTempFile(std::FILE* file, const OutputTarget& target, int* error);

// Opens an existing regular file for writing from its first byte without cutting it
// short (the symlink-free path InspectOutput found; a link there now is refused).
std::FILE* OpenToOverwrite(const OutputTarget& target, int* error);
// Cuts the file to length bytes and forces it to the disk.
bool FinishOverwrite(std::FILE* file, std::int64_t length, int* error);
// Puts back the access and modification times the file had when it was inspected, so
// that a build tool sees an output it failed to rewrite as out of date.
void RestoreTimes(std::FILE* file, const OutputTarget& target);

// Renames the temporary file over the target in one step, durably.
bool MoveOver(const std::string& tempPath, const std::string& targetPath, int* error);

// What makes a file itself, whatever path leads to it: its device and its number there
// (POSIX: st_dev and st_ino; Windows: the volume serial number and the file index), so
// another spelling, a symlink, a hard link or a bind mount of one file all match. For
// a path with nothing there yet: its directory's identity and the name (on Windows in
// lower case), so two spellings of one new file match too.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t index = 0;
  std::string name;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && index == other.index && name == other.name;
  }
};
// The identity of what path leads to, after symlinks; false when it cannot be examined.
bool IdentifyPath(const std::string& path, FileIdentity* identity);
// The identity of an open file.
bool IdentifyFile(std::FILE* file, FileIdentity* identity);

// From now on a signal that ends the process keeps the slot's file and writes notice
// (a whole line) to standard error: the file holds the only complete copy of something.
// An empty notice makes the signal remove the file again.
void KeepOnInterrupt(int slot, const std::string& notice);
void ForgetOnInterrupt(int slot);
// While a copy overwrites target in place through file, a signal that ends the process
// first puts back the times target had when inspected (as RestoreTimes does), so a
// build sees the cut output as out of date. Null file stops it; so do KeepOnInterrupt
// and ForgetOnInterrupt. Stop it before the file is closed.
void RestoreTimesOnInterrupt(int slot, std::FILE* file, const OutputTarget& target);

// Removes a file; false with *error when the system refused (a name already gone is
// not a refusal).
bool RemoveFile(const std::string& path, int* error);

// Hints that a large buffer will be touched from end to end soon, so the system may
// back it with large pages (far fewer page faults for a file-sized payload).
void AdviseLargeBuffer(void* data, std::size_t size);

// Starts writing a range of a file to the disk without waiting, so a long write
// keeps few dirty pages and the final flush to disk has little left to do.
void StartWriteback(std::FILE* file, std::int64_t offset, std::int64_t length);

// Bounds a call into a library that reads untrusted input and may crash, hang or grow
// without end (the scene importer). Until EndGuard: a crash anywhere in the process (a
// fault, a stack overflow, an abort) writes crashLine, and running past seconds writes
// timeLine, each with a newline, to standard output, and ends the process with exit
// code 1; past memoryBytes more than the process holds now, allocations fail
// (std::bad_alloc). The process is ended, never resumed, so guard only work that has
// nothing to clean up. 0 means no bound. The bounds hold whatever signal mask and
// dispositions the caller left (POSIX: SIGALRM and the crash signals are unblocked
// until EndGuard).
struct Guard {
  std::string crashLine;
  std::string timeLine;
  unsigned seconds = 0;
  std::uint64_t memoryBytes = 0;
};
void StartGuard(const Guard& guard);
void EndGuard();

// How RunProgram bounds a program and everything it starts (0 or empty: no bound).
struct ChildBounds {
  // Past this the whole tree of processes is killed.
  unsigned seconds = 0;
  // Linux: the address space of each process of the tree; Windows: the memory the tree
  // commits in all.
  std::uint64_t memoryBytes = 0;
  // The only folder in which the tree may create, change, rename or delete anything
  // (besides writing to the null device). Linux enforces it with Landlock, which every
  // process the program starts inherits and none can lift; where the kernel lacks
  // Landlock the program is not started. Windows offers no such confinement to an
  // ordinary process: there it is not enforced, and the caller must point the
  // program's writes into the folder itself.
  std::string writableFolder;
};
constexpr int kCannotConfine = -2;

// Runs another program and waits for it: its standard output and error go to logPath,
// its standard input is the null device (POSIX: no other descriptor of this process is
// passed on), environment holds NAME=VALUE entries to set or
// replace and PREFIX* entries that drop every inherited variable whose name starts with
// PREFIX (in any case on Windows). The program and all it starts form one group that is
// killed as a whole when it outlives its time, when a signal ends this process (POSIX;
// on Windows, when this process ends in any way), and after the program exits (so
// nothing it started lives on). The exit code; -1 with *error in words when it could
// not be started, was killed or ended on a signal; kCannotConfine with *error saying
// why when the writable folder cannot be enforced.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment, const std::string& logPath,
               const ChildBounds& bounds, std::string* error);

// A child forked from this process, so it starts with everything this process has
// loaded and set up (POSIX only: CanFork says whether this system has it). body runs
// in the child with this process's standard input if keepInput, else the null device,
// and with standard output and error going to two pipes this process collects; its
// return value is the child's exit code. The child is ended (SIGTERM, so its clean-up
// of temporary files runs) should this process die first. False with *error when no
// child could be started.
struct ForkedRun {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 when it ended on a signal
  int signal = 0;     // the signal that ended it, if any
  long pid = 0;       // the child's process id
};
bool CanFork();
bool RunForked(const std::function<int()>& body, bool keepInput, ForkedRun* run, std::string* error);

// For a process that forks many children which each allocate large buffers afresh
// (Assimp zeroes a 16 MiB read buffer for every OBJ): re-executes this program once
// with args, with the C library told to back large allocations with huge pages, so a
// child faults in 2 MiB at a time rather than 4 KiB. The environment the program then
// sees (and passes on) is the caller's. Returns when that is done, or cannot be.
void UseHugePagesForHeap(const std::vector<std::string>& args);

// This process's id.
long ProcessId();

// The path of the running executable; empty when it cannot be found.
std::string ExecutablePath();

#ifdef _WIN32
// The command line CreateProcessW takes for program and args: each argument quoted so
// that the C runtime (and CommandLineToArgvW) read it back exactly.
std::wstring CommandLineOf(const std::string& program, const std::vector<std::string>& args);
#endif

// A PATH for a program that must find the system's own programs, not the caller's:
// folder, then the system's standard program folders (POSIX: confstr's _CS_PATH).
// Empty on Windows, where programs bring their own (PATH is left as it is).
std::string SystemSearchPath(const std::string& folder);

// The program of that name found on PATH (with the system's executable suffix), or
// empty.
std::string FindOnPath(const std::string& name);

// A new private directory for temporary files, as an absolute path; empty with *error
// on failure. Until RemoveTempDirectory, a signal that ends the process (POSIX) or the
// end of the console (Windows) removes it with everything in it, after killing any
// program RunProgram is running. One such directory at a time.
std::string MakeTempDirectory(std::string* error);
void RemoveTempDirectory(const std::string& path);

// The directory of the running executable, without a trailing separator; empty
// when it cannot be found.
std::string ExecutableDirectory();

// Loads a shared module and finds a symbol in it. Null with *error set on failure.
// Modules stay loaded until the process ends.
void* LoadModuleSymbol(const std::string& path, const char* symbol, std::string* error);

}  // namespace qx::platform
