// Building blocks of the dual active-set QP solver: the constraint rows of one problem, packed L D L' factors,
// the choice of the row to add, the step length, the step, and adding or dropping an active row.
//
// Rows j = 1..MTOT, MTOT = 2 NC + NB - NINEQ, each satisfied when its value is <= 0:
//   1..NC          general rows a_j'x - b_j, inequalities 1..NINEQ, equalities NINEQ+1..NC
//   NC+1..NC+NB    bound rows, variables in increasing order: bound type 1 gives x_i - XU_i then XL_i - x_i,
//                  type 3 x_i - XU_i, type 2 XL_i - x_i, any other type none
//   NC+NB+1..MTOT  mirror rows: row NC+NB+k is the negated equality row NINEQ+k.
// An equality holds when its row and its mirror row both hold.
//
// The kernels that test values read tinyTol and bigValue from the settings of the context they are given. None
// allocates.
#pragma once

#include <array>
#include <cmath>

#include "common/finite.h"
#include "common/views.h"

namespace korvex {
struct Context;
}

namespace korvex::qp {

// Element (r, c), c <= r, of a packed symmetric array (lower triangle row by row), and the length of one of order n.
constexpr int packed(int r, int c) { return r * (r - 1) / 2 + c; }
constexpr int packedLength(int n) { return n * (n + 1) / 2; }

template <typename T>
Vec<const T> readOnly(Vec<T> v) { return Vec<const T>(v.data(), v.length()); }
template <typename T>
Mat<const T> readOnly(Mat<T> m) { return Mat<const T>(m.data(), m.ld(), m.cols()); }

// Bound types of a variable.
constexpr int kBothBounds = 1;
constexpr int kLowerBound = 2;
constexpr int kUpperBound = 3;

// Number of bound rows the bound types give (2 for type 1, 1 for types 2 and 3).
int countBoundRows(Vec<const int> itype);

// The variable a bound row belongs to and its gradient component there (+1 upper, -1 lower).
struct BoundRow {
  int variable;  // 0 when the row number is not one of the bound rows found
  double sign;
};

// Where the gradients of the general rows are not zero, for the rows with few such places (at most half of n), so
// that their sums can leave out the zero terms. A sum that starts from +0 is never -0 afterwards (a sum of two
// numbers is -0 only when both are), and adding a zero to a sum that is not -0 changes nothing, so leaving out a
// term a(i)v(i) with a(i) zero gives the same bits as long as v(i) is finite (0 times infinity is NaN).
class RowPatterns {
 public:
  static constexpr int kMaxRows = 2048;
  static constexpr int kMaxEntries = 16384;

  void build(Mat<const double> a, int n, int nc);
  // Positions of the nonzero entries of a_k in increasing order (count -1: a_k is summed in full), and the entries
  // themselves in the same order, side by side so that a sum reads them in one stream.
  int count(int k) const { return k <= rows_ ? count_[static_cast<size_t>(k)] : -1; }
  const int* positions(int k) const { return index_.data() + start_[static_cast<size_t>(k)]; }
  const double* entries(int k) const { return entry_.data() + start_[static_cast<size_t>(k)]; }

 private:
  int rows_ = 0;
  std::array<int, kMaxRows + 1> start_{};
  std::array<int, kMaxRows + 1> count_{};
  std::array<int, kMaxEntries> index_{};
  std::array<double, kMaxEntries> entry_{};
};

// The constraint rows of one problem. Counts outside their ranges are read as the nearest sensible value
// (negative counts as 0, NINEQ above NC as NC), so that no row number ever reaches past an array.
class Rows {
 public:
  Rows(int n, int nc, int nineq, int nb, const double* a, int lda, const int* itype);

