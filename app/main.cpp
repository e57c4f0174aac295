#include "app/jobs.h"
#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  qx::platform::SetUpProcess();
  const std::vector<std::string> args = qx::platform::CommandLine(argc, argv);
  int exitCode = 0;
  if (qx::RunManyEntry(args, &exitCode)) return exitCode;
  return qx::RunConverter(args);
}
