#include <string>
#include <vector>

#include "common/message.h"
#include "korvex/routines/print.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using PrintTest = KorvexTest;
using Lines = std::vector<std::string>;

// Scaled exponent fields of the values 10 i + j for j = first..last (two digits each), with a leading blank
// when it is a matrix line.
std::string fields(bool matrixLine, int i, int first, int last) {
  std::string s = matrixLine ? " " : "";
  for (int j = first; j <= last; ++j) {
    const int v = 10 * i + j;
    s += "  " + std::to_string(v / 10) + "." + std::to_string(v % 10) + "0000E+01";
  }
  return s;
}

TEST_F(PrintTest, MessagesBeginWithABlankWrapAfter80CharactersAndPrintCountCharacters) {
  const std::string text = std::string(80, 'b') + "cd";
  for (int count : {75, 82, 0}) PRTMES(text.data(), 1, &count);  // the length argument is ignored
  messageText.text("AB").print(90);  // the 80 blank-padded characters of the buffer, no more
  messageText.clear().text(std::string(100, 'x')).integer(5, 10).print();  // appends beyond 80 are dropped
  EXPECT_EQ(lines(), (Lines{" " + std::string(75, 'b'), " " + std::string(80, 'b'), " cd", "",
                            " AB" + std::string(78, ' '), " " + std::string(80, 'x')}));
}

TEST_F(PrintTest, VectorsEightIntegersOrSixDoublesPerLineWithoutLeadingBlank) {
  const std::vector<int> ints{1, 2, 3, 4, 5, 6, 7, 8, -1234567890};
  for (int count : {8, 9, 0}) PRTVI(&count, ints.data(), "MGRGIN", 6);
  std::string eight;
  for (int v = 1; v <= 8; ++v) eight += "         " + std::to_string(v);
  EXPECT_EQ(lines(), (Lines{" MGRGIN", eight, " MGRGIN", eight, "**********", " MGRGIN", ""}));

  clearLines();
  std::vector<double> doubles{11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, -123456.7};
  for (int count : {13, 0}) PRTVD(&count, doubles.data(), "DV", 2);
  EXPECT_EQ(lines(), (Lines{" DV", fields(false, 1, 1, 6), fields(false, 1, 7, 12), " -1.23457E+05", " DV", ""}));

  clearLines();
  const std::string longLabel(300, 'x');  // cut to 256 characters
  const int none = 0;
  PRTVD(&none, doubles.data(), longLabel.data(), longLabel.size());
  EXPECT_EQ(lines(), (Lines{" " + longLabel.substr(0, 256), ""}));
}

TEST_F(PrintTest, MatrixRowsInGroupsOfSixWithAnEmptyLineAfterAMultipleOfSixColumns) {
  // Rows 1 and 2 of a leading dimension of 3; element (i, j) = 10 i + j.
  const int ld = 3, rows = 2;
  std::vector<double> m(static_cast<size_t>(ld * 12));
  for (int j = 1; j <= 12; ++j) {
    for (int i = 1; i <= ld; ++i) m[static_cast<size_t>((i - 1) + (j - 1) * ld)] = 10 * i + j;
  }
  for (int cols : {12, 7, 6}) PRTMD(&ld, &rows, &cols, m.data(), "GRADD", 5);
  const int noRows = 0, cols = 3;
  PRTMD(&ld, &noRows, &cols, m.data(), "H", 1);
  auto row = [](int i, int first, int last) { return fields(true, i, first, last); };
  EXPECT_EQ(lines(), (Lines{" GRADD", row(1, 1, 6), row(1, 7, 12), "", row(2, 1, 6), row(2, 7, 12), "",  //
                            " GRADD", row(1, 1, 6), row(1, 7, 7), row(2, 1, 6), row(2, 7, 7),         //
                            " GRADD", row(1, 1, 6), row(2, 1, 6), " H"}));
}

}  // namespace
}  // namespace korvex::testing
