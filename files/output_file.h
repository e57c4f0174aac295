// OutputFile: writes a file so that a run either leaves it complete or leaves the
// earlier file at that path exactly as it was. Build tools treat "exit 0" as "the
// output is complete", and the output may be the input itself.
//
// The bytes go to a temporary file in the output's directory; Commit flushes it to
// the disk, gives it the permissions a plain overwrite would have kept, and renames
// it over the output in one step. A symlinked output is replaced at its target, found
// by the kernel's own walk, so a link the kernel would refuse to follow is refused.
// An output that is not a regular file (a device, a FIFO, a pipe reached through
// /dev/stdout) is written in place, with every write error still reported.
//
// Where no rename can replace an existing output that this process may write (its
// directory is read-only, another user's file in sticky /tmp, a file bind-mounted on
// its own), the complete new content is first staged in a temporary file and only
// then copied over the output, as a plain overwrite would. If that copy fails or is
// interrupted, the staged file is kept, standard error says where, and the output's
// times are put back so a build sees it as out of date.
//
// Until Commit, any signal that ends the process removes the temporary file.
//
// Opened with a run's WriteGuard, the file it is about to replace, or the file opened
// for a copy over it, is checked against the guard right before: never a file the run
// read. The check comes before the staged copy is made as well.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "files/write_guard.h"
#include "platform/platform.h"

namespace qx {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // removes the temporary file unless Commit succeeded
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False with errorText "Failed to open file with errno N" when the output cannot be
  // created, as a plain open of the path would have failed.
  bool Open(const std::string& path);
  // The same for an output claimed from guard, which must outlive this file. A refusal
  // is the guard's words in errorText, with errorNumber 0 and refused() true.
  bool Open(const std::string& path, const WriteGuard& guard, int claim);
  // A long write to a temporary file is handed to the disk as it goes, so the final
  // flush waits for little and few dirty pages pile up.
  bool Write(const void* data, std::int32_t length);
  // Flushes every byte to the disk without yet replacing the output, so that two
  // files can both be made ready before either is committed.
  bool Prepare();
  // False with errorText "Failed to write file with errno N" when any byte did not
  // reach the file; the earlier file is then untouched.
  bool Commit();
  // Keeps a CRC-32 of every byte written from here on, for a report that must name
  // the file it describes. Off by default: it costs a pass over the bytes.
  void TrackChecksum() { tracking_ = true; }
  std::uint32_t checksum() const { return checksum_; }
  std::int64_t size() const { return written_; }
  int errorNumber() const { return errorNumber_; }
  bool refused() const { return refused_; }

  const std::string& errorText() const { return errorText_; }

 private:
  void Fail(const char* what, int error);

  enum class Kind { kInPlace, kBeside, kStaged };

  bool OpenInPlace(const std::string& path);
  bool Permitted(const platform::FileIdentity* file, bool inPlace);
  bool Flush();
  bool Close();
  bool CopyOver();
  void Keep(const std::string& why);
  void ForgetTemp();

  platform::OutputTarget target_;
  const WriteGuard* guard_ = nullptr;
  int claim_ = -1;
  bool refused_ = false;
  Kind kind_ = Kind::kInPlace;
  std::string tempPath_;  // empty when writing in place or after Commit
  int cleanupSlot_ = -1;
  bool prepared_ = false;
  int errorNumber_ = 0;
  std::int64_t written_ = 0;
  std::int64_t handedToDisk_ = 0;
  bool tracking_ = false;
  std::uint32_t checksum_ = 0;
  std::FILE* file_ = nullptr;
  std::string errorText_;
};

}  // namespace qx