  int n() const { return n_; }
  int nc() const { return nc_; }
  int nineq() const { return nineq_; }
  int nb() const { return nb_; }
  int total() const { return 2 * nc_ + nb_ - nineq_; }
  Mat<const double> a() const { return a_; }
  Vec<const int> itype() const { return itype_; }
  // Sums over general rows with a pattern leave out their zero terms where the other factor is finite.
  void usePatterns(const RowPatterns* patterns) { patterns_ = patterns; }
  // True when start + sum of A(i, k) v(i) over general row k can leave out its zero terms (v finite).
  bool sumsByPattern(int k, double start, bool vFinite) const {
    return vFinite && hasPattern(k) && !(start == 0.0 && std::signbit(start));
  }
  bool hasPatterns() const { return patterns_ != nullptr; }
  const RowPatterns* patterns() const { return patterns_; }
  // The value -b_k + sum of A(i, k) x(i) of general row k, added up in increasing i.
  double generalValue(int k, double start, Vec<const double> x, bool xFinite) const {
    // A start of -0 could become +0 through a zero term: such a row is summed in full.
    if (sumsByPattern(k, start, xFinite)) return patternSum(k, 1.0, start, x);
    double value = start;
    for (int i = 1; i <= n_; ++i) value += a_(i, k) * x(i);
    return value;
  }

  bool isEquality(int j) const { return j > nineq_ && j <= nc_; }
  bool isMirror(int j) const { return j > nc_ + nb_ && j <= total(); }
  int mirrorOf(int equalityRow) const { return nc_ + nb_ - nineq_ + equalityRow; }
  int equalityOf(int mirrorRow) const { return nineq_ + mirrorRow - nc_ - nb_; }

  // The variable of bound row j (NC < j <= NC+NB) and its sign: the row the walk over the variables, counting
  // bound rows, reaches at count j.
  BoundRow boundRow(int j) const {
    if (j <= nc_ || j > nc_ + nb_) return {0, 0.0};
    if (!tabled_) return walkBoundRows(j);
    const int entry = boundVariable_[static_cast<size_t>(j - nc_ - 1)];
    if (entry > 0) return {entry, 1.0};
    if (entry < 0) return {-entry, -1.0};
    return {0, 0.0};
  }
  // Component i of the gradient n_j; 0 when j is not a row or i not a variable.
  double component(int j, int i) const;
  // n_j'v over v(1..n), summed in increasing i; a bound row gives +-v(i) directly, which is the same sum with its
  // zero terms left out. 0 when j is not a row. A caller that knows v(1..n) finite says so with vFinite, which
  // spares the test (the sum is the same either way).
  double dot(int j, Vec<const double> v, bool vFinite = false) const;
  // out(k) = dot(list(k), v) for k = 1..count, every sum formed exactly as dot() forms it.
  void dots(Vec<const int> list, int count, Vec<const double> v, Vec<double> out) const;
  // out(1..n) = scale * n_j (all zero when j is not a row).
  void gradient(int j, double scale, Vec<double> out) const;
  // The bound rows' values x(i) - xu(i) and xl(i) - x(i) into c(NC+1..NC+NB), in bound-row order; rows no variable
  // gives (NB larger than the bound types give) are not written.
  void boundValues(Vec<const double> x, Vec<const double> xl, Vec<const double> xu, Vec<double> c) const;
  // The value of row j at x (as rowValues gives it); 0 when j is not a row.
  double value(int j, Vec<const double> bc, Vec<const double> x, Vec<const double> xl, Vec<const double> xu) const;

 private:
  // Bound rows are looked up in a table built once per row set: entry j - NC is +i for the upper-bound row of
  // variable i, -i for its lower-bound row, 0 for a row no variable gives. Problems with more bound rows than the
  // table holds (more than 100 variables, possible only through the exported routines) walk the bound types.
  static constexpr int kTabledBoundRows = 200;
  BoundRow walkBoundRows(int j) const;
  // start + sum of (sign A(i, k)) v(i) over the nonzero entries of the pattern of column k, in increasing i. Up to
  // four terms go without a loop: all products first, then the sum takes them in order.
  double patternSum(int k, double sign, double start, Vec<const double> v) const {
    const int* const position = patterns_->positions(k);
    const double* const entry = patterns_->entries(k);
    const int count = patterns_->count(k);
    switch (count) {
      case 1: return fewTerms<1>(start, sign, entry, position, v);
      case 2: return fewTerms<2>(start, sign, entry, position, v);
      case 3: return fewTerms<3>(start, sign, entry, position, v);
      case 4: return fewTerms<4>(start, sign, entry, position, v);
      default: break;
    }
    double sum = start;
    for (int q = 0; q < count; ++q) sum += (sign * entry[q]) * v(position[q]);
    return sum;
  }
  template <int C>
  static double fewTerms(double sum, double sign, const double* entry, const int* position, Vec<const double> v) {
    double term[C];
    for (int q = 0; q < C; ++q) term[q] = (sign * entry[q]) * v(position[q]);
    for (int q = 0; q < C; ++q) sum += term[q];
    return sum;
  }
  bool hasPattern(int k) const { return patterns_ != nullptr && patterns_->count(k) >= 0; }

