#include "common/stream.h"

#include <cstdio>
#include <string>

namespace korvex {
namespace {

constexpr const char* kDefaultFile = "fort.80";

struct DiagnosticStream {
  DiagnosticLineCallback callback = nullptr;
  void* user = nullptr;
  std::string path = kDefaultFile;  // file that receives the lines when there is no callback
  std::FILE* file = nullptr;        // open file for `path`, once the first line was written
  bool defaultFileOpened = false;   // fort.80 is emptied only by the first line of the process

  void closeFile() {
    if (file != nullptr) std::fclose(file);
    file = nullptr;
  }

  std::FILE* openFile() {
    if (file != nullptr) return file;
    const bool isDefault = path == kDefaultFile;
    const char* mode = (isDefault && defaultFileOpened) ? "ab" : "wb";
    file = std::fopen(path.c_str(), mode);
    if (isDefault && file != nullptr) defaultFileOpened = true;
    return file;
  }
};

DiagnosticStream& stream() {
  static DiagnosticStream instance;
  return instance;
}

}  // namespace

void writeDiagnosticLine(const char* text, int length) {
  DiagnosticStream& s = stream();
  if (length < 0) length = 0;
  if (s.callback != nullptr) {
    s.callback(s.user, text, length);
    return;
  }
  std::FILE* file = s.openFile();
  if (file == nullptr) return;  // an unwritable stream loses its lines, as the run-time would
  if (length > 0) std::fwrite(text, 1, static_cast<size_t>(length), file);
  std::fputc('\n', file);
}

void flushDiagnostics() {
  if (stream().file != nullptr) std::fflush(stream().file);
}

void writeStandardOutputLine(const char* text, int length) {
  if (length > 0) std::fwrite(text, 1, static_cast<size_t>(length), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void setDiagnosticFile(const char* path) {
  DiagnosticStream& s = stream();
  s.closeFile();
  s.callback = nullptr;
  s.user = nullptr;
  s.path = (path != nullptr) ? path : kDefaultFile;
}

void setDiagnosticCallback(DiagnosticLineCallback callback, void* user) {
  DiagnosticStream& s = stream();
  if (callback != nullptr) {
    s.callback = callback;
    s.user = user;
    return;
  }
  setDiagnosticFile(nullptr);
}

}  // namespace korvex
