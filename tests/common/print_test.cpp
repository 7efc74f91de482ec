#include <string>
#include <vector>

#include "korvex/routines/print.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using PrintTest = KorvexTest;

void message(const std::string& text) {
  const int count = static_cast<int>(text.size());
  PRTMES(text.data(), text.size(), &count);
}

TEST_F(PrintTest, MessageLinesBeginWithABlankAndWrapAfter80Characters) {
  message(std::string(75, 'a'));
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], " " + std::string(75, 'a'));

  clearLines();
  message(std::string(80, 'b') + "cd");
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[0], " " + std::string(80, 'b'));
  EXPECT_EQ(lines()[1], " cd");

  clearLines();
  const int zero = 0;
  PRTMES("ignored", 7, &zero);
  ASSERT_EQ(lines().size(), 1u);
  EXPECT_EQ(lines()[0], "");
}

TEST_F(PrintTest, MessageCountNotLengthDecidesWhatIsPrinted) {
  const int count = 3;
  PRTMES("ABCDEF", 6, &count);
  EXPECT_EQ(lines().at(0), " ABC");
}

TEST_F(PrintTest, IntegerVectorEightPerLineWithoutLeadingBlank) {
  std::vector<int> values{1, 2, 3, 4, 5, 6, 7, 8, 123456789};
  int count = 8;
  PRTVI(&count, values.data(), "MGRGIN", 6);
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[0], " MGRGIN");
  EXPECT_EQ(lines()[1].size(), 80u);
  EXPECT_EQ(lines()[1].substr(0, 20), "         1         2");

  clearLines();
  count = 9;
  PRTVI(&count, values.data(), "L", 1);
  ASSERT_EQ(lines().size(), 3u);
  EXPECT_EQ(lines()[2], " 123456789");

  clearLines();
  count = 0;
  PRTVI(&count, values.data(), "EMPTY", 5);
  ASSERT_EQ(lines().size(), 2u);
  EXPECT_EQ(lines()[1], "");
}

TEST_F(PrintTest, DoubleVectorSixPerLine) {
  std::vector<double> values(13);
  for (int i = 0; i < 13; ++i) values[static_cast<size_t>(i)] = i + 1;
  values[12] = -123456.7;
  const int count = 13;
  PRTVD(&count, values.data(), "DV", 2);
  ASSERT_EQ(lines().size(), 4u);
  EXPECT_EQ(lines()[0], " DV");
  EXPECT_EQ(lines()[1].size(), 78u);
  EXPECT_EQ(lines()[1].substr(0, 26), "  1.00000E+00  2.00000E+00");
  EXPECT_EQ(lines()[2].size(), 78u);
  EXPECT_EQ(lines()[3], " -1.23457E+05");
}

TEST_F(PrintTest, MatrixRowsInGroupsOfSixWithEmptyLineAfterFullGroups) {
  // 2 rows used of leading dimension 3; element (i, j) = 10*i + j.
  const int ld = 3, rows = 2;
  std::vector<double> m(static_cast<size_t>(ld * 13));
  for (int j = 1; j <= 13; ++j)
    for (int i = 1; i <= ld; ++i) m[static_cast<size_t>((i - 1) + (j - 1) * ld)] = 10 * i + j;

  int cols = 12;
  PRTMD(&ld, &rows, &cols, m.data(), "GRADD", 5);
  ASSERT_EQ(lines().size(), 1u + 2 * 3);
  EXPECT_EQ(lines()[1].substr(0, 27), "   1.10000E+01  1.20000E+01");
  EXPECT_EQ(lines()[2].substr(0, 14), "   1.70000E+01");
  EXPECT_EQ(lines()[3], "");
  EXPECT_EQ(lines()[4].substr(0, 14), "   2.10000E+01");

  clearLines();
  cols = 6;
  PRTMD(&ld, &rows, &cols, m.data(), "H", 1);
  ASSERT_EQ(lines().size(), 3u);
  EXPECT_EQ(lines()[2].size(), 79u);

  clearLines();
  cols = 7;
  PRTMD(&ld, &rows, &cols, m.data(), "H", 1);
  ASSERT_EQ(lines().size(), 5u);
  EXPECT_EQ(lines()[2], "   1.70000E+01");

  clearLines();
  const int noRows = 0;
  PRTMD(&ld, &noRows, &cols, m.data(), "H", 1);
  EXPECT_EQ(lines().size(), 1u);
}

}  // namespace
}  // namespace korvex::testing
