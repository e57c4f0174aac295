// Warm runs (--batch, --bazel-action and its persistent worker) against one-off runs of
// the same command lines: the same output, exit codes, bytes, depfiles and reports,
// and a job that crashes or hangs fails alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace qx {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::string TabLine(const std::vector<std::string>& args) {
  std::string line;
  for (const std::string& arg : args) line += (line.empty() ? "" : "\t") + arg;
  return line + "\n";
}

// A report without the times it records, which differ from run to run.
nlohmann::json Timeless(nlohmann::json value) {
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end();) {
      if (it.key() == "seconds") {
        it = value.erase(it);
      } else {
        it.value() = Timeless(it.value());
        ++it;
      }
    }
  } else if (value.is_array()) {
    for (auto& item : value) item = Timeless(item);
  }
  return value;
}

// Every kind, with a depfile and a report, in one batch: each job prints what its
// one-off run prints and writes the same bytes, depfile and report; the batch's exit
// code is the worst job's.
TEST(WarmRuns, BatchMatchesOneOffRunsForEveryKind) {
  TempDir dir;
  const std::string examples = QX_EXAMPLES_DIR;
  WriteFile(dir / "crate.obj", ReadFile(examples + "/crate.obj"));
  WriteFile(dir / "crate.mtl", ReadFile(examples + "/crate.mtl"));
  const std::vector<std::vector<std::string>> sources = {
      {"mdl", dir / "crate.obj"},          {"anm", examples + "/walk.bvh"},
      {"tex", examples + "/grass.tga"},    {"mus", examples + "/theme.mod"},
      {"snd", examples + "/blip.wav"},     {"mdl", dir / "missing.obj"},
      {"tex", dir / "crate.obj", "-ue"}};
  std::string batch, expectedOut, expectedErr;
  int worst = 0;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    auto args = [&](const std::string& tag) {
      std::vector<std::string> a = {sources[i][0], sources[i][1], dir / (tag + std::to_string(i) + ".out"),
                                    "-depfile=" + dir / (tag + std::to_string(i) + ".d"),
                                    "-report=" + dir / (tag + std::to_string(i) + ".json")};
      a.insert(a.end(), sources[i].begin() + 2, sources[i].end());
      return a;
    };
    batch += TabLine(args("warm"));
    // The one-off run writes the same paths; its files are kept aside under other names.
    const auto once = testing::RunQXConvert(args("warm"));
#if defined(_WIN32)
    // Each job is a process of its own there, and its two streams come back as one.
    expectedOut += once.out + once.err;
#else
    expectedOut += once.out;
    expectedErr += once.err;
#endif
    expectedOut += "Job " + std::to_string(i + 1) + " exited with code " + std::to_string(once.exitCode) + "\n";
    worst = std::max(worst, once.exitCode);
    for (const char* suffix : {".out", ".d", ".json"}) {
      const std::string from = dir / ("warm" + std::to_string(i) + suffix);
      if (testing::FileExists(from)) std::filesystem::rename(from, dir / ("cold" + std::to_string(i) + suffix));
    }
  }
  // A NUL byte, which no command line can hold, fails its job rather than cut the name
  // short and convert another file.
  batch += "tex\t" + examples + "/grass.tga" + std::string(1, '\0') + "x\t" + dir / "nul.img\n";
  expectedErr += "QXConvert: the argument " + examples + "/grass.tga... holds a NUL byte, which no file name can\n";
  expectedOut += "Job " + std::to_string(sources.size() + 1) + " exited with code 1\n";
  // As a Windows editor may save it: a byte order mark first, CR LF line ends.
  std::string saved = "\xEF\xBB\xBF";
  for (const char c : batch) saved += c == '\n' ? std::string("\r\n") : std::string(1, c);
  WriteFile(dir / "jobs", saved);
  const auto warm = testing::RunQXConvert({"--batch", dir / "jobs"});
  EXPECT_EQ(warm.out, expectedOut);
  EXPECT_EQ(warm.err, expectedErr);
  EXPECT_EQ(warm.exitCode, worst);
  EXPECT_EQ(worst, 1);  // the missing source
  EXPECT_FALSE(testing::FileExists(dir / "nul.img"));
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const std::string n = std::to_string(i);
    ASSERT_EQ(testing::FileExists(dir / ("warm" + n + ".out")), testing::FileExists(dir / ("cold" + n + ".out"))) << i;
    if (!testing::FileExists(dir / ("cold" + n + ".out"))) continue;
    EXPECT_EQ(ReadFile(dir / ("warm" + n + ".out")), ReadFile(dir / ("cold" + n + ".out"))) << i;
    EXPECT_EQ(ReadFile(dir / ("warm" + n + ".d")), ReadFile(dir / ("cold" + n + ".d"))) << i;
    auto report = Timeless(nlohmann::json::parse(ReadFile(dir / ("warm" + n + ".json"))));
    auto cold = Timeless(nlohmann::json::parse(ReadFile(dir / ("cold" + n + ".json"))));
    EXPECT_EQ(report, cold) << i;
  }
}

