#include "app/depfile.h"

#include "asset/output_file.h"

namespace qx {
namespace {

std::string Escaped(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == ' ' || c == '#') out += '\\';
    if (c == '$') out += '$';
    out += c;
  }
  return out;
}

}  // namespace

std::string DepfileText(const std::string& target, const std::vector<std::string>& inputs) {
  std::string text = Escaped(target) + ":";
  for (const std::string& input : inputs) text += " " + Escaped(input);
  return text + "\n";
}

bool WriteDepfile(const std::string& path, const std::string& text, std::string* error) {
  OutputFile file;
  if (!file.Open(path) || !file.Write(text.data(), static_cast<std::int32_t>(text.size())) ||
      !file.Commit()) {
    *error = file.errorText();
    return false;
  }
  return true;
}

}  // namespace qx
