#include "grg/search_steps.h"

#include <algorithm>
#include <cmath>

#include "common/message.h"
#include "common/print.h"
#include "common/stream.h"
#include "entry/context.h"
#include "korvex/routines/grg_search.h"

namespace korvex::grg {

void trackBindingConstraints(SearchSet& set, int& reseth) {
  const Settings& settings = set.ctx.settings;
  Vec<int> LTRAK(set.ltrak, set.ndf);
  Vec<int> MTRAK(set.mtrak, set.mtrakLength());
  Vec<const int> MBNDIN(set.mbndin, set.nbin);
  Vec<const int> LISDF(set.lisdf, set.ndf);
  Vec<const double> SDIR(set.sdir, set.ndv);
  Mat<const double> GRADD(set.gradd, set.ndv, set.ndf);

  for (int j = 1; j <= set.ndf; ++j) LTRAK(j) = 0;
  set.ntrak = 0;
  for (int k = 1; k <= set.nbin; ++k) {
    const int j = MBNDIN(k);
    // A binding inequality always has a gradient column; should one be missing (LISDF = 0, possible only through a
    // direct call), it is not tracked rather than read from column 0.
    if (LISDF(j) < 1) continue;
    Vec<const double> g = GRADD.column(LISDF(j));
    double p = 0.0;
    for (int i = 1; i <= set.ndv; ++i) p += SDIR(i) * g(i);
    const double gnorm = euclideanNorm(g.sub(1, set.ndv));
    if (gnorm >= settings.tinyTol) p /= gnorm;
    if (p >= kTrackingCosine) {
      if (p >= kOutsideTangentCosine) {
        if (settings.print >= 2) {
          MessageBuffer m(set.ctx.diagnostics);
          m.text("SEARCH DIRECTION OUTSIDE TANGENT").print(33);
          MessageBuffer line(set.ctx.diagnostics);
          line.text("BINDING DF# ").integer(j, 4).blanks(2).text("DOTP=").exponent(p, 14, 5).print(38);
        }
        reseth = kTrue;
      }
      set.ntrak += 1;
      MTRAK(set.ntrak) = j;
      LTRAK(j) = 1;
    }
  }
}

void moveIndependentVariables(const SearchSet& set, const StepState& state, int& endstp) {
  if (set.nidv == 0) return;
  Vec<const int> MIDV(set.midv, set.ndv);
  Vec<const double> DVUB(set.dvub, set.ndv), DVLB(set.dvlb, set.ndv), SDIR(set.sdir, set.ndv);
  Vec<const double> BSTDV(set.bstdv, set.ndv);
  Vec<double> DV(set.dv, set.ndv);
  int clipped = 0;
  for (int k = 1; k <= set.nidv; ++k) {
    const int i = MIDV(k);
    const double x = SDIR(i) * (state.step - state.stpbst) + BSTDV(i);
    if (x > DVUB(i)) {
      DV(i) = DVUB(i);
      ++clipped;
    } else if (x < DVLB(i)) {
      DV(i) = DVLB(i);
      ++clipped;
    } else {
      DV(i) = x;
    }
  }
  if (clipped == set.nidv) endstp = kTrue;
}

double euclideanNorm(Vec<const double> v) {
  double sum = 0.0;
  for (int i = 1; i <= v.length(); ++i) sum += v(i) * v(i);
  return std::sqrt(sum);
}

void registerTrial(int brackt, int k, double objective, double step, Vec<double> objpt, Vec<double> stppt) {
  // K below 0 (possible only through a direct call) is taken as 0, so the pair always lands within the four.
  const int kk = std::min(std::max(k, 0), 3) + 1;
  stppt(kk) = step;
  objpt(kk) = objective;
  for (int i = 1; i <= kk; ++i) {
    for (int j = i + 1; j <= kk; ++j) {
      if (stppt(j) < stppt(i)) {
        std::swap(stppt(i), stppt(j));
        std::swap(objpt(i), objpt(j));
      }
    }
  }
  if (kk < 4) return;
  auto dropFirst = [&] {
    for (int i = 1; i <= 3; ++i) {
      stppt(i) = stppt(i + 1);
      objpt(i) = objpt(i + 1);
    }
  };
  if (!isTrue(brackt)) {
    dropFirst();
    return;
  }
  int m = 1;
  for (int i = 2; i <= 3; ++i) {
    if (objpt(i) < objpt(m)) m = i;
  }
  if (objpt(4) >= objpt(m)) {
    if (m == 3) dropFirst();
    return;
  }
  // The bracket is lost: one line on the standard output, whatever the print level.
  constexpr char kBracketError[] = " ERROR IN BRACKET, GRGS34";
  writeStandardOutputLine(kBracketError, static_cast<int>(sizeof(kBracketError) - 1));
}

double twoPointParabola(Context& ctx, Vec<const double> stppt, Vec<const double> objpt, double slope) {
  const Settings& settings = ctx.settings;
  const double t1 = stppt(1), f1 = objpt(1), t2 = stppt(2), f2 = objpt(2);
  const double dt = t2 - t1;
  // Two pairs at the same step (a restoration can shorten the first trial back to the start) give no curvature:
  // treated like a parabola that does not open upward instead of dividing by zero.
  const double c = dt != 0.0 ? (f2 - f1 - slope * dt) / (dt * dt) : 0.0;
  if (c > settings.tinyTol) {
    const double step = t1 - slope / (2.0 * c);
    return step < 0.0 ? 0.0 : step;
  }
  if (settings.print >= 2) MessageBuffer(ctx.diagnostics).text("C = 0 IN GRGPR2").print();
  return 0.0;
}

void threePointParabola(Context& ctx, Vec<const double> stppt, Vec<const double> objpt, double& step, int& ifail) {
  const Settings& settings = ctx.settings;
  const double t1 = stppt(1), t2 = stppt(2), t3 = stppt(3);
  const double f1 = objpt(1), f2 = objpt(2), f3 = objpt(3);
  const double d = (t2 - t3) * f1 + (t3 - t1) * f2 + (t1 - t2) * f3;
  if (std::fabs(d) < settings.tinyTol) {
    if (settings.print > 0) MessageBuffer(ctx.diagnostics).text("ERROR IN GRGPR3, ZERO DENOM").print();
    ifail = kTrue;
    return;
  }
  step = ((t2 * t2 - t3 * t3) * f1 + (t3 * t3 - t1 * t1) * f2 + (t1 * t1 - t2 * t2) * f3) * 0.5 / d;
}

void growStep(const SearchSet& set, StepState& state, int& slownr) {
  const Settings& settings = set.ctx.settings;
  const double B = settings.bigValue;
  const double tiny = settings.tinyTol;
  const double t = state.step;
  const double delta = state.stpbst - state.stpprv;
  Vec<const double> BSTDF(set.bstdf, set.ndf), DFPRV(set.dfprv, set.ndf);
  Vec<const int> LTRAK(set.ltrak, set.ndf);
  Vec<const int> MGRGIN(set.mgrgin, set.ncand);

  // Where the straight line through the last two best points reaches 0 for function j; B when it does not within
  // the steps beyond t.
  auto zeroOfLine = [&](int j) {
    const double s = (BSTDF(j) - DFPRV(j)) / delta;
    double z = std::fabs(s) > tiny ? -(BSTDF(j) - state.stpbst * s) / s : B;
    if (z <= t) z = B;
    return z;
  };

  // 1. Zero of an equality serving as temporary objective.
  double l1 = B;
  if (set.iphase >= 2) {
    double z = B;
    if (std::fabs(delta) > tiny) z = zeroOfLine(set.itobj);
    l1 = std::min(1.1 * z, z + 0.05);
  }

  // 2. Untracked candidate inequalities reaching 0.
  double l2 = B;
  if (std::fabs(delta) > tiny) {
    double m = B;
    for (int k = 1; k <= set.ncand; ++k) {
      const int j = MGRGIN(k);
      if (LTRAK(j) != 0) continue;
      m = std::min(m, zeroOfLine(j));
    }
    l2 = std::min(1.1 * m, m + 0.05);
  }

  // 3. Dependent variables reaching the bound they move towards.
  double l3 = B;
  if (set.nddv > 0) {
    Vec<const int> MDDV(set.mddv, set.ndv);
    Vec<const double> BSTDV(set.bstdv, set.ndv), DVPRV(set.dvprv, set.ndv);
    Vec<const double> DVLB(set.dvlb, set.ndv), DVUB(set.dvub, set.ndv), SDIR(set.sdir, set.ndv);
    double m = B;
    for (int k = 1; k <= set.nddv; ++k) {
      const int i = MDDV(k);
      double z = B;
      if (std::fabs(delta) <= tiny) {
        const double d = SDIR(i);
        if (d > tiny) {
          z = state.stpbst + (DVUB(i) - BSTDV(i)) / d;
        } else if (d < -tiny) {
          z = state.stpbst + (DVLB(i) - BSTDV(i)) / d;
        }
      } else {
        const double s = (BSTDV(i) - DVPRV(i)) / delta;
        const double x0 = BSTDV(i) - state.stpbst * s;
        if (s > tiny) {
          z = (DVUB(i) - x0) / s;
        } else if (s < -tiny) {
          z = (DVLB(i) - x0) / s;
        }
      }
      m = std::min(m, z);
    }
    l3 = std::min(1.02 * m, m + 0.01);
  }

  // 4. Growth, slower with basis functions and slower still once a restoration needed many corrections.
  if (settings.nNRIter > 2) slownr = kTrue;
  double l4;
  if (set.ntrak == 0 && set.nbeq == 0) {
    l4 = std::min(3.0 * t, t + 0.4);
  } else if (isTrue(slownr)) {
    l4 = std::min(2.0 * t, t + 0.15);
  } else {
    l4 = std::min(2.0 * t, t + 0.25);
  }

  state.step = std::min(std::min(l1, l2), std::min(l3, l4));
}

}  // namespace korvex::grg

