// One conversion run: the whole life of the QXConvert process, from the argument
// list to the exit code. Standard output carries the banner, the outcome line and the
// prompts; standard error only the missing-input message and a line for each ignored
// argument that looks like a mistyped option.
#pragma once

#include <string>
#include <vector>

#include "app/version.h"

namespace qx {

// The usage text, printed in one piece with nothing after it.
const std::string& UsageText();

// args: every process argument, the program path first, as UTF-8.
int RunConverter(const std::vector<std::string>& args);

}  // namespace qx
