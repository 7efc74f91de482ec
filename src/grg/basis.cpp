#include "grg/basis.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "common/logical.h"
#include "common/pool.h"
#include "common/print.h"
#include "entry/context.h"
#include "korvex/routines/grg_basis.h"

namespace korvex {

namespace {

// Direction components at most this large in magnitude count as no motion.
constexpr double kMotionThreshold = 1e-5;
// Relative distances above 1 - kFarEnd score by the falling branch of the weight.
constexpr double kFarEnd = 0.2;
constexpr double kFallingSlope = 4.75;
// The falling branch's offset is the single-precision 0.95, widened (0.949999988079071).
constexpr double kFallingOffset = double(0.95f);

}  // namespace

// ---- Bordering ---------------------------------------------------------------------------------------------------

// With B the leading K x K block, u = B.c, s = d - r.u, v = r^T.B:
//   inverse = [ B + u v^T / s   -u/s ]
//             [ -v^T / s         1/s ]
bool borderInverse(const Context& ctx, Mat<double> ainv, int order, double corner, Vec<const double> row,
                   Vec<const double> column, Vec<double> u, Vec<double> v) {
  const int k = order;
  if (k < 0 || k + 1 > ainv.ld() || k + 1 > ainv.cols()) return true;  // cannot be held: refused, nothing written
  // u(i) = sum over j of B(i, j) c(j), each sum in increasing j: column j of B is added to all sums at once.
  for (int i = 1; i <= k; ++i) u(i) = 0.0;
  for (int j = 1; j <= k; ++j) {
    const double cj = column(j);
    for (int i = 1; i <= k; ++i) u(i) += ainv(i, j) * cj;
  }
  double ru = 0.0;
  for (int j = 1; j <= k; ++j) ru += row(j) * u(j);
  const double s = corner - ru;
  if (ctx.settings.tinyTol >= std::fabs(s)) return true;

  // v(j) = sum over i of r(i) B(i, j), each sum in increasing i; four columns side by side.
  int j = 1;
  for (; j + 3 <= k; j += 4) {
    double v0 = 0.0, v1 = 0.0, v2 = 0.0, v3 = 0.0;
    for (int i = 1; i <= k; ++i) {
      const double ri = row(i);
      v0 += ri * ainv(i, j);
      v1 += ri * ainv(i, j + 1);
      v2 += ri * ainv(i, j + 2);
      v3 += ri * ainv(i, j + 3);
    }
    v(j) = v0;
    v(j + 1) = v1;
    v(j + 2) = v2;
    v(j + 3) = v3;
  }
  for (; j <= k; ++j) {
    double sum = 0.0;
    for (int i = 1; i <= k; ++i) sum += row(i) * ainv(i, j);
    v(j) = sum;
  }
  for (int j = 1; j <= k; ++j) {
    for (int i = 1; i <= k; ++i) ainv(i, j) = ainv(i, j) + u(i) * v(j) / s;
  }
  for (int i = 1; i <= k; ++i) {
    ainv(i, k + 1) = -u(i) / s;
    ainv(k + 1, i) = -v(i) / s;
  }
  ainv(k + 1, k + 1) = 1.0 / s;
  return false;
}

BorderResult borderInverseWithPool(Context& ctx, Mat<double> ainv, int order, double corner, Vec<const double> row,
                                   Vec<const double> column) {
  const int length = std::max(order, 0) + 1;
  PoolFrame frame(ctx);
  const int u = frame.reserveDoubles(length);
  const int v = frame.reserveDoubles(length);
  if (!frame.claim()) return BorderResult::overflow;
  return borderInverse(ctx, ainv, order, corner, row, column, frame.doubleVec(u, length), frame.doubleVec(v, length))
             ? BorderResult::singular
             : BorderResult::accepted;
}

namespace {

void reportSingularInverse(Context& ctx) {
  if (ctx.settings.print >= 2) printMessage(ctx.diagnostics, "ERROR IN GRGIJI, SINGULAR");
}

}  // namespace

void invertByBordering(Context& ctx, Mat<const double> a, int n, Mat<double> ainv, Vec<double> roww, Vec<double> colw,
                       bool& singular) {
  singular = false;
  if (n < 1) return;
  if (n > a.ld() || n > a.cols() || n > ainv.ld() || n > ainv.cols()) {
    singular = true;
    return;
  }
  // The leading element is the first pivot; it gets the same test as the others.
  if (ctx.settings.tinyTol >= std::fabs(a(1, 1))) {
    singular = true;
    reportSingularInverse(ctx);
    return;
  }
  ainv(1, 1) = 1.0 / a(1, 1);
  for (int k = 1; k <= n - 1; ++k) {
    for (int i = 1; i <= k; ++i) {
      colw(i) = a(i, k + 1);
      roww(i) = a(k + 1, i);
    }
    const BorderResult result =
        borderInverseWithPool(ctx, ainv, k, a(k + 1, k + 1), readOnly(roww.sub(1, k)), readOnly(colw.sub(1, k)));
    if (result == BorderResult::singular) {
      singular = true;
      reportSingularInverse(ctx);
      return;
    }
    // A refused step does nothing; `singular` is still false here, so the inversion goes on (and the next, larger
    // step is refused as well). The callers test errorFlag and abandon the result.
  }
}

bool invertByBorderingWithPool(Context& ctx, Mat<const double> a, int n, Mat<double> ainv, bool& singular) {
  const int length = std::max(n, 0);
  PoolFrame frame(ctx);
  const int roww = frame.reserveDoubles(length);
  const int colw = frame.reserveDoubles(length);
  if (!frame.claim()) return false;
  invertByBordering(ctx, a, n, ainv, frame.doubleVec(roww, length), frame.doubleVec(colw, length), singular);
  return true;
}

// ---- Basis choice ----------------------------------------------------------------------------------------------

double candidateWeight(double x, double lo, double up, double sigma) {
  double distance;
  if (sigma > kMotionThreshold) {
    distance = up - x;
  } else if (sigma < -kMotionThreshold) {
    distance = x - lo;
  } else {
    distance = std::min(up - x, x - lo);
  }
  const double rho = distance / (up - lo);
  if (1.0 - rho > kFarEnd) return rho;
  // Rises with rho up to 0.8, then falls to about 0.05 at rho = 1: a variable at the far end of its range from the
  // bound it moves towards is avoided.
  return rho + kFallingSlope * (1.0 - rho) - kFallingOffset;
}

namespace {

// Variables whose candidate weight the basis choice computes once (any further ones get theirs when needed), and
// the most variables whose sort passes skip the positions that cannot take part in an exchange.
constexpr int kKeptWeights = 100;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

class BasisChooser {
 public:
  BasisChooser(Context& ctx, const BasisCandidates& candidates, const DesignBox& box, Vec<const double> sdir,
               const FunctionGradients& gradients, Basis& basis, const BasisWork& work)
      : ctx_(ctx),
        out_(ctx.diagnostics),
        candidates_(candidates),
        box_(box),
        sdir_(sdir),
        gradients_(gradients),
        basis_(basis),
        work_(work),
        ndv_(box.count()) {}

