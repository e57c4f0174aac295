#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  qx::platform::SetUpProcess();
  return qx::RunConverter(qx::platform::CommandLine(argc, argv));
}
