// The baselines for whole-process timings: Assimp's import alone, with the flags the
// converter uses, and nothing else; and, given OUT and BYTES, the least a durable
// converter must do besides: the import, then BYTES bytes written to a temporary file,
// forced to the disk, renamed over OUT, and the folder forced to the disk.
//   import_only [--repeat N [--fork]] FLAGS PATH [OUT BYTES]   (FLAGS in hex, e.g. 80800B)
// --repeat N does it once and then N times more in the same process, as a warm worker
// would: --fork runs each, the first too, in a child forked from the process that has
// only loaded Assimp, the least a worker that contains each import in a process of its
// own can cost. (A parent that had imported would start every child with a different
// heap than a worker's: after freeing the OBJ reader's 16 MiB buffer, glibc serves the
// next one from the heap in small pages, and the floor came out above the worker.)
#include <assimp/scene.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <assimp/Importer.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool ImportAndWrite(unsigned flags, const char* path, const char* out, std::size_t bytes) {
  Assimp::Importer importer;
  if (importer.ReadFile(path, flags) == nullptr) {
    std::fprintf(stderr, "%s\n", importer.GetErrorString());
    return false;
  }
  if (out == nullptr) return true;
  const std::string target = out;
  const std::string temp = target + ".tmp";
  std::vector<char> content(bytes, 'x');
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) ||
      fsync(fd) != 0 || close(fd) != 0 || rename(temp.c_str(), target.c_str()) != 0) {
    std::perror(out);
    return false;
  }
  const std::size_t slash = target.rfind('/');
  const int dir = open(slash == std::string::npos ? "." : target.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY);
  const bool synced = dir >= 0 && fsync(dir) == 0;
  if (dir >= 0) close(dir);
  return synced;
}

}  // namespace

int main(int argc, char** argv) {
  long repeats = 0;
  bool fork_each = false;
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--repeat") == 0) {
    repeats = std::strtol(argv[2], nullptr, 10);
    first = 3;
    if (argc > 3 && std::strcmp(argv[3], "--fork") == 0) {
      fork_each = true;
      first = 4;
    }
  }
  const int rest = argc - first;
  if ((rest != 2 && rest != 4) || repeats < 0) {
    std::fprintf(stderr, "usage: import_only [--repeat N [--fork]] FLAGS PATH [OUT BYTES]\n");
    return 2;
  }
  const auto flags = static_cast<unsigned>(std::strtoul(argv[first], nullptr, 16));
  const char* path = argv[first + 1];
  const char* out = rest == 4 ? argv[first + 2] : nullptr;
  const std::size_t bytes = rest == 4 ? std::strtoull(argv[first + 3], nullptr, 10) : 0;
  if (!fork_each && !ImportAndWrite(flags, path, out, bytes)) return 1;
  for (long i = fork_each ? -1 : 0; i < repeats; ++i) {
    if (!fork_each) {
      if (!ImportAndWrite(flags, path, out, bytes)) return 1;
      continue;
    }
    const pid_t child = fork();
    if (child == 0) _exit(ImportAndWrite(flags, path, out, bytes) ? 0 : 1);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  }
  return 0;
}
