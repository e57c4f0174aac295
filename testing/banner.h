// Test helper: the first line QXConvert prints on every run, from the generated version.
#pragma once

#include <string>

#include "app/version.h"

namespace qx::testing {

inline const std::string kBanner = "QXConvert v" QX_VERSION "\n";

}  // namespace qx::testing
