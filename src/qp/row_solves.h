// The solves H^-1 n_j of the row gradients, kept through one QP solve (H does not change within it).
//
// Every row gradient is +u or -u of one base vector u: a_k for general row k and its mirror row (-a_k), e_i for the
// bound rows of variable i (upper row +e_i, lower row -e_i). The direction for row j starts from H^-1(-n_j) and
// adding row j takes H^-1 n_j, so each row needs the solves of both signs of its base.
//
// Solving with the packed factor ends in a back substitution whose every step waits for the one before, so one
// vector keeps the processor mostly idle. Here many right-hand sides are solved side by side (on the widest
// vectors the processor has, see common/vector_width.h), each lane taking exactly the operations of solve(). A run
// costs about the same for two lanes as for a few vectors of them, so runs are few and full:
//  - at the start of a QP solve, one run (or a few) forms the unconstrained minimum -H^-1 g together with the
//    solves of every equality row (each is added in the end) and of every row the previous QP solve added (its
//    successor, with the same rows, adds most of them again);
//  - a row asked for that is not held yet is solved with those likeliest to be asked for next (the most violated
//    ones, then the equality rows not solved yet). The number of lanes of such a run follows the share of solves
//    the previous QP solve used (on vectors of eight, where sixteen lanes cost about what eight do, it fills them).
//
// The solve of -u is the solve of +u with every sign changed wherever that one has no zero and no NaN: negating
// every right-hand side negates every product and every difference exactly (rounding to nearest is symmetric) and
// keeps zeros zero, so only the sign of a zero could differ, and a NaN's. When a solve of +u holds a zero or a NaN,
// -u is solved in its own lane, and from then on within the QP solve both signs are solved together.
#pragma once

#include <array>
#include <cstdint>

#include "common/double_pair.h"
#include "common/views.h"
#include "qp/kernels.h"

namespace korvex::qp {

class RowSolves {
 public:
  static constexpr int kMaxOrder = 100;  // larger problems (only through the exported routines) solve row by row
  // Below this order the QP solver keeps no row solves (its solves are too short to pay for choosing and keeping
  // them; see Reuse), and a run here solves only the row asked for (both signs side by side).
  static constexpr int kSideBySideOrder = 40;
  static constexpr int kLanes = 16;         // lanes of a run for a row asked for (so many rows are ranked for it)
  static constexpr int kMaxRunLanes = 64;   // lanes of one run at most
  static constexpr int kMaxBases = 2048;    // general rows plus variables

  // Forgets every solve: a new H. false when the problem is too large for the store.
  bool begin(const Rows& rows);
  // x(1..n) = -H^-1 g exactly as solve() forms it, side by side with the solves of every equality row and of the
  // rows the previous QP solve added (when it had the same rows). hfac is the factor of the new H.
  void solveAhead(const Rows& rows, Vec<const double> hfac, Vec<const double> g, Vec<double> x);
  // Makes sure both solves of row kv are kept; ranked(1..count) are the rows likeliest to follow, first first.
  // false when row kv has no base (a bound row the bound types do not give), so that the caller solves it itself.
  bool holdsRow(const Rows& rows, int j) const {
    const Base base = baseOf(rows, j);
    return base.index != 0 && holdsBoth(base.index);
  }
  // Lanes a run may fill now: at most so many rows are worth ranking for one.
  int lanes() const { return lanes_; }
  bool provide(const Rows& rows, Vec<const double> hfac, int kv, Vec<const int> ranked, int count);
  // out(1..n) = H^-1 (sign n_j), sign +1 or -1, for a row j that provide() has made sure of since the last begin().
  void fetch(const Rows& rows, int j, double sign, Vec<double> out) {
    noteFetched(rows, j, sign);
    copySolve(rows, j, sign, out);
  }
  // fetch() in its two parts: what the store counts of a solve taken (the share used, the rows added for the next
  // QP solve), and the copy alone (for a solve that may not be taken).
  void noteFetched(const Rows& rows, int j, double sign);
  void copySolve(const Rows& rows, int j, double sign, Vec<double> out) const;

 private:
  static constexpr int kStoredDoubles = kMaxOrder * 256;

  struct Base {
    int index;    // 1..NC for a general row, NC+i for variable i, 0 for none
    double sign;  // n_j = sign u
  };
  struct Job {
    int base;     // 0: the right-hand side -g of the unconstrained minimum
    double sign;  // the right-hand side is sign u
  };
  using Jobs = std::array<Job, kMaxRunLanes>;

