#include "files/output_file.h"

#include <cerrno>
#include <vector>

namespace qx {

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!tempPath_.empty()) platform::RemoveFile(tempPath_);
  platform::ForgetOnInterrupt(interruptSlot_);
}

void OutputFile::Fail(const char* what, int error) {
  errorText_ = what;
  errorText_ += std::to_string(error);
  errorNumber_ = error;
}

bool OutputFile::OpenInPlace(const std::string& path) {
  int error = 0;
  file_ = platform::OpenFile(path.c_str(), "wb", &error);
  if (file_ == nullptr) {
    Fail("Failed to open file with errno ", error);
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
  file_ = platform::CreateTempFileBeside(target_, &tempPath_, &error);
  if (file_ == nullptr) {
    // No temporary file beside an output we may write: write it in place, as a plain
    // overwrite would.
    if (target_.exists && (error == EACCES || error == EPERM || error == EROFS)) {
      return OpenInPlace(target_.path);
    }
    Fail("Failed to open file with errno ", error);
    return false;
  }
  interruptSlot_ = platform::RemoveOnInterrupt(tempPath_);
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
  if (!tempPath_.empty() && written_ - handedToDisk_ >= kWritebackStep) {
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
  if (prepared_ || tempPath_.empty()) return true;
  int error = 0;
  if (!Flush()) return false;
  if (!platform::FinishTempFile(file_, target_, &error)) {
    Fail("Failed to write file with errno ", error);
    return false;
  }
  if (!Close()) return false;
  prepared_ = true;
  return true;
}

// The rename was refused though the output may be written: copy the finished
// temporary file over it in place, every write checked, then remove the temporary.
bool OutputFile::CopyInPlace() {
  int error = 0;
  std::FILE* source = platform::OpenFile(tempPath_.c_str(), "rb", &error);
  if (source == nullptr) {
    Fail("Failed to open file with errno ", error);
    return false;
  }
  if (!OpenInPlace(target_.path)) {
    std::fclose(source);
    return false;
  }
  std::vector<char> slice(std::size_t{1} << 20);
  std::size_t got;
  while ((got = std::fread(slice.data(), 1, slice.size(), source)) > 0) {
    if (std::fwrite(slice.data(), 1, got, file_) != got) {
      Fail("Failed to write file with errno ", errno);
      break;
    }
  }
  const bool read = !std::ferror(source);
  std::fclose(source);
  if (!errorText_.empty() || !read || !Flush() || !Close()) {
    if (errorText_.empty()) errorText_ = "Failed to read file with errno " + std::to_string(EIO);
    return false;
  }
  ForgetTemp();
  return true;
}

void OutputFile::ForgetTemp() {
  if (!tempPath_.empty()) platform::RemoveFile(tempPath_);
  tempPath_.clear();
  platform::ForgetOnInterrupt(interruptSlot_);
  interruptSlot_ = -1;
}

bool OutputFile::Commit() {
  if (!Prepare()) return false;
  if (tempPath_.empty()) return Flush() && Close();
  int error = 0;
  if (!platform::MoveOver(tempPath_, target_.path, &error)) {
    if (target_.exists && target_.writable && (error == EPERM || error == EACCES)) {
      return CopyInPlace();
    }
    Fail("Failed to write file with errno ", error);
    return false;
  }
  tempPath_.clear();  // it is the output now
  ForgetTemp();
  return true;
}

}  // namespace qx
