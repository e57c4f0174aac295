#include "asset/output_file.h"

#include <cerrno>

namespace qx {

OutputFile::~OutputFile() {
  stream_.Close();
  if (!tempPath_.empty()) platform::RemoveFile(tempPath_);
}

void OutputFile::Fail(const char* what, int error) {
  errorText_ = what;
  errorText_ += std::to_string(error);
}

bool OutputFile::Open(const std::string& path) {
  int error = 0;
  if (!platform::InspectOutput(path, &target_, &error)) {
    Fail("Failed to open file with errno ", error);
    return false;
  }
  if (!target_.regular) {
    if (!stream_.OpenFile(path, OpenMode::Write)) {
      errorText_ = stream_.errorText();
      return false;
    }
    return true;
  }
  // A rename would replace even a file we may not write; refuse as an open would.
  if (!target_.writable) {
    Fail("Failed to open file with errno ", EACCES);
    return false;
  }
  std::FILE* file = platform::CreateTempFileBeside(target_, &tempPath_, &error);
  if (file == nullptr) {
    Fail("Failed to open file with errno ", error);
    return false;
  }
  stream_.AdoptFile(file, OpenMode::Write);
  return true;
}

bool OutputFile::Write(const void* data, std::int32_t length) {
  constexpr std::int64_t kWritebackStep = std::int64_t{32} << 20;
  if (!stream_.Write(data, length)) {
    errorText_ = stream_.errorText();
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

bool OutputFile::Commit() {
  // A write that already failed is never committed, whatever the caller did next.
  if (!errorText_.empty()) return false;
  if (tempPath_.empty()) {
    if (!stream_.Flush() || !stream_.CloseChecked()) {
      errorText_ = stream_.errorText();
      return false;
    }
    return true;
  }
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
  if (!platform::ReplaceFile(tempPath_, target_.path, &error)) {
    Fail("Failed to write file with errno ", error);
    return false;
  }
  tempPath_.clear();
  return true;
}

}  // namespace qx
