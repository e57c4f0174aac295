// The platform layer on POSIX systems (Linux): C stdio, stat, termios, dlopen.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/platform.h"

namespace qx::platform {

std::vector<std::string> CommandLine(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void SetUpConsole() {}

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

bool InspectOutput(const std::string& path, OutputTarget* target, int* error) {
  *target = OutputTarget();
  // What the path opens, links followed by the kernel: /dev/stdout may lead to a pipe
  // that no path names, and such an output is written in place.
  struct stat opened;
  if (stat(path.c_str(), &opened) == 0 && !S_ISREG(opened.st_mode)) {
    target->path = path;
    target->exists = true;
    target->regular = false;
    return true;
  }
  std::string current = path;
  // Follow symlinks by hand: the final target may not exist yet, which realpath
  // refuses, while a plain open would create it.
  for (int hops = 0;; ++hops) {
    struct stat info;
    if (lstat(current.c_str(), &info) != 0) {
      if (errno != ENOENT) {
        *error = errno;
        return false;
      }
      target->path = current;
      target->regular = true;
      return true;
    }
    if (!S_ISLNK(info.st_mode)) {
      target->path = current;
      target->exists = true;
      target->regular = S_ISREG(info.st_mode);
      target->mode = info.st_mode & 07777;
      target->owner = info.st_uid;
      target->group = info.st_gid;
      target->writable = !target->regular || access(current.c_str(), W_OK) == 0;
      return true;
    }
    if (hops == 40) {
      *error = ELOOP;
      return false;
    }
    std::vector<char> link(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) +
                           1);
    const ssize_t length = readlink(current.c_str(), link.data(), link.size() - 1);
    if (length < 0) {
      *error = errno;
      return false;
    }
    const std::string next(link.data(), static_cast<std::size_t>(length));
    current = next.empty() || next[0] == '/' ? next : DirectoryOf(current) + "/" + next;
  }
}

std::FILE* CreateTempFileBeside(const OutputTarget& target, std::string* tempPath, int* error) {
  const std::size_t slash = target.path.rfind('/');
  std::string name = slash == std::string::npos ? target.path : target.path.substr(slash + 1);
  if (name.size() > 200) name = "qx";
  std::string pattern = DirectoryOf(target.path) + "/." + name + ".qx-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = mkstemp(buffer.data());
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    *error = errno;
    close(fd);
    unlink(buffer.data());
    return nullptr;
  }
  *tempPath = buffer.data();
  return file;
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

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

namespace {

// A file's identity, or for one not yet there its directory's identity and its name.
bool Identity(const std::string& path, dev_t* device, ino_t* inode, std::string* name) {
  OutputTarget target;
  int error = 0;
  if (!InspectOutput(path, &target, &error)) return false;
  struct stat info;
  name->clear();
  if (stat(target.path.c_str(), &info) != 0) {
    const std::size_t slash = target.path.rfind('/');
    *name = slash == std::string::npos ? target.path : target.path.substr(slash + 1);
    if (stat(DirectoryOf(target.path).c_str(), &info) != 0) return false;
  }
  *device = info.st_dev;
  *inode = info.st_ino;
  return true;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
  dev_t deviceA, deviceB;
  ino_t inodeA, inodeB;
  std::string nameA, nameB;
  return Identity(a, &deviceA, &inodeA, &nameA) && Identity(b, &deviceB, &inodeB, &nameB) &&
         deviceA == deviceB && inodeA == inodeB && nameA == nameB;
}

namespace {

// Paths are copied in before a slot is armed, so the handler reads only settled memory.
struct InterruptSlot {
  char path[4096];
  volatile sig_atomic_t armed;
};
InterruptSlot interruptSlots[2];

void OnInterrupt(int signal) {
  for (InterruptSlot& slot : interruptSlots) {
    if (slot.armed) unlink(slot.path);
  }
  std::signal(signal, SIG_DFL);
  raise(signal);
}

}  // namespace

int RemoveOnInterrupt(const std::string& path) {
  static const bool installed = [] {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    return true;
  }();
  (void)installed;
  if (path.size() >= sizeof interruptSlots[0].path) return -1;
  for (int i = 0; i < 2; ++i) {
    if (interruptSlots[i].armed) continue;
    std::memcpy(interruptSlots[i].path, path.c_str(), path.size() + 1);
    interruptSlots[i].armed = 1;
    return i;
  }
  return -1;
}

void ForgetOnInterrupt(int slot) {
  if (slot >= 0 && slot < 2) interruptSlots[slot].armed = 0;
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
const char* abortLine = nullptr;
std::size_t abortLength = 0;
int abortStream = STDOUT_FILENO;

// Only async-signal-safe calls: the process may be anywhere when it aborts.
void OnAbort(int) {
  if (write(abortStream, abortLine, abortLength) >= 0) {
  }
  if (write(abortStream, "\n", 1) >= 0) {
  }
  _exit(1);
}
}  // namespace

void ExitOnAbort(const char* line, bool toStandardError) {
  abortLine = line;
  abortLength = std::strlen(line);
  abortStream = toStandardError ? STDERR_FILENO : STDOUT_FILENO;
  struct sigaction action = {};
  action.sa_handler = OnAbort;
  sigemptyset(&action.sa_mask);
  sigaction(SIGABRT, &action, nullptr);
}

}  // namespace qx::platform
