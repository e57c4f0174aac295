// One conversion run: the whole life of the QXConvert process, from the argument
// list to the exit code. Standard output carries the banner, the outcome line and the
// prompts; standard error only the missing-input message.
#pragma once

#include <string>
#include <vector>

#include "app/version.h"

namespace qx {

// The usage text, printed in one piece with nothing after it.
extern const char kUsageText[];

// args: every process argument, the program path first, as UTF-8.
int RunConverter(const std::vector<std::string>& args);

}  // namespace qx
