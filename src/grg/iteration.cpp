// The GRG main iteration. Each iteration classifies the constraints at the current point; while some constraint is
// violated the worst one serves as temporary objective (feasibility phase), otherwise the real objective is
// minimised. A direction from the quadratic subproblem, a convergence test on its directional derivative, a line
// search along it, and a test on the change of the objective over the last two line searches follow.
#include <cmath>

#include "common/message.h"
#include "common/pool.h"
#include "common/print.h"
#include "entry/settings.h"
#include "grg/direction.h"
#include "grg/iteration.h"
#include "grg/working_set.h"
#include "korvex/korvex.h"
#include "korvex/routines/grg_iteration.h"
#include "korvex/routines/grg_search.h"

namespace korvex::grg {
namespace {

constexpr int kConvergedDerivative = 1;
constexpr int kNoStep = 2;
constexpr int kConvergedObjective = 3;
constexpr int kInfeasible = 4;
constexpr int kInfeasibleStalled = 5;
constexpr int kIterationLimit = 6;
constexpr int kStopped = 12;

// State of the main iteration beyond the working set.
struct IterationState {
  int iteration = 1;
  int tempObjective = 0;         // violated constraint minimised in the feasibility phase, 0 for none
  int lastTempObjective = 0;     // temporary objective of the latest earlier feasibility iteration
  int previousLastTemp = 0;      // lastTempObjective as it was before this iteration (objective test)
  double f1 = 0.0;               // DF(ITOBJ) after the latest line search
  double f2 = 0.0;               // ... and after the one before
};

void printHeading(const Problem& p, int iteration) {
  MessageBuffer().blanks(1).print();
  MessageBuffer().text("BEGINNING ITERATION ").integer(iteration, 4).print(24);
  printDoubleVector(p.NDV, p.DV.data(), "DV");
  printDoubleVector(p.NDF, p.DF.data(), "DF");
  MessageBuffer().text("NO. ANALYSIS CALLS ").integer(settings.nFunEval, 4).print(23);
}

// Phase bookkeeping after the classification: the current objective, Hessian resets on a change of objective.
void choosePhase(const Problem& p, const RunArrays& run, WorkingSet& ws, IterationState& st) {
  if (ws.IPHASE == 0) {
    ws.ITOBJ = p.objIndex;
    if (st.tempObjective != 0) {
      st.tempObjective = 0;
      ws.RESETH = kTrue;
      if (settings.print > 0) {
        MessageBuffer().text("FEASIBLE POINT FOUND, BEGINNING OPTIMIZATION OF").text(" PROBLEM").print(55);
      }
    }
    return;
  }
  ws.ITOBJ = st.tempObjective;
  if (st.tempObjective != st.lastTempObjective) ws.RESETH = kTrue;
  st.previousLastTemp = st.lastTempObjective;
  st.lastTempObjective = st.tempObjective;
  if (settings.print > 0) {
    MessageBuffer().text("SEARCHING FOR FEASIBLE STARTING POINT").print(37);
    MessageBuffer().text("TEMPORARY OBJECTIVE IS FUNCTION ").integer(ws.ITOBJ, 3).print(36);
  }
  if (settings.print >= 3) printIntVector(ws.NCAND, run.MGRGIN.data(), "MGRGIN FOR INFEASIBLE");
}

double dot(int n, Vec<double> a, Vec<double> b) {
  double sum = 0.0;
  for (int i = 1; i <= n; ++i) sum += a(i) * b(i);
  return sum;
}

// One line search from DV along SDIR, with the line-search arrays carved exactly as its storage front end does.
void lineSearch(const Problem& p, const RunArrays& run, WorkingSet& ws, int gradientBase, int& resultCode) {
  GRSSTE(&ws.IPHASE, &ws.RESETH, &ws.SLEN, &p.nIneq, p.ineqList.data(), &ws.NCAND, run.MGRGIN.data(), &ws.NBEQ,
         run.MBNDEQ.data(), &ws.NBIN, run.MBNDIN.data(), &ws.ITOBJ, &p.NDV, p.DV.data(), p.DVUB.data(),
         p.DVLB.data(), &p.NDF, p.DF.data(), run.LISDF.data(), gradientMatrix(gradientBase, p.NDV, ws.NCOL).data(),
         run.GRADOB.data(), run.SDIR.data(), &resultCode);
}

}  // namespace

// The main iteration; returns with resultCode set, or through errorFlag with the pool top left to the front end.
void runMainIteration(const Problem& p, const RunArrays& run, int& resultCode) {
  if (p.maxIter < 1) {
    resultCode = kIterationLimit;
    return;
  }
  resultCode = 0;
  WorkingSet ws;
  IterationState st;
  st.f1 = settings.bigValue;
  st.f2 = -settings.bigValue;
  const int T0 = settings.dblPoolTop;  // GRADD always starts at T0 + 1
  // Every normal return gives the double pool back down to T0.
  auto finish = [T0](int& code, int value) {
    code = value;
    PoolFrame::setDoubleTop(T0);
  };

  for (;;) {
    settings.nIter = st.iteration;
    if (stopRequested()) return finish(resultCode, kStopped);
    if (settings.print > 0) printHeading(p, st.iteration);

    ConstraintClasses classes{run.MGRGIN, run.MBNDIN, run.MBNDEQ};
    classifyConstraints(Vec<const int>(p.ineqList.data(), p.nIneq), Vec<const int>(p.eqList.data(), p.nEq), p.DF,
                        classes, st.tempObjective, ws.IPHASE);
    ws.NCAND = classes.NCAND;
    ws.NBIN = classes.NBIN;
    ws.NBEQ = classes.NBEQ;
    ws.NCOL = ws.NCAND + ws.NBEQ + 1;
    choosePhase(p, run, ws, st);

    if (!directionStep(p, run, ws, T0, resultCode)) {
      if (settings.errorFlag != 0) return;
      return finish(resultCode, resultCode);
    }

    ws.SLEN = std::sqrt(dot(p.NDV, run.SDIR, run.SDIR));
    const double derivative = dot(p.NDV, run.SDIR, run.GRADOB);
    if (settings.print >= 2) {
      MessageBuffer()
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
    if (settings.print >= 2) printDoubleVector(p.NDV, run.SDIR.data(), "SEARCH DIRECTION");

    lineSearch(p, run, ws, T0, resultCode);
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
    PoolFrame::setDoubleTop(T0 + p.NDV * ws.NCOL + 1);
  }
}

}  // namespace korvex::grg

extern "C" KORVEX_API void GRGALG(const int* maxIter, const int* NDV, double* DV, double* DVLB, double* DVUB,
                                  const int* NDF, double* DF, const int* objIndex, const int* nEq, int* eqList,
                                  const int* nIneq, int* ineqList, int* resultCode, double* GRADOB, double* GRADLO,
                                  double* GRADL, double* XLAG, double* HESSIAN, double* DVOLD, double* DVDEL,
                                  double* GRADEL, double* SDIR, int* MGRGIN, int* MBNDIN, int* MBNDEQ, int* LISDF,
                                  int* IACT) {
  using korvex::Mat;
  using korvex::Vec;
  const int n = *NDV;
  korvex::grg::Problem problem;
  problem.maxIter = *maxIter;
  problem.NDV = n;
  problem.NDF = *NDF;
  problem.objIndex = *objIndex;
  problem.nEq = *nEq;
  problem.nIneq = *nIneq;
  problem.DV = Vec<double>(DV, n);
  problem.DVLB = Vec<double>(DVLB, n);
  problem.DVUB = Vec<double>(DVUB, n);
  problem.DF = Vec<double>(DF, *NDF);
  problem.eqList = Vec<int>(eqList, *nEq);
  problem.ineqList = Vec<int>(ineqList, *nIneq);

  const korvex::grg::RunArrays run{Vec<double>(GRADOB, n),
                                   Vec<double>(GRADLO, n),
                                   Vec<double>(GRADL, n),
                                   Vec<double>(XLAG, n),
                                   Mat<double>(HESSIAN, n, n),
                                   Vec<double>(DVOLD, n),
                                   Vec<double>(DVDEL, n),
                                   Vec<double>(GRADEL, n),
                                   Vec<double>(SDIR, n),
                                   Vec<int>(MGRGIN, *nIneq),
                                   Vec<int>(MBNDIN, korvex::grg::bindingListLength(*nIneq, n)),
                                   Vec<int>(MBNDEQ, *nEq),
                                   Vec<int>(LISDF, *NDF),
                                   Vec<int>(IACT, n)};
  korvex::grg::runMainIteration(problem, run, *resultCode);
}
