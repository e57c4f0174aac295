// Make-style dependency files ("OUTPUT: INPUT..."), which Ninja and Make read to
// rerun a conversion when any file the import read has changed.
#pragma once

#include <string>
#include <vector>

namespace qx {

// Who reads the depfile: any Make-style tool (Make and Ninja alike), or Ninja alone
// (directly or through CMake's depfile handling for its Ninja generators).
enum class DepfileReader { kMakeAndNinja, kNinja };

// One rule line that the reader takes as the same paths: spaces, '#', ':' (but a
// Windows drive's) and '$' are escaped (with backslashes before a space doubled, as
// both expect). A path that cannot be written so (a tab or newline, one of
// " ' * ; & ? < > | ^ ` =, a backslash at the end or before '#' or ':'; and where Make
// reads it too, a '[', a leading '~', a name ending in ')' that holds a '(', a '%' in
// the target) is refused: false with *error naming it.
bool DepfileText(const std::string& target, const std::vector<std::string>& inputs,
                 DepfileReader reader, std::string* text, std::string* error);

// The inputs of a rule line as DepfileText writes it, read the way Ninja and Make read
// it: "$$" is '$', "\#" and "\:" are '#' and ':', 2N+1 backslashes before a space are
// N backslashes and a space and 2N are N and the end of the name, and any other
// backslash is itself. The target, up to the first ':' that ends a word, is left out.
std::vector<std::string> DepfileInputs(const std::string& text);

}  // namespace qx
