// The SQP iteration: at each iterate linearise the constraints, update the quasi-Newton Hessian of the Lagrangian,
// solve the QP subproblem for a search vector and multipliers, test convergence, and move along the search vector
// with the merit-function line search.
#include <cmath>

#include "common/logical.h"
#include "common/message.h"
#include "common/print.h"
#include "derivatives/gradients.h"
#include "entry/context.h"
#include "korvex/korvex.h"
#include "korvex/routines/sqp.h"
#include "qp/kernels.h"
#include "sqp/hessian_lagrangian.h"
#include "sqp/sqp_internal.h"

namespace korvex::sqp {
namespace {

constexpr int kConverged = KVW_SQP_CONVERGED;
constexpr int kIterationLimit = KVW_SQP_ITERATION_LIMIT;
constexpr int kQpInfeasible = KVW_SQP_QP_INFEASIBLE;
constexpr int kQpNotConvex = KVW_SQP_QP_NOT_CONVEX;
constexpr int kQpFailed = KVW_SQP_QP_FAILED;
constexpr int kStopped = KVW_SQP_STOPPED;
constexpr int kMeritStalled = KVW_SQP_MERIT_STALLED;
constexpr int kNotFinite = KVW_NON_FINITE_ANALYSIS;

void printConstant(Context& ctx, std::string_view text) { ctx.messageText.clear().text(text).print(); }

// Column map of the gradients: inequality k -> column k, equality k -> column nIneq + k, objective -> column m.
// Function numbers outside 1..m (never built by the driver) are skipped rather than written beyond the map.
void buildColumnMap(const Problem& p, Vec<int> icol, Vec<int> ineqList, Vec<int> eqList) {
  for (int j = 1; j <= p.m; ++j) icol(j) = 0;
  auto place = [&](int number, int column) {
    if (number >= 1 && number <= p.m) icol(number) = column;
  };
  for (int k = 1; k <= p.nIneq; ++k) place(ineqList(k), k);
  for (int k = 1; k <= p.nEq; ++k) place(eqList(k), p.nIneq + k);
  place(p.objIndex, p.m);
}

// True when some equality exceeds feasTol in magnitude or some inequality exceeds feasTol (values from f).
bool infeasible(const MeritSearch& s, double feasTol) {
  auto value = [&](int number) { return (number >= 1 && number <= s.f.length()) ? s.f(number) : 0.0; };
  for (int k = 1; k <= s.nEq; ++k) {
    if (std::fabs(value(s.eqList(k))) > feasTol) return true;
  }
  for (int k = 1; k <= s.nIneq; ++k) {
    if (value(s.ineqList(k)) > feasTol) return true;
  }
  return false;
}

}  // namespace

int iterate(Context& ctx, const Problem& p, const Arrays& a, int& kRows) {
  Settings& settings = ctx.settings;
  DiagnosticStream& out = ctx.diagnostics;
  const int n = p.n;
  const int m = p.m;
  const int nCon = p.nIneq + p.nEq;
  const int kTotal = nCon + 2 * n;

  Vec<double> x(p.x, n), f(p.f, m);
  Vec<double> rowMult(a.rowMult, kTotal), xmu(a.xmu, kTotal), prevRowMult(a.prevRowMult, kTotal);
  Mat<double> gradd(a.gradd, n, m);
  Vec<double> conValues(a.conValues, nCon);
  Vec<double> d(a.d, n), gobj(a.gobj, n), gradLNew(a.gradLNew, n), gradLOld(a.gradLOld, n), gradel(a.gradel, n);
  Vec<double> basePoint(a.basePoint, n), prevPoint(a.prevPoint, n), dvdel(a.dvdel, n);
  Vec<double> upperStep(a.upperStep, n), lowerStep(a.lowerStep, n), xlag(a.xlag, n);
  Vec<int> iact(a.iact, kTotal), icol(a.icol, m), itype(a.itype, n);
  Vec<int> ineqList(p.ineqList, p.nIneq), eqList(p.eqList, p.nEq);
  Vec<double> lower(p.lower, n), upper(p.upper, n);

  MeritSearch search;
  search.n = n;
  search.nIneq = p.nIneq;
  search.nEq = p.nEq;
  search.objIndex = p.objIndex;
  search.x = x;
  search.basePoint = basePoint;
  search.d = d;
  search.gradd = gradd;
  search.conValues = conValues;
  search.rowMult = rowMult;
  search.xmu = xmu;
  search.lower = lower;
  search.upper = upper;
  search.f = f;
  search.ineqList = ineqList;
  search.eqList = eqList;

  kRows = kTotal;
  if (!evaluateAtScaledPoint(ctx, n, p.x, p.f)) return kNotFinite;  // the start point
  acceptLatestPoint(ctx.bridge);
  if (settings.print >= 3) {
    printDoubleVector(out, n, p.x, "Starting Variable Values");
    printDoubleVector(out, m, p.f, "Starting Function Values");
  }
  for (int k = 1; k <= kTotal; ++k) {
    rowMult(k) = 0.0;
    xmu(k) = kInitialPenaltyWeight;
  }
  buildColumnMap(p, icol, ineqList, eqList);
  refreshConstraintValues(search);
  // The step and gradient change are printed before the first update exists; they start as zeros rather than
  // whatever an earlier user of the pool left there.
  for (int i = 1; i <= n; ++i) {
    dvdel(i) = 0.0;
    gradel(i) = 0.0;
  }
  int resetHessian = 0;
  int nact = 0;
  search.meritPrev1 = settings.bigValue;
  search.meritPrev2 = -settings.bigValue;

  for (int it = 1; it <= p.maxIter; ++it) {
    settings.nIter = it;
    if (ctx.stopRequested()) return kStopped;
    if (reportIteration(ctx, it, n, p.x, p.f, m, 0)) return kStopped;
    for (int i = 1; i <= n; ++i) basePoint(i) = x(i);

    if (it == 1 || resetHessian == 1) {
      sqpGradients(ctx, n, m, p.x, p.f, a.icol, a.gobj, a.gradd);
      if (!latestAnalysisFinite(ctx.bridge)) return kNotFinite;  // at a difference point
      initialiseHessian(n, a.gobj, a.hessian);
      resetHessian = 0;
    } else {
      int missing = 0;
      lagrangianGradient(n, p.nIneq, p.ineqList, p.nEq, p.eqList, a.icol, a.iact, nact, a.xlag, a.gobj, a.gradd,
                         a.gradLOld, missing);
      sqpGradients(ctx, n, m, p.x, p.f, a.icol, a.gobj, a.gradd);
      if (!latestAnalysisFinite(ctx.bridge)) return kNotFinite;
      lagrangianGradient(n, p.nIneq, p.ineqList, p.nEq, p.eqList, a.icol, a.iact, nact, a.xlag, a.gobj, a.gradd,
                         a.gradLNew, missing);
      for (int i = 1; i <= n; ++i) {
        dvdel(i) = x(i) - prevPoint(i);
        gradel(i) = gradLNew(i) - gradLOld(i);
      }
      // B comes from initialiseHessian (every run starts there) and these updates only: it is symmetric.
      dampedBfgsUpdate(n, a.dvdel, a.gradel, a.hessian, a.work17, a.work15, a.work16, true);
    }
    if (settings.print >= 3) {
      printDoubleVector(out, n, a.dvdel, "Dvdel");
      printDoubleVector(out, n, a.gradel, "Gradel");
      printDoubleMatrix(out, n, n, m, a.gradd, "Gradd: Ineqs First, Then Eqs, Then Obj");
      printDoubleMatrix(out, n, n, n, a.hessian, "Hessian");
    }
    for (int i = 1; i <= n; ++i) prevPoint(i) = x(i);

    // The QP in the step d: minimise Gobj.d + d'Bd/2 subject to c + grad(c).d <= 0 (inequalities), = 0
    // (equalities) and lower - x <= d <= upper - x.
    for (int k = 1; k <= nCon; ++k) conValues(k) = -conValues(k);
    for (int i = 1; i <= n; ++i) {
      itype(i) = 1;
      upperStep(i) = upper(i) - x(i);
      lowerStep(i) = lower(i) - x(i);
    }
    int infeas = 0, ihess = 0, ierr = 0;
    auto solve = [&](int nc, int nineq) {
      const qp::Problem problem{n, nc, nineq, a.gradd, n, a.conValues, a.hessian, n, a.gobj, a.itype, a.lowerStep,
                                a.upperStep};
      qp::solveQp(ctx, problem, qp::Solution{a.d, a.xlag, a.iact, nact, infeas, ihess, ierr});
    };
    solve(nCon, p.nIneq);

    if (isTrue(infeas)) {
      // Reformulation: add the gradient of the quadratic penalty sum xmu*c^2 over the violated inequalities and all
      // equalities to the objective gradient and keep only the step bounds. The values are negated at this point.
      for (int i = 1; i <= n; ++i) {
        for (int k = 1; k <= nCon; ++k) {
          const double c = -conValues(k);
          if ((k <= p.nIneq && c > 0.0) || k > p.nIneq) gobj(i) += 2.0 * xmu(k) * gradd(i, k) * c;
        }
      }
      resetHessian = 1;
      if (settings.print >= 2) {
        printConstant(ctx, "No solution to QP problem, Reformulating");
        printDoubleVector(out, n, a.gobj, "Gobj");
      }
      solve(0, 0);
    }
    if (isTrue(ihess)) {
      initialiseHessian(n, a.gobj, a.hessian);
      if (settings.print >= 2) printConstant(ctx, "Hessian not pos. def. Reinitializing");
      solve(nCon, p.nIneq);
    }
    if (isTrue(infeas)) return kQpInfeasible;
    if (isTrue(ihess)) return kQpNotConvex;
    if (isTrue(ierr)) return kQpFailed;

    for (int k = 1; k <= nCon; ++k) conValues(k) = -conValues(k);
    if (settings.print >= 2) printDoubleVector(out, n, a.d, "Search Direction");

    double lengthSquared = 0.0;
    for (int i = 1; i <= n; ++i) lengthSquared += d(i) * d(i);
    const double length = std::sqrt(lengthSquared);
    if (length > settings.maxSearchLength) {
      for (int i = 1; i <= n; ++i) d(i) = d(i) * settings.maxSearchLength / length;
      if (settings.print >= 2) printConstant(ctx, "Clipping Search Vector");
    }

    for (int k = 1; k <= kTotal; ++k) {
      prevRowMult(k) = rowMult(k);
      rowMult(k) = 0.0;
    }
    // The solver reports at most n active rows, each numbered within the K rows; a row outside them (impossible
    // from the solver) is not stored.
    for (int k = 1; k <= nact && k <= n; ++k) {
      const int row = iact(k);
      if (row >= 1 && row <= kTotal) rowMult(row) = xlag(k);
    }
    if (settings.print >= 3) printDoubleVector(out, kTotal, a.rowMult, "Lagrange Multipliers");

    double dderiv = 0.0;
    for (int i = 1; i <= n; ++i) dderiv += gobj(i) * d(i);
    const int istopp = infeasible(search, settings.feasTol) ? 1 : 0;
    if (settings.print >= 3) {
      ctx.messageText.clear().text(" Dderiv= ").exponent(dderiv, 13, 4).blanks(5).text("Istopp=").integer(istopp, 3)
          .print(37);
    }
    if (istopp != 1 && dderiv >= -settings.feasTol) {
      if (!evaluateAtScaledPoint(ctx, n, p.x, p.f)) return kNotFinite;
      acceptLatestPoint(ctx.bridge);
      return kConverged;
    }

    search.dderiv = dderiv;
    switch (meritLineSearch(ctx, search)) {
      case SearchOutcome::MeritStalled: return kMeritStalled;
      case SearchOutcome::NotFinite: return kNotFinite;
      case SearchOutcome::Failed: resetHessian = 1; break;
      case SearchOutcome::Accepted: break;
    }
  }
  return kIterationLimit;
}

}  // namespace korvex::sqp

