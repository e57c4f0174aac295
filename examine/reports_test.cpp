// QXInspect reading conversion reports it did not write itself: whatever sits in a
// folder of reports or beside an asset, it never waits, never reads without bound,
// never passes a gate it could not check, and never sends a report's bytes raw to the
// terminal.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::ReadFile;
using testing::RunQXConvert;
using testing::RunQXInspect;
using testing::TempDir;
using testing::WriteFile;

const std::string kExamples = QX_EXAMPLES_DIR;

// crate.obj converted into folder as crate.mdl with its report crate.mdl.json.
nlohmann::json ConvertCrate(const std::string& folder) {
  std::filesystem::create_directories(folder);
  const auto r = RunQXConvert({"mdl", kExamples + "/crate.obj", folder + "/crate.mdl",
                               "-report=" + folder + "/crate.mdl.json"});
  if (r.exitCode != 0) throw std::runtime_error("crate.obj did not convert: " + r.out);
  return nlohmann::json::parse(ReadFile(folder + "/crate.mdl.json"));
}

// A FIFO named like a report, a link to /dev/zero and a file past the size bound: each
// is refused by name, at once (the timeout ends a QXInspect that waits on the FIFO).
TEST(Reports, OnlyRegularFilesOfBoundedSizeAreRead) {
  if (const char* why = testing::Unavailable(testing::Need::kPosixShell)) GTEST_SKIP() << why;
  TempDir dir;
  ConvertCrate(dir / "reports");
  WriteFile(dir / "reports/other.json", R"({"name": "not a report"})");
  testing::MakeSparseFile(dir / "reports/big.json", (std::int64_t{64} << 20) + 1);
  const auto made = testing::RunProcess(
      "/bin/sh", {"-c", "cd '" + dir.path() + "' && mkfifo reports/a.json t.mdl.json && "
                        "ln -s /dev/zero reports/z.json && cp reports/crate.mdl t.mdl && "
                        "mkfifo f.mdl && cp reports/crate.mdl.json f.mdl.json"});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  auto inspect = [&](const std::string& args) {
    return testing::RunProcess("/bin/sh", {"-c", "cd '" + dir.path() + "' && exec timeout 20 " +
                                                     testing::ToolInShell(QXINSPECT_EXE) + " " + args});
  };
  const auto summary = inspect("--summary-reports reports");
  EXPECT_EQ(summary.exitCode, 1) << summary.err;
  EXPECT_NE(summary.out.find("crate.mdl: not carried"), std::string::npos) << summary.out;
  for (const char* said : {"the report reports/a.json is not a regular file",
                           "the report reports/z.json is not a regular file",
                           "the report reports/big.json is larger than 64 MiB"}) {
    EXPECT_NE(summary.err.find(said), std::string::npos) << said << " not in\n" << summary.err;
  }
  EXPECT_EQ(summary.err.find("other.json"), std::string::npos) << summary.err;  // not a report: passed over

  const auto beside = inspect("t.mdl");
  EXPECT_EQ(beside.exitCode, 1);
  EXPECT_NE(beside.err.find("the report t.mdl.json is not a regular file"), std::string::npos) << beside.err;

  // An asset read from a FIFO is not opened a second time to match its report.
  const auto fifo = testing::RunProcess(
      "/bin/sh", {"-c", "cd '" + dir.path() + "' && { timeout 20 " + testing::ToolInShell(QXINSPECT_EXE) +
                            " f.mdl & cat reports/crate.mdl > f.mdl; wait $!; }"});
  EXPECT_EQ(fifo.exitCode, 1);
  EXPECT_NE(fifo.err.find("cannot read f.mdl to match it with its report: it is not a regular file"),
            std::string::npos) << fifo.err;
}

