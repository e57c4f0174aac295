// What the build rules, the Blender add-on and the docs repeat of the code's facts,
// where generating them is awkward (Bazel and Blender read these files from the
// source tree as they are): each must say what the one definition says.
#include <gtest/gtest.h>

#include <string>

#include "app/version.h"
#include "convert/import_bounds.h"
#include "convert/mesh_work.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

std::string Source(const std::string& path) {
  return testing::ReadFile(std::string(QX_SOURCE_DIR) + "/" + path);
}

void ExpectHolds(const std::string& path, const std::string& text) {
  EXPECT_NE(Source(path).find(text), std::string::npos) << path << " does not say: " << text;
}

TEST(PublishedFacts, BoundsAreTheCodes) {
  const std::string seconds = std::to_string(kMaxImportSeconds);
  const std::string mib = std::to_string(kMaxImportMiB);
  const std::string defaultSeconds = std::to_string(kDefaultImportSeconds);
  const std::string defaultMiB = std::to_string(kDefaultImportMiB);
  ExpectHolds("bazel/defs.bzl", "\"timeout\": attr.int(default = " + defaultSeconds +
                                    ", doc = \"seconds, 1 to " + seconds + "\")");
  ExpectHolds("bazel/defs.bzl",
              "\"memory\": attr.int(default = " + defaultMiB + ", doc = \"MiB, 1 to " + mib + "\")");
  ExpectHolds("bazel/defs.bzl", "timeout = " + defaultSeconds + ", memory = " + defaultMiB + ",");
  ASSERT_EQ(kMaxImportMiB % (1u << 20), 0u);
  ExpectHolds("docs/outputs.md", "(1 to " + seconds + " seconds, 1 MiB to " +
                                     std::to_string(kMaxImportMiB >> 20) + " TiB;");
  ExpectHolds("docs/outputs.md", "`-timeout=" + defaultSeconds + " -memory=" + defaultMiB + "`");
  ExpectHolds("docs/cmake.md", "TIMEOUT " + defaultSeconds + " MEMORY " + defaultMiB + ")");
  ExpectHolds("bazel/defs.bzl", "\n_MAX_RATIO_DECIMALS = " + std::to_string(kMaxRatioDecimals) + "\n");
}

// Blender reads bl_info without running the add-on, and the manifest is plain TOML.
TEST(PublishedFacts, AddOnAndDocsHaveTheVersion) {
  std::string tuple = QX_PACKAGE_VERSION;
  for (std::size_t dot = tuple.find('.'); dot != std::string::npos; dot = tuple.find('.', dot)) {
    tuple.replace(dot, 1, ", ");
  }
  ExpectHolds("blender/qxconvert/__init__.py", "\"version\": (" + tuple + "),");
  ExpectHolds("blender/qxconvert/blender_manifest.toml",
              "\nversion = \"" QX_PACKAGE_VERSION "\"\n");
  ExpectHolds("README.md", "The run prints `QXConvert v" QX_VERSION "`");
  ExpectHolds("docs/windows.md", "qxconvert-" QX_PACKAGE_VERSION "-win64.zip");
}

}  // namespace
}  // namespace qx
