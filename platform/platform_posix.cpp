// The platform layer on POSIX systems (Linux): C stdio, stat, termios, dlopen, and
// Landlock to confine the programs it runs.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/syscall.h>
#if __has_include(<linux/close_range.h>)
#include <linux/close_range.h>
#endif
#if __has_include(<linux/landlock.h>)
#include <linux/landlock.h>
#define QX_HAS_LANDLOCK 1
#endif
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace qx::platform {

std::vector<std::string> CommandLine(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::FILE* OpenFile(const char* path, const char* mode, int* error) {
  errno = 0;
  std::FILE* file = std::fopen(path, mode);
  if (file == nullptr) {
    *error = errno != 0 ? errno : EINVAL;
    return nullptr;
  }
  // POSIX lets a directory be opened for reading; fail here as Windows does, rather
  // than hand out a stream whose size and reads are meaningless.
  struct stat info;
  if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    *error = EISDIR;
    return nullptr;
  }
  *error = 0;
  return file;
}

std::FILE* OpenRegularFile(const std::string& path, std::int64_t* size, bool* regular, int* error) {
  *regular = true;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno != 0 ? errno : EINVAL;
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *error = errno != 0 ? errno : EINVAL;
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    *regular = false;
    *error = 0;
    return nullptr;
  }
  // A regular file's reads never wait; stdio expects a blocking descriptor.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) {
    *error = errno != 0 ? errno : EINVAL;
    close(fd);
    return nullptr;
  }
  *size = info.st_size;
  *error = 0;
  return file;
}

std::int64_t Tell(std::FILE* file) { return ftello(file); }

int Seek(std::FILE* file, std::int64_t offset, int origin) {
  return fseeko(file, static_cast<off_t>(offset), origin);
}

bool PathExists(const char* path) {
  struct stat info;
  return stat(path, &info) == 0;
}

void WaitForKey() {
  unsigned char key = 0;
  termios saved;
  if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios raw = saved;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return;
  }
  // Not a terminal: one byte or end of input, whichever comes first.
  while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
}

namespace {

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

namespace {

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::int64_t Nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}
timespec TimespecOf(std::int64_t nanoseconds) {
  return {static_cast<time_t>(nanoseconds / 1000000000),
          static_cast<long>(nanoseconds % 1000000000)};
}

}  // namespace

bool InspectOutput(const std::string& path, OutputTarget* target, int* error) {
  *target = OutputTarget();
  target->path = path;
  // The kernel follows the links, so fs.protected_symlinks and every other rule of
  // its path walk apply exactly as they do to cp; a link it refuses gives EACCES.
  const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    const int openError = errno;
    struct stat link;
    // A name that is there but leads nowhere is a dangling link: not written through.
    if (openError != ENOENT || lstat(path.c_str(), &link) == 0) {
      *error = openError;
      return false;
    }
    target->regular = true;  // nothing there yet: created at this very path
    return true;
  }
  struct stat opened;
  const bool measured = fstat(fd, &opened) == 0;
  const int statError = errno;
  close(fd);
  if (!measured) {
    *error = statError;
    return false;
  }
  target->exists = true;
  // /dev/stdout may lead to a pipe that no path names: written in place.
  if (!S_ISREG(opened.st_mode)) return true;
  // The name to replace is the one the kernel reached. realpath walks the links again
  // in user space, so its answer counts only if it names the very file opened above.
  char* real = realpath(path.c_str(), nullptr);
  int walkError = real == nullptr ? errno : 0;
  struct stat named;
  if (real != nullptr && lstat(real, &named) != 0) walkError = errno;
  const bool same = walkError == 0 && S_ISREG(named.st_mode) && SameInode(named, opened);
  if (real != nullptr) target->path = real;
  std::free(real);
  if (!same) {
    // A failed walk says why; otherwise the path changed while it was being looked at.
    *error = walkError != 0 ? walkError : EAGAIN;
    return false;
  }
  target->regular = true;
  target->mode = opened.st_mode & 07777;
  target->owner = opened.st_uid;
  target->group = opened.st_gid;
  target->accessed = Nanoseconds(opened.st_atim);
  target->modified = Nanoseconds(opened.st_mtim);
  target->writable = access(target->path.c_str(), W_OK) == 0;
  // Only a refusal means "not writable"; any other failure is the answer itself.
  if (!target->writable && errno != EACCES && errno != EPERM && errno != EROFS) {
    *error = errno;
    return false;
  }
  return true;
}

