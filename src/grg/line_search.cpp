#include "grg/line_search.h"

#include <algorithm>
#include <cmath>

#include "common/message.h"
#include "common/pool.h"
#include "common/print.h"
#include "entry/context.h"
#include "grg/basis.h"
#include "grg/restoration.h"
#include "grg/search_steps.h"
#include "korvex/korvex.h"
#include "korvex/routines/grg_search.h"

namespace korvex::grg {
namespace {

constexpr int kMaxTrials = 50;
constexpr double kFailedTrialFactor = 0.1;  // a failed trial's distance beyond the best point is cut to a tenth

void printText(const SearchSet& set, int level, std::string_view text) {
  if (set.ctx.settings.print >= level) MessageBuffer(set.ctx.diagnostics).text(text).print();
}

void copyVector(int n, const double* from, double* to) { std::copy(from, from + std::max(n, 0), to); }

}  // namespace

void runLineSearch(SearchSet& set, int& reseth, double slen, const double* gradob, int& resultCode) {
  Context& ctx = set.ctx;
  const Settings& settings = ctx.settings;
  DiagnosticStream& out = ctx.diagnostics;
  Vec<double> DV(set.dv, set.ndv), DF(set.df, set.ndf);
  Vec<double> BSTDF(set.bstdf, set.ndf), DFPRV(set.dfprv, set.ndf);
  const int itobj = set.itobj;

  // 1. Start point: best and previous point, first bracketing pair, first step.
  copyVector(set.ndv, set.dv, set.bstdv);
  copyVector(set.ndv, set.dv, set.dvprv);
  copyVector(set.ndf, set.df, set.bstdf);
  copyVector(set.ndf, set.df, set.dfprv);
  Bracket bracket;
  int brackt = kFalse;
  registerTrial(brackt, 0, DF(itobj), 0.0, bracket.objectives(), bracket.steps());
  StepState state;
  state.step = std::min(settings.initStep, slen);
  int ktrial = 1;
  int nparab = 0;
  int slownr = kFalse;
  bool improved = false;
  bool lastTrialFailed = false;  // the latest trial gave a value that is not finite
  int failedTrials = 0;          // trials that gave a value that is not finite; they do not count in ktrial

  // 2. Tracking, 3. basis.
  trackBindingConstraints(set, reseth);
  chooseBasisOnArrays(ctx, &set.ntrak, set.mtrak, &set.nbeq, set.mbndeq, &set.ndv, set.dv, set.dvlb, set.dvub,
                      set.gradd, set.lisdf, set.sdir, &set.nidv, set.midv, &set.nddv, set.mddv, &set.ldj, &set.njinv,
                      set.mjinv, set.xjinv, set.xjac);
  if (settings.errorFlag != 0) return;
  if (settings.print >= 2) {
    printIntVector(out, set.ntrak, set.mtrak, "MTRAK");
    printIntVector(out, set.ndf, set.ltrak, "LTRAK");
    printIntVector(out, set.nidv, set.midv, "MIDV");
    printIntVector(out, set.nddv, set.mddv, "MDDV");
    printDoubleMatrix(out, set.ldj, set.njinv, set.nddv, set.xjinv, "XJINV");
    printDoubleMatrix(out, set.ldj, set.njinv, set.nddv, set.xjac, "XJAC");
  }

  // 4. Trials.
  for (;;) {
    if (settings.print > 0) {
      MessageBuffer(out).text(" ").print(1);
      MessageBuffer(out).text("STEP LENGTH ").exponent(state.step, 12, 4).print(24);
    }
    if (state.step < settings.minStep) {
      // No finite step left when the last trial failed before the search ever moved.
      resultCode = lastTrialFailed ? KVW_NON_FINITE_ANALYSIS
                                   : (set.iphase < 1 ? KVW_GRG_NO_STEP : KVW_GRG_INFEASIBLE);
      printText(set, 2, "TERMINATE: MINIMUM STEPLENGTH");
      break;
    }
    const double attempted = state.step;  // the restoration may move the step; a failed trial shortens this one
    moveIndependentVariables(set, state, state.endstp);
    predictDependentVariables(set, state);
    state.basisChanged = false;
    state.notFinite = !evaluateGrgPoint(ctx, set.iphase, set.itobj, set.ndv, set.dv, set.df);
    if (settings.print >= 2) {
      printDoubleVector(out, set.ndv, set.dv, "DV AFTER STEP");
      printDoubleVector(out, set.ndf, set.df, "DF AFTER STEP");
    }
    // On a pool overflow or an error flag the search returns at once, nothing restored.
    if (!state.notFinite && (!restoreTrialPointPooled(set, state) || settings.errorFlag != 0)) return;
    lastTrialFailed = state.notFinite;
    if (state.notFinite) {
      // The trial fails: back to the best point, and the step is shortened towards it as after a worse trial.
      // A basis the restoration had already changed cannot serve another trial, nor can a step that is not finite:
      // the search ends at its best point, with result 95 when it never moved. So does a search whose failed
      // trials exceed the trial limit.
      copyVector(set.ndv, set.bstdv, set.dv);
      copyVector(set.ndf, set.bstdf, set.df);
      printText(set, 2, "ANALYSIS NOT FINITE, STEP SHORTENED");
      state.step = state.stpbst + kFailedTrialFactor * (attempted - state.stpbst);
      if (state.basisChanged || !std::isfinite(state.step) || ++failedTrials > kMaxTrials) {
        if (!improved) resultCode = KVW_NON_FINITE_ANALYSIS;
        break;
      }
      if (improved && state.step - state.stpbst < settings.minStep) break;
      continue;
    }
    if (isTrue(state.ifail)) {
      printText(set, 2, "TERMINATE: GRGSAT");
      break;
    }

    registerTrial(brackt, ktrial, DF(itobj), state.step, bracket.objectives(), bracket.steps());

    if (DF(itobj) < BSTDF(itobj)) {
      // 5a. Improvement: the best point moves to the previous one, the trial becomes the best.
      copyVector(set.ndv, set.bstdv, set.dvprv);
      copyVector(set.ndf, set.bstdf, set.dfprv);
      state.stpprv = state.stpbst;
      copyVector(set.ndv, set.dv, set.bstdv);
      copyVector(set.ndf, set.df, set.bstdf);
      state.stpbst = state.step;
      keepLatestAsBest(ctx.bridge);
      improved = true;
      if (nparab >= 1 && state.step >= 0.5) {
        state.endstp = kTrue;
        printText(set, 2, "TERMINATE PARAB=1 STPLEN>.5");
      } else if (std::fabs(BSTDF(itobj) - DFPRV(itobj)) <= settings.convTol / 5.0 &&
                 (state.step > 2.0 || ktrial > 5)) {
        state.endstp = kTrue;
        printText(set, 2, "TERMINATE OBJ NOT CHANGING");
      }
      if (set.iphase == 1 && DF(itobj) <= settings.feasTol) state.endstp = kTrue;
      if (isTrue(state.endstp)) break;
      if (!isTrue(brackt)) {
        growStep(set, state, slownr);
      } else {
        printText(set, 1, "FITTING PARABOLA");
        nparab += 1;
        threePointParabola(ctx, bracket.readSteps(), bracket.readObjectives(), state.step, state.ifail);
        if (isTrue(state.ifail)) {
          resultCode = 7;
          break;
        }
        if (nparab > 3) break;
      }
    } else {
      // 5b. No improvement.
      if (!isTrue(brackt) && state.step <= state.stpbst) break;
      brackt = kTrue;
      nparab += 1;
      if (nparab >= 2 && (state.step >= 0.5 || nparab >= 3)) {
        printText(set, 2, "TERMINATE= PARAB WORSE");
        break;
      }
      printText(set, 1, "FITTING PARABOLA WORSE");
      if (ktrial == 1) {
        double slope = 0.0;
        for (int i = 0; i < set.ndv; ++i) slope += set.sdir[i] * gradob[i];
        state.step = twoPointParabola(ctx, bracket.readSteps(), bracket.readObjectives(), slope);
      } else {
        threePointParabola(ctx, bracket.readSteps(), bracket.readObjectives(), state.step, state.ifail);
        if (isTrue(state.ifail)) {
          resultCode = 7;
          break;
        }
      }
    }

    ktrial += 1;
    if (ktrial > kMaxTrials) break;
  }

  // 6. End at the best point.
  copyVector(set.ndv, set.bstdv, set.dv);
  copyVector(set.ndf, set.bstdf, set.df);
  if (improved) acceptBestPoint(ctx.bridge);
  if (settings.print >= 2) {
    printDoubleVector(out, set.ndv, set.bstdv, "BSTDV");
    printDoubleVector(out, set.ndf, set.bstdf, "BSTDF");
  }
}

void runLineSearchPooled(SearchSet& set, int& reseth, double slen, const double* gradob, int& resultCode) {
  PoolFrame frame(set.ctx);
  const int ldj = set.nbeq + set.nbin + 1;
  const int bstdv = frame.reserveDoubles(set.ndv);
  const int dvprv = frame.reserveDoubles(set.ndv);
  const int bstdf = frame.reserveDoubles(set.ndf);
  const int dfprv = frame.reserveDoubles(set.ndf);
  const int xjinv = frame.reserveDoubles(ldj * ldj);
  const int xjac = frame.reserveDoubles(ldj * ldj);
  const int mjinv = frame.reserveInts(set.ndv);
  const int mtrak = frame.reserveInts(set.nbin + 5);
  const int ltrak = frame.reserveInts(set.ndf);
  const int midv = frame.reserveInts(set.ndv);
  const int mddv = frame.reserveInts(set.ndv);
  if (!frame.claim()) return;
  set.bstdv = frame.doubles(bstdv);
  set.dvprv = frame.doubles(dvprv);
  set.bstdf = frame.doubles(bstdf);
  set.dfprv = frame.doubles(dfprv);
  set.ldj = ldj;
  set.xjinv = frame.doubles(xjinv);
  set.xjac = frame.doubles(xjac);
  set.mjinv = frame.ints(mjinv);
  set.mtrak = frame.ints(mtrak);
  set.ltrak = frame.ints(ltrak);
  set.midv = frame.ints(midv);
  set.mddv = frame.ints(mddv);
  runLineSearch(set, reseth, slen, gradob, resultCode);
}

}  // namespace korvex::grg

