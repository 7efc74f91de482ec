#include "grg/restoration.h"

#include <algorithm>
#include <cmath>

#include "common/message.h"
#include "common/pool.h"
#include "common/print.h"
#include "entry/context.h"
#include "grg/basis.h"
#include "grg/newton_raphson.h"
#include "grg/search_steps.h"
#include "korvex/routines/grg_search.h"

namespace korvex::grg {
namespace {

constexpr int kMaxNewtonIterations = 7;  // MAXNR of every restoration

void printText(const SearchSet& set, int level, std::string_view text) {
  if (set.ctx.settings.print >= level) MessageBuffer(set.ctx.diagnostics).text(text).print();
}

// One counted evaluation at DV, the current objective negated in phase 3. False when a value is not finite.
bool evaluate(SearchSet& set) {
  return evaluateGrgPoint(set.ctx, set.iphase, set.itobj, set.ndv, set.dv, set.df);
}

// A value that is not finite ended the restoration: the trial fails; whether the basis was already changed
// decides whether the line search can go on with it.
void failNotFinite(StepState& state, bool basisChanged) {
  state.notFinite = true;
  state.basisChanged = basisChanged;
}

// Newton-Raphson restoration of the basis functions, Broyden updates on, at most seven iterations.
void newtonRaphson(SearchSet& set, StepState& state, int& nrconv, int& nriter) {
  const int updjac = kTrue;
  const int maxnr = kMaxNewtonIterations;
  restoreBasisFunctionsOnArrays(set.ctx, &set.iphase, &updjac, &maxnr, &set.ldj, &set.njinv, set.mjinv, set.xjinv,
                                set.xjac, &state.idvbnd, &set.nidv, set.midv, &set.nddv, set.mddv, set.sdir, &set.ndv,
                                set.dv, set.dvlb, set.dvub, &set.ndf, set.df, &set.itobj, set.bstdv, set.dvprv,
                                &state.stpbst, &state.stpprv, &state.step, &state.endstp, &nrconv, &nriter);
}

// The functions scanned for new constraints and checked for feasibility: every inequality in the optimisation
// phase, the candidate inequalities in the feasibility phase.
Vec<const int> scannedList(const SearchSet& set) {
  if (set.iphase <= 0) return Vec<const int>(set.ineqList, set.nIneq);
  return Vec<const int>(set.mgrgin, set.ncand);
}

enum class Outcome { kContinue, kReturn };

// Bound event (when a dependent variable meets its bound first) or no event: restore with the current basis.
Outcome restoreWithBasis(SearchSet& set, StepState& state, const RestorationWork& work) {
  const Settings& settings = set.ctx.settings;
  DiagnosticStream& out = set.ctx.diagnostics;
  if (set.njinv <= 0) return Outcome::kContinue;
  Vec<double> DF(set.df, set.ndf);
  Vec<double> DFSAVE(work.dfsave, set.ndf);
  Vec<const int> MJINV(set.mjinv, set.ndv);
  Vec<const int> MDDV(set.mddv, set.ndv);
  Mat<double> XJAC(set.xjac, set.ldj, set.ldj);

  if (state.idvbnd > 0) {
    const double s0 = state.step;
    state.step = state.stpbnd;
    for (int j = 1; j <= set.ndf; ++j) DFSAVE(j) = DF(j);
    moveIndependentVariables(set, state, state.endstp);
    if (std::fabs(s0 - state.stpbnd) <= settings.tinyTol) {
      printText(set, 1, "STPDEL ERROR IN GRGSAT, BND");
      state.ifail = kTrue;
      return Outcome::kReturn;
    }
    if (!evaluate(set)) {
      failNotFinite(state, false);
      return Outcome::kReturn;
    }
    // Column of the variable held at its bound becomes the derivative of the basis functions along the step.
    // IDVBND comes from the prediction and is always one of MDDV(1..NDDV); if it were not (direct call), no
    // column is replaced.
    int k = 0;
    for (int i = 1; i <= set.nddv; ++i) {
      if (MDDV(i) == state.idvbnd) {
        k = i;
        break;
      }
    }
    if (k > 0) {
      const int rows = std::min(set.njinv, set.ldj);
      for (int i = 1; i <= rows; ++i) XJAC(i, k) = (DF(MJINV(i)) - DFSAVE(MJINV(i))) / (state.step - s0);
    }
    int singul = kFalse;
    invertOnArrays(set.ctx, &set.ldj, &set.nddv, set.xjac, set.xjinv, &singul);
    if (settings.errorFlag != 0) return Outcome::kReturn;
    if (isTrue(singul)) {
      state.ifail = kTrue;
      return Outcome::kReturn;
    }
    if (settings.print >= 2) {
      printDoubleMatrix(out, set.ldj, set.nddv, set.nddv, set.xjac, "XJAC AFTER BND UPDATE");
      printDoubleMatrix(out, set.ldj, set.nddv, set.nddv, set.xjinv, "XJINV AFTER BND UPDATE");
    }
  }

  int nrconv = kFalse;
  int nriter = 0;
  newtonRaphson(set, state, nrconv, nriter);
  if (settings.errorFlag != 0) return Outcome::kReturn;
  if (!latestAnalysisFinite(set.ctx.bridge)) {
    failNotFinite(state, state.idvbnd > 0);
    return Outcome::kReturn;
  }
  if (!isTrue(nrconv)) {
    printText(set, 2, "CONVERGE FAIL, GRGNR");
    state.ifail = kTrue;
    return Outcome::kReturn;
  }
  if (nriter >= kMaxNewtonIterations || state.idvbnd > 0) state.endstp = kTrue;
  return Outcome::kContinue;
}

// New constraint fc, crossing at sc before any dependent variable meets its bound: shorten the step, border the
// basis inverse with the constraint's row and the step-length column, and restore solving for the step too.
Outcome restoreWithNewConstraint(SearchSet& set, StepState& state, const RestorationWork& work, int fc, double sc) {
  const Settings& settings = set.ctx.settings;
  DiagnosticStream& out = set.ctx.diagnostics;
  Vec<double> DF(set.df, set.ndf);
  Vec<const double> BSTDF(set.bstdf, set.ndf);
  Vec<double> DFSAVE(work.dfsave, set.ndf);
  Vec<const int> LISDF(set.lisdf, set.ndf);
  Vec<int> MJINV(set.mjinv, set.ndv);
  Vec<const int> MDDV(set.mddv, set.ndv);
  Mat<const double> GRADD(set.gradd, set.ndv, set.ndf);

  state.idvbnd = 0;
  if (settings.print > 0) MessageBuffer(out).text("NEW CONSTRAINT ").integer(fc, 3).print(18);

  const double s0 = state.step;
  state.step = std::max(0.0, s0 - std::max(s0 - sc, 0.001));
  for (int j = 1; j <= set.ndf; ++j) DFSAVE(j) = DF(j);
  moveIndependentVariables(set, state, state.endstp);
  predictDependentVariables(set, state);
  if (!evaluate(set)) {
    failNotFinite(state, false);
    return Outcome::kReturn;
  }
  if (settings.print >= 3) {
    printDoubleVector(out, set.ndv, set.dv, "DV AT BIND STEP");
    printDoubleVector(out, set.ndf, set.df, "DF AT BIND STEP");
  }

  // Cases the bordering cannot take, refused as a failed augmentation rather than read or written out of range:
  // - a basis that already fills MJINV (NDV entries), ACOL/AROW (NDV) or the LDJ x LDJ matrices;
  // - a new constraint without a gradient column (LISDF = 0), possible only when not every candidate inequality
  //   got a column;
  // - a step that did not move (STEP = s0 = 0, a trial at step 0), which leaves no difference quotient.
  if (set.njinv + 1 > std::min(set.ldj, set.ndv) || LISDF(fc) < 1 || state.step == s0) {
    printText(set, 1, "SINGULAR JACOBIAN DURING AUGMENT");
    state.ifail = kTrue;
    return Outcome::kReturn;
  }

  double acorn = (DF(fc) - DFSAVE(fc)) / (state.step - s0);
  if (acorn < settings.tinyTol) {
    printText(set, 2, "ACORN NEGATIVE");
    // No difference from the base point when the step came back onto it: the first quotient is kept.
    if (state.step != state.stpbst) acorn = (DF(fc) - BSTDF(fc)) / (state.step - state.stpbst);
  }
  Vec<double> ACOL(work.acol, set.ndv), AROW(work.arow, set.ndv);
  for (int i = 1; i <= set.njinv; ++i) {
    ACOL(i) = (DF(MJINV(i)) - DFSAVE(MJINV(i))) / (state.step - s0);
    AROW(i) = GRADD(MDDV(i), LISDF(fc));
  }
  if (settings.print >= 2) {
    printDoubleVector(out, set.njinv, work.arow, "AROW");
    printDoubleVector(out, set.njinv, work.acol, "ACOL");
    printDoubleVector(out, 1, &acorn, "ACORN");
  }

  int singul = kFalse;
  borderInverseOnArrays(set.ctx, &set.ldj, &set.njinv, &acorn, work.arow, work.acol, set.xjinv, &singul);
  if (settings.errorFlag != 0) return Outcome::kReturn;
  if (isTrue(singul)) {
    printText(set, 1, "SINGULAR JACOBIAN DURING AUGMENT");
    state.ifail = kTrue;
    return Outcome::kReturn;
  }
  set.njinv += 1;
  MJINV(set.njinv) = fc;
  if (settings.print >= 2) printDoubleMatrix(out, set.ldj, set.njinv, set.njinv, set.xjinv, "JACOBIAN INVERSE");

  int nrconv = kFalse;
  int nriter = 0;
  newtonRaphson(set, state, nrconv, nriter);
  if (settings.errorFlag != 0) return Outcome::kReturn;
  if (!latestAnalysisFinite(set.ctx.bridge)) {
    failNotFinite(state, true);
    return Outcome::kReturn;
  }
  if (!isTrue(nrconv)) {
    printText(set, 2, "CONVERGE FAIL, GRGNR, NEW CONSTRAINT");
    state.ifail = kTrue;
    return Outcome::kReturn;  // NJINV stays one larger
  }
  state.endstp = kTrue;
  set.njinv -= 1;  // MJINV(NJINV + 1) keeps fc and XJINV the bordered inverse
  return Outcome::kContinue;
}

}  // namespace

void restoreTrialPoint(SearchSet& set, StepState& state, const RestorationWork& work) {
  const Settings& settings = set.ctx.settings;
  Vec<const double> DF(set.df, set.ndf);
  Vec<const double> BSTDF(set.bstdf, set.ndf);
  Vec<const int> LTRAK(set.ltrak, set.ndf);
  Vec<const int> MBNDEQ(set.mbndeq, set.nbeq);
  const Vec<const int> L = scannedList(set);
  const double feasTol = settings.feasTol;

  bool newConstraintTaken = false;
  bool objectiveReached = false;
  auto objectiveChangedSign = [&] { return set.iphase >= 2 && BSTDF(set.itobj) * DF(set.itobj) < 0.0; };

  for (int pass = 1; pass <= 2; ++pass) {
    // 1. The earliest new constraint: the temporary objective crossing zero, or a violated untracked constraint.
    double sc = state.step;
    int fc = 0;
    if (objectiveChangedSign()) {
      double crossing = 0.0;
      if (!crossingStep(set.ctx, state, set.itobj, BSTDF, DF, crossing)) {
        state.ifail = kTrue;
        return;
      }
      sc = crossing;
      fc = set.itobj;
      objectiveReached = true;
    }
    for (int k = 1; k <= L.length(); ++k) {
      const int f = L(k);
      if (LTRAK(f) != 0 || !(DF(f) > feasTol)) continue;
      double crossing = 0.0;
      if (!crossingStep(set.ctx, state, f, BSTDF, DF, crossing)) {
        state.ifail = kTrue;
        return;
      }
      if (crossing < sc) {
        sc = crossing;
        fc = f;
      }
    }

    // 2./3. Restore: with the basis (bound event or none) or with the new constraint bordered onto it.
    Outcome outcome;
    if (fc == 0 || state.stpbnd <= sc) {
      outcome = restoreWithBasis(set, state, work);
    } else {
      newConstraintTaken = true;
      outcome = restoreWithNewConstraint(set, state, work, fc, sc);
    }
    if (outcome == Outcome::kReturn) return;

    // 4. Feasibility check of the scanned list and the satisfied equalities.
    bool feasible = true;
    for (int k = 1; k <= L.length(); ++k) {
      if (DF(L(k)) > feasTol) feasible = false;
    }
    for (int k = 1; k <= set.nbeq; ++k) {
      if (std::fabs(DF(MBNDEQ(k))) > feasTol) feasible = false;
    }
    // In the feasibility phase the trial ends the search, feasible or not, unless the temporary objective was met
    // in this call and still has the other sign. So every search of that phase stops at its first improving trial.
    if (set.iphase >= 1 && !(objectiveChangedSign() && objectiveReached)) state.endstp = kTrue;

    // 5. Done, failed, or one more pass.
    if (feasible) return;
    if (newConstraintTaken || state.idvbnd > 0) {
      state.ifail = kTrue;
      printText(set, 1, "FEASIBILITY FAILED IN GRGSAT");
      return;
    }
  }
}

bool restoreTrialPointPooled(SearchSet& set, StepState& state) {
  PoolFrame frame(set.ctx);
  const int acol = frame.reserveDoubles(set.ndv);
  const int arow = frame.reserveDoubles(set.ndv);
  const int dfsave = frame.reserveDoubles(set.ndf);
  if (!frame.claim()) return false;
  RestorationWork work;
  work.acol = frame.doubles(acol);
  work.arow = frame.doubles(arow);
  work.dfsave = frame.doubles(dfsave);
  restoreTrialPoint(set, state, work);
  return true;
}

}  // namespace korvex::grg