namespace {

// Every signal whose default action ends the process and that a handler can catch.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT,
                                  SIGBUS,  SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGALRM,
                                  SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,
                                  SIGSYS,  SIGSTKFLT};

// Paths and notices are copied in before a slot is armed, so the handler reads only
// settled memory.
struct CleanupSlot {
  char path[4096];
  char notice[8192];
  std::size_t noticeLength;
  volatile sig_atomic_t state;  // 0 free, 1 remove the file, 2 keep it and say where
  volatile sig_atomic_t restoreFd = -1;  // a file being overwritten in place
  timespec restoreTimes[2];
};
CleanupSlot cleanupSlots[4];

// The process group RunProgram is running and the folder MakeTempDirectory made: a
// signal that ends the process stops the one and then removes the other.
volatile sig_atomic_t childGroup = 0;
char tempFolder[4096];
volatile sig_atomic_t tempFolderArmed = 0;

// Kills the whole group and waits (bounded) until none of it is left: this process
// reaps the group's members, its orphans included (RunProgram makes it their reaper).
void StopChildGroup() {
  const pid_t group = childGroup;
  if (group <= 0) return;
  kill(-group, SIGKILL);
  for (int i = 0; i < 200; ++i) {
    while (waitpid(-group, nullptr, WNOHANG) > 0) {
    }
    if (kill(-group, 0) != 0 && errno == ESRCH) break;
    const timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  childGroup = 0;
}

// Removes what the directory open as fd holds, with system calls alone (a signal
// handler may run it), to a bounded depth.
void EmptyDirectory(int fd, int depth) {
  alignas(8) char entries[1024];  // small: the crash handler runs this on its own 64 KiB stack
  for (int pass = 0; pass < 1000; ++pass) {
    if (lseek(fd, 0, SEEK_SET) != 0) return;
    const long length = syscall(SYS_getdents64, fd, entries, sizeof entries);
    if (length <= 0) return;
    bool removed = false;
    // struct linux_dirent64: inode (8 bytes), offset (8), record length (2), type (1), name.
    for (long at = 0; at + 19 < length;) {
      unsigned short record = 0;
      std::memcpy(&record, entries + at + 16, sizeof record);
      const char* name = entries + at + 19;
      at += record == 0 ? length : record;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (unlinkat(fd, name, 0) == 0) {
        removed = true;
        continue;
      }
      const int inner =
          depth < 16 ? openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
      if (inner >= 0) {
        EmptyDirectory(inner, depth + 1);
        close(inner);
      }
      removed = unlinkat(fd, name, AT_REMOVEDIR) == 0 || removed;
    }
    if (!removed) return;
  }
}

void RemoveTempFolderNow() {
  if (tempFolderArmed == 0) return;
  const int fd = open(tempFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    EmptyDirectory(fd, 0);
    close(fd);
  }
  rmdir(tempFolder);
  tempFolderArmed = 0;
}

// Only async-signal-safe calls: the process may be anywhere.
void OnEndingSignal(int signal) {
  const int saved = errno;
  StopChildGroup();
  RemoveTempFolderNow();
  for (CleanupSlot& slot : cleanupSlots) {
    // futimens is async-signal-safe; nothing writes to the file after this.
    if (slot.restoreFd >= 0) futimens(slot.restoreFd, slot.restoreTimes);
    if (slot.state == 1) unlink(slot.path);
    if (slot.state == 2 && write(STDERR_FILENO, slot.notice, slot.noticeLength) < 0) {
    }
  }
  errno = saved;
  // The default action then ends the process with this signal's usual status; a
  // fault re-raised by returning to the faulting instruction does the same.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigaction(signal, &fallback, nullptr);
  raise(signal);
}

void SetSignalsHeld(bool held, sigset_t* saved) {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kEndingSignals) sigaddset(&set, signal);
  if (held) {
    sigprocmask(SIG_BLOCK, &set, saved);
  } else {
    sigprocmask(SIG_SETMASK, saved, nullptr);
  }
}

