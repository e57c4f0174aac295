// Make-style dependency files ("OUTPUT: INPUT..."), which Ninja and Make read to
// rerun a conversion when any file the import read has changed.
#pragma once

#include <string>
#include <vector>

namespace qx {

// One rule line; spaces, '#' and '$' in paths are escaped as Ninja and Make expect.
std::string DepfileText(const std::string& target, const std::vector<std::string>& inputs);

// Writes the file as asset files are written: complete or not at all.
bool WriteDepfile(const std::string& path, const std::string& text, std::string* error);

}  // namespace qx