using korvex::Vec;
using korvex::grg::SearchSet;
using korvex::grg::StepState;

namespace {

// The working set and step state named by the 37 common arguments of GRGSAT and GRSSAT.
void fillFromArguments(SearchSet& set, StepState& state, const int* IPHASE, const int* ITOBJ, const int* NCAND,
                       const int* MGRGIN, const int* nIneq, const int* ineqList, const int* LTRAK, const int* NBEQ,
                       const int* MBNDEQ, const int* NDDV, const int* MDDV, const int* NIDV, const int* MIDV,
                       const int* NDV, double* DV, const double* DVUB, const double* DVLB, const int* NDF,
                       double* DF, const int* LISDF, const double* GRADD, const double* BSTDV, const double* DVPRV,
                       const double* BSTDF, const double* STPBST, const double* STPPRV, const double* SDIR,
                       const int* LDJ, const int* NJINV, int* MJINV, double* XJINV, double* XJAC,
                       const int* IDVBND, const double* STPBND, const double* STEP, const int* IFAIL,
                       const int* ENDSTP) {
  set.iphase = *IPHASE;
  set.itobj = *ITOBJ;
  set.ncand = *NCAND;
  set.mgrgin = MGRGIN;
  set.nIneq = *nIneq;
  set.ineqList = ineqList;
  set.ltrak = const_cast<int*>(LTRAK);
  set.nbeq = *NBEQ;
  set.mbndeq = MBNDEQ;
  set.nddv = *NDDV;
  set.mddv = const_cast<int*>(MDDV);
  set.nidv = *NIDV;
  set.midv = const_cast<int*>(MIDV);
  set.ndv = *NDV;
  set.dv = DV;
  set.dvub = DVUB;
  set.dvlb = DVLB;
  set.ndf = *NDF;
  set.df = DF;
  set.lisdf = LISDF;
  set.gradd = GRADD;
  set.bstdv = const_cast<double*>(BSTDV);
  set.dvprv = const_cast<double*>(DVPRV);
  set.bstdf = const_cast<double*>(BSTDF);
  set.sdir = SDIR;
  set.ldj = *LDJ;
  set.njinv = *NJINV;
  set.mjinv = MJINV;
  set.xjinv = XJINV;
  set.xjac = XJAC;
  state.stpbst = *STPBST;
  state.stpprv = *STPPRV;
  state.idvbnd = *IDVBND;
  state.stpbnd = *STPBND;
  state.step = *STEP;
  state.ifail = *IFAIL;
  state.endstp = *ENDSTP;
}

void writeBack(const SearchSet& set, const StepState& state, int* NJINV, int* IDVBND, double* STPBND, double* STEP,
               int* IFAIL, int* ENDSTP) {
  *NJINV = set.njinv;
  *IDVBND = state.idvbnd;
  *STPBND = state.stpbnd;
  *STEP = state.step;
  *IFAIL = state.ifail;
  *ENDSTP = state.endstp;
}

}  // namespace

