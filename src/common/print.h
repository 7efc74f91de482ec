// Diagnostic printing: messages, integer and double vectors and double matrices in fixed line layouts. These print
// unconditionally; callers compare the print level first.
#pragma once

#include <string_view>

namespace korvex {

// One blank, then the first `count` characters of text; after 80 characters the line ends and the rest continues
// on a new line that again begins with one blank. count <= 0 writes an empty line.
void printMessage(const char* text, int count);
inline void printMessage(std::string_view text) { printMessage(text.data(), static_cast<int>(text.size())); }

// The label line of the vector and matrix routines is one blank and the label; a label longer than 256 characters is
// cut to its first 256 (the line is built in a fixed buffer).

// Label line, then the values eight per line in 10-character integer fields.
void printIntVector(int count, const int* values, std::string_view label);
// Label line, then the values six per line in 13-character scaled exponent fields.
void printDoubleVector(int count, const double* values, std::string_view label);
// Label line, then every row of the column-major matrix, six values per line, each line beginning with a blank.
void printDoubleMatrix(int ld, int rows, int cols, const double* matrix, std::string_view label);

}  // namespace korvex
