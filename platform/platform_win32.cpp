// The platform layer on Windows: the wide (UTF-16) Win32 and C runtime calls, so that
// every path works whatever the ANSI code page, and long paths work too.
#include <windows.h>
// After windows.h, which it needs.
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <psapi.h>
#include <shellapi.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "platform/platform.h"

namespace qx::platform {
namespace {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::string Narrow(const wchar_t* text, std::size_t length) {
  if (length == 0) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                       nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &narrow[0], size, nullptr,
                      nullptr);
  return narrow;
}

std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }

// A path for the wide calls. Long ones get the \\?\ prefix, which only absolute paths
// with backslashes may carry, so they are made whole first.
std::wstring WidePath(const std::string& path) {
  std::wstring wide = Widen(path);
  if (wide.size() < MAX_PATH - 12 || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  const DWORD length = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) return wide;
  std::wstring full(length, L'\0');
  full.resize(GetFullPathNameW(wide.c_str(), length, &full[0], nullptr));
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The C runtime's error number for the last Win32 error.
int ErrnoFromWin32(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    default: return EIO;
  }
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  if (slash == 0 || (slash == 2 && path[1] == ':')) return path.substr(0, slash + 1);
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// FILETIME's 100-nanosecond ticks as one number, and back.
std::int64_t Ticks(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime);
}
FILETIME FileTimeOf(std::int64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(ticks) >> 32);
  return time;
}

}  // namespace

std::vector<std::string> CommandLine(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr || count != argc) {
    if (wide != nullptr) LocalFree(wide);
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Narrow(wide[i], std::wcslen(wide[i])));
  LocalFree(wide);
  return args;
}

namespace {
BOOL WINAPI OnConsoleEvent(DWORD);
}  // namespace

void SetUpProcess() {
  DWORD mode;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) SetConsoleOutputCP(CP_UTF8);
  // Ctrl-C, Ctrl-Break and a closed console end the process through this handler.
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::FILE* OpenFile(const char* path, const char* mode, int* error) {
  std::FILE* file = nullptr;
  const std::wstring wide = WidePath(path);
  const errno_t result = _wfopen_s(&file, wide.c_str(), Widen(mode).c_str());
  if (result != 0 || file == nullptr) {
    // A directory is refused with EISDIR, as on POSIX, rather than a bare EACCES.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    const bool directory =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    *error = directory ? EISDIR : result != 0 ? result : EINVAL;
    return nullptr;
  }
  *error = 0;
  return file;
}

std::FILE* OpenRegularFile(const std::string& path, std::int64_t* size, bool* regular, int* error) {
  *regular = true;
  std::FILE* file = OpenFile(path.c_str(), "rb", error);
  if (file == nullptr) return nullptr;
  // Opening a pipe or a device here does not wait, reading it may: only files on a disk
  // are read.
  const int fd = _fileno(file);
  struct _stat64 info;
  if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != FILE_TYPE_DISK ||
      _fstat64(fd, &info) != 0 || (info.st_mode & _S_IFREG) == 0) {
    std::fclose(file);
    *regular = false;
    *error = 0;
    return nullptr;
  }
  *size = info.st_size;
  return file;
}

std::int64_t Tell(std::FILE* file) { return _ftelli64(file); }

int Seek(std::FILE* file, std::int64_t offset, int origin) {
  return _fseeki64(file, offset, origin);
}

bool PathExists(const char* path) {
  struct _stat64 info;
  if (_wstat64(WidePath(path).c_str(), &info) == 0) return true;
  // Devices such as NUL and CON exist without a directory entry.
  return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WaitForKey() {
  // _isatty is true for NUL as well; only a real console has a console mode.
  DWORD mode;
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    (void)_getch();
    return;
  }
  char key;
  (void)_read(0, &key, 1);
}