namespace {

korvex::grg::SearchSet searchSetFromArguments(const int* IPHASE, const int* nIneq, const int* ineqList,
                                              const int* NCAND, const int* MGRGIN, const int* NBEQ,
                                              const int* MBNDEQ, const int* NBIN, const int* MBNDIN,
                                              const int* ITOBJ, const int* NDV, double* DV, const double* DVUB,
                                              const double* DVLB, const int* NDF, double* DF, const int* LISDF,
                                              const double* GRADD, const double* SDIR) {
  korvex::grg::SearchSet set(korvex::defaultContext());
  set.iphase = *IPHASE;
  set.itobj = *ITOBJ;
  set.nIneq = *nIneq;
  set.ineqList = ineqList;
  set.ncand = *NCAND;
  set.mgrgin = MGRGIN;
  set.nbeq = *NBEQ;
  set.mbndeq = MBNDEQ;
  set.nbin = *NBIN;
  set.mbndin = MBNDIN;
  set.ndv = *NDV;
  set.dv = DV;
  set.dvub = DVUB;
  set.dvlb = DVLB;
  set.ndf = *NDF;
  set.df = DF;
  set.lisdf = LISDF;
  set.gradd = GRADD;
  set.sdir = SDIR;
  return set;
}

}  // namespace

extern "C" {

KORVEX_API void GRSSTE(const int* IPHASE, int* RESETH, const double* SLEN, const int* nIneq, const int* ineqList,
                       const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ, const int* NBIN,
                       const int* MBNDIN, const int* ITOBJ, const int* NDV, double* DV, const double* DVUB,
                       const double* DVLB, const int* NDF, double* DF, const int* LISDF, const double* GRADD,
                       const double* GRADOB, const double* SDIR, int* resultCode) {
  korvex::grg::SearchSet set = searchSetFromArguments(IPHASE, nIneq, ineqList, NCAND, MGRGIN, NBEQ, MBNDEQ, NBIN,
                                                      MBNDIN, ITOBJ, NDV, DV, DVUB, DVLB, NDF, DF, LISDF, GRADD, SDIR);
  korvex::grg::runLineSearchPooled(set, *RESETH, *SLEN, GRADOB, *resultCode);
}

KORVEX_API void GRGSTE(const int* IPHASE, int* RESETH, const double* SLEN, const int* nIneq, const int* ineqList,
                       const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ, const int* NBIN,
                       const int* MBNDIN, const int* ITOBJ, const int* NDV, double* DV, const double* DVUB,
                       const double* DVLB, const int* NDF, double* DF, const int* LISDF, const double* GRADD,
                       const double* GRADOB, const double* SDIR, int* resultCode, double* BSTDV, double* DVPRV,
                       double* BSTDF, double* DFPRV, const int* LDJ, double* XJINV, double* XJAC, int* MJINV,
                       int* MTRAK, int* LTRAK, int* MIDV, int* MDDV) {
  korvex::grg::SearchSet set = searchSetFromArguments(IPHASE, nIneq, ineqList, NCAND, MGRGIN, NBEQ, MBNDEQ, NBIN,
                                                      MBNDIN, ITOBJ, NDV, DV, DVUB, DVLB, NDF, DF, LISDF, GRADD, SDIR);
  set.bstdv = BSTDV;
  set.dvprv = DVPRV;
  set.bstdf = BSTDF;
  set.dfprv = DFPRV;
  set.ldj = *LDJ;
  set.xjinv = XJINV;
  set.xjac = XJAC;
  set.mjinv = MJINV;
  set.mtrak = MTRAK;
  set.ltrak = LTRAK;
  set.midv = MIDV;
  set.mddv = MDDV;
  korvex::grg::runLineSearch(set, *RESETH, *SLEN, GRADOB, *resultCode);
}

}  // extern "C"
