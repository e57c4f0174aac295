// Test helper: a fresh directory per test, removed with everything in it afterwards,
// and whole-file reads and writes. Paths are UTF-8 with '/' separators on every system.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace qx::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);  // throws when the file cannot be read
bool FileExists(const std::string& path);
// A file of size bytes, all zero; sparse where the file system allows, so a test can
// have a 2 GiB input for almost no disk.
void MakeSparseFile(const std::string& path, std::int64_t size);
// The names in a folder (UTF-8), without "." and "..".
std::set<std::string> Listing(const std::string& dir);

}  // namespace qx::testing
