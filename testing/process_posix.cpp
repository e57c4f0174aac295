// Running a child process on POSIX systems: fork, exec, and poll over three pipes.
#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <cstdlib>
#include <stdexcept>

#include "format/little_endian.h"

namespace qx::testing {
namespace {

void ClosePair(int fds[2]) {
  close(fds[0]);
  close(fds[1]);
}

// The system's own programs run as they are; anything else is one of the tools
// built here, which runs under the emulator when there is one.
bool IsSystemProgram(const std::string& program) {
  return program.rfind("/bin/", 0) == 0 || program.rfind("/usr/", 0) == 0;
}

}  // namespace

const char* Emulator() {
  const char* emulator = std::getenv("QX_EMULATOR");
  return emulator != nullptr && *emulator != '\0' ? emulator : nullptr;
}

std::string ToolInShell(const std::string& tool) {
  const std::string quoted = "'" + tool + "'";
  return Emulator() != nullptr ? std::string(Emulator()) + " " + quoted : quoted;
}

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) throw std::runtime_error("pipe");
  std::vector<char*> argv;
  const bool emulated = Emulator() != nullptr && !IsSystemProgram(program);
  if (emulated) argv.push_back(const_cast<char*>(Emulator()));
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    ClosePair(in);
    ClosePair(out);
    ClosePair(err);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
      _exit(127);
    if (options.beforeExec) options.beforeExec();
    if (emulated) {
      execvp(argv[0], argv.data());
    } else {
      execv(program.c_str(), argv.data());
    }
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);

  // Feed input and drain both outputs together so no pipe fills up and stalls the child.
  signal(SIGPIPE, SIG_IGN);
  std::size_t written = 0;
  if (options.input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  ProcessResult result;
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen || in[1] >= 0) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
    fds[0].fd = outOpen ? out[0] : -1;
    fds[1].fd = errOpen ? err[0] : -1;
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else {
        (i == 0 ? outOpen : errOpen) = false;
      }
    }
    if (in[1] >= 0 && fds[2].revents != 0) {
      const ssize_t n = (fds[2].revents & POLLOUT) ? write(in[1], options.input.data() + written,
                                                           options.input.size() - written)
                                                   : -1;
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n <= 0 || written == options.input.size()) {
        close(in[1]);
        in[1] = -1;
      }
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProcessOptions Unprivileged(const std::string& dir, std::string* exe) {
  ProcessOptions options;
  *exe = QXCONVERT_EXE;
  if (geteuid() == 0) {
    options.beforeExec = [] {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
    };
    *exe = dir + "/QXConvert";
    std::filesystem::copy_file(QXCONVERT_EXE, *exe);
    chmod(exe->c_str(), 0755);
#ifdef QX_SCENE_MODULE_NAME
    // Models and animations are read by the module beside the tool.
    const std::filesystem::path module =
        std::filesystem::path(QXCONVERT_EXE).parent_path() / QX_SCENE_MODULE_NAME;
    if (std::filesystem::exists(module)) std::filesystem::copy_file(module, std::filesystem::path(dir) / QX_SCENE_MODULE_NAME);
#endif
  }
  return options;
}

const char* Unavailable(Need need) {
  if (need == Need::kAssimpGltf && !kLittleEndianHost) {
    return "Debian's Assimp 5.2.5 misreads glTF on big-endian machines (\"Mesh has no faces\") "
           "and writes GLB with a broken length";
  }
  if (need == Need::kNativeTools && Emulator() != nullptr) {
    return "the tools run under an emulator here, which strace sees instead of them and "
           "which ignores RLIMIT_AS";
  }
  return nullptr;
}

void LimitFileSize(unsigned long long bytes) {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit limit = {bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
}

void LimitProcessorSeconds(unsigned seconds) {
  const rlimit limit = {seconds, seconds};
  setrlimit(RLIMIT_CPU, &limit);
}

}  // namespace qx::testing
