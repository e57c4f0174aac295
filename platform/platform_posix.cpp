// The platform layer on POSIX systems (Linux): C stdio, stat, termios, dlopen.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
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

// Only async-signal-safe calls: the process may be anywhere.
void OnEndingSignal(int signal) {
  const int saved = errno;
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

std::string ExecutableDirectory() {
  std::vector<char> path(PATH_MAX + 1);
  const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length <= 0) return std::string();
  return DirectoryOf(std::string(path.data(), static_cast<std::size_t>(length)));
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

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment, const std::string& logPath,
               unsigned seconds, std::string* error) {
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
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log < 0) {
    *error = "cannot write " + logPath + ": " + std::strerror(errno);
    return -1;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(log);
  if (pid < 0) {
    *error = std::string("cannot start it: ") + std::strerror(errno);
    return -1;
  }
  // Polled, so that the bound holds without a signal handler of its own.
  int status = 0;
  const auto step = std::chrono::milliseconds(20);
  for (std::uint64_t waited = 0;; waited += 20) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      *error = std::string("cannot wait for it: ") + std::strerror(errno);
      return -1;
    }
    if (seconds > 0 && waited >= std::uint64_t{seconds} * 1000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      *error = "it did not finish within " + std::to_string(seconds) + " seconds";
      return -1;
    }
    std::this_thread::sleep_for(step);
  }
  if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) == 127) *error = "cannot start it";
    return WEXITSTATUS(status) == 127 ? -1 : WEXITSTATUS(status);
  }
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
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qx-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a temporary folder: " + std::string(std::strerror(errno));
    return "";
  }
  return pattern;
}

}  // namespace qx::platform
