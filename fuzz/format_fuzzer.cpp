// The printer's field formatting with any value, width and digit count. Each field is written into a buffer of
// exactly its width (so AddressSanitizer sees any write beyond it) and read back: an integer field holds the decimal
// integer right-justified, an exponent field a number within half a unit of its last digit of the value, and a
// field too narrow for its text is all asterisks.
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "byte_reader.h"
#include "common/format.h"

namespace korvex::fuzzing {
namespace {

constexpr int kMaxWidth = 48;

// The field's text without its leading blanks; "*" when the field is all asterisks (or empty).
std::string trimmed(const char* field, int width) {
  int start = 0;
  while (start < width && field[start] == ' ') ++start;
  bool stars = true;
  for (int k = 0; k < width; ++k) stars = stars && field[k] == '*';
  if (stars) return "*";
  require(start < width, "a field of blanks only");
  for (int k = start; k < width; ++k) require(field[k] != ' ', "a blank inside a field's text");
  return std::string(field + start, static_cast<size_t>(width - start));
}

void checkInteger(long long value, int width, const char* field) {
  const std::string expected = std::to_string(value);
  if (static_cast<int>(expected.size()) > width) {
    require(trimmed(field, width) == "*", "an integer too wide for its field is not asterisks");
  } else {
    require(trimmed(field, width) == expected, "an integer field does not hold its value");
  }
}

// Reads "[-]m.ddd" followed by "E+dd", "E-dd", "+ddd" or "-ddd"; returns false when the text has another form.
bool parseExponentForm(const std::string& text, bool leadingZero, int decimals, long double& value, int& exponent) {
  size_t at = 0;
  const bool negative = text[at] == '-';
  if (negative) ++at;
  const size_t mantissaStart = at;
  if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
  if (leadingZero && text[at] != '0') return false;
  ++at;
  if (at >= text.size() || text[at] != '.') return false;
  ++at;
  for (int k = 0; k < decimals; ++k, ++at) {
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at]))) return false;
  }
  const std::string mantissa = text.substr(mantissaStart, at - mantissaStart);
  std::string rest = text.substr(at);
  if (rest.size() == 4 && rest[0] == 'E') rest = rest.substr(1);  // "E+dd"
  else if (rest.size() != 4) return false;                     // "+ddd"
  if (rest[0] != '+' && rest[0] != '-') return false;
  for (size_t k = 1; k < rest.size(); ++k) {
    if (!std::isdigit(static_cast<unsigned char>(rest[k]))) return false;
  }
  exponent = std::atoi(rest.c_str());
  value = std::strtold(mantissa.c_str(), nullptr) * std::pow(10.0L, exponent);
  if (negative) value = -value;
  return true;
}

// `decimals` digits after "0." (plain form) or one digit and `decimals` after the point (scaled form).
void checkExponent(double value, int width, int decimals, bool scaled, const char* field) {
  const std::string text = trimmed(field, width);
  if (!std::isfinite(value)) {
    const bool named = text == "NaN" || text == "Infinity" || text == "-Infinity" || text == "Inf" || text == "-Inf";
    require(named || text == "*", "a non-finite value is neither named nor asterisks");
    return;
  }
  const int lowest = scaled ? 0 : 1;
  if (decimals < lowest || decimals > 30) {
    require(text == "*", "an impossible digit count does not give asterisks");
    return;
  }
  // The text's length: sign, "0." or "d.", the decimals, four characters of exponent.
  const int length = (std::signbit(value) && value != 0.0 ? 1 : 0) + 2 + decimals + 4;
  if (length > width) {
    require(text == "*", "an exponent field too narrow for its text is not asterisks");
    return;
  }
  long double shown = 0;
  int exponent = 0;
  require(parseExponentForm(text, !scaled, decimals, shown, exponent), "an exponent field of the wrong form");
  require(static_cast<int>(text.size()) == length, "an exponent field of the wrong length");
  // Normalised: the first significant digit is not 0 (unless the value is 0), and the value is within half a unit
  // of the last digit shown (plus the rounding of reading the text back).
  const size_t first = (text[0] == '-' ? 1 : 0) + (scaled ? 0 : 2);
  if (value != 0.0) require(text[first] != '0', "an exponent field not normalised");
  const long double unit = std::pow(10.0L, exponent - decimals);
  const long double error = std::fabs(shown - static_cast<long double>(value));
  require(error <= 0.5L * unit * (1 + 1e-15L) + std::fabs(static_cast<long double>(value)) * 1e-17L,
          "an exponent field does not show its value");
}

}  // namespace
}  // namespace korvex::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvex::fuzzing;
  ByteReader in(data, size);
  const int form = in.pick(0, 2);
  const int width = in.pick(0, kMaxWidth);
  const int decimals = in.pick(-2, 34);
  char* field = new char[static_cast<size_t>(width)];  // exactly the field
  if (form == 0) {
    const long long value = in.flag() ? in.integer() : in.halfWord();
    korvex::formatInteger(value, width, field);
    checkInteger(value, width, field);
  } else {
    const double value = in.flag() ? in.bits() : in.value();
    if (form == 1) {
      korvex::formatExponent(value, width, decimals, field);
    } else {
      korvex::formatScaledExponent(value, width, decimals, field);
    }
    checkExponent(value, width, decimals, form == 2, field);
  }
  delete[] field;
  return 0;
}
