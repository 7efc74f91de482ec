// The diagnostic stream: where the printed lines of one context go. Each context has its own, so the lines of two
// runs never meet. The default context's stream starts at the file "fort.80" in the current working directory,
// created by the first line written in the process and appended to afterwards; a new context's stream starts
// nowhere (lines are dropped). A caller may send the lines to another file or to a line callback instead. Files are
// written in binary mode, so every line ends in a single '\n' on every platform.
#pragma once

#include <cstdio>
#include <string>

#include "korvex/korvex.h"

namespace korvex {

class DiagnosticStream {
 public:
  enum class Default { kFort80, kNowhere };

  explicit DiagnosticStream(Default fallback) : fallback_(fallback) {}
  ~DiagnosticStream() { closeFile(); }
  DiagnosticStream(const DiagnosticStream&) = delete;
  DiagnosticStream& operator=(const DiagnosticStream&) = delete;

  // Write one line (without its line end).
  void writeLine(const char* text, int length);
  // Flush whatever the stream buffers; called at the end of every run.
  void flush();

  // Lines to the named file (created, or emptied, by the first line written to it); null restores the default.
  // May throw std::bad_alloc for the path; the destination is then unchanged.
  void setFile(const char* path);
  // Each line to callback(user, line, length); null restores the default.
  void setCallback(DiagnosticLineCallback callback, void* user);

 private:
  void closeFile();
  std::FILE* openFile();

  Default fallback_;
  DiagnosticLineCallback callback_ = nullptr;
  void* user_ = nullptr;
  bool toFile_ = false;              // a file was named (otherwise the default destination)
  std::string path_;                 // that file
  std::FILE* file_ = nullptr;        // the open file, once the first line was written
  bool defaultFileOpened_ = false;   // fort.80 is emptied only by the first line of the process
};

// Write one line to the standard output in one piece (the GRG line search's bracketing message).
void writeStandardOutputLine(const char* text, int length);

}  // namespace korvex
