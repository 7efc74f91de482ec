#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "common/format.h"
#include "common/message.h"

namespace korvex {
namespace {

std::string integerField(long long v, int width) {
  std::string s(static_cast<size_t>(width), '?');
  formatInteger(v, width, s.data());
  return s;
}
std::string exponentField(double v, int width, int decimals) {
  std::string s(static_cast<size_t>(width), '?');
  formatExponent(v, width, decimals, s.data());
  return s;
}
std::string scaledField(double v) {
  std::string s(13, '?');
  formatScaledExponent(v, 13, 5, s.data());
  return s;
}

TEST(FormatFields, IntegerRightJustifiedOrAsterisksWhenTooWide) {
  EXPECT_EQ(integerField(42, 10), "        42");
  EXPECT_EQ(integerField(-42, 4), " -42");
  EXPECT_EQ(integerField(9999, 4), "9999");
  EXPECT_EQ(integerField(10000, 4), "****");
  EXPECT_EQ(integerField(-100, 3), "***");
}

TEST(FormatFields, PlainExponentHasLeadingZeroAndRoundsToItsDecimals) {
  EXPECT_EQ(exponentField(123456.7, 13, 4), "   0.1235E+06");
  EXPECT_EQ(exponentField(-123456.7, 13, 4), "  -0.1235E+06");
  EXPECT_EQ(exponentField(0.0, 13, 4), "   0.0000E+00");
  EXPECT_EQ(exponentField(0.99996, 11, 4), " 0.1000E+01");  // rounding carries into the exponent
  EXPECT_EQ(exponentField(1.5e-7, 14, 5), "   0.15000E-06");
  EXPECT_EQ(exponentField(2.5e120, 13, 4), "   0.2500+121");  // three exponent digits drop the letter
  EXPECT_EQ(exponentField(-1.0, 9, 4), "*********");           // needs 11 characters
}

TEST(FormatFields, ScaledExponentHasOneLeadingDigit) {
  EXPECT_EQ(scaledField(123456.7), "  1.23457E+05");
  EXPECT_EQ(scaledField(-123456.7), " -1.23457E+05");
  EXPECT_EQ(scaledField(0.0), "  0.00000E+00");
  EXPECT_EQ(scaledField(9.999996), "  1.00000E+01");
  EXPECT_EQ(scaledField(-1e-300), " -1.00000-300");
  EXPECT_EQ(scaledField(std::numeric_limits<double>::quiet_NaN()), "          NaN");
}

TEST(FormatFields, MessageBufferIsBlankPaddedAndNeverOverruns) {
  MessageBuffer m;
  m.text("DIRECT DERIV ").exponent(-0.5, 14, 5);
  EXPECT_EQ(m.length(), 27);
  EXPECT_EQ(std::string(m.data(), 27), "DIRECT DERIV   -0.50000E+00");
  EXPECT_EQ(std::string(m.data() + 27, 53), std::string(53, ' '));
  m.clear().text(std::string(100, 'x')).integer(5, 10);
  EXPECT_EQ(m.length(), MessageBuffer::kLength);
}

}  // namespace
}  // namespace korvex
