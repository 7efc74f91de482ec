#include <string>
#include <vector>

#include "common/message.h"
#include "korvex/routines/print.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using PrintTest = KorvexTest;
using Lines = std::vector<std::string>;

TEST_F(PrintTest, MessagesBeginWithABlankWrapAfter80CharactersAndPrintCountCharacters) {
  const std::string text = std::string(80, 'b') + "cd";
  for (int count : {75, 82, 0}) PRTMES(text.data(), 1, &count);  // the length argument is ignored
  messageText.text("AB").print(90);  // the 80 blank-padded characters of the buffer, no more
  messageText.clear().text(std::string(100, 'x')).integer(5, 10).print();  // appends beyond 80 are dropped
  EXPECT_EQ(lines(), (Lines{" " + std::string(75, 'b'), " " + std::string(80, 'b'), " cd", "",
                            " AB" + std::string(78, ' '), " " + std::string(80, 'x')}));
}

// Vectors: a label line, then eight integers or six doubles a line without a leading blank, asterisks for an
// integer too wide, an empty line for a count of 0, a label cut at 256 characters. Matrices: rows in groups of six
// columns, an empty line after each row when the column count is a multiple of six. The printout is compared by its
// hash; the lines below pin the fields.
TEST_F(PrintTest, VectorsAndMatricesInGroupsOfEightOrSix) {
  const std::vector<int> ints{1, 2, 3, 4, 5, 6, 7, 8, -1234567890};
  for (int count : {8, 9, 0}) PRTVI(&count, ints.data(), "MGRGIN", 6);
  std::vector<double> doubles{11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, -123456.7};
  for (int count : {13, 0}) PRTVD(&count, doubles.data(), "DV", 2);
  const std::string longLabel(300, 'x');
  const int none = 0;
  PRTVD(&none, doubles.data(), longLabel.data(), longLabel.size());
  // Rows 1 and 2 of a leading dimension of 3; element (i, j) = 10 i + j.
  const int ld = 3, rows = 2;
  std::vector<double> m(static_cast<size_t>(ld * 12));
  for (int j = 1; j <= 12; ++j) {
    for (int i = 1; i <= ld; ++i) m[static_cast<size_t>((i - 1) + (j - 1) * ld)] = 10 * i + j;
  }
  for (int cols : {12, 7, 6}) PRTMD(&ld, &rows, &cols, m.data(), "GRADD", 5);
  const int noRows = 0, cols = 3;
  PRTMD(&ld, &noRows, &cols, m.data(), "H", 1);
  ASSERT_EQ(lines().size(), 31u);
  EXPECT_EQ(lines()[1], "         1         2         3         4         5         6         7         8");
  EXPECT_EQ(lines()[4], "**********");
  EXPECT_EQ(lines()[9], "  1.70000E+01  1.80000E+01  1.90000E+01  2.00000E+01  2.10000E+01  2.20000E+01");
  EXPECT_EQ(lines()[10], " -1.23457E+05");
  EXPECT_EQ(lines()[13], " " + longLabel.substr(0, 256));
  EXPECT_EQ(lines()[16], "   1.10000E+01  1.20000E+01  1.30000E+01  1.40000E+01  1.50000E+01  1.60000E+01");
  EXPECT_EQ(transcriptHash(), 0xfa94b96fa40de75fu) << transcript();
}

}  // namespace
}  // namespace korvex::testing