extern "C" {

KORVEX_API void GRGSAT(const int* IPHASE, const int* ITOBJ, const int* NCAND, const int* MGRGIN, const int* nIneq,
                       const int* ineqList, const int* LTRAK, const int* NBEQ, const int* MBNDEQ, const int* NDDV,
                       const int* MDDV, const int* NIDV, const int* MIDV, const int* NDV, double* DV,
                       const double* DVUB, const double* DVLB, const int* NDF, double* DF, const int* LISDF,
                       const double* GRADD, const double* BSTDV, const double* DVPRV, const double* BSTDF,
                       const double* STPBST, const double* STPPRV, const double* SDIR, const int* LDJ, int* NJINV,
                       int* MJINV, double* XJINV, double* XJAC, int* IDVBND, double* STPBND, double* STEP,
                       int* IFAIL, int* ENDSTP, double* ACOL, double* AROW, double* DFSAVE) {
  SearchSet set(korvex::defaultContext());
  StepState state;
  fillFromArguments(set, state, IPHASE, ITOBJ, NCAND, MGRGIN, nIneq, ineqList, LTRAK, NBEQ, MBNDEQ, NDDV, MDDV, NIDV,
                    MIDV, NDV, DV, DVUB, DVLB, NDF, DF, LISDF, GRADD, BSTDV, DVPRV, BSTDF, STPBST, STPPRV, SDIR, LDJ,
                    NJINV, MJINV, XJINV, XJAC, IDVBND, STPBND, STEP, IFAIL, ENDSTP);
  korvex::grg::RestorationWork work;
  work.acol = ACOL;
  work.arow = AROW;
  work.dfsave = DFSAVE;
  korvex::grg::restoreTrialPoint(set, state, work);
  writeBack(set, state, NJINV, IDVBND, STPBND, STEP, IFAIL, ENDSTP);
}

KORVEX_API void GRSSAT(const int* IPHASE, const int* ITOBJ, const int* NCAND, const int* MGRGIN, const int* nIneq,
                       const int* ineqList, const int* LTRAK, const int* NBEQ, const int* MBNDEQ, const int* NDDV,
                       const int* MDDV, const int* NIDV, const int* MIDV, const int* NDV, double* DV,
                       const double* DVUB, const double* DVLB, const int* NDF, double* DF, const int* LISDF,
                       const double* GRADD, const double* BSTDV, const double* DVPRV, const double* BSTDF,
                       const double* STPBST, const double* STPPRV, const double* SDIR, const int* LDJ, int* NJINV,
                       int* MJINV, double* XJINV, double* XJAC, int* IDVBND, double* STPBND, double* STEP,
                       int* IFAIL, int* ENDSTP) {
  SearchSet set(korvex::defaultContext());
  StepState state;
  fillFromArguments(set, state, IPHASE, ITOBJ, NCAND, MGRGIN, nIneq, ineqList, LTRAK, NBEQ, MBNDEQ, NDDV, MDDV, NIDV,
                    MIDV, NDV, DV, DVUB, DVLB, NDF, DF, LISDF, GRADD, BSTDV, DVPRV, BSTDF, STPBST, STPPRV, SDIR, LDJ,
                    NJINV, MJINV, XJINV, XJAC, IDVBND, STPBND, STEP, IFAIL, ENDSTP);
  if (!korvex::grg::restoreTrialPointPooled(set, state)) return;
  writeBack(set, state, NJINV, IDVBND, STPBND, STEP, IFAIL, ENDSTP);
}

}  // extern "C"
