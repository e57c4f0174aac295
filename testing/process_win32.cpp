// Running a child process on Windows: CreateProcessW with three pipes, each drained
// (or fed) by its own thread so that none fills up and stalls the child.
#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <thread>

#include "platform/platform.h"
#include "testing/process.h"

namespace qx::testing {
namespace {

std::wstring Widen(const std::string& text) { return std::filesystem::u8path(text).wstring(); }

void Drain(HANDLE pipe, std::string* into) {
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) into->append(buffer, got);
}

// Tests compare lines, not line endings: a console tool's output is in text mode.
std::string Lines(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  if (options.beforeExec) throw std::runtime_error("beforeExec needs POSIX");
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE in[2], out[2], err[2];  // read end, write end
  if (!CreatePipe(&in[0], &in[1], &inherit, 0) || !CreatePipe(&out[0], &out[1], &inherit, 0) ||
      !CreatePipe(&err[0], &err[1], &inherit, 0)) {
    throw std::runtime_error("CreatePipe");
  }
  // The parent's ends stay with the parent.
  SetHandleInformation(in[1], HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out[0], HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err[0], HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine = platform::CommandLineOf(program, args);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in[0];
  startup.hStdOutput = out[1];
  startup.hStdError = err[1];
  PROCESS_INFORMATION child = {};
  const std::wstring directory = Widen(options.workingDirectory);
  if (!CreateProcessW(Widen(program).c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup, &child)) {
    throw std::runtime_error("CreateProcessW " + program);
  }
  CloseHandle(in[0]);
  CloseHandle(out[1]);
  CloseHandle(err[1]);

  ProcessResult result;
  std::thread feeder([&] {
    DWORD written = 0;
    if (!options.input.empty()) {
      WriteFile(in[1], options.input.data(), static_cast<DWORD>(options.input.size()), &written,
                nullptr);
    }
    CloseHandle(in[1]);
  });
  std::thread errors([&] { Drain(err[0], &result.err); });
  Drain(out[0], &result.out);
  errors.join();
  feeder.join();
  CloseHandle(out[0]);
  CloseHandle(err[0]);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  result.exitCode = static_cast<int>(code);
  result.out = Lines(result.out);
  result.err = Lines(result.err);
  return result;
}

const char* Unavailable(Need need) {
  switch (need) {
    case Need::kChildSetup: return "Windows has no per-process file size limit and no setuid";
    case Need::kFullDevice: return "Windows has no device on which every write fails full";
    case Need::kPosixShell: return "needs /bin/sh, FIFOs and POSIX signals";
    case Need::kProcFiles: return "Windows has no /proc";
    case Need::kNinjaAndMake: return "Ninja and Make are not installed under Wine";
    case Need::kNativeTools: return nullptr;  // Wine runs the tests and the tools alike
    case Need::kAssimpGltf: return nullptr;
  }
  return "unknown";
}

void LimitFileSize(unsigned long long) {}

void LimitProcessorSeconds(unsigned) {}

const char* Emulator() { return nullptr; }

std::string ToolInShell(const std::string& tool) { return "\"" + tool + "\""; }

}  // namespace qx::testing