#if !defined(_WIN32)
// A script that drives --batch - one job at a time: each job runs, and its outcome line
// comes, while the list is still open (a CRLF line end included), so the script can send
// the next job after reading it.
TEST(WarmRuns, BatchFromStandardInputAnswersEachJobAsItComes) {
  if (const char* reason = testing::Unavailable(testing::Need::kPosixShell)) GTEST_SKIP() << reason;
  TempDir dir;
  WriteFile(dir / "grass.tga", "pixels");
  const std::string script =
      "cd '" + dir.path() + "' && mkfifo jobs && (" + testing::ToolInShell(QXCONVERT_EXE) +
      " --batch - < jobs > out 2>&1 &) && exec 3> jobs && printf 'tex\\tgrass.tga\\t1.img\\r\\n' >&3 && "
      "i=0; until grep -q 'Job 1 exited' out; do i=$((i+1)); [ $i -lt 200 ] || { echo late; break; }; "
      "sleep 0.05; done; printf 'tex\\tgrass.tga\\t2.img\\n' >&3; exec 3>&-; "
      "until grep -q 'Job 2 exited' out; do sleep 0.05; done; cat out";
  const auto run = testing::RunProcess("/bin/sh", {"-c", script});
  EXPECT_EQ(run.out, "QXConvert v1.00\nWrote encrypted 1.img\nJob 1 exited with code 0\n"
                     "QXConvert v1.00\nWrote encrypted 2.img\nJob 2 exited with code 0\n");
}
// A list read from a file leaves standard input to the jobs, as it is to one-off runs:
// a job whose source is /dev/stdin converts what was sent there.
TEST(WarmRuns, BatchFromAFileLeavesStandardInputToItsJobs) {
  if (const char* reason = testing::Unavailable(testing::Need::kPosixShell)) GTEST_SKIP() << reason;
  TempDir dir;
  WriteFile(dir / "tri.ply",
            "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
            "property float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n"
            "0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");
  WriteFile(dir / "jobs", TabLine({"mdl", "/dev/stdin", "warm.mdl"}));
  const std::string tool = testing::ToolInShell(QXCONVERT_EXE);
  const auto run = testing::RunProcess(
      "/bin/sh", {"-c", "cd '" + dir.path() + "' && " + tool + " mdl /dev/stdin once.mdl < tri.ply > /dev/null && " +
                            tool + " --batch jobs < tri.ply"});
  EXPECT_EQ(run.out, "QXConvert v1.00\nWrote encrypted warm.mdl\nJob 1 exited with code 0\n") << run.err;
  ASSERT_TRUE(testing::FileExists(dir / "once.mdl"));
  EXPECT_EQ(ReadFile(dir / "warm.mdl"), ReadFile(dir / "once.mdl"));
}
#endif

