#include "files/output_file.h"

#include <zlib.h>

#include <cerrno>
#include <vector>

namespace qx {
namespace {

// Errors after which a plain overwrite of the existing output would still succeed.
bool CannotCreateBeside(int error) { return error == EACCES || error == EPERM || error == EROFS; }
// EBUSY: the output is a file mounted on its own (containers bind-mount single files).
bool CannotRenameOver(int error) { return error == EACCES || error == EPERM || error == EBUSY; }

}  // namespace

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
  ForgetTemp();
}

void OutputFile::Fail(const char* what, int error) {
  errorText_ = what;
  errorText_ += std::to_string(error);
  errorNumber_ = error;
}

bool OutputFile::OpenInPlace(const std::string& path) {
  int error = 0;
  kind_ = Kind::kInPlace;
  file_ = platform::OpenFile(path.c_str(), "wb", &error);
  if (file_ == nullptr) {
    Fail("Failed to open file with errno ", error);
    return false;
  }
  return true;
}

// Asks the guard, if any, about the file about to be replaced (identified by its path
// when file is null) or written into in place.
bool OutputFile::Permitted(const platform::FileIdentity* file, bool inPlace) {
  if (guard_ == nullptr) return true;
  platform::FileIdentity named;
  if (file == nullptr) {
    // Nothing there to examine: nothing to replace either.
    if (!platform::IdentifyPath(target_.path, &named)) return true;
    file = &named;
  }
  std::string refusal;
  if (guard_->Permits(claim_, *file, inPlace, &refusal)) return true;
  errorText_ = refusal;
  errorNumber_ = 0;
  refused_ = true;
  return false;
}

bool OutputFile::Open(const std::string& path, const WriteGuard& guard, int claim) {
  guard_ = &guard;
  claim_ = claim;
  return Open(path);
}

bool OutputFile::Open(const std::string& path) {
  int error = 0;
  if (!platform::InspectOutput(path, &target_, &error)) {
    Fail("Failed to open file with errno ", error);
    return false;
  }
  if (!target_.regular) return OpenInPlace(path);
  // A rename would replace even a file we may not write; refuse as an open would.
  if (!target_.writable) {
    Fail("Failed to open file with errno ", EACCES);
    return false;
  }
  kind_ = Kind::kBeside;
  file_ = platform::CreateTempFile(target_, platform::TempPlace::kBesideTarget, &tempPath_,
                                   &cleanupSlot_, &error);
  if (file_ == nullptr && target_.exists && CannotCreateBeside(error)) {
    // Refused beside the output is expected here; what fails the run is the staging.
    // The output will be written in place: refused now if that is not allowed.
    kind_ = Kind::kStaged;
    if (!Permitted(nullptr, true)) return false;
    file_ = platform::CreateTempFile(target_, platform::TempPlace::kSystemTemp, &tempPath_,
                                     &cleanupSlot_, &error);
  }
  if (file_ == nullptr) {
    Fail("Failed to open file with errno ", error);
    return false;
  }
  return true;
}

bool OutputFile::Write(const void* data, std::int32_t length) {
  constexpr std::int64_t kWritebackStep = std::int64_t{32} << 20;
  if (length <= 0) return errorText_.empty();
  if (std::fwrite(data, 1, static_cast<std::size_t>(length), file_) !=
      static_cast<std::size_t>(length)) {
    Fail("Failed to write file with errno ", errno);
    return false;
  }
  written_ += length;
  if (tracking_) {
    checksum_ = static_cast<std::uint32_t>(
        crc32(checksum_, static_cast<const Bytef*>(data), static_cast<uInt>(length)));
  }
  if (kind_ == Kind::kBeside && written_ - handedToDisk_ >= kWritebackStep) {
    if (!Flush()) return false;
    platform::StartWriteback(file_, handedToDisk_, written_ - handedToDisk_);
    handedToDisk_ = written_;
  }
  return true;
}

bool OutputFile::Flush() {
  if (std::fflush(file_) != 0) {
    Fail("Failed to write file with errno ", errno);
    return false;
  }
  return true;
}

// Closes the file, reporting a failed final flush as a failed write.
bool OutputFile::Close() {
  std::FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0) {
    Fail("Failed to write file with errno ", errno);
    return false;
  }
  return true;
}