bool InspectOutput(const std::string& path, OutputTarget* target, int* error) {
  *target = OutputTarget();
  target->path = path;
  const std::wstring wide = WidePath(path);
  // Devices (NUL, CON) and named pipes are written in place; so is anything that is
  // not a plain file once opened.
  HANDLE handle = CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD failure = GetLastError();
    if (failure == ERROR_FILE_NOT_FOUND || failure == ERROR_PATH_NOT_FOUND) {
      // Not there yet: a dangling link is not followed; the file is created here.
      target->regular = true;
      return true;
    }
    *error = ErrnoFromWin32(failure);
    return false;
  }
  const DWORD type = GetFileType(handle);
  BY_HANDLE_FILE_INFORMATION info;
  const bool haveInfo = GetFileInformationByHandle(handle, &info) != 0;
  target->exists = true;
  if (type != FILE_TYPE_DISK || !haveInfo || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(handle);
    target->regular = false;
    return true;
  }
  // Symlinks and junctions are replaced at their target, as on POSIX.
  std::wstring final(MAX_PATH, L'\0');
  DWORD length = GetFinalPathNameByHandleW(handle, &final[0], MAX_PATH, FILE_NAME_NORMALIZED);
  if (length >= MAX_PATH) {
    final.resize(length + 1);
    length = GetFinalPathNameByHandleW(handle, &final[0], length + 1, FILE_NAME_NORMALIZED);
  }
  CloseHandle(handle);
  if (length > 0) {
    final.resize(length);
    if (final.rfind(L"\\\\?\\UNC\\", 0) == 0) {
      final = L"\\\\" + final.substr(8);
    } else if (final.rfind(L"\\\\?\\", 0) == 0) {
      final = final.substr(4);
    }
    target->path = Narrow(final);
  }
  target->regular = true;
  target->accessed = Ticks(info.ftLastAccessTime);
  target->modified = Ticks(info.ftLastWriteTime);
  target->writable = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
  target->mode = target->writable ? 0666 : 0444;
  return true;
}

namespace {

// Paths and notices are copied in before a slot is armed; the handler runs on a
// thread of its own.
struct CleanupSlot {
  wchar_t path[32768];
  char notice[8192];
  DWORD noticeLength;
  volatile LONG state;  // 0 free, 1 remove the file, 2 keep it and say where
  HANDLE volatile restoreHandle = nullptr;  // a file being overwritten in place
  FILETIME restoreTimes[2];
};
CleanupSlot cleanupSlots[4];

// The job that holds the program RunProgram runs, and the folder MakeTempDirectory
// made: the end of the console stops the one and then removes the other.
HANDLE volatile childJob = nullptr;
std::wstring tempFolder;  // settled before tempFolderArmed is set
volatile LONG tempFolderArmed = 0;

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (HANDLE job = childJob) {
    TerminateJobObject(job, 1);
    // Until every process of the job has gone, its files may still be open.
    for (int i = 0; i < 200; ++i) {
      JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
      if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                     sizeof accounting, nullptr) ||
          accounting.ActiveProcesses == 0) {
        break;
      }
      Sleep(10);
    }
  }
  if (tempFolderArmed != 0) {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(tempFolder), ignored);
  }
  for (CleanupSlot& slot : cleanupSlots) {
    // Set through the handle the copy writes with; the default handler then ends the
    // process, so at most the write under way follows.
    HANDLE restore = slot.restoreHandle;
    if (restore != nullptr) SetFileTime(restore, nullptr, &slot.restoreTimes[0], &slot.restoreTimes[1]);
    if (slot.state == 1) DeleteFileW(slot.path);
    DWORD written;
    if (slot.state == 2) {
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), slot.notice, slot.noticeLength, &written, nullptr);
    }
  }
  return FALSE;  // the default handler then ends the process
}