std::string TempDirectory() {
  const char* tmpdir = std::getenv("TMPDIR");
  return tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp";
}

}  // namespace

void SetUpProcess() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // A caller's SIG_IGN survives exec and has the kernel reap children unasked, so
  // RunProgram could not learn how the program it waits for ended.
  signal(SIGCHLD, SIG_DFL);
  struct sigaction action = {};
  action.sa_handler = OnEndingSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : kEndingSignals) sigaddset(&action.sa_mask, signal);
  for (int signal : kEndingSignals) {
    struct sigaction current;
    // nohup's hang-up stays ignored; a shell's background jobs ignore Ctrl-C too, but a
    // build tool that sends it still means the job to end.
    if (signal == SIGHUP && sigaction(signal, nullptr, &current) == 0 &&
        current.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal, &action, nullptr);
  }
}

std::FILE* CreateTempFile(const OutputTarget& target, TempPlace place, std::string* tempPath,
                          int* slot, int* error) {
  const std::size_t slash = target.path.rfind('/');
  std::string name = slash == std::string::npos ? target.path : target.path.substr(slash + 1);
  if (name.size() > 200) name = "qx";
  const std::string directory =
      place == TempPlace::kBesideTarget ? DirectoryOf(target.path) : TempDirectory();
  const std::string pattern = directory + "/." + name + ".qx-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  *slot = -1;
  for (int i = 0; i < 4; ++i) {
    if (cleanupSlots[i].state == 0) *slot = i;
  }
  if (*slot < 0 || buffer.size() > sizeof cleanupSlots[0].path) {
    *error = *slot < 0 ? EMFILE : ENAMETOOLONG;
    return nullptr;
  }
  CleanupSlot& cleanup = cleanupSlots[*slot];
  sigset_t saved;
  SetSignalsHeld(true, &saved);
  const int fd = mkostemp(buffer.data(), O_CLOEXEC);
  const int createError = errno;
  if (fd >= 0) {
    std::memcpy(cleanup.path, buffer.data(), buffer.size());
    std::atomic_signal_fence(std::memory_order_seq_cst);
    cleanup.state = 1;
  }
  SetSignalsHeld(false, &saved);
  if (fd < 0) {
    *error = createError;
    *slot = -1;
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) {
    *error = errno;
    close(fd);
    unlink(buffer.data());
    ForgetOnInterrupt(*slot);
    *slot = -1;
    return nullptr;
  }
  *tempPath = buffer.data();
  return file;
}

