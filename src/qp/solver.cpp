// The dual active-set iteration: start from the unconstrained minimum, then repeatedly take the most violated row
// and move primal point and multipliers together until it holds, dropping active rows whose multipliers would turn
// negative on the way.
#include <algorithm>
#include <climits>
#include <cmath>

#include "common/logical.h"
#include "common/message.h"
#include "common/pool.h"
#include "entry/context.h"
#include "qp/kernels.h"
#include "qp/row_solves.h"
#include "qp/wide_rows.h"

namespace korvex::qp {

namespace {

// Working arrays, carved from the double pool above its top in this order. Unlike the standard front ends the
// solver raises the top to the last slot it uses, not one beyond.
struct Workspace {
  Vec<double> z;       // step direction
  Vec<double> r;       // rate of change of the active multipliers
  Vec<double> c;       // row values at x
  Vec<double> hfac;    // packed factor of H
  Vec<double> actmat;  // packed factor of M = N' H^-1 N
  Mat<double> hinvn;   // column k = H^-1 n_IACT(k)
  int lastSlot;
};

// Last slot the workspace needs above the current top, computed wide so that no size can wrap around.
long long lastWorkspaceSlot(int top, int n, int rowCount) {
  const long long ln = n;
  return top + 2 * ln + rowCount + ln * (ln + 1) + ln * ln;
}

Workspace carve(PoolFrame& frame, int n, int rowCount) {
  Workspace w;
  w.z = frame.doubleVec(frame.reserveDoubles(n), n);
  w.r = frame.doubleVec(frame.reserveDoubles(n), n);
  w.c = frame.doubleVec(frame.reserveDoubles(rowCount), rowCount);
  w.hfac = frame.doubleVec(frame.reserveDoubles(packedLength(n)), packedLength(n));
  w.actmat = frame.doubleVec(frame.reserveDoubles(packedLength(n)), packedLength(n));
  const int ldhn = std::max(n, 1);
  w.hinvn = Mat<double>(frame.doubles(frame.reserveDoubles(n * n)), ldhn, n);
  w.lastSlot = frame.lastDouble();
  return w;
}

// True when every number the iteration reads is finite: the columns of A, the right-hand sides, the upper
// triangle of H, the linear term and the bounds that the bound types put into rows.
bool finiteData(const Rows& rows, Vec<const double> bc, Mat<const double> hess, Vec<const double> g,
                Vec<const double> xl, Vec<const double> xu) {
  const int n = rows.n();
  const bool finite = allFiniteWide(bc.data(), rows.nc()) && allFiniteWide(g.data(), n) &&
                     columnsFinite(rows.a().data(), rows.a().ld(), n > 0 ? rows.nc() : 0, n, 0) &&
                     columnsFinite(hess.data(), hess.ld(), n, 1, 1);
  for (int j = 1; j <= n; ++j) {
    const int type = rows.itype()(j);
    if ((type == kBothBounds || type == kLowerBound) && !std::isfinite(xl(j))) return false;
    if ((type == kBothBounds || type == kUpperBound) && !std::isfinite(xu(j))) return false;
  }
  return finite;
}

// A bound on the add and drop steps of one solve that no solvable problem comes near: a full step adds a row and
// a partial step drops one, and the active set holds at most n rows, so a solve that ends takes a few steps per
// row. Beyond it the iteration is cycling (repeated or nearly dependent rows, products that overflow).
long long stepLimit(int n, int rowCount) { return 50LL * (static_cast<long long>(n) + rowCount) + 50; }

void reportFailure(Context& ctx, std::string_view text) {
  if (ctx.settings.print >= 1) ctx.messageText.clear().text(text).print();
}

}  // namespace

void solveQp(Context& ctx, const Problem& p, const Solution& out) {
  out.ierr = kFalse;
  out.infeas = kFalse;
  const int n = std::max(p.n, 0);
  Rows rows(n, p.nc, p.nineq, countBoundRows(Vec<const int>(p.itype, n)), p.a, p.lda, p.itype);
  const Vec<const double> bc(p.bc, rows.nc()), g(p.g, n), xl(p.xl, n), xu(p.xu, n);
  const Mat<const double> hess(p.hess, p.ldh, n);
  const Vec<double> x(out.x, n), xlag(out.xlag, n);
  const Vec<int> iact(out.iact, n);
  int& nact = out.nact;

  if (!finiteData(rows, bc, hess, g, xl, xu)) {
    reportFailure(ctx, "ERROR: QP DATA NOT FINITE");
    out.ihess = kFalse;
    out.ierr = kTrue;
    return;
  }

  PoolFrame frame(ctx);  // gives the top back on every return
  const long long last = lastWorkspaceSlot(frame.savedDoubleTop(), n, rows.total());
  if (last > INT_MAX || !PoolFrame::doublesFit(ctx, static_cast<int>(last))) {
    ctx.messageText.clear().text("ERROR: DOUBLE PRECISION STORAGE EXCEEDED, ").integer(last, 10).print();
    out.ihess = kFalse;
    out.ierr = kTrue;
    return;
  }
  const Workspace w = carve(frame, n, rows.total());

  // The unconstrained minimum x = -H^-1 g; where the solves of the rows are kept, formed side by side with them.
  RowSolves& solves = ctx.qpScratch.rowSolves;
  const bool keepsSolves = n >= RowSolves::kSideBySideOrder && solves.begin(rows);
  if (!(keepsSolves ? factorHessian(ctx, n, hess, w.hfac, true) : start(ctx, n, hess, w.hfac, g, x, true))) {
    out.ihess = kTrue;
    return;
  }
  // The rows' patterns first: the row solves order their lanes by them.
  const bool large = n >= RowSolves::kSideBySideOrder;
  if (large) {
    ctx.qpScratch.patterns.build(rows.a(), n, rows.nc());
    rows.usePatterns(&ctx.qpScratch.patterns);
  }
  if (keepsSolves) solves.solveAhead(rows, readOnly(w.hfac), g, x);
  out.ihess = kFalse;
  PoolFrame::setDoubleTop(ctx, w.lastSlot);
  nact = 0;

  // Scratch for what the steps reuse (on the stack: the pool layout is fixed); larger problems go without.
  double unfactored[packedLength(Reuse::kMaxOrder)];
  double sums[Reuse::kMaxOrder];
  Reuse reuse;
  // Few variables make sums and substitutions so short that skipping zero terms and carrying half-factored rows
  // cost more than they save (large, above).
  if (n <= Reuse::kMaxOrder) {
    reuse.unfactored = Vec<double>(unfactored, packedLength(n));
    reuse.sums = Vec<double>(sums, n);
    if (large) {
      reuse.substituted = Vec<double>(ctx.qpScratch.substituted.data(), packedLength(n));
      reuse.pivotSums = Vec<double>(ctx.qpScratch.pivotSums.data(), packedLength(n));
    }
  }

  rowValues(rows, bc, readOnly(x), xl, xu, w.c);
  reuse.solvesPairs = !keepsSolves;
  int ranked[RowSolves::kLanes];

  const long long maxSteps = stepLimit(n, rows.total());
  long long steps = 0;
  // The active rows and their twins, marked as rows are added and dropped.
  PassedOver passedOver(rows, nact, readOnly(iact));
  int runnerUp = 0;
  int* const wantsRunnerUp = reuse.solvesPairs ? &runnerUp : nullptr;
  int kv = mostViolated(ctx, rows, readOnly(w.c), passedOver, wantsRunnerUp);
  while (kv != 0) {
    reuse.runnerUp = reuse.holdsInColumns(kv) ? 0 : runnerUp;
    // The solves of row kv, and along with them those of the rows likeliest to be added after it.
    reuse.solves = nullptr;
    if (keepsSolves) {
      bool held = solves.holdsRow(rows, kv);
      if (!held) {
        const int count = solves.lanes() <= 2 ? 0
                                              : rankCandidates(rows, readOnly(w.c), passedOver, kv,
                                                               Vec<int>(ranked, solves.lanes() - 1));
        held = solves.provide(rows, readOnly(w.hfac), kv, Vec<const int>(ranked, count), count);
      }
      if (held) reuse.solves = &solves;
    }
    double uplus = 0.0;
    for (;;) {  // partial steps until row kv holds
      if (++steps > maxSteps) {
        reportFailure(ctx, "ERROR: QP STEP LIMIT REACHED, CYCLING");
        out.ierr = kTrue;
        return;
      }
      const double znorm = directionReusing(rows, nact, readOnly(iact), w.z, w.r, w.actmat, w.hinvn,
                                            readOnly(w.hfac), kv, reuse);
      // znorm is the square root of the sum of squares of z when that sum is above 0 (else 0): a positive finite
      // one leaves no infinite or NaN z(i).
      const bool zFinite = znorm > 0.0 && std::isfinite(znorm);
      const StepChoice step = stepLength(ctx, rows, readOnly(w.c), kv, nact, znorm, readOnly(w.z), readOnly(xlag),
                                         readOnly(w.r), zFinite);
      if (step.idx == 0) {
        out.infeas = kTrue;
        return;
      }
      takeStep(nact, xlag, uplus, readOnly(w.r), n, x, readOnly(w.z), step.t, step.kind);
      // x moved: after a drop the next step length reads only row kv's value (the choice after the addition reads
      // the others).
      if (step.kind == kStepAndDrop) w.c(kv) = rows.value(kv, bc, readOnly(x), xl, xu);
      const int dropped = step.idx <= nact ? iact(step.idx) : 0;
      if (!addOrDrop(ctx, rows, nact, iact, xlag, w.actmat, w.hinvn, readOnly(w.hfac), step.idx, kv, uplus,
                     &reuse)) {
        out.ierr = kTrue;
        return;
      }
      if (dropped != 0) passedOver.drop(dropped);
      if (step.kind == kStepAndAdd) {
        passedOver.add(kv);
        break;
      }
    }
    kv = rowValuesAndMostViolated(ctx, rows, bc, readOnly(x), xl, xu, w.c, passedOver, wantsRunnerUp);
  }

  // An equality active through its mirror row is reported under its own row, with the multiplier of that row.
  for (int k = 1; k <= nact; ++k) {
    if (rows.isMirror(iact(k))) {
      iact(k) = rows.equalityOf(iact(k));
      xlag(k) = -xlag(k);
    }
  }
}

}  // namespace korvex::qp