  void run() {
    start();
    if (basis_.njinv < 1) return;
    int k = 1;
    while (k <= basis_.njinv) {
      const int f = basis_.mjinv(k);
      sort(k, score(k, f));
      switch (placeFunction(k, f)) {
        case Placement::overflow:
          return;  // XJAC is not formed
        case Placement::dropped:
          dropFunction(k);
          break;  // position k again, for the function that now stands there
        case Placement::accepted:
          acceptVariable(k);
          ++k;
          break;
      }
    }
    formJacobian();
  }

 private:
  enum class Placement { accepted, dropped, overflow };

  // MIDV and MDDV hold every variable in order; MJINV takes the candidates as far as the basis can hold them.
  void start() {
    basis_.nidv = ndv_;
    basis_.nddv = 0;
    for (int i = 1; i <= ndv_; ++i) {
      basis_.midv(i) = i;
      basis_.mddv(i) = i;
    }
    const int capacity = std::min({ndv_, basis_.ldj, basis_.mjinv.length()});
    int njinv = 0;
    for (int i = 1; i <= candidates_.ntrak; ++i) {
      if (njinv < capacity) basis_.mjinv(++njinv) = candidates_.mtrak(i);
    }
    for (int i = 1; i <= candidates_.nbeq; ++i) {
      if (njinv < capacity) basis_.mjinv(++njinv) = candidates_.mbndeq(i);
    }
    basis_.njinv = njinv;
    for (int v = 1; v <= std::min(ndv_, kKeptWeights); ++v) {
      weights_[v - 1] = candidateWeight(box_.dv(v), box_.lower(v), box_.upper(v), sdir_(v));
    }
  }

