#include "common/stream.h"

#include <algorithm>
#include <cstring>

namespace korvex {
namespace {

constexpr const char* kDefaultFile = "fort.80";

}  // namespace

void DiagnosticStream::closeFile() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

std::FILE* DiagnosticStream::openFile() {
  if (file_ != nullptr) return file_;
  const bool isDefaultFile = toFile_ ? path_ == kDefaultFile : fallback_ == Default::kFort80;
  if (!toFile_ && !isDefaultFile) return nullptr;  // a new context's stream before a destination is set
  file_ = std::fopen(isDefaultFile ? kDefaultFile : path_.c_str(), (isDefaultFile && defaultFileOpened_) ? "ab" : "wb");
  if (isDefaultFile && file_ != nullptr) defaultFileOpened_ = true;
  return file_;
}

void DiagnosticStream::writeLine(const char* text, int length) {
  if (length < 0) length = 0;
  if (callback_ != nullptr) {
    callback_(user_, text, length);
    return;
  }
  std::FILE* file = openFile();
  if (file == nullptr) return;  // no destination, or an unwritable one: the line is lost, as the run-time would
  if (length > 0) std::fwrite(text, 1, static_cast<size_t>(length), file);
  std::fputc('\n', file);
}

void DiagnosticStream::flush() {
  if (file_ != nullptr) std::fflush(file_);
}

void DiagnosticStream::setFile(const char* path) {
  std::string named = path != nullptr ? path : "";
  closeFile();
  callback_ = nullptr;
  user_ = nullptr;
  toFile_ = path != nullptr;
  path_.swap(named);
}

void DiagnosticStream::setCallback(DiagnosticLineCallback callback, void* user) {
  if (callback == nullptr) {
    setFile(nullptr);
    return;
  }
  callback_ = callback;
  user_ = user;
}

void writeStandardOutputLine(const char* text, int length) {
  char line[256];
  const int count = std::clamp(length, 0, static_cast<int>(sizeof line) - 1);
  if (count > 0) std::memcpy(line, text, static_cast<size_t>(count));
  line[count] = '\n';
  std::fwrite(line, 1, static_cast<size_t>(count) + 1, stdout);
  std::fflush(stdout);
}

}  // namespace korvex
