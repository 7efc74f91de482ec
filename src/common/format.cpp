#include "common/format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace korvex {
namespace {

// Right-justify the `length` characters of `text` in the field, or fill it with asterisks when they do not fit.
void placeInField(const char* text, int length, int width, char* out) {
  if (width <= 0) return;
  if (length > width) {
    std::memset(out, '*', static_cast<size_t>(width));
    return;
  }
  std::memset(out, ' ', static_cast<size_t>(width - length));
  std::memcpy(out + (width - length), text, static_cast<size_t>(length));
}

// Infinities and NaNs have no exponent form.
bool placeNonFinite(double value, int width, char* out) {
  if (std::isfinite(value)) return false;
  const char* text = std::isnan(value) ? "NaN" : (value < 0 ? "-Infinity" : "Infinity");
  int length = static_cast<int>(std::strlen(text));
  if (length > width && !std::isnan(value)) {
    text = value < 0 ? "-Inf" : "Inf";
    length = static_cast<int>(std::strlen(text));
  }
  placeInField(text, length, width, out);
  return true;
}

// Append the exponent: "E+dd" for |e| <= 99, "+ddd" without the letter for larger ones.
int appendExponent(int exponent, char* buffer, int at) {
  const char sign = exponent < 0 ? '-' : '+';
  const int magnitude = std::abs(exponent);
  int written;
  if (magnitude <= 99) {
    written = std::snprintf(buffer + at, 8, "E%c%02d", sign, magnitude);
  } else {
    written = std::snprintf(buffer + at, 8, "%c%03d", sign, magnitude);
  }
  return at + written;
}

// Decimal digits and exponent of |value| rounded to `digits` significant digits: |value| = 0.d1d2... x 10^exponent
// when `leadingZero`, d1.d2... x 10^exponent otherwise. Zero has all digits 0 and exponent 0.
int roundedDigits(double value, int digits, char* mantissa, bool leadingZero) {
  if (value == 0.0) {
    std::memset(mantissa, '0', static_cast<size_t>(digits));
    return 0;
  }
  char buffer[64];
  // "%.*e" rounds correctly to digits significant digits: d.ddde+XX
  std::snprintf(buffer, sizeof buffer, "%.*e", digits - 1, std::fabs(value));
  int count = 0;
  const char* p = buffer;
  for (; *p != 'e' && count < digits; ++p) {
    if (*p >= '0' && *p <= '9') mantissa[count++] = *p;
  }
  while (*p != 'e' && *p != '\0') ++p;
  const int exponent = (*p == 'e') ? std::atoi(p + 1) : 0;
  return leadingZero ? exponent + 1 : exponent;
}

}  // namespace

void formatInteger(long long value, int width, char* out) {
  char buffer[32];
  const int length = std::snprintf(buffer, sizeof buffer, "%lld", value);
  placeInField(buffer, length, width, out);
}

void formatExponent(double value, int width, int decimals, char* out) {
  if (placeNonFinite(value, width, out)) return;
  if (decimals < 1 || decimals > 30) {
    std::memset(out, '*', static_cast<size_t>(width > 0 ? width : 0));
    return;
  }
  char mantissa[32];
  const int exponent = roundedDigits(value, decimals, mantissa, true);
  char buffer[64];
  int at = 0;
  if (std::signbit(value) && value != 0.0) buffer[at++] = '-';
  buffer[at++] = '0';
  buffer[at++] = '.';
  std::memcpy(buffer + at, mantissa, static_cast<size_t>(decimals));
  at += decimals;
  at = appendExponent(exponent, buffer, at);
  placeInField(buffer, at, width, out);
}

void formatScaledExponent(double value, int width, int decimals, char* out) {
  if (placeNonFinite(value, width, out)) return;
  if (decimals < 0 || decimals > 30) {
    std::memset(out, '*', static_cast<size_t>(width > 0 ? width : 0));
    return;
  }
  char mantissa[32];
  const int exponent = roundedDigits(value, decimals + 1, mantissa, false);
  char buffer[64];
  int at = 0;
  if (std::signbit(value) && value != 0.0) buffer[at++] = '-';
  buffer[at++] = mantissa[0];
  buffer[at++] = '.';
  std::memcpy(buffer + at, mantissa + 1, static_cast<size_t>(decimals));
  at += decimals;
  at = appendExponent(exponent, buffer, at);
  placeInField(buffer, at, width, out);
}

}  // namespace korvex
