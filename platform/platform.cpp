#include "platform/platform.h"

#include <cerrno>

#ifdef _WIN32
#include <conio.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace qx::platform {

#ifdef _WIN32

std::FILE* OpenFile(const char* path, const char* mode, int* error) {
  std::FILE* file = nullptr;
  const errno_t result = fopen_s(&file, path, mode);
  *error = result;
  return result == 0 ? file : nullptr;
}

std::int64_t Tell(std::FILE* file) { return _ftelli64(file); }

int Seek(std::FILE* file, std::int64_t offset, int origin) {
  return _fseeki64(file, offset, origin);
}

bool PathExists(const char* path) {
  struct _stat64i32 info;
  return _stat64i32(path, &info) == 0;
}

void WaitForKey() {
  if (_isatty(_fileno(stdin))) {
    (void)_getch();
  } else {
    (void)std::getchar();
  }
}

#else

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

#endif

}  // namespace qx::platform
