// The choices the QP makes from kept state are the plain choices: the step length's last least ratio, and the row
// to add, its runner-up and the ranking from marks kept through additions and drops.
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "common/vector_width.h"
#include "qp/kernels.h"
#include "qp/row_solves.h"
#include "qp_test_data.h"
#include "support/korvex_test.h"

namespace korvex::testing {
namespace {

using QpChoice = KorvexTest;

// The step length against its plain definition on every vector width: the partial step is the last position with
// the least ratio -xlag/r over the decreasing multipliers (r < -tinyTol), one at a time.
TEST_F(QpChoice, StepLengthIsThePlainLastLeastRatio) {
  const double tiny = settings.tinyTol, big = settings.bigValue;
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const double rates[] = {-1.0, -2.0, -tiny, -2 * tiny, 0.0, -0.0, 1.0, -0.5, -inf, nan};
  const double multipliers[] = {0.0, -0.0, 1.0, 2.0, 1.0, 0.5, nan, -1e-300, big, 4.0};
  const int counts[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 65, 70};
  const double a[] = {1.0, -2.0, 0.0};
  const std::vector<int> itype = {1, 1};
  qp::Rows rows(2, 1, 1, 4, a, 2, itype.data());
  const double z[] = {0.25, 0.5}, c[] = {3.0, 0, 0, 0, 0};
  for ([[maybe_unused]] const VectorWidth width : EachVectorWidth()) {
    std::mt19937 rng(3);
    for (const int nact : counts) {
      for (int round = 0; round < 20; ++round) {
        Vector r(static_cast<size_t>(nact)), xlag(r);
        for (int k = 0; k < nact; ++k) {
          r[static_cast<size_t>(k)] = rates[rng() % std::size(rates)];
          xlag[static_cast<size_t>(k)] = multipliers[rng() % std::size(multipliers)];
        }
        double partial = big;
        int drop = 0;
        for (int k = 1; k <= nact; ++k) {
          const double rate = r[static_cast<size_t>(k - 1)];
          if (!(rate < -tiny)) continue;
          const double ratio = -xlag[static_cast<size_t>(k - 1)] / rate;
          if (ratio <= partial) partial = ratio, drop = k;
        }
        for (const bool zFinite : {false, true}) {
          const qp::StepChoice step = qp::stepLength(defaultContext(), rows, Vec<const double>(c, 5), 1, nact, 1.0,
                                                     Vec<const double>(z, 2), Vec<const double>(xlag.data(), nact),
                                                     Vec<const double>(r.data(), nact), zFinite);
          const double full = -3.0 / (1.0 * 0.25 + -2.0 * 0.5);
          const bool partialFirst = !(full <= partial);
          EXPECT_EQ(step.idx, partialFirst ? drop : nact + 1) << nact << " " << round;
          EXPECT_TRUE(sameBits(step.t, partialFirst ? partial : full)) << nact << " " << round;
        }
      }
    }
  }
}

// The choice of a row to add and the ranking of the candidates, made from marks kept up to date through a run of
// additions and drops, against plain definitions that look each row up in IACT, on every vector width. The values
// are drawn with ties, NaNs, zeros of both signs and values at exactly tinyTol; rows passed over keep values far
// above the others, or infinite, or NaN.
TEST_F(QpChoice, RowChoiceFromKeptMarksIsTheChoiceFromTheActiveRows) {
  struct Case {
    int n, nc, nineq;
    bool boxed;  // bound type 1 for every variable (else types 1, 2, 3 and none in turn)
  };
  const Case cases[] = {{6, 4, 1, false}, {50, 49, 0, true}, {9, 5, 5, true}, {7, 3, 1, true}, {3, 600, 0, false}};
  const double tiny = settings.tinyTol;
  const double pool[] = {tiny, 2 * tiny, 0.5, 0.5, 1.0, -0.0, 0.0, -1.0, std::nan(""), 3.0, 3.0};
  const double passedPool[] = {1e300, std::numeric_limits<double>::infinity(), std::nan("")};
  for ([[maybe_unused]] const VectorWidth width : EachVectorWidth()) {
    std::mt19937 rng(11);
    for (const Case& t : cases) {
      std::vector<int> itype(static_cast<size_t>(t.n));
      for (int i = 0; i < t.n; ++i) itype[static_cast<size_t>(i)] = t.boxed ? 1 : i % 4;
      const int nb = qp::countBoundRows(Vec<const int>(itype.data(), t.n));
      const Vector a = constraintMatrix(rng, t.n, t.nc, true);
      qp::Rows rows(t.n, t.nc, t.nineq, nb, a.data(), t.n, itype.data());
      const auto patterns = std::make_unique<qp::RowPatterns>();
      if (t.n >= 40) {  // sums over the nonzero entries, as the solver forms them for such problems
        patterns->build(Mat<const double>(a.data(), t.n, t.nc), t.n, t.nc);
        rows.usePatterns(patterns.get());
      }
      const int total = rows.total();
      const auto twin = [&](int j) {
        return rows.isMirror(j) ? rows.equalityOf(j) : rows.isEquality(j) ? rows.mirrorOf(j) : 0;
      };
      std::vector<int> iact(static_cast<size_t>(t.n), 0);
      int nact = 0;
      const auto passedOver = [&](int j) {
        for (int k = 0; k < nact; ++k) {
          if (iact[static_cast<size_t>(k)] == j || (twin(j) != 0 && iact[static_cast<size_t>(k)] == twin(j))) {
            return true;
          }
        }
        return false;
      };
      qp::PassedOver kept(rows, nact, Vec<const int>(iact.data(), t.n));
      std::uniform_int_distribution<size_t> pick(0, std::size(pool) - 1);
      for (int round = 0; round < 40; ++round) {
        // Add a row that is not passed over, or drop an active one.
        std::uniform_int_distribution<int> row(1, total);
        if (nact < t.n && (nact == 0 || round % 3 != 2)) {
          int j = row(rng);
          while (passedOver(j)) j = row(rng);
          iact[static_cast<size_t>(nact++)] = j;
          kept.add(j);
        } else {
          const int k = std::uniform_int_distribution<int>(0, nact - 1)(rng);
          const int j = iact[static_cast<size_t>(k)];
          iact.erase(iact.begin() + k);
          iact.push_back(0);
          --nact;
          kept.drop(j);
        }
        Vector c(static_cast<size_t>(total));
        for (int j = 1; j <= total; ++j) {
          // Every other round without a NaN among the rows that may be chosen.
        double value = pool[pick(rng)];
        while (round % 2 == 0 && std::isnan(value)) value = pool[pick(rng)];
        c[static_cast<size_t>(j - 1)] = passedOver(j) ? passedPool[rng() % 3] : value;
        }
        const Vec<const double> values(c.data(), total);

        // Plain definitions: the first of the greatest values above tinyTol, and the runner-up as one pass with its
        // threshold at the second place finds it.
        int kv = 0, second = 0;
        double worst = tiny, secondWorst = tiny;
        for (int j = 1; j <= total; ++j) {
          const double v = c[static_cast<size_t>(j - 1)];
          if (passedOver(j)) continue;
          if (v > worst) {
            second = kv, secondWorst = worst, kv = j, worst = v;
          } else if (v > secondWorst) {
            second = j, secondWorst = v;
          }
        }
        int runnerUp = -1;
        EXPECT_EQ(qp::mostViolated(defaultContext(), rows, values, kept), kv) << "round " << round;
        EXPECT_EQ(qp::mostViolated(defaultContext(), rows, values, kept, &runnerUp), kv) << "round " << round;
        EXPECT_EQ(runnerUp, second) << "round " << round;
        EXPECT_EQ(qp::mostViolated(defaultContext(), rows, values, nact, Vec<const int>(iact.data(), nact)), kv);
        for (const int capacity : {1, 3, 15}) {
          // The rows above zero, inserted by decreasing value behind every row of equal value.
          std::vector<int> expected;
          for (int j = 1; j <= total; ++j) {
            const double value = c[static_cast<size_t>(j - 1)];
            if (passedOver(j) || j == kv || !(value > 0.0)) continue;
            size_t place = expected.size();
            while (place > 0 && value > c[static_cast<size_t>(expected[place - 1] - 1)]) --place;
            if (place >= static_cast<size_t>(capacity)) continue;
            expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(place), j);
            if (expected.size() > static_cast<size_t>(capacity)) expected.pop_back();
          }
          std::vector<int> ranked(static_cast<size_t>(capacity), 0);
          const int count = qp::rankCandidates(rows, values, kept, kv, Vec<int>(ranked.data(), capacity));
          if (!kept.marked()) {
            EXPECT_EQ(count, 0);
            continue;
          }
          EXPECT_EQ(std::vector<int>(ranked.begin(), ranked.begin() + count), expected) << "round " << round;
        }

        // The values the choice after a step reads are those of rowValues, to the bit.
        Vector x(static_cast<size_t>(t.n)), xl(x), xu(x), bc(static_cast<size_t>(t.nc));
        std::uniform_real_distribution<double> u(-2.0, 2.0);
        for (int i = 0; i < t.n; ++i) {
          x[static_cast<size_t>(i)] = u(rng);
          xl[static_cast<size_t>(i)] = -1.0 + u(rng) / 4;
          xu[static_cast<size_t>(i)] = 1.0 + u(rng) / 4;
        }
        for (double& b : bc) b = u(rng);
        Vector all(static_cast<size_t>(total)), formed(c);
        qp::rowValues(rows, Vec<const double>(bc.data(), t.nc), Vec<const double>(x.data(), t.n),
                      Vec<const double>(xl.data(), t.n), Vec<const double>(xu.data(), t.n),
                      Vec<double>(all.data(), total));
        const int chosen = qp::rowValuesAndMostViolated(
            defaultContext(), rows, Vec<const double>(bc.data(), t.nc), Vec<const double>(x.data(), t.n),
            Vec<const double>(xl.data(), t.n), Vec<const double>(xu.data(), t.n),
            Vec<double>(formed.data(), total), kept);
        for (int j = 1; j <= total; ++j) {
          if (passedOver(j)) continue;
          EXPECT_TRUE(sameBits(all[static_cast<size_t>(j - 1)], formed[static_cast<size_t>(j - 1)])) << "row " << j;
        }
        EXPECT_EQ(chosen, qp::mostViolated(defaultContext(), rows, Vec<const double>(all.data(), total), nact,
                                           Vec<const int>(iact.data(), nact)));
        if (t.boxed) {  // the bound rows of boxed variables: x - xu and xl - x in turn
          for (size_t i = 0; i < static_cast<size_t>(t.n); ++i) {
            EXPECT_TRUE(sameBits(all[static_cast<size_t>(t.nc) + 2 * i], x[i] - xu[i])) << "variable " << i + 1;
            EXPECT_TRUE(sameBits(all[static_cast<size_t>(t.nc) + 2 * i + 1], xl[i] - x[i])) << "variable " << i + 1;
          }
        }
        for (int m = 1; m <= t.nc - t.nineq; ++m) {  // the mirror rows: the equality rows negated
          EXPECT_TRUE(sameBits(all[static_cast<size_t>(total - (t.nc - t.nineq) + m - 1)],
                               -all[static_cast<size_t>(t.nineq + m - 1)]));
        }
      }
    }
  }
}

}  // namespace
}  // namespace korvex::testing
