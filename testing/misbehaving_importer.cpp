// Test stand-in for the scene module: an importer that misbehaves the way crafted
// files make a real one misbehave, chosen by the first word of the input file. A
// copy of QXConvert beside it shows what a run makes of each.
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <list>
#include <string>
#include <vector>

#include "convert/scene_import.h"

namespace {

int Recurse(volatile int depth) {
  if (depth == -1) return 0;  // never: keeps the compiler from calling this endless
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return Recurse(depth + 1) + frame[0];
}

}  // namespace

extern "C" QX_MODULE_EXPORT bool QxImportScene(const qx::SceneRequest& request) {
  const char* path = request.path;
  std::string* error = request.error;
  std::string word;
  std::ifstream(path) >> word;
  if (word == "fault") std::raise(SIGSEGV);
  // Which process started the one that imports: a worker's jobs all name the worker.
  if (word == "parent") {
    *error = "not a scene: parent " + std::to_string(getppid());
    return false;
  }
  if (word == "overflow") return Recurse(0) != 0;
  if (word == "abort") std::abort();
  if (word == "hang") {
    for (volatile bool spinning = true; spinning;) {
    }
  }
  if (word == "grow") {
    // As Assimp does: every exception becomes the import's error text.
    try {
      std::list<std::vector<char>> held;
      while (true) held.emplace_back(std::size_t{16} << 20, 'x');
    } catch (const std::exception& e) {
      *error = e.what();
      return false;
    }
  }
  *error = "not a scene: " + word;
  return false;
}
