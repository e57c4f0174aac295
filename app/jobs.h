// Many conversions from one process: a batch of command lines (--batch) and Bazel's
// persistent worker (--bazel-action --persistent_worker). The scene importer is loaded
// once; each job then runs in a child forked from this warm process, through the very
// entry a one-off run takes (RunConverter), so a crash, hang or blow-up stays in that
// job, under the same -timeout and -memory bounds, and prints what a one-off run
// prints. Where the system cannot fork (Windows) each job is a new QXConvert process:
// the same results, without the warmth.
#pragma once

#include <string>
#include <vector>

namespace qx {

// What one job printed and how it ended, as a one-off run with the same arguments.
struct JobResult {
  std::string out;
  std::string err;
  int exitCode = 1;
  long pid = 0;  // the process that ran it
};

class JobRunner {
 public:
  // program: the path the one-off runs are given as their first argument. jobsReadInput:
  // a job reads this process's standard input, as a one-off run would (a source named
  // /dev/stdin); otherwise, where that input carries the jobs themselves, the null device.
  JobRunner(std::string program, bool jobsReadInput);
  ~JobRunner();
  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  // args: a QXConvert command line without the program. A job that ends on a signal
  // the run could not catch exits with 128 + the signal, as a shell reports it, and a
  // line on standard error names the signal.
  JobResult Run(const std::vector<std::string>& args);

 private:
  std::string program_;
  bool jobsReadInput_;
  std::string tempFolder_;  // where a job's output is collected when it cannot fork
};

// True when args (the whole command line) select one of these entries, which no
// one-off command line reaches (their first argument is no asset type); *exitCode is
// then the entry's:
//   --batch FILE|-                        one job per line, its arguments separated by tabs
//   --bazel-action DEPFILE DECLARED ARGS  one Bazel action, arguments also from @FILE
//   --bazel-action --persistent_worker    Bazel's JSON worker protocol on stdin/stdout
bool RunManyEntry(const std::vector<std::string>& args, int* exitCode);

}  // namespace qx
