// The bounds on one model or animation import, defined once: the largest values
// -timeout= and -memory= accept, and the ones the CMake function and the Bazel rules
// pass unless told otherwise. CMake reads this file to write them into its function
// and the man page; the Bazel rules and the docs are held to it by a test.
#pragma once

#include <cstdint>

namespace qx {

inline constexpr std::uint64_t kMaxImportSeconds = 86400;   // a day
inline constexpr std::uint64_t kMaxImportMiB = 16777216;    // 16 TiB
inline constexpr std::uint64_t kDefaultImportSeconds = 600;
inline constexpr std::uint64_t kDefaultImportMiB = 8192;

}  // namespace qx
