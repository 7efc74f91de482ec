// The GRG main iteration. Each iteration classifies the constraints at the current point; while some constraint is
// violated the worst one serves as temporary objective (feasibility phase), otherwise the real objective is
// minimised. A direction from the quadratic subproblem, a convergence test on its directional derivative, a line
// search along it, and a test on the change of the objective over the last two line searches follow.
#include <cmath>

#include "common/message.h"
#include "common/pool.h"
#include "common/print.h"
#include "entry/context.h"
#include "grg/direction.h"
#include "grg/iteration.h"
#include "grg/line_search.h"
#include "grg/working_set.h"
#include "korvex/korvex.h"
#include "korvex/routines/grg_iteration.h"

namespace korvex::grg {
namespace {

constexpr int kConvergedDerivative = KVW_GRG_CONVERGED_DERIVATIVE;
constexpr int kNoStep = KVW_GRG_NO_STEP;
constexpr int kConvergedObjective = KVW_GRG_CONVERGED_OBJECTIVE;
constexpr int kInfeasible = KVW_GRG_INFEASIBLE;
constexpr int kInfeasibleStalled = KVW_GRG_INFEASIBLE_STALLED;
constexpr int kIterationLimit = KVW_GRG_ITERATION_LIMIT;
constexpr int kStopped = KVW_GRG_STOPPED;

// State of the main iteration beyond the working set.
struct IterationState {
  int iteration = 1;
  int tempObjective = 0;         // violated constraint minimised in the feasibility phase, 0 for none
  int lastTempObjective = 0;     // temporary objective of the latest earlier feasibility iteration
  int previousLastTemp = 0;      // lastTempObjective as it was before this iteration (objective test)
  double f1 = 0.0;               // DF(ITOBJ) after the latest line search
  double f2 = 0.0;               // ... and after the one before
};

void printHeading(Context& ctx, const Problem& p, int iteration) {
  DiagnosticStream& out = ctx.diagnostics;
  MessageBuffer(out).blanks(1).print();
  MessageBuffer(out).text("BEGINNING ITERATION ").integer(iteration, 4).print(24);
  printDoubleVector(out, p.NDV, p.DV.data(), "DV");
  printDoubleVector(out, p.NDF, p.DF.data(), "DF");
  MessageBuffer(out).text("NO. ANALYSIS CALLS ").integer(ctx.settings.nFunEval, 4).print(23);
}

// Phase bookkeeping after the classification: the current objective, Hessian resets on a change of objective.
void choosePhase(Context& ctx, const Problem& p, const RunArrays& run, WorkingSet& ws, IterationState& st) {
  const Settings& settings = ctx.settings;
  DiagnosticStream& out = ctx.diagnostics;
  if (ws.IPHASE == 0) {
    ws.ITOBJ = p.objIndex;
    if (st.tempObjective != 0) {
      st.tempObjective = 0;
      ws.RESETH = kTrue;
      if (settings.print > 0) {
        MessageBuffer(out).text("FEASIBLE POINT FOUND, BEGINNING OPTIMIZATION OF").text(" PROBLEM").print(55);
      }
    }
    return;
  }
  ws.ITOBJ = st.tempObjective;
  if (st.tempObjective != st.lastTempObjective) ws.RESETH = kTrue;
  st.previousLastTemp = st.lastTempObjective;
  st.lastTempObjective = st.tempObjective;
  if (settings.print > 0) {
    MessageBuffer(out).text("SEARCHING FOR FEASIBLE STARTING POINT").print(37);
    MessageBuffer(out).text("TEMPORARY OBJECTIVE IS FUNCTION ").integer(ws.ITOBJ, 3).print(36);
  }
  if (settings.print >= 3) printIntVector(out, ws.NCAND, run.MGRGIN.data(), "MGRGIN FOR INFEASIBLE");
}

double dot(int n, Vec<double> a, Vec<double> b) {
  double sum = 0.0;
  for (int i = 1; i <= n; ++i) sum += a(i) * b(i);
  return sum;
}

// One line search from DV along SDIR, with the line-search arrays carved exactly as its storage front end does.
void lineSearch(Context& ctx, const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase,
                int& resultCode) {
  SearchSet set(ctx);
  set.iphase = ws.IPHASE;
  set.itobj = ws.ITOBJ;
  set.nIneq = p.nIneq;
  set.ineqList = p.ineqList.data();
  set.ncand = ws.NCAND;
  set.mgrgin = run.MGRGIN.data();
  set.nbeq = ws.NBEQ;
  set.mbndeq = run.MBNDEQ.data();
  set.nbin = ws.NBIN;
  set.mbndin = run.MBNDIN.data();
  set.ndv = p.NDV;
  set.dv = p.DV.data();
  set.dvub = p.DVUB.data();
  set.dvlb = p.DVLB.data();
  set.ndf = p.NDF;
  set.df = p.DF.data();
  set.lisdf = run.LISDF.data();
  set.gradd = gradientMatrix(ctx, gradientBase, p.NDV, ws.NCOL).data();
  set.sdir = run.SDIR.data();
  runLineSearchPooled(set, ws.RESETH, ws.SLEN, run.GRADOB.data(), resultCode);
}

}  // namespace

// The main iteration; returns with resultCode set, or through errorFlag with the pool top left to the front end.
void runMainIteration(Context& ctx, const Problem& p, const RunArrays& run, int& resultCode) {
  const Settings& settings = ctx.settings;
  DiagnosticStream& out = ctx.diagnostics;
  if (p.maxIter < 1) {
    resultCode = kIterationLimit;
    return;
  }
  resultCode = 0;
  WorkingSet ws;
  IterationState st;
  st.f1 = settings.bigValue;
  st.f2 = -settings.bigValue;
  const int T0 = ctx.pool.dblPoolTop;  // GRADD always starts at T0 + 1
  // Every normal return gives the double pool back down to T0.
  auto finish = [&ctx, T0](int& code, int value) {
    code = value;
    PoolFrame::setDoubleTop(ctx, T0);
  };

  for (;;) {
    ctx.settings.nIter = st.iteration;
    if (ctx.stopRequested()) return finish(resultCode, kStopped);
    // In the phase of a negative equality its value is held negated (the phase of the previous iteration).
    const int negatedFunction = ws.IPHASE == 3 ? ws.ITOBJ : 0;
    if (reportIteration(ctx, st.iteration, p.NDV, p.DV.data(), p.DF.data(), p.NDF, negatedFunction)) {
      return finish(resultCode, kStopped);
    }
    if (settings.print > 0) printHeading(ctx, p, st.iteration);

    ConstraintClasses classes{run.MGRGIN, run.MBNDIN, run.MBNDEQ};
    classifyConstraints(settings, Vec<const int>(p.ineqList.data(), p.nIneq), Vec<const int>(p.eqList.data(), p.nEq),
                        p.DF, classes, st.tempObjective, ws.IPHASE);
    ws.NCAND = classes.NCAND;
    ws.NBIN = classes.NBIN;
    ws.NBEQ = classes.NBEQ;
    ws.NCOL = ws.NCAND + ws.NBEQ + 1;
    choosePhase(ctx, p, run, ws, st);

    if (!directionStep(ctx, p, run, ws, T0, resultCode)) {
      if (settings.errorFlag != 0) return;
      return finish(resultCode, resultCode);
    }

    ws.SLEN = std::sqrt(dot(p.NDV, run.SDIR, run.SDIR));
    const double derivative = dot(p.NDV, run.SDIR, run.GRADOB);
    if (settings.print >= 2) {
      MessageBuffer(out)
          .text("DIRECT DERIV ")
          .exponent(derivative, 14, 5)
          .blanks(3)
          .text(" LENGTH SEARCH VEC ")
          .exponent(ws.SLEN, 14, 5)
          .print(63);
    }
    // A direction of length 0 can pass the derivative test only when convTol <= 0; it ends the run the same way,
    // since there is nothing to normalise and no line to search.
    if (std::fabs(derivative) < settings.convTol || ws.SLEN == 0.0) {
      return finish(resultCode, ws.IPHASE == 0 ? kConvergedDerivative : kInfeasible);
    }

    for (int i = 1; i <= p.NDV; ++i) {
      run.SDIR(i) = run.SDIR(i) / ws.SLEN;
      run.DVOLD(i) = p.DV(i);
    }
    if (settings.print >= 2) printDoubleVector(out, p.NDV, run.SDIR.data(), "SEARCH DIRECTION");

    lineSearch(ctx, p, run, ws, T0, resultCode);
    if (settings.errorFlag != 0) return;
    if (resultCode == kNoStep || resultCode == kInfeasible || resultCode == KVW_NON_FINITE_ANALYSIS) {
      return finish(resultCode, resultCode);
    }

    // Objective test: two consecutive changes of at most convTol.
    const double f0 = p.DF(ws.ITOBJ);
    if (std::fabs(f0 - st.f1) <= settings.convTol && std::fabs(st.f1 - st.f2) <= settings.convTol) {
      if (ws.IPHASE == 0) return finish(resultCode, kConvergedObjective);
      if (st.tempObjective == st.previousLastTemp) return finish(resultCode, kInfeasibleStalled);
    }
    st.f2 = st.f1;
    st.f1 = f0;

    ++st.iteration;
    if (st.iteration > p.maxIter) return finish(resultCode, kIterationLimit);
    PoolFrame::setDoubleTop(ctx, T0 + p.NDV * ws.NCOL + 1);
  }
}

void runMainIteration(Context& ctx, int maxIter, int NDV, double* DV, double* DVLB, double* DVUB, int NDF, double* DF,
                      int objIndex, int nEq, int* eqList, int nIneq, int* ineqList, const RunStorage& storage,
                      int& resultCode) {
  const int n = NDV;
  Problem problem;
  problem.maxIter = maxIter;
  problem.NDV = n;
  problem.NDF = NDF;
  problem.objIndex = objIndex;
  problem.nEq = nEq;
  problem.nIneq = nIneq;
  problem.DV = Vec<double>(DV, n);
  problem.DVLB = Vec<double>(DVLB, n);
  problem.DVUB = Vec<double>(DVUB, n);
  problem.DF = Vec<double>(DF, NDF);
  problem.eqList = Vec<int>(eqList, nEq);
  problem.ineqList = Vec<int>(ineqList, nIneq);

  const RunArrays run{Vec<double>(storage.GRADOB, n),
                      Vec<double>(storage.GRADLO, n),
                      Vec<double>(storage.GRADL, n),
                      Vec<double>(storage.XLAG, n),
                      Mat<double>(storage.HESSIAN, n, n),
                      Vec<double>(storage.DVOLD, n),
                      Vec<double>(storage.DVDEL, n),
                      Vec<double>(storage.GRADEL, n),
                      Vec<double>(storage.SDIR, n),
                      Vec<int>(storage.MGRGIN, nIneq),
                      Vec<int>(storage.MBNDIN, bindingListLength(nIneq, n)),
                      Vec<int>(storage.MBNDEQ, nEq),
                      Vec<int>(storage.LISDF, NDF),
                      Vec<int>(storage.IACT, n)};
  runMainIteration(ctx, problem, run, resultCode);
}

}  // namespace korvex::grg

extern "C" KORVEX_API void GRGALG(const int* maxIter, const int* NDV, double* DV, double* DVLB, double* DVUB,
                                  const int* NDF, double* DF, const int* objIndex, const int* nEq, int* eqList,
                                  const int* nIneq, int* ineqList, int* resultCode, double* GRADOB, double* GRADLO,
                                  double* GRADL, double* XLAG, double* HESSIAN, double* DVOLD, double* DVDEL,
                                  double* GRADEL, double* SDIR, int* MGRGIN, int* MBNDIN, int* MBNDEQ, int* LISDF,
                                  int* IACT) {
  const korvex::grg::RunStorage storage{GRADOB, GRADLO, GRADL,  XLAG,   HESSIAN, DVOLD, DVDEL,
                                        GRADEL, SDIR,   MGRGIN, MBNDIN, MBNDEQ,  LISDF, IACT};
  korvex::grg::runMainIteration(korvex::defaultContext(), *maxIter, *NDV, DV, DVLB, DVUB, *NDF, DF, *objIndex, *nEq,
                                eqList, *nIneq, ineqList, storage, *resultCode);
}