// A C stream over an open handle; the handle is closed when that fails.
std::FILE* StreamOf(HANDLE handle, int access, const char* mode, int* error) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), access | _O_BINARY);
  std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, mode);
  if (file == nullptr) {
    *error = errno != 0 ? errno : EIO;
    if (fd >= 0) {
      _close(fd);
    } else {
      CloseHandle(handle);
    }
  }
  return file;
}

std::string TempDirectory() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return length == 0 || length > MAX_PATH ? std::string(".") : Narrow(buffer, length);
}

}  // namespace

std::FILE* CreateTempFile(const OutputTarget& target, TempPlace place, std::string* tempPath,
                          int* slot, int* error) {
  std::string name = NameOf(target.path);
  if (name.size() > 200) name = "qx";
  const std::string directory =
      place == TempPlace::kBesideTarget ? DirectoryOf(target.path) : TempDirectory();
  const std::string separator =
      directory.empty() || directory.back() == '\\' || directory.back() == '/' ? "" : "\\";
  *slot = -1;
  for (int i = 0; i < 4; ++i) {
    if (cleanupSlots[i].state == 0) *slot = i;
  }
  if (*slot < 0) {
    *error = EMFILE;
    return nullptr;
  }
  CleanupSlot& cleanup = cleanupSlots[*slot];
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned long long seed = GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 20);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix;
    for (int i = 0; i < 6; ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      suffix += kLetters[(seed >> 33) % 36];
    }
    const std::string candidate = directory + separator + "." + name + ".qx-" + suffix;
    const std::wstring wide = WidePath(candidate);
    if (wide.size() >= sizeof cleanup.path / sizeof(wchar_t)) {
      *error = ENAMETOOLONG;
      return nullptr;
    }
    // The console handler runs on its own thread, so the slot is armed before the
    // file can exist: removing a file not yet there is harmless.
    std::memcpy(cleanup.path, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    cleanup.state = 1;
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      cleanup.state = 0;
      const DWORD failure = GetLastError();
      if (failure == ERROR_FILE_EXISTS || failure == ERROR_ALREADY_EXISTS) continue;
      *error = ErrnoFromWin32(failure);
      *slot = -1;
      return nullptr;
    }
    std::FILE* file = StreamOf(handle, _O_RDWR, "w+b", error);
    if (file == nullptr) {
      DeleteFileW(wide.c_str());
      cleanup.state = 0;
      *slot = -1;
      return nullptr;
    }
    *tempPath = candidate;
    return file;
  }
  cleanup.state = 0;
  *slot = -1;
  *error = EEXIST;
  return nullptr;
}

std::FILE* OpenToOverwrite(const OutputTarget& target, int* error) {
  HANDLE handle = CreateFileW(WidePath(target.path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = ErrnoFromWin32(GetLastError());
    return nullptr;
  }
  return StreamOf(handle, _O_WRONLY, "wb", error);
}

bool FinishOverwrite(std::FILE* file, std::int64_t length, int* error) {
  if (std::fflush(file) != 0) {
    *error = errno;
    return false;
  }
  const errno_t cut = _chsize_s(_fileno(file), length);
  if (cut != 0) {
    *error = cut;
    return false;
  }
  if (!FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))))) {
    *error = ErrnoFromWin32(GetLastError());
    return false;
  }
  return true;
}

void RestoreTimes(std::FILE* file, const OutputTarget& target) {
  std::fflush(file);
  const FILETIME accessed = FileTimeOf(target.accessed);
  const FILETIME modified = FileTimeOf(target.modified);
  SetFileTime(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), nullptr, &accessed, &modified);
}

