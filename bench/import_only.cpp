// The baseline for whole-process timings: Assimp's import alone, with the flags the
// converter uses, and nothing else.  import_only FLAGS PATH   (FLAGS in hex, e.g. 80800B)
#include <assimp/scene.h>

#include <assimp/Importer.hpp>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: import_only FLAGS PATH\n");
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
  return 0;
}