using korvex::Vec;
using korvex::grg::SearchSet;
using korvex::grg::StepState;

extern "C" {

KORVEX_API void GRGTRK(int* RESETH, const int* NDF, const int* NBIN, const int* MBNDIN, const int* NDV,
                       const double* SDIR, const int* LISDF, const double* GRADD, int* NTRAK, int* MTRAK, int* LTRAK) {
  SearchSet set(korvex::defaultContext());
  set.ndf = *NDF;
  set.nbin = *NBIN;
  set.mbndin = MBNDIN;
  set.ndv = *NDV;
  set.sdir = SDIR;
  set.lisdf = LISDF;
  set.gradd = GRADD;
  set.mtrak = MTRAK;
  set.ltrak = LTRAK;
  korvex::grg::trackBindingConstraints(set, *RESETH);
  *NTRAK = set.ntrak;
}

KORVEX_API void GRGIDV(const int* NIDV, const int* MIDV, const double* DVUB, const double* DVLB, const double* STEP,
                       const double* SDIR, double* DV, const double* BSTDV, const double* STPBST, int* ENDSTP) {
  // The views need a length: the largest variable number named in MIDV bounds every access.
  int n = 0;
  for (int k = 0; k < *NIDV; ++k) n = std::max(n, MIDV[k]);
  SearchSet set(korvex::defaultContext());
  set.ndv = std::max(n, *NIDV);
  set.nidv = *NIDV;
  set.midv = const_cast<int*>(MIDV);
  set.dvub = DVUB;
  set.dvlb = DVLB;
  set.sdir = SDIR;
  set.dv = DV;
  set.bstdv = const_cast<double*>(BSTDV);
  StepState state;
  state.step = *STEP;
  state.stpbst = *STPBST;
  korvex::grg::moveIndependentVariables(set, state, *ENDSTP);
}

KORVEX_API void GRGCOP(const int* NDV, const double* DV, const int* NDF, const double* DF, double* BSTDV,
                       double* BSTDF) {
  std::copy(DV, DV + std::max(*NDV, 0), BSTDV);
  std::copy(DF, DF + std::max(*NDF, 0), BSTDF);
}

KORVEX_API double GRGNRM(const int* N, const double* V) { return korvex::grg::euclideanNorm(Vec<const double>(V, *N)); }

KORVEX_API void GRGS34(const int* BRACKT, const int* K, const double* obj, const double* step, double* OBJPT,
                       double* STPPT) {
  korvex::grg::registerTrial(*BRACKT, *K, *obj, *step, Vec<double>(OBJPT, 4), Vec<double>(STPPT, 4));
}

KORVEX_API void GRGPR2(const double* STPPT, const double* OBJPT, const int* NDV, const double* GRADOB,
                       const double* SDIR, double* step) {
  double slope = 0.0;
  for (int i = 0; i < *NDV; ++i) slope += SDIR[i] * GRADOB[i];
  *step = korvex::grg::twoPointParabola(korvex::defaultContext(), Vec<const double>(STPPT, 2),
                                        Vec<const double>(OBJPT, 2), slope);
}

KORVEX_API void GRGPR3(const double* STPPT, const double* OBJPT, double* step, int* IFAIL) {
  korvex::grg::threePointParabola(korvex::defaultContext(), Vec<const double>(STPPT, 3), Vec<const double>(OBJPT, 3),
                                  *step, *IFAIL);
}

KORVEX_API void GRGSTP(const int* IPHASE, const int* ITOBJ, int* SLOWNR, const int* NTRAK, const int* NBEQ,
                       const int* LTRAK, const int* NCAND, const int* MGRGIN, const int* NDDV, const int* MDDV,
                       const double* BSTDV, const double* DVPRV, const double* BSTDF, const double* DFPRV,
                       const double* STPBST, const double* STPPRV, const double* DVLB, const double* DVUB,
                       const double* SDIR, double* STEP) {
  // Neither NDV nor NDF is passed: the views are sized by the largest variable and function numbers named.
  int ndv = 0;
  for (int k = 0; k < *NDDV; ++k) ndv = std::max(ndv, MDDV[k]);
  int ndf = *IPHASE >= 2 ? *ITOBJ : 0;
  for (int k = 0; k < *NCAND; ++k) ndf = std::max(ndf, MGRGIN[k]);
  SearchSet set(korvex::defaultContext());
  set.iphase = *IPHASE;
  set.itobj = *ITOBJ;
  set.ntrak = *NTRAK;
  set.nbeq = *NBEQ;
  set.ltrak = const_cast<int*>(LTRAK);
  set.ncand = *NCAND;
  set.mgrgin = MGRGIN;
  set.nddv = *NDDV;
  set.mddv = const_cast<int*>(MDDV);
  set.ndv = std::max(ndv, *NDDV);
  set.ndf = ndf;
  set.bstdv = const_cast<double*>(BSTDV);
  set.dvprv = const_cast<double*>(DVPRV);
  set.bstdf = const_cast<double*>(BSTDF);
  set.dfprv = const_cast<double*>(DFPRV);
  set.dvlb = DVLB;
  set.dvub = DVUB;
  set.sdir = SDIR;
  StepState state;
  state.step = *STEP;
  state.stpbst = *STPBST;
  state.stpprv = *STPPRV;
  korvex::grg::growStep(set, state, *SLOWNR);
  *STEP = state.step;
}

}  // extern "C"
