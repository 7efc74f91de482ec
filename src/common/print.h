// Diagnostic printing: messages, integer and double vectors and double matrices in fixed line layouts. These print
// unconditionally, to the stream they are given; callers compare the print level first.
#pragma once

#include <string_view>

#include "common/stream.h"

namespace korvex {

// One blank, then the first `count` characters of text; after 80 characters the line ends and the rest continues
// on a new line that again begins with one blank. count <= 0 writes an empty line.
void printMessage(DiagnosticStream& out, const char* text, int count);
inline void printMessage(DiagnosticStream& out, std::string_view text) {
  printMessage(out, text.data(), static_cast<int>(text.size()));
}

// The label line of the vector and matrix routines is one blank and the label; a label longer than 256 characters is
// cut to its first 256 (the line is built in a fixed buffer).

// Label line, then the values eight per line in 10-character integer fields.
void printIntVector(DiagnosticStream& out, int count, const int* values, std::string_view label);
// Label line, then the values six per line in 13-character scaled exponent fields.
void printDoubleVector(DiagnosticStream& out, int count, const double* values, std::string_view label);
// Label line, then every row of the column-major matrix, six values per line, each line beginning with a blank.
void printDoubleMatrix(DiagnosticStream& out, int ld, int rows, int cols, const double* matrix, std::string_view label);

}  // namespace korvex
