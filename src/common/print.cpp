#include "common/print.h"

#include <algorithm>
#include <cstring>

#include "common/format.h"
#include "entry/context.h"
#include "korvex/routines/print.h"

namespace korvex {
namespace {

constexpr int kMessageWidth = 80;     // characters of a message per line
constexpr int kIntField = 10;
constexpr int kIntsPerLine = 8;
constexpr int kDoubleField = 13;
constexpr int kDoubleDecimals = 5;
constexpr int kDoublesPerLine = 6;

constexpr int kLongestLabel = 256;  // longer labels are cut to their first 256 characters

void printLabel(DiagnosticStream& out, std::string_view label) {
  char line[1 + kLongestLabel];
  const int length = std::min(static_cast<int>(label.size()), kLongestLabel);
  line[0] = ' ';
  if (length > 0) std::memcpy(line + 1, label.data(), static_cast<size_t>(length));
  out.writeLine(line, 1 + length);
}

// One line of up to six doubles from values[0], values[stride], ..., with an optional leading blank.
void printDoubleLine(DiagnosticStream& out, const double* values, long stride, int count, bool leadingBlank) {
  char line[1 + kDoublesPerLine * kDoubleField];
  int at = 0;
  if (leadingBlank && count > 0) line[at++] = ' ';
  for (int k = 0; k < count; ++k) {
    formatScaledExponent(values[k * stride], kDoubleField, kDoubleDecimals, line + at);
    at += kDoubleField;
  }
  out.writeLine(line, at);
}

}  // namespace

void printMessage(DiagnosticStream& out, const char* text, int count) {
  char line[1 + kMessageWidth];
  line[0] = ' ';
  if (count <= 0) {
    out.writeLine(line, 0);
    return;
  }
  for (int start = 0; start < count; start += kMessageWidth) {
    const int length = std::min(kMessageWidth, count - start);
    std::memcpy(line + 1, text + start, static_cast<size_t>(length));
    out.writeLine(line, 1 + length);
  }
}

void printIntVector(DiagnosticStream& out, int count, const int* values, std::string_view label) {
  printLabel(out, label);
  if (count <= 0) {
    out.writeLine("", 0);
    return;
  }
  char line[kIntsPerLine * kIntField];
  for (int start = 0; start < count; start += kIntsPerLine) {
    const int length = std::min(kIntsPerLine, count - start);
    for (int k = 0; k < length; ++k) formatInteger(values[start + k], kIntField, line + k * kIntField);
    out.writeLine(line, length * kIntField);
  }
}

void printDoubleVector(DiagnosticStream& out, int count, const double* values, std::string_view label) {
  printLabel(out, label);
  if (count <= 0) {
    out.writeLine("", 0);
    return;
  }
  for (int start = 0; start < count; start += kDoublesPerLine) {
    printDoubleLine(out, values + start, 1, std::min(kDoublesPerLine, count - start), false);
  }
}

void printDoubleMatrix(DiagnosticStream& out, int ld, int rows, int cols, const double* matrix,
                       std::string_view label) {
  printLabel(out, label);
  for (int i = 0; i < rows; ++i) {
    const double* row = matrix + i;  // element (i+1, j+1) at row[j * ld]
    if (cols <= kDoublesPerLine) {
      printDoubleLine(out, row, ld, std::max(cols, 0), true);
      continue;
    }
    const int fullGroups = cols / kDoublesPerLine;
    for (int group = 0; group < fullGroups; ++group) {
      printDoubleLine(out, row + static_cast<long>(group) * kDoublesPerLine * ld, ld, kDoublesPerLine, true);
    }
    // The rest of the row; an empty line when cols is a multiple of six.
    printDoubleLine(out, row + static_cast<long>(fullGroups) * kDoublesPerLine * ld, ld, cols % kDoublesPerLine, true);
  }
}

}  // namespace korvex

// Exported adapters: they print to the default context's stream.

extern "C" {

KORVEX_API void PRTMES(const char* text, size_t /*textLength*/, const int* count) {
  korvex::printMessage(korvex::defaultContext().diagnostics, text, *count);
}

KORVEX_API void PRTVI(const int* count, const int* values, const char* label, size_t labelLength) {
  korvex::printIntVector(korvex::defaultContext().diagnostics, *count, values, std::string_view(label, labelLength));
}

KORVEX_API void PRTVD(const int* count, const double* values, const char* label, size_t labelLength) {
  korvex::printDoubleVector(korvex::defaultContext().diagnostics, *count, values, std::string_view(label, labelLength));
}

KORVEX_API void PRTMD(const int* ld, const int* rows, const int* cols, const double* matrix, const char* label,
                      size_t labelLength) {
  korvex::printDoubleMatrix(korvex::defaultContext().diagnostics, *ld, *rows, *cols, matrix,
                            std::string_view(label, labelLength));
}

}  // extern "C"
