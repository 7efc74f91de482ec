// The Lagrangian gradient: constraint rows through the column map, bound rows with their signs, and rows whose
// function has no gradient column.
#include <vector>

#include "korvex/routines/hessian.h"
#include "support/korvex_test.h"

namespace korvex {
namespace {

using SqpLagrangianGradientTest = korvex::testing::KorvexTest;

// Three variables; first group functions {3, 5} (rows 1, 2), second group {2} (row 3), bound rows 4..9.
struct Qp {
  int n = 3, p = 2, q = 1;
  std::vector<int> list1{3, 5}, list2{2};
  std::vector<int> icol{0, 2, 1, 0, 3};                       // function 2 -> 2, 3 -> 1, 5 -> 3
  std::vector<double> g{1, 2, 3, 10, 20, 30, 100, 200, 300};  // exactly three columns, on the heap
  std::vector<double> gobj{0.5, -0.5, 0.25};

  std::vector<double> run(std::vector<int> iact, std::vector<double>& xlag, int& missing) {
    std::vector<double> gradL(3);
    const int nact = static_cast<int>(iact.size());
    QLAG(&n, &p, list1.data(), &q, list2.data(), icol.data(), iact.data(), &nact, xlag.data(), gobj.data(),
         g.data(), gradL.data(), &missing);
    return gradL;
  }
};

TEST_F(SqpLagrangianGradientTest, ConstraintAndBoundRows) {
  Qp qp;
  int missing = 9;
  std::vector<double> none;
  EXPECT_EQ(qp.run({}, none, missing), qp.gobj);
  EXPECT_EQ(missing, 0);

  // Row 1 (function 3, column 1), row 2 (function 5, column 3), row 3 (function 2, column 2).
  std::vector<double> xlag{1, 2, 3};
  EXPECT_EQ(qp.run({1, 2, 3}, xlag, missing),
            (std::vector<double>{0.5 + 1 + 200 + 30, -0.5 + 2 + 400 + 60, 0.25 + 3 + 600 + 90}));
  EXPECT_EQ(missing, 0);

  // Bound rows: p+q+1 is +e1, p+q+2 is -e1, p+q+5 is +e3, p+q+6 is -e3.
  std::vector<double> bounds{1, 10, 100, 1000};
  EXPECT_EQ(qp.run({4, 5, 8, 9}, bounds, missing), (std::vector<double>{0.5 + 1 - 10, -0.5, 0.25 + 100 - 1000}));
}

// A first-group row without a column loses its multiplier and is reported (the last one found); a second-group row
// without a column contributes nothing and reads nothing outside G (here G is empty).
TEST_F(SqpLagrangianGradientTest, RowsWithoutAGradientColumn) {
  Qp qp;
  qp.icol = {0, 0, 0, 0, 0};
  qp.list1 = {3, 4};
  qp.g.clear();
  std::vector<double> xlag{1, 2, 3, 4};
  int missing = 0;
  EXPECT_EQ(qp.run({1, 2, 3, 4}, xlag, missing), (std::vector<double>{0.5 + 4, -0.5, 0.25}));
  EXPECT_EQ(missing, 4);
  EXPECT_EQ(xlag, (std::vector<double>{0, 0, 3, 4}));
}

}  // namespace
}  // namespace korvex