std::FILE* OpenToOverwrite(const OutputTarget& target, int* error) {
  const int fd = open(target.path.c_str(), O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  struct stat info;
  const bool measured = fd >= 0 && fstat(fd, &info) == 0;
  if (!measured || !S_ISREG(info.st_mode)) {
    // The call's own errno; EAGAIN when the name now leads to something else.
    *error = !measured ? errno : EAGAIN;
    if (fd >= 0) close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    *error = errno;
    close(fd);
  }
  return file;
}

bool FinishOverwrite(std::FILE* file, std::int64_t length, int* error) {
  if (std::fflush(file) != 0 || ftruncate(fileno(file), static_cast<off_t>(length)) != 0 ||
      fsync(fileno(file)) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

void RestoreTimes(std::FILE* file, const OutputTarget& target) {
  std::fflush(file);
  const timespec times[2] = {TimespecOf(target.accessed), TimespecOf(target.modified)};
  futimens(fileno(file), times);
}

bool FinishTempFile(std::FILE* file, const OutputTarget& target, int* error) {
  if (std::fflush(file) != 0) {
    *error = errno;
    return false;
  }
  const int fd = fileno(file);
  mode_t mode;
  if (target.exists) {
    mode = static_cast<mode_t>(target.mode);
    // Only root can hand a file to another owner; for anyone else the file is
    // already theirs, so failure changes nothing.
    if (fchown(fd, static_cast<uid_t>(target.owner), static_cast<gid_t>(target.group)) != 0) {
    }
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  if (fchmod(fd, mode) != 0 || fsync(fd) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

bool MoveOver(const std::string& tempPath, const std::string& targetPath, int* error) {
  if (rename(tempPath.c_str(), targetPath.c_str()) != 0) {
    *error = errno;
    return false;
  }
  // Make the rename itself durable; a failure here leaves a complete file either way.
  const int directory = open(DirectoryOf(targetPath).c_str(), O_RDONLY | O_DIRECTORY);
  if (directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return true;
}

bool RemoveFile(const std::string& path, int* error) {
  if (unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  *error = errno;
  return false;
}

namespace {

void SetIdentity(const struct stat& info, FileIdentity* identity) {
  identity->device = static_cast<std::uint64_t>(info.st_dev);
  identity->index = static_cast<std::uint64_t>(info.st_ino);
}

}  // namespace

bool IdentifyPath(const std::string& path, FileIdentity* identity) {
  OutputTarget target;
  int error = 0;
  if (!InspectOutput(path, &target, &error)) return false;
  struct stat info;
  identity->name.clear();
  if (stat(target.path.c_str(), &info) != 0) {
    const std::size_t slash = target.path.rfind('/');
    identity->name = slash == std::string::npos ? target.path : target.path.substr(slash + 1);
    if (stat(DirectoryOf(target.path).c_str(), &info) != 0) return false;
  }
  SetIdentity(info, identity);
  return true;
}

bool IdentifyFile(std::FILE* file, FileIdentity* identity) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0) return false;
  identity->name.clear();
  SetIdentity(info, identity);
  return true;
}

void KeepOnInterrupt(int slot, const std::string& notice) {
  if (slot < 0 || slot >= 4) return;
  CleanupSlot& cleanup = cleanupSlots[slot];
  cleanup.restoreFd = -1;
  cleanup.state = 1;  // settled before the notice is replaced
  if (notice.empty()) return;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const std::size_t length = std::min(notice.size(), sizeof cleanup.notice);
  std::memcpy(cleanup.notice, notice.data(), length);
  cleanup.noticeLength = length;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  cleanup.state = 2;
}

void ForgetOnInterrupt(int slot) {
  if (slot < 0 || slot >= 4) return;
  cleanupSlots[slot].restoreFd = -1;
  cleanupSlots[slot].state = 0;
}

void RestoreTimesOnInterrupt(int slot, std::FILE* file, const OutputTarget& target) {
  if (slot < 0 || slot >= 4) return;
  CleanupSlot& cleanup = cleanupSlots[slot];
  cleanup.restoreFd = -1;  // settled before the times are replaced
  if (file == nullptr) return;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  cleanup.restoreTimes[0] = TimespecOf(target.accessed);
  cleanup.restoreTimes[1] = TimespecOf(target.modified);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  cleanup.restoreFd = fileno(file);
}

void AdviseLargeBuffer(void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
  // Only whole pages inside the buffer can take the advice.
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

std::string ExecutablePath() {
  std::vector<char> path(PATH_MAX + 1);
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) return std::string();
  return std::string(path.data(), static_cast<std::size_t>(length));
}

std::string ExecutableDirectory() {
  const std::string path = ExecutablePath();
  return path.empty() ? path : DirectoryOf(path);
}

void UseHugePagesForHeap(const std::vector<std::string>& args) {
  // glibc reads its tunables once, at start; the marker carries what the caller had.
  constexpr const char* kMarker = "QX_CALLER_GLIBC_TUNABLES";
  if (const char* caller = std::getenv(kMarker)) {
    if (caller[0] == '=') {
      setenv("GLIBC_TUNABLES", caller + 1, 1);
    } else {
      unsetenv("GLIBC_TUNABLES");
    }
    unsetenv(kMarker);
    return;
  }
  const std::string program = ExecutablePath();
  if (program.empty() || args.empty()) return;
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  const std::string caller = tunables != nullptr ? std::string("=") + tunables : "-";
  const std::string wanted =
      (tunables != nullptr && tunables[0] != '\0' ? std::string(tunables) + ":" : "") + "glibc.malloc.hugetlb=1";
  if (setenv(kMarker, caller.c_str(), 1) != 0 || setenv("GLIBC_TUNABLES", wanted.c_str(), 1) != 0) return;
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(stdout);
  std::fflush(stderr);
  execv(program.c_str(), argv.data());
  // Not re-executed (an emulator, a program gone): carry on as started.
  if (tunables != nullptr) {
    setenv("GLIBC_TUNABLES", tunables, 1);
  } else {
    unsetenv("GLIBC_TUNABLES");
  }
  unsetenv(kMarker);
}

long ProcessId() { return static_cast<long>(getpid()); }

bool CanFork() { return true; }

bool RunForked(const std::function<int()>& body, bool keepInput, ForkedRun* run, std::string* error) {
  *run = ForkedRun();
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    for (int fd : {out[0], out[1], err[0], err[1]}) {
      if (fd >= 0) close(fd);
    }
    return false;
  }
  // Nothing buffered here may reach the child's output, nor be written twice.
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // A worker that dies leaves no conversion running: SIGTERM, so the child's own
    // handler removes its temporary file first.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (!keepInput) {
      const int null = open("/dev/null", O_RDONLY);
      if (null >= 0) dup2(null, STDIN_FILENO);
      if (null > STDERR_FILENO) close(null);
    }
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    const int code = body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
  }
  const int forkError = errno;
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    *error = std::string("cannot start a child: ") + std::strerror(forkError);
    return false;
  }
  run->pid = static_cast<long>(pid);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* texts[2] = {&run->out, &run->err};
  int pending = 2;
  char buffer[65536];
  while (pending > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        texts[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --pending;
      }
    }
  }
  for (const pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    run->exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    run->signal = WTERMSIG(status);
  }
  return true;
}

void* LoadModuleSymbol(const std::string& path, const char* symbol, std::string* error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *error = dlerror();
    return nullptr;
  }
  void* found = dlsym(module, symbol);
  if (found == nullptr) *error = dlerror();
  return found;
}