extern "C" KORVEX_API void SQPALG(const int* maxIter, const int* n, double* x, const int* maxFunctions, double* f,
                                  const int* objIndex, const int* nIneq, int* ineqList, const int* nEq, int* eqList,
                                  int* K, double* rowMult, double* xmu, double* prevRowMult, double* Gradd,
                                  double* conValues, double* B, double* d, double* Gobj, double* gradLNew,
                                  double* gradLOld, double* Gradel, double* basePoint, double* prevPoint,
                                  double* Dvdel, double* work15, double* work16, double* work17, double* upperStep,
                                  double* lowerStep, double* XLAG, int* IACT, int* ICOL, int* ITYPE, double* lower,
                                  double* upper, int* resultCode) {
  const korvex::sqp::Problem problem{*maxIter, *n,     x,        *maxFunctions, f,     *objIndex,
                                     *nIneq,   ineqList, *nEq, eqList,        lower, upper};
  const korvex::sqp::Arrays arrays{rowMult, xmu,      prevRowMult, Gradd,  conValues, B,         d,         Gobj,
                                   gradLNew, gradLOld, Gradel,      basePoint, prevPoint, Dvdel,  work15,
                                   work16,   work17,   upperStep,   lowerStep, XLAG,      IACT,   ICOL,      ITYPE};
  *resultCode = korvex::sqp::iterate(korvex::defaultContext(), problem, arrays, *K);
}