bool OutputFile::Prepare() {
  // A write that already failed is never committed, whatever the caller did next.
  if (!errorText_.empty()) return false;
  if (prepared_ || kind_ == Kind::kInPlace) return true;
  if (!Flush()) return false;
  int error = 0;
  if (kind_ == Kind::kBeside) {
    if (!platform::FinishTempFile(file_, target_, &error)) {
      Fail("Failed to write file with errno ", error);
      return false;
    }
    // Closed before the rename: Windows renames no file that is open.
    if (!Close()) return false;
  }
  prepared_ = true;
  return true;
}

// The staged file now holds the only complete copy of the new content.
void OutputFile::Keep(const std::string& why) {
  const std::string notice =
      why + " " + target_.path + "; its complete new content is kept in " + tempPath_ + "\n";
  std::fwrite(notice.data(), 1, notice.size(), stderr);
  std::fflush(stderr);
  platform::ForgetOnInterrupt(cleanupSlot_);
  cleanupSlot_ = -1;
  tempPath_.clear();
}

// Copies the complete staged content over the existing output, from its first byte,
// then cuts it to length: the output is touched only once the new content is whole.
bool OutputFile::CopyOver() {
  int error = 0;
  if (file_ == nullptr) file_ = platform::OpenFile(tempPath_.c_str(), "rb", &error);
  std::FILE* output = file_ == nullptr ? nullptr : platform::OpenToOverwrite(target_, &error);
  if (output == nullptr) {
    Fail("Failed to open file with errno ", error);
    return false;
  }
  // The very file opened is asked about: it may have become a file the run read.
  platform::FileIdentity opened;
  errno = 0;
  if (guard_ != nullptr && !platform::IdentifyFile(output, &opened)) {
    Fail("Failed to open file with errno ", errno != 0 ? errno : EIO);
    std::fclose(output);
    return false;
  }
  if (guard_ != nullptr && !Permitted(&opened, true)) {
    std::fclose(output);
    return false;
  }
  platform::KeepOnInterrupt(
      cleanupSlot_, "Interrupted while overwriting " + target_.path +
                        " in place; its complete new content is kept in " + tempPath_ + "\n");
  platform::RestoreTimesOnInterrupt(cleanupSlot_, output, target_);
  std::vector<char> slice(std::size_t{1} << 20);
  bool copied = platform::Seek(file_, 0, SEEK_SET) == 0;
  error = copied ? 0 : errno;
  for (std::size_t got; copied && (got = std::fread(slice.data(), 1, slice.size(), file_)) > 0;) {
    copied = std::fwrite(slice.data(), 1, got, output) == got;
    if (!copied) error = errno;
  }
  if (copied && std::ferror(file_)) {
    copied = false;
    error = EIO;
  }
  if (!copied || !platform::FinishOverwrite(output, written_, &error)) {
    platform::RestoreTimes(output, target_);
    platform::RestoreTimesOnInterrupt(cleanupSlot_, nullptr, target_);
    std::fclose(output);
    Fail("Failed to write file with errno ", error);
    Keep("Could not finish overwriting");
    return false;
  }
  platform::RestoreTimesOnInterrupt(cleanupSlot_, nullptr, target_);
  if (std::fclose(output) != 0) {
    Fail("Failed to write file with errno ", errno);
    Keep("Could not finish overwriting");
    return false;
  }
  platform::KeepOnInterrupt(cleanupSlot_, "");  // the output is whole: the staged copy may go
  return true;
}

void OutputFile::ForgetTemp() {
  int error = 0;
  if (!tempPath_.empty() && !platform::RemoveFile(tempPath_, &error)) {
    // The system refused to remove it: say where it is rather than leave it unnamed.
    const std::string notice =
        "Could not remove the temporary file " + tempPath_ + " (errno " + std::to_string(error) + ")\n";
    std::fwrite(notice.data(), 1, notice.size(), stderr);
  }
  tempPath_.clear();
  platform::ForgetOnInterrupt(cleanupSlot_);
  cleanupSlot_ = -1;
}

bool OutputFile::Commit() {
  if (!Prepare()) return false;
  if (kind_ == Kind::kInPlace) return Flush() && Close();
  if (kind_ == Kind::kBeside) {
    int error = 0;
    if (!Permitted(nullptr, false)) return false;
    if (platform::MoveOver(tempPath_, target_.path, &error)) {
      tempPath_.clear();  // it is the output now
      ForgetTemp();
      return true;
    }
    if (!target_.exists || !CannotRenameOver(error)) {
      Fail("Failed to write file with errno ", error);
      return false;
    }
  }
  const bool copied = CopyOver();
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (copied) ForgetTemp();
  return copied;
}

}  // namespace qx
