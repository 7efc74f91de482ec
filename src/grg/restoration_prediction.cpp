#include <algorithm>
#include <cmath>

#include "common/message.h"
#include "entry/context.h"
#include "grg/restoration.h"
#include "korvex/routines/grg_search.h"

namespace korvex::grg {

bool crossingStep(Context& ctx, const StepState& state, int f, Vec<const double> bstdf, Vec<const double> df,
                  double& crossing) {
  const double g0 = bstdf(f);
  const double g1 = df(f);
  const Settings& settings = ctx.settings;
  if (!(std::fabs(g1 - g0) >= settings.tinyTol)) {
    if (settings.print > 0) MessageBuffer(ctx.diagnostics).text("ERROR2 IN GRGINT").print();
    return false;
  }
  const double t = (settings.feasTol - g0) / (g1 - g0);
  if (t >= 0.0 && t <= 1.0) {
    crossing = state.stpbst + (state.step - state.stpbst) * t;
    return true;
  }
  if (settings.print > 0) MessageBuffer(ctx.diagnostics).text("ERROR1 IN GRGINT").print();
  return false;
}

void predictDependentVariables(const SearchSet& set, StepState& state) {
  const Settings& settings = set.ctx.settings;
  const double tiny = settings.tinyTol;
  state.stpbnd = settings.bigValue;
  state.idvbnd = 0;
  if (set.nddv <= 0) return;
  Vec<const int> MDDV(set.mddv, set.ndv);
  Vec<const double> DVUB(set.dvub, set.ndv), DVLB(set.dvlb, set.ndv), SDIR(set.sdir, set.ndv);
  Vec<const double> BSTDV(set.bstdv, set.ndv), DVPRV(set.dvprv, set.ndv);
  Vec<double> DV(set.dv, set.ndv);
  const bool tangent = std::fabs(state.stpbst - state.stpprv) <= tiny;
  for (int k = 1; k <= set.nddv; ++k) {
    const int v = MDDV(k);
    double x;
    double h = settings.bigValue;
    if (tangent) {
      const double d = SDIR(v);
      x = BSTDV(v) + d * (state.step - state.stpbst);
      if (d > tiny) {
        h = state.stpbst + (DVUB(v) - BSTDV(v)) / d;
      } else if (d < -tiny) {
        h = state.stpbst + (DVLB(v) - BSTDV(v)) / d;
      }
    } else {
      const double m = (BSTDV(v) - DVPRV(v)) / (state.stpbst - state.stpprv);
      const double c = BSTDV(v) - state.stpbst * m;
      x = m * state.step + c;
      if (m > tiny) {
        h = (DVUB(v) - c) / m;
      } else if (m < -tiny) {
        h = (DVLB(v) - c) / m;
      }
    }
    if (x >= DVUB(v) - tiny) {
      DV(v) = DVUB(v);
    } else if (DVLB(v) + tiny >= x) {
      DV(v) = DVLB(v);
    } else {
      DV(v) = x;
      continue;
    }
    if (h < state.stpbnd) {
      state.stpbnd = h;
      state.idvbnd = v;
    }
  }
}

}  // namespace korvex::grg

using korvex::Vec;
using korvex::grg::SearchSet;
using korvex::grg::StepState;

extern "C" {

KORVEX_API void GRGINT(const double* STPBST, const double* STEP, const int* f, const double* BSTDF, const double* DF,
                       double* crossing, int* IFAIL) {
  StepState state;
  state.stpbst = *STPBST;
  state.step = *STEP;
  // Only entry f of the two vectors is read.
  const Vec<const double> bstdf(BSTDF, *f), df(DF, *f);
  if (!korvex::grg::crossingStep(korvex::defaultContext(), state, *f, bstdf, df, *crossing)) *IFAIL = korvex::kTrue;
}

KORVEX_API void GRGDDV(const int* NDDV, const int* MDDV, const double* DVUB, const double* DVLB, const double* STEP,
                       const double* SDIR, double* DV, const double* BSTDV, const double* DVPRV,
                       const double* STPBST, const double* STPPRV, int* IDVBND, double* STPBND) {
  // NDV is not passed: the views are sized by the largest variable number in MDDV(1..NDDV).
  int ndv = 0;
  for (int k = 0; k < *NDDV; ++k) ndv = std::max(ndv, MDDV[k]);
  SearchSet set(korvex::defaultContext());
  set.ndv = std::max(ndv, *NDDV);
  set.nddv = *NDDV;
  set.mddv = const_cast<int*>(MDDV);
  set.dvub = DVUB;
  set.dvlb = DVLB;
  set.sdir = SDIR;
  set.dv = DV;
  set.bstdv = const_cast<double*>(BSTDV);
  set.dvprv = const_cast<double*>(DVPRV);
  StepState state;
  state.step = *STEP;
  state.stpbst = *STPBST;
  state.stpprv = *STPPRV;
  korvex::grg::predictDependentVariables(set, state);
  *IDVBND = state.idvbnd;
  *STPBND = state.stpbnd;
}

}  // extern "C"