void StartWriteback(std::FILE* file, std::int64_t offset, std::int64_t length) {
#ifdef SYNC_FILE_RANGE_WRITE
  sync_file_range(fileno(file), offset, length, SYNC_FILE_RANGE_WRITE);
#else
  (void)file;
  (void)offset;
  (void)length;
#endif
}

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};

struct GuardState {
  std::string crashLine;  // settled before any handler can read them
  std::string timeLine;
  struct sigaction savedCrash[std::size(kCrashSignals)];
  struct sigaction savedAlarm;
  sigset_t savedMask;
  rlimit savedMemory;
  bool timed = false;
  bool memoryBounded = false;
  bool active = false;
};
GuardState guardState;
alignas(16) char guardStack[1 << 16];  // a stack overflow still has room to report

// Only async-signal-safe calls: the process may be anywhere.
void WriteLineAndExit(const std::string& line) {
  if (write(STDOUT_FILENO, line.data(), line.size()) >= 0) {
  }
  RemoveTempFolderNow();
  _exit(1);
}
void OnCrash(int) { WriteLineAndExit(guardState.crashLine); }
void OnTimeUp(int) { WriteLineAndExit(guardState.timeLine); }

// The address space the process holds now, so a bound counts only what comes after.
std::uint64_t AddressSpaceInUse() {
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  unsigned long long pages = 0;
  if (statm != nullptr) {
    if (std::fscanf(statm, "%llu", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

void StartGuard(const Guard& guard) {
  if (guardState.active) EndGuard();
  guardState.crashLine = guard.crashLine + "\n";
  guardState.timeLine = guard.timeLine + "\n";
  guardState.active = true;
  stack_t stack = {};
  stack.ss_sp = guardStack;
  stack.ss_size = sizeof guardStack;
  sigaltstack(&stack, nullptr);
  struct sigaction action = {};
  action.sa_handler = OnCrash;
  action.sa_flags = SA_ONSTACK;
  sigfillset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
    sigaction(kCrashSignals[i], &action, &guardState.savedCrash[i]);
  }
  // The signal mask and ignored dispositions survive exec, so a caller may have left
  // SIGALRM or a crash signal blocked or ignored: the timer would then never end the
  // run, and a fault would end it with the default action and no line. What the guard
  // relies on is unblocked until EndGuard; a SIGALRM already pending is not ours and
  // is dropped (setting SIG_IGN discards it) before the handler goes in.
  sigset_t relied;
  sigemptyset(&relied);
  for (const int signal : kCrashSignals) sigaddset(&relied, signal);
  guardState.timed = guard.seconds > 0;
  if (guardState.timed) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGALRM, &ignore, &guardState.savedAlarm);
    action.sa_handler = OnTimeUp;
    sigaction(SIGALRM, &action, nullptr);
    sigaddset(&relied, SIGALRM);
  }
  sigprocmask(SIG_UNBLOCK, &relied, &guardState.savedMask);
  if (guardState.timed) {
    itimerval timer = {};
    timer.it_value.tv_sec = static_cast<time_t>(guard.seconds);
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  guardState.memoryBounded = false;
  if (guard.memoryBytes > 0 && getrlimit(RLIMIT_AS, &guardState.savedMemory) == 0) {
    rlimit bounded = guardState.savedMemory;
    const std::uint64_t wanted = AddressSpaceInUse() + guard.memoryBytes;
    if (bounded.rlim_cur == RLIM_INFINITY || wanted < bounded.rlim_cur) bounded.rlim_cur = wanted;
    guardState.memoryBounded = setrlimit(RLIMIT_AS, &bounded) == 0;
  }
}

void EndGuard() {
  if (!guardState.active) return;
  if (guardState.timed) {
    const itimerval stop = {};
    setitimer(ITIMER_REAL, &stop, nullptr);
  }
  if (guardState.memoryBounded) setrlimit(RLIMIT_AS, &guardState.savedMemory);
  for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
    sigaction(kCrashSignals[i], &guardState.savedCrash[i], nullptr);
  }
  if (guardState.timed) sigaction(SIGALRM, &guardState.savedAlarm, nullptr);
  sigprocmask(SIG_SETMASK, &guardState.savedMask, nullptr);
  guardState.active = false;
}

namespace {

// Landlock rights that change the file system; reading and running stay allowed
// everywhere. Newer kernels know more of them (the ABI version says which).
constexpr std::uint64_t kTruncate = 1ULL << 14;  // ABI 3
// Scopes, ABI 6.
constexpr std::uint64_t kScopeAbstractSocket = 1ULL << 0;
constexpr std::uint64_t kScopeSignal = 1ULL << 1;
struct RulesetAttributes {
  std::uint64_t fs = 0;
  std::uint64_t net = 0;
  std::uint64_t scoped = 0;
};

// A Landlock ruleset that lets the tree write only beneath folder and to the null
// devices; -1 with *error saying why the kernel cannot.
int WriteConfinement(const std::string& folder, std::string* error) {
#if defined(QX_HAS_LANDLOCK)
  const long abi =
      syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) {
    *error = errno == ENOSYS       ? "the kernel has no Landlock (it came with Linux 5.13)"
             : errno == EOPNOTSUPP ? "Landlock is turned off in this kernel (it is not among the "
                                     "security modules named at boot, lsm=)"
                                   : std::string("Landlock refused: ") + std::strerror(errno);
    return -1;
  }
  const std::uint64_t fileRights = LANDLOCK_ACCESS_FS_WRITE_FILE | (abi >= 3 ? kTruncate : 0);
  const std::uint64_t folderRights =
      fileRights | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
      LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
      LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
      LANDLOCK_ACCESS_FS_MAKE_SYM | (abi >= 2 ? LANDLOCK_ACCESS_FS_REFER : 0);
  RulesetAttributes attributes;
  attributes.fs = folderRights;
  // Nor may the tree signal or reach by abstract socket anything outside it.
  if (abi >= 6) attributes.scoped = kScopeAbstractSocket | kScopeSignal;
  const int ruleset =
      static_cast<int>(syscall(__NR_landlock_create_ruleset, &attributes,
                               abi >= 6 ? sizeof attributes : sizeof attributes.fs, 0));
  if (ruleset < 0) {
    *error = std::string("Landlock refused a ruleset: ") + std::strerror(errno);
    return -1;
  }
  struct Allowed {
    const char* path;
    std::uint64_t rights;
  };
  const Allowed allowed[] = {{folder.c_str(), folderRights},
                             {"/dev/null", fileRights},
                             {"/dev/zero", fileRights},
                             {"/dev/full", fileRights}};
  for (const Allowed& a : allowed) {
    const int fd = open(a.path, O_PATH | O_CLOEXEC);
    if (fd < 0 && a.rights == fileRights) continue;  // a device the system lacks
    landlock_path_beneath_attr rule = {};
    rule.allowed_access = a.rights;
    rule.parent_fd = fd;
    const bool added = fd >= 0 && syscall(__NR_landlock_add_rule, ruleset,
                                          LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
    const int addError = errno;
    if (fd >= 0) close(fd);
    if (!added) {
      *error =
          std::string("Landlock refused the folder ") + a.path + ": " + std::strerror(addError);
      close(ruleset);
      return -1;
    }
  }
  return ruleset;
#else
  (void)folder;
  *error = "this system has no Landlock";
  return -1;
#endif
}

// What failed in the child before the program started.
struct ChildFailure {
  int step;  // 0: exec, 1: confinement
  int error;
};

// In the child before exec: nothing this process holds open reaches the program, as a
// descriptor a caller leaked would let it write where the sandbox does not look.
void CloseOnExecFromThree() {
#if defined(__NR_close_range) && defined(CLOSE_RANGE_CLOEXEC)
  if (syscall(__NR_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
  rlimit files;
  const rlim_t top =
      getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536 ? files.rlim_cur : 65536;
  for (rlim_t fd = 3; fd < top; ++fd) fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}

[[noreturn]] void ChildFails(int report, int step) {
  const ChildFailure failure = {step, errno};
  if (write(report, &failure, sizeof failure) < 0) {
  }
  _exit(127);
}

}  // namespace

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment, const std::string& logPath,
               const ChildBounds& bounds, std::string* error) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    const bool replaced = std::any_of(environment.begin(), environment.end(), [&](const std::string& n) {
      return !n.empty() && n.back() == '*' ? entry.compare(0, n.size() - 1, n, 0, n.size() - 1) == 0
                             : n.compare(0, name.size(), name) == 0;
    });
    if (!replaced) env.push_back(entry);
  }
  for (const std::string& n : environment) {
    if (n.empty() || n.back() != '*') env.push_back(n);
  }
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  int ruleset = -1;
  if (!bounds.writableFolder.empty()) {
    ruleset = WriteConfinement(bounds.writableFolder, error);
    if (ruleset < 0) return kCannotConfine;
  }
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int report[2] = {-1, -1};
  if (log < 0 || pipe2(report, O_CLOEXEC) != 0) {
    *error = "cannot write " + logPath + ": " + std::strerror(errno);
    if (log >= 0) close(log);
    if (ruleset >= 0) close(ruleset);
    return -1;
  }
  rlimit memory = {RLIM_INFINITY, RLIM_INFINITY};
  if (bounds.memoryBytes > 0 && getrlimit(RLIMIT_AS, &memory) == 0 &&
      (memory.rlim_max == RLIM_INFINITY || bounds.memoryBytes < memory.rlim_max)) {
    memory.rlim_cur = memory.rlim_max = bounds.memoryBytes;
  }
  const pid_t parent = getpid();
  // What the program starts and leaves behind comes back to this process, which reaps
  // it as soon as its group is killed rather than wait for whoever reaps orphans.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  // Held until the child's group is recorded, so that a signal that ends this process
  // always finds it; the child puts the defaults back before it starts the program.
  sigset_t saved;
  SetSignalsHeld(true, &saved);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec: the parent may have other threads.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    for (int signal : kEndingSignals) sigaction(signal, &fallback, nullptr);
    sigaction(SIGPIPE, &fallback, nullptr);
    sigaction(SIGXFSZ, &fallback, nullptr);
    // Its own group, killed as one; and killed with this process should it die unseen.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    if (bounds.memoryBytes > 0) setrlimit(RLIMIT_AS, &memory);
    if (ruleset >= 0) {
      if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) ChildFails(report[1], 1);
      if (syscall(__NR_landlock_restrict_self, ruleset, 0) != 0) ChildFails(report[1], 1);
    }
    CloseOnExecFromThree();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    ChildFails(report[1], 0);
  }
  if (pid > 0) {
    setpgid(pid, pid);
    childGroup = pid;
  }
  SetSignalsHeld(false, &saved);
  const int forkError = errno;
  close(log);
  close(report[1]);
  if (ruleset >= 0) close(ruleset);
  if (pid < 0) {
    close(report[0]);
    *error = std::string("cannot start it: ") + std::strerror(forkError);
    return -1;
  }
  // Empty when the program started: the pipe closes at exec.
  ChildFailure failure = {-1, 0};
  ssize_t got;
  while ((got = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  int status = 0;
  if (got == static_cast<ssize_t>(sizeof failure)) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    childGroup = 0;
    if (failure.step == 1) {
      *error = std::string("Landlock refused to confine it: ") + std::strerror(failure.error);
      return kCannotConfine;
    }
    *error = std::string("cannot start it: ") + std::strerror(failure.error);
    return -1;
  }
  // Polled, so that the bound holds without a signal handler of its own.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(bounds.seconds);
  bool timedOut = false;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      *error = std::string("cannot wait for it: ") + std::strerror(errno);
      StopChildGroup();
      return -1;
    }
    if (bounds.seconds > 0 && std::chrono::steady_clock::now() >= deadline) {
      timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Whatever of the group is left (all of it past the time) goes with the program.
  StopChildGroup();
  if (timedOut) {
    *error = "it did not finish within " + std::to_string(bounds.seconds) + " seconds";
    return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  *error = "it ended on signal " + std::to_string(WTERMSIG(status));
  return -1;
}

std::string SystemSearchPath(const std::string& folder) {
  std::string standard(confstr(_CS_PATH, nullptr, 0), '\0');
  if (!standard.empty()) confstr(_CS_PATH, standard.data(), standard.size());
  standard.resize(std::strlen(standard.c_str()));
  if (standard.empty()) standard = "/bin:/usr/bin";
  return folder.empty() ? standard : folder + ":" + standard;
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::string folder = end > start ? folders.substr(start, end - start) : ".";
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

std::string MakeTempDirectory(std::string* error) {
  std::string pattern = TempDirectory() + "/qx-XXXXXX";
  if (pattern.size() >= sizeof tempFolder) errno = ENAMETOOLONG;
  if (pattern.size() >= sizeof tempFolder || mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a temporary folder: " + std::string(std::strerror(errno));
    return "";
  }
  sigset_t saved;
  SetSignalsHeld(true, &saved);
  if (tempFolderArmed == 0) {
    std::memcpy(tempFolder, pattern.c_str(), pattern.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    tempFolderArmed = 1;
  }
  SetSignalsHeld(false, &saved);
  return pattern;
}

void RemoveTempDirectory(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
  if (tempFolderArmed != 0 && path == tempFolder) tempFolderArmed = 0;
}

}  // namespace qx::platform
