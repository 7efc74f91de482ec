// Field formatting of the diagnostic stream. Every function writes exactly `width` characters to `out`
// (no terminator), right-justified with leading blanks; a value that does not fit fills the field with asterisks.
#pragma once

namespace korvex {

// Decimal integer.
void formatInteger(long long value, int width, char* out);

// Plain exponent form with `decimals` digits after "0.": 123456.7 with width 13 and 4 decimals is
// "   0.1235E+06". A three-digit exponent drops the letter E ("0.1235+100").
void formatExponent(double value, int width, int decimals, char* out);

// Scaled exponent form with one leading non-zero digit: 123456.7 with width 13 and 5 decimals is
// "  1.23457E+05".
void formatScaledExponent(double value, int width, int decimals, char* out);

}  // namespace korvex