bool FinishTempFile(std::FILE* file, const OutputTarget&, int* error) {
  if (std::fflush(file) != 0) {
    *error = errno;
    return false;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (!FlushFileBuffers(handle)) {
    *error = ErrnoFromWin32(GetLastError());
    return false;
  }
  return true;
}

// MoveFileExW rather than ReplaceFileW: it also works when there is nothing to
// replace, and across the cases ReplaceFileW refuses (a target being read elsewhere
// with delete sharing). The new file takes the directory's inherited permissions.
bool MoveOver(const std::string& tempPath, const std::string& targetPath, int* error) {
  if (MoveFileExW(WidePath(tempPath).c_str(), WidePath(targetPath).c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  *error = ErrnoFromWin32(GetLastError());
  return false;
}

bool RemoveFile(const std::string& path, int* error) {
  if (DeleteFileW(WidePath(path).c_str()) != 0) return true;
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return true;
  *error = ErrnoFromWin32(code);
  return false;
}

namespace {

bool IdentityOf(HANDLE handle, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) == 0) return false;
  identity->device = info.dwVolumeSerialNumber;
  identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

bool IdentifyPath(const std::string& path, FileIdentity* identity) {
  OutputTarget target;
  int error = 0;
  if (!InspectOutput(path, &target, &error)) return false;
  const std::string& opened = target.path;
  identity->name.clear();
  HANDLE handle = CreateFileW(WidePath(opened).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    std::wstring name = Widen(NameOf(opened));
    CharLowerBuffW(&name[0], static_cast<DWORD>(name.size()));
    identity->name = Narrow(name);
    handle = CreateFileW(WidePath(DirectoryOf(opened)).c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
  }
  const bool ok = IdentityOf(handle, identity);
  CloseHandle(handle);
  return ok;
}

bool IdentifyFile(std::FILE* file, FileIdentity* identity) {
  identity->name.clear();
  return IdentityOf(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), identity);
}

void KeepOnInterrupt(int slot, const std::string& notice) {
  if (slot < 0 || slot >= 4) return;
  CleanupSlot& cleanup = cleanupSlots[slot];
  cleanup.restoreHandle = nullptr;
  cleanup.state = 1;
  if (notice.empty()) return;
  const std::size_t length = notice.size() < sizeof cleanup.notice ? notice.size() : sizeof cleanup.notice;
  std::memcpy(cleanup.notice, notice.data(), length);
  cleanup.noticeLength = static_cast<DWORD>(length);
  MemoryBarrier();
  cleanup.state = 2;
}

void ForgetOnInterrupt(int slot) {
  if (slot < 0 || slot >= 4) return;
  cleanupSlots[slot].restoreHandle = nullptr;
  cleanupSlots[slot].state = 0;
}

void RestoreTimesOnInterrupt(int slot, std::FILE* file, const OutputTarget& target) {
  if (slot < 0 || slot >= 4) return;
  CleanupSlot& cleanup = cleanupSlots[slot];
  cleanup.restoreHandle = nullptr;  // settled before the times are replaced
  if (file == nullptr) return;
  MemoryBarrier();
  cleanup.restoreTimes[0] = FileTimeOf(target.accessed);
  cleanup.restoreTimes[1] = FileTimeOf(target.modified);
  MemoryBarrier();
  cleanup.restoreHandle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

void AdviseLargeBuffer(void*, std::size_t) {}

void StartWriteback(std::FILE*, std::int64_t, std::int64_t) {}

namespace {

struct GuardState {
  std::string crashLine;
  std::string timeLine;
  unsigned seconds = 0;
  HANDLE done = nullptr;
  HANDLE watchdog = nullptr;
  HANDLE job = nullptr;
  LPTOP_LEVEL_EXCEPTION_FILTER savedFilter = nullptr;
  void (*savedAbort)(int) = SIG_DFL;
  bool active = false;
};
GuardState guardState;

[[noreturn]] void WriteLineAndExit(const std::string& line) {
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
  TerminateProcess(GetCurrentProcess(), 1);
  ExitProcess(1);
}
LONG WINAPI OnCrash(EXCEPTION_POINTERS*) { WriteLineAndExit(guardState.crashLine); }
void OnAbort(int) { WriteLineAndExit(guardState.crashLine); }
DWORD WINAPI Watchdog(void*) {
  if (WaitForSingleObject(guardState.done, guardState.seconds * 1000u) == WAIT_TIMEOUT) {
    WriteLineAndExit(guardState.timeLine);
  }
  return 0;
}

void SetJobMemory(std::uint64_t bytes) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  if (bytes > 0) {
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    limits.ProcessMemoryLimit = static_cast<SIZE_T>(bytes);
  }
  SetInformationJobObject(guardState.job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

}  // namespace

void StartGuard(const Guard& guard) {
  if (guardState.active) EndGuard();
  guardState.crashLine = guard.crashLine + "\n";
  guardState.timeLine = guard.timeLine + "\n";
  guardState.active = true;
  // No error box or report: the handler says what happened.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  guardState.savedFilter = SetUnhandledExceptionFilter(OnCrash);
  guardState.savedAbort = std::signal(SIGABRT, OnAbort);
  guardState.seconds = guard.seconds;
  if (guard.seconds > 0) {
    guardState.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    guardState.watchdog = CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
  }
  if (guard.memoryBytes > 0) {
    // A job object bounds the memory the process commits; a process may join a job
    // once and stays in it, so the bound is lifted again in EndGuard.
    if (guardState.job == nullptr) {
      guardState.job = CreateJobObjectW(nullptr, nullptr);
      if (guardState.job != nullptr && !AssignProcessToJobObject(guardState.job, GetCurrentProcess())) {
        CloseHandle(guardState.job);
        guardState.job = nullptr;
      }
    }
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    if (guardState.job != nullptr) SetJobMemory(counters.PrivateUsage + guard.memoryBytes);
  }
}

void EndGuard() {
  if (!guardState.active) return;
  if (guardState.watchdog != nullptr) {
    SetEvent(guardState.done);
    WaitForSingleObject(guardState.watchdog, INFINITE);
    CloseHandle(guardState.watchdog);
    CloseHandle(guardState.done);
    guardState.watchdog = guardState.done = nullptr;
  }
  if (guardState.job != nullptr) SetJobMemory(0);
  SetUnhandledExceptionFilter(guardState.savedFilter);
  std::signal(SIGABRT, guardState.savedAbort);
  guardState.active = false;
}

std::string ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return Narrow(path);
}

std::string ExecutableDirectory() {
  const std::string path = ExecutablePath();
  return path.empty() ? path : DirectoryOf(path);
}

// The Windows heap has no such switch, and jobs are not forked here.
void UseHugePagesForHeap(const std::vector<std::string>&) {}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

// Windows has no fork: a caller runs a program instead (RunProgram).
bool CanFork() { return false; }

bool RunForked(const std::function<int()>&, bool, ForkedRun* run, std::string* error) {
  *run = ForkedRun();
  *error = "this system cannot fork a process";
  return false;
}

void* LoadModuleSymbol(const std::string& path, const char* symbol, std::string* error) {
  HMODULE module =
      LoadLibraryExW(WidePath(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    *error = path + ": error " + std::to_string(GetLastError());
    return nullptr;
  }
  void* found = reinterpret_cast<void*>(GetProcAddress(module, symbol));
  if (found == nullptr) *error = path + ": no " + symbol;
  return found;
}

namespace {

// One argument as the C runtime's command-line parser reads it back: quoted where it is
// empty or holds white space or a quote; backslashes double only before a quote.
std::wstring QuotedArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

}  // namespace

std::wstring CommandLineOf(const std::string& program, const std::vector<std::string>& args) {
  std::wstring commandLine = QuotedArgument(Widen(program));
  for (const std::string& a : args) commandLine += L" " + QuotedArgument(Widen(a));
  return commandLine;
}

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment, const std::string& logPath,
               const ChildBounds& bounds, std::string* error) {
  // No confinement of writes exists for an ordinary process: bounds.writableFolder is
  // the caller's to keep (see platform.h).
  std::wstring commandLine = CommandLineOf(program, args);
  // The environment block: this process's, with the given entries set or replaced.
  std::vector<std::wstring> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e != L'\0'; e += wcslen(e) + 1) {
      const std::wstring entry = e;
      const std::wstring name = entry.substr(0, entry.find(L'=', 1) + 1);
      bool replaced = false;
      for (const std::string& n : environment) {
        const std::wstring wide = Widen(n);
        replaced = replaced || (!wide.empty() && wide.back() == L'*' ? entry.size() >= wide.size() - 1 &&
                                                          _wcsnicmp(entry.c_str(), wide.c_str(), wide.size() - 1) == 0
                                                    : wide.compare(0, name.size(), name) == 0);
      }
      if (!replaced) entries.push_back(entry);
    }
    FreeEnvironmentStringsW(block);
  }
  for (const std::string& n : environment) {
    if (n.empty() || n.back() != '*') entries.push_back(Widen(n));
  }
  std::wstring envBlock;
  for (const std::wstring& e : entries) envBlock += e + L'\0';
  envBlock += L'\0';

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE log = CreateFileW(WidePath(logPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) {
    *error = "cannot write " + logPath;
    return -1;
  }
  // A job holds the program and all it starts: killed as one past the time, bounded in
  // memory as one, and killed when this process ends in any way (its handle closes).
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (bounds.memoryBytes > 0) {
      limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_JOB_MEMORY;
      limits.JobMemoryLimit = static_cast<SIZE_T>(bounds.memoryBytes);
    }
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = log;
  startup.hStdError = log;
  startup.hStdInput = nullptr;
  PROCESS_INFORMATION child = {};
  const BOOL started =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED,
                     envBlock.data(), nullptr, &startup, &child);
  CloseHandle(log);
  if (!started) {
    *error = "cannot start it (error " + std::to_string(GetLastError()) + ")";
    if (job != nullptr) CloseHandle(job);
    return -1;
  }
  // Where jobs cannot nest (before Windows 8), the program alone is bounded by time.
  if (job != nullptr && !AssignProcessToJobObject(job, child.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  childJob = job;
  ResumeThread(child.hThread);
  CloseHandle(child.hThread);
  const DWORD waited =
      WaitForSingleObject(child.hProcess, bounds.seconds > 0 ? bounds.seconds * 1000 : INFINITE);
  if (waited != WAIT_OBJECT_0) TerminateProcess(child.hProcess, 1);
  // Whatever of the tree is left (all of it past the time) goes with the program.
  childJob = nullptr;
  if (job != nullptr) {
    TerminateJobObject(job, 1);
    CloseHandle(job);
  }
  if (waited != WAIT_OBJECT_0) {
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    *error = "it did not finish within " + std::to_string(bounds.seconds) + " seconds";
    return -1;
  }
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  return static_cast<int>(code);
}

std::string SystemSearchPath(const std::string&) { return ""; }

std::string FindOnPath(const std::string& name) {
  wchar_t found[MAX_PATH + 1];
  const DWORD length = SearchPathW(nullptr, Widen(name).c_str(), L".exe", MAX_PATH + 1, found, nullptr);
  return length == 0 || length > MAX_PATH ? std::string() : Narrow(found, length);
}

std::string MakeTempDirectory(std::string* error) {
  const std::string base = TempDirectory();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = base + "qx-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(GetTickCount64() % 100000) + "-" + std::to_string(attempt);
    if (CreateDirectoryW(WidePath(path).c_str(), nullptr)) {
      if (tempFolderArmed == 0) {
        tempFolder = WidePath(path);
        tempFolderArmed = 1;
      }
      return path;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  *error = "cannot make a temporary folder in " + base;
  return "";
}

void RemoveTempDirectory(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(WidePath(path)), ignored);
  if (tempFolderArmed != 0 && WidePath(path) == tempFolder) tempFolderArmed = 0;
}

}  // namespace qx::platform