// --fail-on checks every report in the folder: one cut short, one of another schema
// version, one with null where a number belongs and ones whose whole numbers are out
// of range (a version that wraps to 1, a size below 0, a count no integer holds) and one
// nested 200,000 levels deep each fail the gate by name; JSON that does not claim to be
// a report is passed over.
TEST(Reports, TheGateFailsOnReportsItCannotRead) {
  TempDir dir;
  const nlohmann::json report = ConvertCrate(dir / "reports");
  WriteFile(dir / "reports/other.json", R"({"name": "not a report"})");
  const auto passing = RunQXInspect({"--summary-reports", dir / "reports", "--fail-on", "bones"});
  EXPECT_EQ(passing.exitCode, 0) << passing.err;
  EXPECT_EQ(passing.err, "");

  const std::string text = report.dump(2);
  WriteFile(dir / "reports/cut.json", text.substr(0, text.size() / 2));
  nlohmann::json version = report;
  version["schemaVersion"] = 2;
  WriteFile(dir / "reports/version.json", version.dump(2));
  nlohmann::json null = report;
  null["input"]["size"] = nullptr;
  WriteFile(dir / "reports/null.json", null.dump(2));
  nlohmann::json wraps = report;
  wraps["schemaVersion"] = (std::uint64_t{1} << 32) + 1;
  WriteFile(dir / "reports/wraps.json", wraps.dump(2));
  nlohmann::json negative = report;
  negative["input"]["size"] = -5;
  WriteFile(dir / "reports/negative.json", negative.dump(2));
  nlohmann::json huge = report;
  huge["meshes"][0]["vertices"] = 1e30;
  WriteFile(dir / "reports/huge.json", huge.dump(2));
  // Nested past what the parser copies without running out of stack.
  std::string deep = report.dump();
  deep.insert(1, "\"deep\": " + std::string(200000, '[') + std::string(200000, ']') + ", ");
  WriteFile(dir / "reports/deep.json", deep);
  const auto failing = RunQXInspect({"--summary-reports", dir / "reports", "--fail-on", "bones"});
  EXPECT_EQ(failing.exitCode, 1);
  for (const char* name : {"cut.json cannot be read: it is not JSON",
                           "version.json cannot be read: its schema version is 2",
                           "null.json cannot be read: a field is missing or of the wrong type",
                           "wraps.json cannot be read: its schema version is 4294967297",
                           "negative.json cannot be read: a field is out of range",
                           "huge.json cannot be read: a field is out of range",
                           "deep.json cannot be read: it nests arrays or objects more than 64 levels deep"}) {
    EXPECT_NE(failing.err.find(name), std::string::npos) << name << " not in\n" << failing.err;
  }
  EXPECT_EQ(failing.err.find("other.json"), std::string::npos) << failing.err;
}

// Names, paths and words from a report reach the terminal escaped, as mesh names do:
// a material name that would clear the screen and add a line of its own stays on its
// line, visible as \u001b and \n.
TEST(Reports, TheirTextReachesTheTerminalEscaped) {
  TempDir dir;
  nlohmann::json report = ConvertCrate(dir / "reports");
  report["meshes"][0]["material"] = "\x1b[2J\n  not carried: nothing at all";
  report["output"]["path"] = "crate\x1b[31m.mdl";
  report["notCarried"] = {{{"kind", "bones"}, {"count", 1}, {"concerns", nlohmann::json::array()},
                           {"text", "bones\r\nwarning: \x07"}}};
  WriteFile(dir / "reports/crate.mdl.json", report.dump(2));
  const auto beside = RunQXInspect({dir / "reports/crate.mdl"});
  ASSERT_EQ(beside.exitCode, 0) << beside.err;
  const auto summary = RunQXInspect({"--summary-reports", dir / "reports"});
  ASSERT_EQ(summary.exitCode, 0) << summary.err;
  for (const std::string& out : {beside.out, summary.out}) {
    for (char c : out) EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int(c) << " in\n" << out;
    EXPECT_EQ(out.find("\n  not carried: nothing at all"), std::string::npos) << out;
  }
  EXPECT_NE(beside.out.find(R"(material "\u001b[2J\n  not carried: nothing at all")"), std::string::npos)
      << beside.out;
  EXPECT_NE(summary.out.find(R"("crate\u001b[31m.mdl": not carried: bones 1)"), std::string::npos)
      << summary.out;
}

}  // namespace
}  // namespace qx