  int n_;
  int nc_;
  int nineq_;
  int nb_;
  Mat<const double> a_;
  Vec<const int> itype_;
  bool tabled_;
  bool everyVariableBoxed_ = false;  // bound type 1 for every variable: the bound rows are x - xu, xl - x in turn
  std::array<int, kTabledBoundRows> boundVariable_;
  const RowPatterns* patterns_ = nullptr;
};

// Factorizes row r of the packed f, rows 1..r-1 being factored: false when the pivot is below tinyTol (a pivot equal
// to tinyTol is accepted); the row is stored either way.
bool factorRow(const Context& ctx, Vec<double> f, int r);
// Rows first..last in turn, stopping at the first failing pivot.
bool factorRows(const Context& ctx, Vec<double> f, int first, int last);
// Solves F y = v in place for the packed factor f of order n.
void solve(Vec<const double> f, Vec<double> v, int n);

// Copies the upper triangle of H into hfac and factorizes it. On success x = -H^-1 g and true; on a failing pivot
// false with x untouched. A caller that discards hfac after a failure lets it be factored two rows at a time (the
// row after a failing one is then partly changed; on success every number is the same).
bool start(const Context& ctx, int n, Mat<const double> h, Vec<double> hfac, Vec<const double> g, Vec<double> x,
           bool factorIsScratch = false);
// The factor of start() alone (for a caller that forms -H^-1 g itself).
bool factorHessian(const Context& ctx, int n, Mat<const double> h, Vec<double> hfac, bool factorIsScratch = false);

// All row values at x into c(1..MTOT).
void rowValues(const Rows& rows, Vec<const double> bc, Vec<const double> x, Vec<const double> xl,
               Vec<const double> xu, Vec<double> c);
// The rows the choice of a row to add passes over: the active rows and the twins of active equality rows (an
// equality row's twin is its mirror row and the other way round). Made from IACT(1..nact), then kept up to date
// by the solver, which tells of every row it adds or drops: the mark of row j counts the active rows among j and
// its twin. With more than kMarkedRows rows nothing is marked and each row is looked up in IACT(1..nact), nact
// read as it is at the time.
constexpr int kMarkedRows = 1024;
class PassedOver {
 public:
  PassedOver(const Rows& rows, const int& nact, Vec<const int> iact);
  bool marked() const { return marked_; }
  bool test(int j) const {
    if (marked_) return j >= 1 && j <= rows_.total() && mark_[static_cast<size_t>(j)] != 0;
    return lookUp(j);
  }
  // The mark of row j at marks()[j], j = 1..MTOT, when marked(); and at shifts()[j] the same as a number to add to
  // the row's value: +0 for a row the choice reads, -infinity for one it passes over.
  const unsigned char* marks() const { return mark_.data(); }
  const double* shifts() const { return shift_.data(); }
  // The general rows that are not passed over, openGeneralRows()[0..openGeneralCount()-1] in no particular order,
  // when marked().
  const int* openGeneralRows() const { return open_.data(); }
  int openGeneralCount() const { return openCount_; }
  // Row j has been added to IACT, or dropped from it.
  void add(int j) { change(j, 1); }
  void drop(int j) { change(j, -1); }

 private:
  void change(int j, int by);
  bool lookUp(int j) const;