#if defined(QX_MISBEHAVING_IMPORTER)
// Bazel's worker, through the importer stand-in: a crash and a hang among good jobs
// fail alone with the one-off run's message, and every job, before and after them, is
// a child of the one worker. Requests come as Bazel writes them, one on several lines
// and one from a params file, and a cancel for one already answered gets no second
// answer. An undeclared file the import read fails the action by
// name, and a good action answers with no output.
TEST(WarmRuns, PersistentWorkerContainsCrashesAndHangs) {
  TempDir dir;
  const std::string exe = dir / "QXConvert";
  std::filesystem::copy_file(QXCONVERT_EXE, exe);
  std::filesystem::copy_file(QX_MISBEHAVING_IMPORTER, dir / QX_SCENE_MODULE_NAME);
  for (const char* word : {"fault", "hang", "parent"}) WriteFile(dir / (std::string(word) + ".fbx"), word);
  WriteFile(dir / "grass.tga", "pixels");
  WriteFile(dir / "declared", dir / "grass.tga" + "\n");
  const std::vector<std::vector<std::string>> jobs = {
      {"mdl", dir / "parent.fbx", dir / "p.mdl", "-timeout=1"},
      {"mdl", dir / "fault.fbx", dir / "f.mdl", "-timeout=1"},
      {"tex", dir / "grass.tga", dir / "g.img", "-depfile=" + dir / "g.d"},
      {"mdl", dir / "hang.fbx", dir / "h.mdl", "-timeout=1"},
      {"mdl", dir / "parent.fbx", dir / "p.mdl", "-timeout=1"},
      {"tex", dir / "parent.fbx", dir / "u.img", "-depfile=" + dir / "u.d"}};
  std::string requests;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    nlohmann::json args = {dir / "g.d", dir / "declared"};
    if (jobs[i][0] == "tex") args[0] = jobs[i][3].substr(9);
    for (const std::string& a : jobs[i]) args.push_back(a);
    if (i == 2) {
      std::string params;
      for (const auto& a : args) params += a.get<std::string>() + "\n";
      WriteFile(dir / "params", params);
      args = {"@" + dir / "params"};
    }
    requests += nlohmann::json({{"arguments", args}, {"requestId", i + 1}}).dump(i == 3 ? 1 : -1) + "\n";
    // Bazel cancels a request it has had no answer to yet; this worker answers each
    // before reading on, so a cancel finds nothing to do and gets no answer.
    if (i == 2) requests += nlohmann::json({{"requestId", i + 1}, {"cancel", true}}).dump() + "\n";
  }
  testing::ProcessOptions options;
  // Valid JSON of the wrong shape is answered under its id, and says so.
  requests += R"({"arguments": [7], "requestId": 99})" "\n";
  options.input = requests;
  const auto worker = testing::RunProcess(exe, {"--bazel-action", "--persistent_worker"}, options);
  EXPECT_EQ(worker.exitCode, 0) << worker.err;
  std::vector<nlohmann::json> responses;
  std::size_t start = 0;
  for (std::size_t end; (end = worker.out.find('\n', start)) != std::string::npos; start = end + 1) {
    responses.push_back(nlohmann::json::parse(worker.out.substr(start, end - start)));
  }
  ASSERT_EQ(responses.size(), jobs.size() + 1) << worker.out;
  EXPECT_EQ(responses.back()["requestId"], 99);
  EXPECT_EQ(responses.back()["exitCode"], 2);
  EXPECT_EQ(responses.back()["output"].get<std::string>().rfind(
                "QXConvert: a work request whose arguments are not all strings", 0), 0u);
  responses.pop_back();
  std::vector<std::string> parents;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const nlohmann::json& r = responses[i];
    EXPECT_EQ(r["requestId"], i + 1);
    const std::string output = r["output"];
    if (jobs[i][1] == dir / "parent.fbx" && jobs[i][0] == "mdl") {
      // The stand-in's refusal names the process that ran the import's parent.
      const std::size_t at = output.find("parent ");
      ASSERT_NE(at, std::string::npos) << output;
      parents.push_back(output.substr(at));
      continue;
    }
    if (i == 2) {
      EXPECT_EQ(r["exitCode"], 0) << output;
      EXPECT_EQ(output, "");
      EXPECT_TRUE(testing::FileExists(dir / "g.img"));
      continue;
    }
    if (i == 5) {
      EXPECT_EQ(r["exitCode"], 1);
      EXPECT_EQ(output, "QXConvert read " + dir / "parent.fbx" + ", which is not declared: add it to deps\n");
      continue;
    }
    // What the one-off run prints, standard output then standard error.
    const auto once = testing::RunProcess(exe, jobs[i]);
    EXPECT_EQ(output, once.out + once.err) << i;
    EXPECT_EQ(r["exitCode"], once.exitCode) << i;
    EXPECT_NE(output.find(i == 1 ? "stopped on an internal error" : "did not finish"), std::string::npos) << output;
  }
  ASSERT_EQ(parents.size(), 2u);
  EXPECT_EQ(parents[0], parents[1]);
  // The one-off run's import has no parent in common with the worker's.
  EXPECT_EQ(testing::RunProcess(exe, jobs[0]).out.find(parents[0]), std::string::npos);
}
#endif

}  // namespace
}  // namespace qx