  // FVEC(i) for the candidate positions i = k..NDV; entries below k keep older values. Returns the least score
  // that is not NaN (infinity when there is none), for the sort; for at most kKeptWeights variables the positions
  // holding a positive score are gathered on the way, ascending (positiveCount_ of them in positions_).
  double score(int k, int f) {
    const int column = gradients_.lisdf(f);
    const bool gather = ndv_ <= kKeptWeights;
    int positive = 0;
    const auto take = [&](int i, double& least) {
      const int v = basis_.mddv(i);
      const double derivative = column > 0 ? gradients_.gradd(v, column) : 0.0;
      const double value = weight(v) * std::fabs(derivative);
      work_.fvec(i) = value;
      least = value < least ? value : least;
      if (gather) {
        positions_[positive] = i;
        positive += value > 0.0 ? 1 : 0;
      }
    };
    // Two minima side by side, of the even and the odd positions from k on.
    double least0 = kInfinity, least1 = kInfinity;
    int i = k;
    for (; i + 1 <= ndv_; i += 2) {
      take(i, least0);
      take(i + 1, least1);
    }
    if (i <= ndv_) take(i, least0);
    positiveCount_ = positive;
    if (ctx_.settings.print >= 3) printDoubleVector(out_, ndv_, work_.fvec.data(), "F VECTOR (DISTANCE FROM BOUNDS)");
    return least1 < least0 ? least1 : least0;
  }

  // The candidate weight of variable v: kept from the start for the first kKeptWeights variables.
  double weight(int v) const {
    if (v <= kKeptWeights) return weights_[v - 1];
    return candidateWeight(box_.dv(v), box_.lower(v), box_.upper(v), sdir_(v));
  }

  // Exchange sort of FVEC(k..NDV), highest score first, MDDV alongside: pass i exchanges the score standing at
  // position i with every later score that is strictly greater (not stable).
  void sort(int k, double least) {
    if (ndv_ <= kKeptWeights) {
      sortAboveLeast(k, least);
    } else {
      sortEveryPosition(k);
    }
    if (ctx_.settings.print >= 3) printIntVector(out_, ndv_, basis_.mddv.data(), "MDDV AFTER SORT");
  }

  void exchange(int i, int j, double& standing) {
    std::swap(basis_.mddv(i), basis_.mddv(j));
    work_.fvec(j) = std::exchange(standing, work_.fvec(j));
  }

  void sortEveryPosition(int k) {
    const Vec<double> fvec = work_.fvec;
    for (int i = k; i <= ndv_; ++i) {
      double standing = fvec(i);
      for (int j = i + 1; j <= ndv_; ++j) {
        if (fvec(j) > standing) exchange(i, j, standing);
      }
      fvec(i) = standing;
    }
  }

  // The same passes over the positions that can take part in an exchange. The standing score is never below
  // `least`, the least score that is not NaN (a NaN standing score exchanges nothing), so a score that is not above
  // `least` is never exchanged from a later position. Scores move only between the pass's first position and the
  // exchanged positions, so the positions holding a score above `least` are found once and then only lose members.
  // Once none lies beyond the pass's first position, this and every later pass exchange nothing.
  void sortAboveLeast(int k, double least) {
    const Vec<double> fvec = work_.fvec;
    // The scores above a least score of zero are the positive ones, gathered while scoring.
    int count = positiveCount_;
    if (!(least == 0.0)) {
      count = 0;
      for (int p = k; p <= ndv_; ++p) {
        positions_[count] = p;
        count += fvec(p) > least ? 1 : 0;
      }
    }
    int first = 0;  // positions_[first .. count - 1]: the positions beyond i still above `least`, ascending
    for (int i = k;; ++i) {
      while (first < count && positions_[first] <= i) ++first;
      if (first == count) return;
      // The pass, its exchanges written as selections: the standing score and its variable are kept out of memory.
      double standing = fvec(i);
      int standingVariable = basis_.mddv(i);
      int kept = first;
      for (int c = first; c < count; ++c) {
        const int p = positions_[c];
        const double value = fvec(p);
        const int variable = basis_.mddv(p);
        const bool greater = value > standing;
        const double left = greater ? standing : value;
        basis_.mddv(p) = greater ? standingVariable : variable;
        fvec(p) = left;
        standingVariable = greater ? variable : standingVariable;
        standing = greater ? value : standing;
        positions_[kept] = p;
        kept += left > least ? 1 : 0;
      }
      count = kept;
      basis_.mddv(i) = standingVariable;
      fvec(i) = standing;
    }
  }

