// Test helper: runs a program with arguments and standard input bytes, and collects
// its standard output, standard error and exit code separately.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qx::testing {

struct ProcessResult {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 when the child did not exit normally
  int signal = 0;     // the signal that ended it, if any
};

struct ProcessOptions {
  std::string input;             // written to the child's standard input, then closed
  std::string workingDirectory;  // empty: the parent's
  // Runs in the child before exec (resource limits, signal dispositions).
  std::function<void()> beforeExec;
};

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// The converter built beside the tests.
ProcessResult RunConverter(const std::vector<std::string>& args,
                           const ProcessOptions& options = {});

}  // namespace qx::testing
