// Classification of the constraints at the top of a GRG iteration: candidate, binding and satisfied lists, the
// choice of the temporary objective of the feasibility phase, and the cut of the candidate list.
#include <algorithm>
#include <cmath>

#include "entry/context.h"
#include "grg/iteration.h"
#include "korvex/routines/grg_iteration.h"

namespace korvex::grg {
namespace {

// The candidate list is cut only when it is long and the fraction clearly below one.
constexpr int kMinimumInequalitiesForCut = 26;
constexpr double kFractionCutLimit = 0.99;

// The largest violation of one kind and the first function that reaches it (later ones must be strictly larger).
struct WorstViolation {
  double value = 0.0;
  int function = 0;
  void offer(double violation, int j) {
    if (violation > value) {
      value = violation;
      function = j;
    }
  }
};

void negate(Vec<double> DF, int j) { DF(j) = -DF(j); }

// Keeps the previous temporary objective while it is still violated; an equality that overshot zero changes phase
// 2 <-> 3 and its stored value is negated back to positive. Returns false when it is no longer violated.
bool keepTemporaryObjective(double feasTol, Vec<double> DF, int tempObjective, int& IPHASE) {
  if (IPHASE == 1) return DF(tempObjective) > feasTol;
  if (IPHASE != 2 && IPHASE != 3) return false;
  if (std::fabs(DF(tempObjective)) <= feasTol) return false;
  if (DF(tempObjective) < -feasTol) {
    IPHASE = (IPHASE == 2) ? 3 : 2;
    negate(DF, tempObjective);
  }
  return true;
}

// Selection by exchange, decreasing DF: for each position p every later entry with a larger value is swapped in.
void sortByDecreasingValue(Vec<int> list, int count, Vec<double> DF) {
  for (int p = 1; p <= count; ++p) {
    for (int q = p + 1; q <= count; ++q) {
      if (DF(list(q)) > DF(list(p))) {
        const int held = list(p);
        list(p) = list(q);
        list(q) = held;
      }
    }
  }
}

}  // namespace

void classifyConstraints(const Settings& settings, Vec<const int> ineqList, Vec<const int> eqList, Vec<double> DF,
                         ConstraintClasses& out, int& tempObjective, int& IPHASE) {
  const double feasTol = settings.feasTol;

  // Inequalities: inactive below -feasTol, binding within feasTol, violated above.
  int candidates = 0;
  out.NBIN = 0;
  WorstViolation worstInequality;
  for (int k = 1; k <= ineqList.length(); ++k) {
    const int j = ineqList(k);
    const double value = DF(j);
    if (value < -feasTol) {
      out.MGRGIN(++candidates) = j;
    } else if (std::fabs(value) <= feasTol) {
      // More binding inequalities than the list holds (it has room for min(nIneq, NDV)): the extra ones are not
      // listed as binding, so they are not tracked by the line search, but they stay candidates and so remain rows
      // of the direction subproblem. The list is never written past its end.
      if (out.NBIN < out.MBNDIN.length()) out.MBNDIN(++out.NBIN) = j;
      out.MGRGIN(++candidates) = j;
    } else {
      worstInequality.offer(value, j);
    }
  }

  // Equalities: satisfied within feasTol.
  out.NBEQ = 0;
  WorstViolation worstEquality;
  for (int k = 1; k <= eqList.length(); ++k) {
    const int j = eqList(k);
    const double magnitude = std::fabs(DF(j));
    if (magnitude <= feasTol) {
      out.MBNDEQ(++out.NBEQ) = j;
    } else {
      worstEquality.offer(magnitude, j);
    }
  }

  // Temporary objective.
  const double worst = std::max(worstInequality.value, worstEquality.value);
  if (worst == 0.0) {
    if (IPHASE == 3 && tempObjective != 0) negate(DF, tempObjective);
    IPHASE = 0;
  } else if (tempObjective == 0 || !keepTemporaryObjective(feasTol, DF, tempObjective, IPHASE)) {
    if (worstInequality.value > worstEquality.value) {
      tempObjective = worstInequality.function;
      IPHASE = 1;
    } else {
      tempObjective = worstEquality.function;
      if (DF(tempObjective) > 0.0) {
        IPHASE = 2;
      } else {
        IPHASE = 3;
        negate(DF, tempObjective);
      }
    }
  }

  // Cut of the candidate list: binding ones first, then the largest values.
  out.NCAND = candidates;
  const double fraction = settings.constraintFraction;
  if (fraction <= kFractionCutLimit && ineqList.length() >= kMinimumInequalitiesForCut) {
    sortByDecreasingValue(out.MGRGIN, candidates, DF);
    out.NCAND = out.NBIN + static_cast<int>(fraction * static_cast<double>(candidates - out.NBIN));
  }
}

}  // namespace korvex::grg

extern "C" KORVEX_API void GRGCON(const int* nIneq, const int* ineqList, const int* nEq, const int* eqList, double* DF,
                                  int* NCAND, int* MGRGIN, int* NBIN, int* MBNDIN, int* NBEQ, int* MBNDEQ,
                                  int* ITOBJ, int* IPHASE) {
  using korvex::Vec;
  korvex::grg::ConstraintClasses classes{Vec<int>(MGRGIN, *nIneq), Vec<int>(MBNDIN, *nIneq), Vec<int>(MBNDEQ, *nEq)};
  korvex::grg::classifyConstraints(korvex::defaultContext().settings, Vec<const int>(ineqList, *nIneq),
                                   Vec<const int>(eqList, *nEq), Vec<double>(DF, 1 + *nEq + *nIneq), classes, *ITOBJ,
                                   *IPHASE);
  *NCAND = classes.NCAND;
  *NBIN = classes.NBIN;
  *NBEQ = classes.NBEQ;
}
