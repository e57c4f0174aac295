#include "app/jobs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/depfile.h"
#include "app/run.h"
#include "convert/asset_loader.h"
#include "platform/platform.h"

namespace qx {

JobRunner::JobRunner(std::string program, bool jobsReadInput)
    : program_(std::move(program)), jobsReadInput_(jobsReadInput) {
  // What makes a one-off run of a model slow is loading Assimp: done once here, every
  // forked job starts with it. A failure is the job's to report, as a one-off run does.
  std::string ignored;
  if (platform::CanFork()) PreloadSceneImporter(&ignored);
}

JobRunner::~JobRunner() {
  if (!tempFolder_.empty()) platform::RemoveTempDirectory(tempFolder_);
}

namespace {

// mode is "rb", or "r" for text a process wrote in text mode.
bool ReadWholeFile(const std::string& path, const char* mode, std::string* text, std::string* error) {
  int number = 0;
  std::FILE* file = platform::OpenFile(path.c_str(), mode, &number);
  if (file == nullptr) {
    *error = "cannot read " + path + ": " + std::strerror(number);
    return false;
  }
  text->clear();
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) *error = "cannot read " + path;
  return !failed;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

void Print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

JobResult JobRunner::Run(const std::vector<std::string>& args) {
  JobResult result;
  // A command line cannot hold a NUL byte; the run would stop reading the argument
  // there and convert a file other than the one named.
  for (const std::string& arg : args) {
    if (arg.find('\0') != std::string::npos) {
      result.err = "QXConvert: the argument " + arg.substr(0, arg.find('\0')) +
                   "... holds a NUL byte, which no file name can\n";
      return result;
    }
  }
  std::vector<std::string> command{program_};
  command.insert(command.end(), args.begin(), args.end());
  std::string error;
  if (platform::CanFork()) {
    platform::ForkedRun run;
    if (!platform::RunForked([&] { return RunConverter(command); }, jobsReadInput_, &run, &error)) {
      result.err = "QXConvert: " + error + "\n";
      return result;
    }
    result.out = std::move(run.out);
    result.err = std::move(run.err);
    result.pid = run.pid;
    result.exitCode = run.exitCode;
    if (run.signal != 0) {
      result.exitCode = 128 + run.signal;
      result.err += "QXConvert: the run ended on signal " + std::to_string(run.signal) + "\n";
    }
    return result;
  }
  // No fork: the same run as a process of its own, its output collected in a file.
  if (tempFolder_.empty()) tempFolder_ = platform::MakeTempDirectory(&error);
  const std::string log = tempFolder_ + "/job.log";
  const int code = tempFolder_.empty()
                       ? -1
                       : platform::RunProgram(platform::ExecutablePath(), args, {}, log, {}, &error);
  // The job wrote its lines in text mode (CR LF on Windows) and this process writes
  // them out in text mode again: read in text mode, or every line would end CR CR LF.
  if (!tempFolder_.empty()) ReadWholeFile(log, "r", &result.out, &error);
  if (code < 0) {
    result.err = "QXConvert: the run failed: " + error + "\n";
    return result;
  }
  result.exitCode = code;
  return result;
}

namespace {

// One Bazel action: DEPFILE DECLARED ARGS... Runs the conversion, then holds every file
// its depfile names against the declared inputs (one path a line): a sandbox or a
// remote executor would hide an undeclared one, and the import would carry on
// without it (an OBJ without its materials). Success says nothing; a failure says
// what the run printed, or names the undeclared file.
int BazelAction(JobRunner& runner, const std::vector<std::string>& words, std::string* output) {
  // Arguments may come from a file (Bazel's params file, one argument a line).
  std::vector<std::string> args;
  for (const std::string& word : words) {
    std::string text, error;
    if (word.size() > 1 && word[0] == '@') {
      if (!ReadWholeFile(word.substr(1), "rb", &text, &error)) {
        *output = "QXConvert: " + error + "\n";
        return 1;
      }
      const std::vector<std::string> lines = Lines(text);
      args.insert(args.end(), lines.begin(), lines.end());
    } else {
      args.push_back(word);
    }
  }
  if (args.size() < 3) {
    *output = "QXConvert --bazel-action needs DEPFILE DECLARED and the conversion's arguments\n";
    return 2;
  }
  const std::string depfile = args[0];
  const std::string declaredList = args[1];
  const JobResult job = runner.Run(std::vector<std::string>(args.begin() + 2, args.end()));
  if (job.exitCode != 0) {
    *output = job.out + job.err;
    return job.exitCode;
  }
  std::string depText, declaredText, error;
  if (!ReadWholeFile(depfile, "rb", &depText, &error) ||
      !ReadWholeFile(declaredList, "rb", &declaredText, &error)) {
    *output = "QXConvert: " + error + "\n";
    return 1;
  }
  const std::vector<std::string> declared = Lines(declaredText);
  for (const std::string& input : DepfileInputs(depText)) {
    if (std::find(declared.begin(), declared.end(), input) == declared.end()) {
      *output = "QXConvert read " + input + ", which is not declared: add it to deps\n";
      return 1;
    }
  }
  output->clear();
  return 0;
}

// The next JSON object on standard input, whether Bazel writes it on one line or
// over several; false at the end of input.
bool NextObject(std::string* text) {
  text->clear();
  int depth = 0;
  bool quoted = false;
  bool escaped = false;
  for (int c; (c = std::fgetc(stdin)) != EOF;) {
    if (depth == 0 && c != '{') continue;
    text->push_back(static_cast<char>(c));
    if (quoted) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == '{') {
      ++depth;
    } else if (c == '}' && --depth == 0) {
      return true;
    }
  }
  return false;
}

// Bazel's JSON worker protocol: a WorkRequest {"arguments": [...], "requestId": N} in,
// a WorkResponse {"exitCode": N, "output": "...", "requestId": N} out, one at a time,
// until Bazel closes standard input. Standard output carries nothing else: each
// job's own output comes back from its child.
int PersistentWorker(JobRunner& runner) {
  using json = nlohmann::json;
  std::string text;
  while (NextObject(&text)) {
    json response;
    std::int64_t id = 0;
    std::string output;
    int code = 2;
    try {
      const json request = json::parse(text);
      id = request.value("requestId", std::int64_t{0});
      // Jobs run one at a time and each is answered before the next request is read:
      // the request a cancel names has had its answer, and must not get another.
      if (request.value("cancel", false)) continue;
      std::vector<std::string> words;
      for (const json& argument : request.value("arguments", json::array())) {
        words.push_back(argument.get<std::string>());
      }
      code = BazelAction(runner, words, &output);
    } catch (const json::parse_error& e) {
      output = std::string("QXConvert: a work request that is not valid JSON: ") + e.what() + "\n";
    } catch (const json::exception& e) {
      output = std::string("QXConvert: a work request whose arguments are not all strings or whose "
                           "requestId is not a number: ") + e.what() + "\n";
    }
    response["exitCode"] = code;
    response["output"] = output;
    response["requestId"] = id;
    Print(stdout, response.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");
  }
  return 0;
}

// The next line of stream without its line end (CRLF too); false at the end of input.
// Read as it arrives, so that a script can send a job, read its outcome, then send the
// next one.
bool NextLine(std::FILE* stream, std::string* line) {
  line->clear();
  int c;
  while ((c = std::fgetc(stream)) != EOF && c != '\n') line->push_back(static_cast<char>(c));
  if (c == EOF && line->empty()) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// One job per line, its arguments separated by tabs: no quoting, no shell. Each job
// prints what its one-off run prints, then "Job N exited with code C" on standard
// output; the batch's exit code is the highest of them.
int Batch(JobRunner& runner, const std::string& path) {
  std::FILE* list = stdin;
  if (path != "-") {
    int number = 0;
    list = platform::OpenFile(path.c_str(), "rb", &number);
    if (list == nullptr) {
      Print(stderr, "QXConvert: cannot read " + path + ": " + std::strerror(number) + "\n");
      return 1;
    }
  }
  int worst = 0;
  int number = 0;
  bool firstLine = true;
  for (std::string line; NextLine(list, &line); firstLine = false) {
    // A list saved by a Windows editor may begin with a UTF-8 byte order mark, which
    // would otherwise make the first job's asset type unknown.
    if (firstLine && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    if (line.empty()) continue;
    std::vector<std::string> args;
    for (std::size_t start = 0;;) {
      const std::size_t tab = line.find('\t', start);
      args.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    const JobResult job = runner.Run(args);
    Print(stdout, job.out);
    Print(stderr, job.err);
    Print(stdout, "Job " + std::to_string(++number) + " exited with code " + std::to_string(job.exitCode) + "\n");
    worst = std::max(worst, job.exitCode);
  }
  if (std::ferror(list) != 0) {
    Print(stderr, "QXConvert: cannot read " + (path == "-" ? std::string("standard input") : path) + "\n");
    worst = std::max(worst, 1);
  }
  if (list != stdin) std::fclose(list);
  return worst;
}

}  // namespace

bool RunManyEntry(const std::vector<std::string>& args, int* exitCode) {
  if (args.size() < 2 || (args[1] != "--batch" && args[1] != "--bazel-action")) return false;
  platform::UseHugePagesForHeap(args);
  if (args[1] == "--batch") {
    if (args.size() != 3) {
      Print(stderr, "QXConvert --batch needs one FILE, or - for standard input\n");
      *exitCode = 2;
      return true;
    }
    // A list from a file leaves standard input to the jobs; "-" takes it for the list.
    JobRunner runner(args[0], args[2] != "-");
    *exitCode = Batch(runner, args[2]);
    return true;
  }
  JobRunner runner(args[0], false);
  if (args.size() == 3 && args[2] == "--persistent_worker") {
    *exitCode = PersistentWorker(runner);
    return true;
  }
  std::string output;
  *exitCode = BazelAction(runner, std::vector<std::string>(args.begin() + 2, args.end()), &output);
  Print(stderr, output);
  return true;
}

}  // namespace qx