  // Tries the candidates in MDDV(k..NDV) in turn as the dependent variable of function f; a refused candidate goes
  // to the end of the list (the scores stay where they are).
  Placement placeFunction(int k, int f) {
    const int order = k - 1;
    int tries = 0;
    for (;;) {
      const int v = basis_.mddv(k);
      for (int j = 1; j <= order; ++j) {
        work_.bcol(j) = gradients_.derivative(basis_.mjinv(j), v);
        work_.brow(j) = gradients_.derivative(f, basis_.mddv(j));
      }
      const double corner = gradients_.derivative(f, v);
      const BorderResult result = borderInverseWithPool(
          ctx_, basis_.xjinv, order, corner, readOnly(work_.brow.sub(1, order)), readOnly(work_.bcol.sub(1, order)));
      if (result == BorderResult::overflow) return Placement::overflow;
      if (result == BorderResult::accepted) return Placement::accepted;

      if (ctx_.settings.print >= 2) printMessage(out_, "SINGULAR MATRIX");
      ++tries;
      if (tries == ndv_ - k + 1) return Placement::dropped;  // every candidate has been tried
      for (int i = k; i <= ndv_ - 1; ++i) basis_.mddv(i) = basis_.mddv(i + 1);
      basis_.mddv(ndv_) = v;
      if (ctx_.settings.print >= 3) printIntVector(out_, ndv_, basis_.mddv.data(), "MDDV AFTER SWAP");
    }
  }

  void dropFunction(int k) {
    if (ctx_.settings.print >= 2) printMessage(out_, "JUNK FUNCTION");
    for (int i = k; i <= basis_.njinv - 1; ++i) basis_.mjinv(i) = basis_.mjinv(i + 1);
    basis_.njinv -= 1;
    if (ctx_.settings.print >= 3) printIntVector(out_, basis_.njinv, basis_.mjinv.data(), "MJINV AFTER DELETE");
  }

  void acceptVariable(int k) {
    if (ctx_.settings.print >= 3) printDoubleMatrix(out_, basis_.ldj, k, k, basis_.xjinv.data(), "XJINV");
    const int v = basis_.mddv(k);
    for (int p = 1; p <= basis_.nidv; ++p) {
      if (basis_.midv(p) != v) continue;
      for (int i = p; i <= basis_.nidv - 1; ++i) basis_.midv(i) = basis_.midv(i + 1);
      basis_.nidv -= 1;
      break;
    }
    if (ctx_.settings.print >= 3) printIntVector(out_, basis_.nidv, basis_.midv.data(), "MIDV AFTER SUBTRACT");
    basis_.nddv += 1;
  }

  void formJacobian() {
    for (int j = 1; j <= basis_.nddv; ++j) {
      for (int i = 1; i <= basis_.njinv; ++i) {
        basis_.xjac(i, j) = gradients_.derivative(basis_.mjinv(i), basis_.mddv(j));
      }
    }
  }

