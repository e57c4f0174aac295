#include "testing/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace qx::testing {

TempDir::TempDir() {
  std::random_device entropy;
  std::mt19937_64 random(entropy());
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = base / ("qx-test-" + std::to_string(random() % 1000000000));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate.generic_u8string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may drop permissions inside; give them back so everything can go.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::remove_all(std::filesystem::u8path(path_), ignored);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::symlink_status(std::filesystem::u8path(path), ignored).type() !=
         std::filesystem::file_type::not_found;
}

void MakeSparseFile(const std::string& path, std::int64_t size) {
  std::ofstream file(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
  file.seekp(static_cast<std::streamoff>(size - 1));
  file.put('\0');
  if (!file) throw std::runtime_error("cannot make " + path);
}

std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(dir))) {
    names.insert(entry.path().filename().u8string());
  }
  return names;
}

}  // namespace qx::testing