  Base baseOf(const Rows& rows, int j) const;
  int& slot(int base, double sign) { return slots_[static_cast<size_t>(2 * base + (sign > 0.0 ? 0 : 1))]; }
  int slot(int base, double sign) const { return slots_[static_cast<size_t>(2 * base + (sign > 0.0 ? 0 : 1))]; }
  bool holds(int base, double sign) const;
  bool holdsBoth(int base) const { return holds(base, 1.0) && holds(base, -1.0); }
  // Adds the jobs that base still needs (both signs when wantBoth or when +u had a zero); false when they do not
  // fit into the lanes left.
  bool addJobs(int base, bool wantBoth, Jobs& jobs, int& count, int lanes) const;
  // Solves the right-hand sides of jobs(0..count-1) side by side and keeps them; the job of base 0 (-g) goes to x.
  void run(const Rows& rows, Vec<const double> hfac, const Jobs& jobs, int count, Vec<const double> g = {},
           Vec<double> x = {});
  const double* stored(int slotNumber) const { return store_.data() + static_cast<size_t>(slotNumber - 1) * n_; }
  double* stored(int slotNumber) { return store_.data() + static_cast<size_t>(slotNumber - 1) * n_; }

  void forget();
  // The zeros the right-hand side of base leads with, as far as the row patterns tell (0 when they do not).
  int leadingZeros(const Rows& rows, int base) const;
  // The right-hand sides of jobs order[0..count-1] into lanes 0..count-1 of the panel (width lanes per element),
  // and for each group of eight lanes the row where its forward substitution may start (see solveSideBySide):
  // lane by lane into the panel cleared first, or (on vectors of eight, width a multiple of eight) group by group,
  // eight columns at a time.
  void fillLanes(const Rows& rows, const Jobs& jobs, const int* order, int count, int width, Vec<const double> g,
                 int* firsts);
  void fillGroups(const Rows& rows, const Jobs& jobs, const int* order, int count, int width, Vec<const double> g,
                  int* firsts);

  int n_ = 0;
  int lanes_ = kLanes;  // lanes a run may fill
  int solvedCount_ = 0;  // solves formed and used in the current QP solve
  int usedCount_ = 0;
  int bases_ = 0;
  int capacity_ = 0;  // slots of n doubles in the store
  int used_ = 0;
  bool bothSigns_ = false;
  // The bases fetched in this QP solve (in the order first fetched, marked in isAdded_), and those of the one before
  // other than the equality rows, kept when both have the same n, NC and NINEQ (shape_, of the latest begin()).
  std::array<int, kMaxBases> added_{};
  int addedCount_ = 0;
  std::array<bool, kMaxBases + 1> isAdded_{};
  std::array<int, kMaxBases> addedBefore_{};
  int addedBeforeCount_ = 0;
  int shape_[3] = {0, 0, 0};
  bool bothSignsBefore_ = false;  // the solve before formed both signs of its rows
  std::array<int, 2 * (kMaxBases + 1)> slots_{};  // slot of the solve of (base, sign), 0 for none
  std::array<bool, kMaxBases + 1> negates_{};      // the solve of +u has no zero and no NaN
  std::array<double, kStoredDoubles> store_{};
  std::array<bool, kStoredDoubles + 1> fetched_{};  // by slot
  std::array<double, kMaxOrder * kMaxRunLanes> panel_{};  // the right-hand sides of one run, side by side
  std::array<double, kMaxOrder> scratch_{};                // where lanes beyond a run's count are copied
};

// Lanes of one run at the start of a QP solve on the vectors in use: up to six vectors of eight (past three, each
// vector adds about one subtraction's time a term, less than a second run would cost).
int runLanes();

// F y = v in place for the packed factor f of order n, for width right-hand sides held side by side (2, 4, or a
// multiple of 8 up to RowSolves::kMaxRunLanes; lane k of element i at panel[(i-1) width + k]), each lane with the
// operations of solve(): forward substitution with the unit factor (terms in increasing column), division by the
// diagonal, back substitution (terms in increasing row). firsts[q] belongs to the lanes 8q..8q+7 (all lanes when
// width < 8): their rows before it are +0 and none of them holds a -0 (else it is 1), so those rows stay +0 and
// their terms change nothing. Runs on the widest vectors in use (see vectorsInUse()). Returns the lanes whose
// solution holds a zero or a NaN: bit k for lane k.
std::uint64_t solveSideBySide(Vec<const double> f, double* panel, int width, int n, const int* firsts);

// The rows with a value above zero that are neither active nor the twin of an active equality row, by decreasing
// value (the first found first on equal values), leaving out row skip: the first ranked.length() of them (at most
// kLanes) into ranked(1..), returning how many (none when the rows are too many to be marked). The rows below zero
// are left out: ranking them cost more than the solves they saved.
int rankCandidates(const Rows& rows, Vec<const double> c, const PassedOver& passedOver, int skip, Vec<int> ranked);

}  // namespace korvex::qp
