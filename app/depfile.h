// Make-style dependency files ("OUTPUT: INPUT..."), which Ninja and Make read to
// rerun a conversion when any file the import read has changed.
#pragma once

#include <string>
#include <vector>

namespace qx {

// One rule line that Ninja and Make both read as the same paths: spaces, '#', ':' (but
// a Windows drive's) and '$' are escaped (with backslashes before a space doubled, as both expect). A path
// that they cannot both read (a tab or newline, one of " ' * ; & ? < > | ^ ` = [, a
// backslash at the end or before '#' or ':', a leading '~', a name ending in ')' that
// holds a '(', a '%' in the target) is refused: false with *error naming it.
bool DepfileText(const std::string& target, const std::vector<std::string>& inputs,
                 std::string* text, std::string* error);

}  // namespace qx