  Context& ctx_;
  DiagnosticStream& out_;
  const BasisCandidates& candidates_;
  const DesignBox& box_;
  Vec<const double> sdir_;
  const FunctionGradients& gradients_;
  Basis& basis_;
  const BasisWork& work_;
  const int ndv_;
  std::array<double, kKeptWeights> weights_;
  std::array<int, kKeptWeights> positions_;  // positions the sort passes look at
  int positiveCount_ = 0;
};

}  // namespace

void chooseBasis(Context& ctx, const BasisCandidates& candidates, const DesignBox& box, Vec<const double> sdir,
                 const FunctionGradients& gradients, Basis& basis, const BasisWork& work) {
  BasisChooser(ctx, candidates, box, sdir, gradients, basis, work).run();
}

bool chooseBasisWithPool(Context& ctx, const BasisCandidates& candidates, const DesignBox& box,
                         Vec<const double> sdir, const FunctionGradients& gradients, Basis& basis) {
  const int ndv = box.count();
  PoolFrame frame(ctx);
  const int bcol = frame.reserveDoubles(ndv);
  const int brow = frame.reserveDoubles(ndv);
  const int fvec = frame.reserveDoubles(ndv);
  if (!frame.claim()) return false;
  const BasisWork work{frame.doubleVec(bcol, ndv), frame.doubleVec(brow, ndv), frame.doubleVec(fvec, ndv)};
  chooseBasis(ctx, candidates, box, sdir, gradients, basis, work);
  return true;
}

}  // namespace korvex

// ---- Exported adapters -------------------------------------------------------------------------------------------

namespace {

using korvex::Basis;
using korvex::BasisCandidates;
using korvex::DesignBox;
using korvex::FunctionGradients;
using korvex::Mat;
using korvex::Vec;

// The arguments of the basis choice as views. GRADD and LISDF come without their sizes: LISDF is viewed up to the
// largest function number offered and GRADD up to the largest column those functions map to.
struct BasisChoiceArguments {
  BasisCandidates candidates;
  DesignBox box;
  Vec<const double> sdir;
  FunctionGradients gradients;
  Basis basis;

  BasisChoiceArguments(const int* ntrak, const int* mtrak, const int* nbeq, const int* mbndeq, const int* ndv,
                       const double* dv, const double* dvlb, const double* dvub, const double* gradd,
                       const int* lisdf, const double* sdirIn, int* midv, int* mddv, const int* ldj, int* mjinv,
                       double* xjinv, double* xjac) {
    const int n = *ndv;
    candidates = BasisCandidates{Vec<const int>(mtrak, *ntrak), *ntrak, Vec<const int>(mbndeq, *nbeq), *nbeq};
    box = DesignBox{Vec<double>(const_cast<double*>(dv), n), Vec<const double>(dvlb, n), Vec<const double>(dvub, n)};
    sdir = Vec<const double>(sdirIn, n);
    int functions = 0;
    for (int i = 1; i <= candidates.ntrak; ++i) functions = std::max(functions, candidates.mtrak(i));
    for (int i = 1; i <= candidates.nbeq; ++i) functions = std::max(functions, candidates.mbndeq(i));
    const Vec<const int> map(lisdf, functions);
    int columns = 0;
    for (int i = 1; i <= candidates.ntrak; ++i) columns = std::max(columns, map(candidates.mtrak(i)));
    for (int i = 1; i <= candidates.nbeq; ++i) columns = std::max(columns, map(candidates.mbndeq(i)));
    gradients = FunctionGradients{Mat<const double>(gradd, n, columns), map};
    basis.ldj = *ldj;
    basis.xjinv = Mat<double>(xjinv, *ldj, *ldj);
    basis.xjac = Mat<double>(xjac, *ldj, *ldj);
    basis.mjinv = Vec<int>(mjinv, n);
    basis.mddv = Vec<int>(mddv, n);
    basis.midv = Vec<int>(midv, n);
  }
};

}  // namespace

namespace korvex {

void borderInverseOnArrays(Context& ctx, const int* ld, const int* order, const double* corner, const double* row,
                           const double* column, double* ainv, int* singul) {
  const int k = *order;
  const BorderResult result = borderInverseWithPool(ctx, Mat<double>(ainv, *ld, std::min(k + 1, *ld)), k, *corner,
                                                    Vec<const double>(row, k), Vec<const double>(column, k));
  if (result != BorderResult::overflow) *singul = logical(result == BorderResult::singular);
}

void invertOnArrays(Context& ctx, const int* ld, const int* n, const double* a, double* ainv, int* singul) {
  const int order = *n;
  const int columns = std::min(std::max(order, 0), *ld);
  bool singular = false;
  if (invertByBorderingWithPool(ctx, Mat<const double>(a, *ld, columns), order, Mat<double>(ainv, *ld, columns),
                                singular)) {
    *singul = logical(singular);
  }
}

void chooseBasisOnArrays(Context& ctx, const int* ntrak, const int* mtrak, const int* nbeq, const int* mbndeq,
                         const int* ndv, const double* dv, const double* dvlb, const double* dvub, const double* gradd,
                         const int* lisdf, const double* sdir, int* nidv, int* midv, int* nddv, int* mddv,
                         const int* ldj, int* njinv, int* mjinv, double* xjinv, double* xjac) {
  BasisChoiceArguments args(ntrak, mtrak, nbeq, mbndeq, ndv, dv, dvlb, dvub, gradd, lisdf, sdir, midv, mddv, ldj,
                            mjinv, xjinv, xjac);
  if (!chooseBasisWithPool(ctx, args.candidates, args.box, args.sdir, args.gradients, args.basis)) return;
  *nidv = args.basis.nidv;
  *nddv = args.basis.nddv;
  *njinv = args.basis.njinv;
}

}  // namespace korvex

