#include "asset/output_file.h"

#include <cerrno>
#include <vector>

namespace qx {

OutputFile::~OutputFile() {
  stream_.Close();
  if (!tempPath_.empty()) platform::RemoveFile(tempPath_);
  platform::ForgetOnInterrupt(interruptSlot_);
}

void OutputFile::Fail(const char* what, int error) {
  errorText_ = what;
  errorText_ += std::to_string(error);
  errorNumber_ = error;
}

bool OutputFile::OpenInPlace(const std::string& path) {
  if (!stream_.OpenFile(path, OpenMode::Write)) {
    errorText_ = stream_.errorText();
    errorNumber_ = errno;
    return false;
  }
  return true;
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
  std::FILE* file = platform::CreateTempFileBeside(target_, &tempPath_, &error);
  if (file == nullptr) {
    // No temporary file beside an output we may write: write it in place, as a plain
    // overwrite would.
    if (target_.exists && (error == EACCES || error == EPERM || error == EROFS)) {
      return OpenInPlace(target_.path);
    }
    Fail("Failed to open file with errno ", error);
    return false;
  }
  interruptSlot_ = platform::RemoveOnInterrupt(tempPath_);
  stream_.AdoptFile(file, OpenMode::Write);
  return true;
}

bool OutputFile::Write(const void* data, std::int32_t length) {
  constexpr std::int64_t kWritebackStep = std::int64_t{32} << 20;
  if (!stream_.Write(data, length)) {
    errorText_ = stream_.errorText();
    errorNumber_ = errno;
    return false;
  }
  written_ += length;
  if (!tempPath_.empty() && written_ - handedToDisk_ >= kWritebackStep) {
    if (!stream_.Flush()) {
      errorText_ = stream_.errorText();
      return false;
    }
    platform::StartWriteback(stream_.file(), handedToDisk_, written_ - handedToDisk_);
    handedToDisk_ = written_;
  }
  return true;
}

bool OutputFile::Prepare() {
  // A write that already failed is never committed, whatever the caller did next.
  if (!errorText_.empty()) return false;
  if (prepared_ || tempPath_.empty()) return true;
  int error = 0;
  if (!stream_.Flush()) {
    errorText_ = stream_.errorText();
    return false;
  }
  if (!platform::FinishTempFile(stream_.file(), target_, &error)) {
    Fail("Failed to write file with errno ", error);
    return false;
  }
  if (!stream_.CloseChecked()) {
    errorText_ = stream_.errorText();
    return false;
  }
  prepared_ = true;
  return true;
}

// The rename was refused though the output may be written: copy the finished
// temporary file over it in place, every write checked, then remove the temporary.
bool OutputFile::CopyInPlace() {
  ByteStream source;
  if (!source.OpenFile(tempPath_, OpenMode::Read) || !OpenInPlace(target_.path)) {
    if (errorText_.empty()) errorText_ = source.errorText();
    return false;
  }
  std::vector<std::uint8_t> slice(std::size_t{1} << 20);
  std::int32_t got;
  while ((got = source.Read(slice.data(), static_cast<std::int32_t>(slice.size()))) > 0) {
    if (!stream_.Write(slice.data(), got)) {
      errorText_ = stream_.errorText();
      return false;
    }
  }
  if (!stream_.Flush() || !stream_.CloseChecked()) {
    errorText_ = stream_.errorText();
    return false;
  }
  ForgetTemp();
  return true;
}

void OutputFile::ForgetTemp() {
  platform::RemoveFile(tempPath_);
  tempPath_.clear();
  platform::ForgetOnInterrupt(interruptSlot_);
  interruptSlot_ = -1;
}

bool OutputFile::Commit() {
  if (!Prepare()) return false;
  if (tempPath_.empty()) {
    if (!stream_.Flush() || !stream_.CloseChecked()) {
      errorText_ = stream_.errorText();
      return false;
    }
    return true;
  }
  int error = 0;
  if (!platform::MoveOver(tempPath_, target_.path, &error)) {
    if (target_.exists && target_.writable && (error == EPERM || error == EACCES)) {
      return CopyInPlace();
    }
    Fail("Failed to write file with errno ", error);
    return false;
  }
  tempPath_.clear();
  platform::ForgetOnInterrupt(interruptSlot_);
  interruptSlot_ = -1;
  return true;
}

}  // namespace qx
