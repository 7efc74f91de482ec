#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "common/format.h"

namespace korvex {
namespace {

enum class Form { kInteger, kPlain, kScaled };

struct FieldCase {
  Form form;
  double value;
  int width;
  int decimals;
  const char* expected;
};

std::string field(const FieldCase& c) {
  std::string s(static_cast<size_t>(c.width), '?');
  if (c.form == Form::kInteger) formatInteger(static_cast<long long>(c.value), c.width, s.data());
  if (c.form == Form::kPlain) formatExponent(c.value, c.width, c.decimals, s.data());
  if (c.form == Form::kScaled) formatScaledExponent(c.value, c.width, c.decimals, s.data());
  return s;
}

TEST(FormatFields, RightJustifiedRoundedOrAsterisksWhenTooWide) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const FieldCase cases[] = {
      {Form::kInteger, 42, 10, 0, "        42"},
      {Form::kInteger, 9999, 4, 0, "9999"},
      {Form::kInteger, 10000, 4, 0, "****"},
      {Form::kInteger, -100, 3, 0, "***"},
      {Form::kPlain, -1.234567e15, 13, 4, "  -0.1235E+16"},
      {Form::kPlain, 0.0, 13, 4, "   0.0000E+00"},
      {Form::kPlain, 0.99996, 11, 4, " 0.1000E+01"},    // the rounding carries into the exponent
      {Form::kPlain, 2.5e120, 13, 4, "   0.2500+121"},  // a three-digit exponent drops the letter
      {Form::kPlain, -1.0, 9, 4, "*********"},          // needs 11 characters
      {Form::kScaled, 9.999996, 13, 5, "  1.00000E+01"},
      {Form::kScaled, -1e-300, 13, 5, " -1.00000-300"},
      {Form::kScaled, nan, 13, 5, "          NaN"},
  };
  for (const FieldCase& c : cases) EXPECT_EQ(field(c), c.expected) << c.value;
}

}  // namespace
}  // namespace korvex
