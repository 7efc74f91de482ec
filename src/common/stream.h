// The diagnostic stream: where every printed line goes. By default a file "fort.80" in the current working
// directory, created by the first line written in the process and appended to afterwards; a caller may send the
// lines to another file or to a line callback instead. Files are written in binary mode, so every line ends in a
// single '\n' on every platform.
#pragma once

#include "korvex/korvex.h"

namespace korvex {

// Write one line (without its line end).
void writeDiagnosticLine(const char* text, int length);
// Flush whatever the stream buffers; called at the end of every run.
void flushDiagnostics();
// Write one line to the standard output (the GRG line search's bracketing message).
void writeStandardOutputLine(const char* text, int length);

void setDiagnosticFile(const char* path);
void setDiagnosticCallback(DiagnosticLineCallback callback, void* user);

}  // namespace korvex
