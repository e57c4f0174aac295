#include "app/depfile.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

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

// Whole-word readings of Make's that Ninja does not share and no escape both undo: a
// '[' starts a wildcard that matches other files when they exist, a leading '~' is a
// home folder, "name(member)" an archive member, and a '%' in the target makes the
// rule a pattern rule.
bool MakeReadsOtherwise(const std::string& path, bool target) {
  return path.find('[') != std::string::npos || path[0] == '~' ||
         (path.back() == ')' && path.find('(') != std::string::npos) ||
         (target && path.find('%') != std::string::npos);
}

bool Escape(const std::string& path, bool target, DepfileReader reader, std::string* out,
            std::string* error) {
  const std::string refused =
      "Cannot list \"" + path + "\" in a depfile: " +
      (reader == DepfileReader::kNinja ? "Ninja cannot read it" : "Make and Ninja cannot both read it");
  if (!path.empty() && reader == DepfileReader::kMakeAndNinja && MakeReadsOtherwise(path, target)) {
    *error = refused;
    return false;
  }
  std::size_t backslashes = 0;  // how many came just before this character
  for (std::size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    const bool afterBackslash = backslashes > 0;
    if (Unwritable(static_cast<unsigned char>(c)) ||
        (afterBackslash && (c == '#' || c == ':')) ||
        (c == '\\' && i + 1 == path.size())) {
      *error = refused;
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
                 DepfileReader reader, std::string* text, std::string* error) {
  text->clear();
  if (!Escape(target, true, reader, text, error)) return false;
  *text += ":";
  for (const std::string& input : inputs) {
    *text += " ";
    if (!Escape(input, false, reader, text, error)) return false;
  }
  *text += "\n";
  return true;
}

std::vector<std::string> DepfileInputs(const std::string& text) {
  std::vector<std::string> inputs;
  std::string name;
  bool target = true;
  auto flush = [&] {
    if (!name.empty() && !target) inputs.push_back(name);
    name.clear();
  };
  const std::string line = text.substr(0, text.find('\n'));
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '$' && i + 1 < line.size() && line[i + 1] == '$') {
      name += '$';
      ++i;
    } else if (c == '\\') {
      std::size_t n = 0;
      while (i + n < line.size() && line[i + n] == '\\') ++n;
      const char next = i + n < line.size() ? line[i + n] : '\0';
      if (next == ' ') {
        name.append(n / 2, '\\');
        if (n % 2 == 1) {
          name += ' ';
        } else {
          flush();
        }
        i += n;
      } else if (n == 1 && (next == '#' || next == ':')) {
        name += next;
        ++i;
      } else {
        name.append(n, '\\');
        i += n - 1;
      }
    } else if (c == ':' && target && (i + 1 == line.size() || line[i + 1] == ' ')) {
      name.clear();
      target = false;
    } else if (c == ' ') {
      flush();
    } else {
      name += c;
    }
  }
  flush();
  return inputs;
}

}  // namespace qx
