#include "app/depfile.h"

#include <cctype>
#include <cstring>

namespace qx {
namespace {

// Characters that Ninja's depfile reader takes as separators or Make as syntax, with
// no escape that both undo: tried with both tools.
bool Unwritable(unsigned char c) {
  return c < 0x20 || c == 0x7F || std::strchr("\"'*;&?<>|^`=", c) != nullptr;
}

// The colon of a Windows drive ("C:/..."), which Windows builds of Ninja and Make
// read as part of the path.
bool DriveColon(const std::string& path, std::size_t i) {
  return i == 1 && std::isalpha(static_cast<unsigned char>(path[0])) && path.size() > 2 &&
         (path[2] == '/' || path[2] == '\\');
}

bool Escape(const std::string& path, std::string* out, std::string* error) {
  std::size_t backslashes = 0;  // how many came just before this character
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    const bool afterBackslash = backslashes > 0;
    if (Unwritable(static_cast<unsigned char>(c)) ||
        (afterBackslash && (c == '#' || c == ':')) ||
        (c == '\\' && i + 1 == path.size())) {
      *error = "Cannot list \"" + path + "\" in a depfile: Make and Ninja cannot both read it";
      return false;
    }
    if (c == ' ') {
      // 2N+1 backslashes and a space read as N backslashes and a space.
      out->append(backslashes + 1, '\\');
    } else if (c == '#' || (c == ':' && !DriveColon(path, i))) {
      *out += '\\';
    } else if (c == '$') {
      *out += '$';
    }
    *out += c;
    backslashes = c == '\\' ? backslashes + 1 : 0;
  }
  return true;
}

}  // namespace

bool DepfileText(const std::string& target, const std::vector<std::string>& inputs,
                 std::string* text, std::string* error) {
  text->clear();
  if (!Escape(target, text, error)) return false;
  *text += ":";
  for (const std::string& input : inputs) {
    *text += " ";
    if (!Escape(input, text, error)) return false;
  }
  *text += "\n";
  return true;
}

}  // namespace qx
