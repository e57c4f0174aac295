// OutputFile: writes a file so that a run either leaves it complete or leaves the
// earlier file at that path exactly as it was. Build tools treat "exit 0" as "the
// output is complete", and the output may be the input itself.
//
// The bytes go to a temporary file in the output's directory; Commit flushes it to
// the disk, gives it the permissions a plain overwrite would have kept, and renames
// it over the output in one step. A symlinked output is replaced at its target. An
// output that is not a regular file (a device, a FIFO, a pipe reached through
// /dev/stdout) is written in place, with every write error still reported.
//
// One case cannot be atomic: an existing output that this process may write, in a
// directory where it may not create the temporary file or may not replace the output
// (a read-only directory, another user's file in sticky /tmp). Such an output is
// written in place, as a plain overwrite would have done, every write still checked.
//
// While the temporary file exists, an interrupt (Ctrl-C in a build) removes it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

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
  // A long write to a temporary file is handed to the disk as it goes, so the final
  // flush waits for little and few dirty pages pile up.
  bool Write(const void* data, std::int32_t length);
  // Flushes every byte to the disk without yet replacing the output, so that two
  // files can both be made ready before either is committed.
  bool Prepare();
  // False with errorText "Failed to write file with errno N" when any byte did not
  // reach the file; the earlier file is then untouched.
  bool Commit();
  int errorNumber() const { return errorNumber_; }

  const std::string& errorText() const { return errorText_; }

 private:
  void Fail(const char* what, int error);

  bool OpenInPlace(const std::string& path);
  bool Flush();
  bool Close();
  bool CopyInPlace();
  void ForgetTemp();

  platform::OutputTarget target_;
  std::string tempPath_;  // empty when writing in place or after Commit
  int interruptSlot_ = -1;
  bool prepared_ = false;
  int errorNumber_ = 0;
  std::int64_t written_ = 0;
  std::int64_t handedToDisk_ = 0;
  std::FILE* file_ = nullptr;
  std::string errorText_;
};

}  // namespace qx
