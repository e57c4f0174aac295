// The baselines for whole-process timings: Assimp's import alone, with the flags the
// converter uses, and nothing else; and, given OUT and BYTES, the least a durable
// converter must do besides: the import, then BYTES bytes written to a temporary file,
// forced to the disk, renamed over OUT, and the folder forced to the disk.
//   import_only FLAGS PATH [OUT BYTES]   (FLAGS in hex, e.g. 80800B)
#include <assimp/scene.h>
#include <fcntl.h>
#include <unistd.h>

#include <assimp/Importer.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) {
    std::fprintf(stderr, "usage: import_only FLAGS PATH [OUT BYTES]\n");
    return 2;
  }
  const auto flags = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 16));
  Assimp::Importer importer;
  const aiScene* scene = importer.ReadFile(argv[2], flags);
  if (scene == nullptr) {
    std::fprintf(stderr, "%s\n", importer.GetErrorString());
    return 1;
  }
  std::printf("%u meshes, %u animations\n", scene->mNumMeshes, scene->mNumAnimations);
  if (argc == 5) {
    const std::string out = argv[3];
    const std::string temp = out + ".tmp";
    std::vector<char> bytes(std::strtoull(argv[4], nullptr, 10), 'x');
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
        fsync(fd) != 0 || close(fd) != 0 || rename(temp.c_str(), out.c_str()) != 0) {
      std::perror(out.c_str());
      return 1;
    }
    const std::size_t slash = out.rfind('/');
    const int dir = open(slash == std::string::npos ? "." : out.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir < 0 || fsync(dir) != 0) return 1;
    close(dir);
  }
  return 0;
}