  const Rows& rows_;
  const int& nact_;
  Vec<const int> iact_;
  bool marked_;
  std::array<unsigned char, kMarkedRows + 1> mark_;
  std::array<double, kMarkedRows + 1> shift_;
  std::array<int, kMarkedRows> open_;           // the open general rows
  std::array<int, kMarkedRows + 1> openPlace_;  // where general row k stands in open_
  int openCount_ = 0;
};

// The most violated row that is neither active nor the twin of an active equality row (first row on equal
// values), 0 when no row value exceeds tinyTol. With runnerUp, also the most violated of the other rows (0 for
// none), from the same pass.
int mostViolated(const Context& ctx, const Rows& rows, Vec<const double> c, const PassedOver& passedOver,
                 int* runnerUp = nullptr);
int mostViolated(const Context& ctx, const Rows& rows, Vec<const double> c, int nact, Vec<const int> iact,
                 int* runnerUp = nullptr);

// After a step that has moved x: the values of the rows the choice reads (the rows not passed over; the others keep
// their old values, which nothing reads before they are formed again), then mostViolated() over them.
int rowValuesAndMostViolated(const Context& ctx, const Rows& rows, Vec<const double> bc, Vec<const double> x,
                             Vec<const double> xl, Vec<const double> xu, Vec<double> c,
                             const PassedOver& passedOver, int* runnerUp = nullptr);

// What happens at the end of a step.
enum StepKind : int {
  kDropOnly = 1,     // multipliers move, x stays, then the active row idx is dropped
  kStepAndDrop = 2,  // x and multipliers move, then the active row idx is dropped
  kStepAndAdd = 3,   // x and multipliers move until row KV holds, then it is added
};

struct StepChoice {
  double t;
  int idx;   // active position to drop, NACT+1 to add, 0 when no step exists (inconsistent constraints)
  int kind;  // a StepKind; set only when idx != 0
};

// The step along z and r. zFinite: the caller knows every z(i) finite (as a finite Euclidean norm of z shows).
StepChoice stepLength(const Context& ctx, const Rows& rows, Vec<const double> c, int kv, int nact, double znorm,
                      Vec<const double> z, Vec<const double> xlag, Vec<const double> r, bool zFinite = false);

// xlag += t r, uplus += t, and for kind >= 2 also x += t z.
void takeStep(int nact, Vec<double> xlag, double& uplus, Vec<const double> r, int n, Vec<double> x,
              Vec<const double> z, double t, int kind);

class RowSolves;

// What the solver carries from step to step so as not to form the same numbers twice; every number is the one
// the plain kernels give.
//  - The solves H^-1 n_j of the rows (see RowSolves), when the solver has made sure of those of row kv: the start
//    -H^-1 n_kv of every direction for kv and the column H^-1 n_kv that adding kv takes.
//  - Where the solver keeps no such solves (few variables, whose solves are too short to pay for a run of them,
//    or too many), the same two solves of row kv in the columns of HINVN after the active ones (unused otherwise;
//    a drop moves only columns up to NACT), from one pair of substitutions run side by side with the first
//    direction for kv, at about the cost of one. The back substitution waits on each row in turn, so a second
//    pair rides along almost free: that of the runner-up, the row most violated after kv, which is kept in the
//    next two columns and often is the next row to add.
//  - The sums n_IACT(c)'z of the latest direction before they are solved with M, z = -H^-1 n_kv: the entries of
//    the new row of M when kv is added are n_IACT(c)'H^-1 n_kv, the same sums with their signs changed (rounding
//    is symmetric; a zero or NaN sum, whose sign is not determined so, is formed again).
//    A drop leaves the solves of row kv as they are, and so the sums of the rows left: the next direction for kv
//    takes them as they are.
//  - The same sums forward-substituted with the factor of M, y = L^-1 N'z, before their division by the diagonal.
//    A drop at position k leaves rows 1..k-1 of the factor as they are, and so y(1..k-1).
//    Adding kv leaves rows 1..NACT of the factor as they are, so its new row forward-substituted is L^-1 of the
//    negated sums: the same operations on operands of opposite sign, which give -y exactly wherever every sum and
//    every y_c is neither zero nor NaN (a difference of equal values is +0 whatever their signs, so only a zero
//    partial value can fail to change sign, and a later nonzero term makes the result exact again unless it ends
//    zero). With the row solves kept, the whole addition of kv at position NACT+1 is formed while the direction's
//    back substitution runs (its chain of dependent subtractions leaves the processor room): the column H^-1 n_kv
//    of HINVN, the new row of M, its factors L(r, c) = -y_c / D_c, its pivot and the pivot's partial sums, each in
//    the place the addition would put it (beyond the active rows, which a drop does not read). The addition then
//    takes them as they are; a drop leaves them unused.
//  - The rows of M before they are factored, so that a drop moves the rows after it down instead of forming them
//    again, and the same rows half factored (forward-substituted), whose entries before a dropped row stay as they
//    are; so do the partial sums of their pivots up to the dropped row, and each row's pivot after a drop starts
//    from there.
// The sums, and all after them, need the solver's scratch arrays (problems of up to kMaxOrder variables).
struct Reuse {
  static constexpr int kMaxOrder = 100;