extern "C" {

KORVEX_API void GRGJIA(const int* ld, const int* order, const double* corner, const double* row, const double* column,
                       double* ainv, int* singul, double* u, double* v) {
  const int k = *order;
  const bool singular = korvex::borderInverse(korvex::defaultContext(), Mat<double>(ainv, *ld, std::min(k + 1, *ld)), k,
                                              *corner, Vec<const double>(row, k), Vec<const double>(column, k),
                                              Vec<double>(u, k), Vec<double>(v, k));
  *singul = korvex::logical(singular);
}

KORVEX_API void GRSJIA(const int* ld, const int* order, const double* corner, const double* row, const double* column,
                       double* ainv, int* singul) {
  korvex::borderInverseOnArrays(korvex::defaultContext(), ld, order, corner, row, column, ainv, singul);
}

KORVEX_API void GRGINV(const int* ld, const int* n, const double* a, double* ainv, double* roww, double* colw,
                       int* singul) {
  const int order = *n;
  const int columns = std::min(std::max(order, 0), *ld);
  bool singular = false;
  korvex::invertByBordering(korvex::defaultContext(), Mat<const double>(a, *ld, columns), order,
                            Mat<double>(ainv, *ld, columns), Vec<double>(roww, order), Vec<double>(colw, order),
                            singular);
  *singul = korvex::logical(singular);
}

KORVEX_API void GRSINV(const int* ld, const int* n, const double* a, double* ainv, int* singul) {
  korvex::invertOnArrays(korvex::defaultContext(), ld, n, a, ainv, singul);
}

KORVEX_API void GRGINJ(const int* ntrak, const int* mtrak, const int* nbeq, const int* mbndeq, const int* ndv,
                       const double* dv, const double* dvlb, const double* dvub, const double* gradd,
                       const int* lisdf, const double* sdir, int* nidv, int* midv, int* nddv, int* mddv,
                       const int* ldj, int* njinv, int* mjinv, double* xjinv, double* xjac, double* bcol, double* brow,
                       double* fvec) {
  BasisChoiceArguments args(ntrak, mtrak, nbeq, mbndeq, ndv, dv, dvlb, dvub, gradd, lisdf, sdir, midv, mddv, ldj,
                            mjinv, xjinv, xjac);
  const int n = *ndv;
  const korvex::BasisWork work{Vec<double>(bcol, n), Vec<double>(brow, n), Vec<double>(fvec, n)};
  korvex::chooseBasis(korvex::defaultContext(), args.candidates, args.box, args.sdir, args.gradients, args.basis, work);
  *nidv = args.basis.nidv;
  *nddv = args.basis.nddv;
  *njinv = args.basis.njinv;
}

KORVEX_API void GRSINJ(const int* ntrak, const int* mtrak, const int* nbeq, const int* mbndeq, const int* ndv,
                       const double* dv, const double* dvlb, const double* dvub, const double* gradd,
                       const int* lisdf, const double* sdir, int* nidv, int* midv, int* nddv, int* mddv,
                       const int* ldj, int* njinv, int* mjinv, double* xjinv, double* xjac) {
  korvex::chooseBasisOnArrays(korvex::defaultContext(), ntrak, mtrak, nbeq, mbndeq, ndv, dv, dvlb, dvub, gradd, lisdf,
                              sdir, nidv, midv, nddv, mddv, ldj, njinv, mjinv, xjinv, xjac);
}

}  // extern "C"
