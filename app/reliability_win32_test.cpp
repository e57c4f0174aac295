// The Windows counterparts of the fault-injection runs: the hazards Windows has too
// (a read-only output, NUL, an output held open by another process, paths past the
// old 260-character limit, names outside the ANSI code page). Resource limits, other
// users and FIFOs have no Windows form; those runs are in reliability_test.cpp.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <set>

#include "testing/banner.h"
#include "testing/cursor.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::FileExists;
using testing::kBanner;
using testing::Listing;
using testing::ReadFile;
using testing::RunQXConvert;
using testing::TempDir;
using testing::WriteFile;

const std::string kPixelsAsset = testing::Header("QTEX") + "pixels";

std::wstring Wide(const std::string& path) { return std::filesystem::u8path(path).wstring(); }

TEST(WindowsOutputs, ReadOnlyAndLockedOutputsFailAndKeepThePreviousFile) {
  TempDir dir;
  WriteFile(dir / "a.png", "pixels");
  WriteFile(dir / "readonly.img", "previous");
  SetFileAttributesW(Wide(dir / "readonly.img").c_str(), FILE_ATTRIBUTE_READONLY);
  const auto readonly = RunQXConvert({"tex", dir / "a.png", dir / "readonly.img"});
  EXPECT_EQ(readonly.out, kBanner + "Failed to open file with errno 13\n");
  EXPECT_EQ(readonly.exitCode, 1);
  SetFileAttributesW(Wide(dir / "readonly.img").c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ReadFile(dir / "readonly.img"), "previous");

  // Another process holds the output open and shares nothing: it cannot be replaced.
  WriteFile(dir / "locked.img", "previous");
  HANDLE held = CreateFileW(Wide(dir / "locked.img").c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const auto locked = RunQXConvert({"tex", dir / "a.png", dir / "locked.img"});
  CloseHandle(held);
  EXPECT_EQ(locked.exitCode, 1) << locked.out;
  EXPECT_EQ(ReadFile(dir / "locked.img"), "previous");
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"a.png", "locked.img", "readonly.img"}));
}

TEST(WindowsOutputs, NulLongPathsAndUnicodeNamesWork) {
  TempDir dir;
  WriteFile(dir / "a.png", "pixels");
  const auto nul = RunQXConvert({"tex", dir / "a.png", "NUL"});
  EXPECT_EQ(nul.out, kBanner + "Wrote encrypted NUL\n");
  EXPECT_EQ(nul.exitCode, 0);

  std::string deep = dir.path();
  for (int i = 0; i < 3; ++i) deep += "/" + std::string(100, char('a' + i));
  std::filesystem::create_directories(std::filesystem::u8path(deep));
  ASSERT_GT(deep.size(), 260u);
  WriteFile(deep + "/a.png", "pixels");
  const auto longPath = RunQXConvert({"tex", deep + "/a.png", deep + "/out.img", "-ue"});
  EXPECT_EQ(longPath.exitCode, 0) << longPath.out;
  EXPECT_EQ(ReadFile(deep + "/out.img"), kPixelsAsset);

  for (const std::string name : {"\xCE\xA9 space.png", "\xE6\x97\xA5\xE6\x9C\xAC.png"}) {
    WriteFile(dir / name, "pixels");
    const auto r = RunQXConvert({"tex", dir / name, dir / (name + ".img"), "-ue"});
    EXPECT_EQ(r.out, kBanner + "Wrote " + dir / (name + ".img") + "\n");
    EXPECT_EQ(ReadFile(dir / (name + ".img")), kPixelsAsset);
  }
}

}  // namespace
}  // namespace qx