  RowSolves* solves = nullptr;  // holds both solves of row kv, or nullptr

  bool solvesPairs = false;  // the solves of row kv go into the free columns of HINVN
  int row = 0;               // the row kv the solves in those columns belong to, 0 for none
  int plus = 0;              // column of H^-1 n_row, 0 when there was no free column
  int minus = 0;             // column of -H^-1 n_row, 0 when there was no second free column

  int runnerUp = 0;    // set by the solver with each new kv: the row to solve along with it, 0 for none
  int spareRow = 0;    // the runner-up solved along with an earlier kv, 0 for none
  int sparePlus = 0;   // its columns
  int spareMinus = 0;
  bool holdsInColumns(int kv) const { return kv == row || kv == spareRow; }

  Vec<double> sums;       // n_IACT(c)'z, c = 1..sumCount, of the latest direction for sumRow
  int sumRow = 0;
  int sumCount = 0;
  int keptPrefix = -1;  // after a drop: the sums are those of the rows left, and y(1..keptPrefix) still hold
  std::array<double, kMaxOrder> substitutedSums{};  // y(1..sumCount) = L^-1 sums, kept along with the sums
  bool sumsNegatable = false;                       // no sum and no y(c) is zero or NaN
  int formedRow = 0;  // the row sumRow when its addition at position sumCount + 1 is formed already, 0 otherwise
  Vec<double> unfactored;   // M packed like ACTMAT, rows 1..NACT (empty when not kept)
  Vec<double> substituted;  // with it, the rows of M forward-substituted before the division by the diagonal,
  Vec<double> pivotSums;    // and the partial sums of each row's pivot, M(r, r) - sum over j <= c of w_j L(r, j)
                            // (both or neither, of the same length)
};

// Adds row kv with multiplier uplus at position nact+1 when k > nact, otherwise drops active position k; then
// rebuilds and refactors rows k..nact of actmat. false (message printed) when nact = n already or a pivot fails.
// With the solver's reuse, the added column, the new row of M and the rows after a dropped one come from what it
// kept.
bool addOrDrop(Context& ctx, const Rows& rows, int& nact, Vec<int> iact, Vec<double> xlag, Vec<double> actmat,
               Mat<double> hinvn, Vec<const double> hfac, int k, int kv, double uplus, Reuse* reuse = nullptr);

// Direction for adding row kv: z = -(H^-1 - H^-1 N M^-1 N' H^-1) n_kv and r(1..nact) = -M^-1 N' H^-1 n_kv.
// Returns the Euclidean norm of z.
double direction(const Rows& rows, int nact, Vec<const int> iact, Vec<double> z, Vec<double> r,
                 Vec<const double> actmat, Mat<const double> hinvn, Vec<const double> hfac, int kv);

// direction() for the solver, taking from and adding to its reuse; it may form the addition of kv beyond the active
// rows of actmat and the active columns of hinvn (see Reuse).
double directionReusing(const Rows& rows, int nact, Vec<const int> iact, Vec<double> z, Vec<double> r,
                        Vec<double> actmat, Mat<double> hinvn, Vec<const double> hfac, int kv, Reuse& reuse);

// The problem data of one solve.
struct Problem {
  int n;
  int nc;
  int nineq;
  const double* a;
  int lda;
  const double* bc;
  const double* hess;
  int ldh;
  const double* g;
  const int* itype;
  const double* xl;
  const double* xu;
};

// The outputs of one solve (see QPSOLV).
struct Solution {
  double* x;
  double* xlag;
  int* iact;
  int& nact;
  int& infeas;
  int& ihess;
  int& ierr;
};

void solveQp(Context& ctx, const Problem& problem, const Solution& out);

}  // namespace korvex::qp
