// The exact-penalty (L1) merit function of the SQP method and its line search: penalty weights follow the QP
// multipliers, the merit at the base point ends the run when it has stopped changing, and trial steps along the
// search vector are shortened by safeguarded quadratic interpolation until the merit does not grow.
#include <algorithm>
#include <cmath>

#include "common/message.h"
#include "common/print.h"
#include "entry/context.h"
#include "korvex/routines/sqp.h"
#include "sqp/sqp_internal.h"

namespace korvex::sqp {
namespace {

constexpr int kMaxTrials = 5;
constexpr double kShrinkLimit = 0.9;
constexpr double kSmallStepTest = double(0.1f);
constexpr double kSmallStepFactor = 0.1;

// f(j) for a function number from a list; outside the function vector 0 (no read beyond it).
double functionValue(const Vec<double>& f, int number) {
  return (number >= 1 && number <= f.length()) ? f(number) : 0.0;
}

// slope plus xmu(k + q) times column k + q of gradd dotted with d, for q = 0..Count-1 in turn: the Count dots are
// formed side by side, each summed in increasing i.
template <int Count>
double addSlopes(const MeritSearch& s, int k, double slope) {
  double dots[Count] = {};
  for (int i = 1; i <= s.n; ++i) {
    const double di = s.d(i);
    for (int q = 0; q < Count; ++q) dots[q] += s.gradd(i, k + q) * di;
  }
  for (int q = 0; q < Count; ++q) slope += s.xmu(k + q) * dots[q];
  return slope;
}

void printStepLine(MessageBuffer& messageText, double alpha, double merit) {
  messageText.clear()
      .text(" Step Length=")
      .exponent(alpha, 13, 4)
      .blanks(5)
      .text("Penalty=")
      .exponent(merit, 13, 4)
      .print(52);
}

void printFailedTrialLine(MessageBuffer& messageText, double alpha) {
  messageText.clear().text(" Step Length=").exponent(alpha, 13, 4).blanks(5).text("Analysis not finite").print();
}

void printInterpolationLine(MessageBuffer& messageText, double pender, double astar) {
  messageText.clear().text(" Pender= ").exponent(pender, 14, 4).text(" Astar= ").exponent(astar, 14, 4).print(75);
}

}  // namespace

double interpolateStep(double a, double b, double fa, double fb, double slope, double tinyTol) {
  const double span = a - b;
  const double c = (fb - fa + span * slope) / (span * span);
  if (std::fabs(c) <= tinyTol) return 0.0;
  double t = a - slope / (2.0 * c);
  if (t < 0.0) t = 0.0;
  if (t > b) t = b;
  return t;
}

void refreshConstraintValues(const MeritSearch& s) {
  for (int k = 1; k <= s.nIneq; ++k) s.conValues(k) = functionValue(s.f, s.ineqList(k));
  for (int k = 1; k <= s.nEq; ++k) s.conValues(s.nIneq + k) = functionValue(s.f, s.eqList(k));
}

void updatePenaltyWeights(const MeritSearch& s) {
  for (int k = 1; k <= s.nCon(); ++k) {
    const double lambda = std::fabs(s.rowMult(k));
    s.xmu(k) = std::max(lambda, (s.xmu(k) + lambda) * 0.5);
  }
}

double meritValue(const MeritSearch& s) {
  double merit = functionValue(s.f, s.objIndex);
  for (int k = 1; k <= s.nIneq; ++k) merit += s.xmu(k) * std::max(0.0, s.conValues(k));
  for (int k = s.nIneq + 1; k <= s.nCon(); ++k) merit += s.xmu(k) * std::fabs(s.conValues(k));
  return merit;
}

double meritSlope(const MeritSearch& s) {
  double slope = s.dderiv;
  for (int k = 1; k <= s.nIneq; ++k) {
    if (s.conValues(k) > 0.0) slope = addSlopes<1>(s, k, slope);
  }
  // The equalities add their full directional derivative whatever the sign of their value (eight derivatives formed
  // at a time, then four, then one).
  int k = s.nIneq + 1;
  for (; k + 7 <= s.nCon(); k += 8) slope = addSlopes<8>(s, k, slope);
  for (; k + 3 <= s.nCon(); k += 4) slope = addSlopes<4>(s, k, slope);
  for (; k <= s.nCon(); ++k) slope = addSlopes<1>(s, k, slope);
  return slope;
}

SearchOutcome meritLineSearch(Context& ctx, MeritSearch& s) {
  const Settings& settings = ctx.settings;
  MessageBuffer& messageText = ctx.messageText;
  DiagnosticStream& out = ctx.diagnostics;
  updatePenaltyWeights(s);
  const double merit0 = meritValue(s);
  const double pender = meritSlope(s);

  if (std::fabs(merit0 - s.meritPrev2) < settings.feasTol && std::fabs(merit0 - s.meritPrev1) < settings.feasTol) {
    if (settings.print >= 3) messageText.clear().text("TERMINATE: PENALTY NOT CHANGING").print();
    return SearchOutcome::MeritStalled;
  }
  s.meritPrev2 = s.meritPrev1;
  s.meritPrev1 = merit0;

  if (settings.print >= 2) messageText.clear().text(" Initial Penalty=").exponent(merit0, 15, 4).print(32);

  double alpha = 1.0;
  bool lastTrialFinite = true;
  for (int trial = 1; trial <= kMaxTrials; ++trial) {
    for (int i = 1; i <= s.n; ++i) {
      s.x(i) = std::min(s.upper(i), std::max(s.lower(i), s.basePoint(i) + alpha * s.d(i)));
    }
    lastTrialFinite = evaluateAtScaledPoint(ctx, s.n, s.x.data(), s.f.data());
    if (!lastTrialFinite) {
      // A failed trial is shortened as one whose merit is infinite: the interpolated step is 0, below a tenth.
      if (settings.print >= 2) printFailedTrialLine(messageText, alpha);
      alpha = kSmallStepFactor * alpha;
      continue;
    }
    refreshConstraintValues(s);
    if (settings.print >= 3) {
      printDoubleVector(out, s.n, s.x.data(), "Variable Values");
      printDoubleVector(out, s.f.length(), s.f.data(), "Function Values");
    }
    const double merit = meritValue(s);
    if (settings.print >= 2) printStepLine(messageText, alpha, merit);
    if (merit <= merit0) {
      acceptLatestPoint(ctx.bridge);
      return SearchOutcome::Accepted;
    }

    const double astar = interpolateStep(0.0, alpha, merit0, merit, pender, settings.tinyTol);
    if (settings.print >= 3) {
      printDoubleVector(out, s.nCon(), s.xmu.data(), "xmu");
      printInterpolationLine(messageText, pender, astar);
    }
    if (astar > kShrinkLimit * alpha) {
      alpha = kShrinkLimit * alpha;
    } else if (astar < kSmallStepTest * alpha) {
      alpha = kSmallStepFactor * alpha;
    } else {
      alpha = astar;
    }
  }

  if (settings.print >= 1) messageText.clear().text("Warning: Line Search Failed").print();
  for (int i = 1; i <= s.n; ++i) s.x(i) = s.basePoint(i);
  // Not even the shortest trial gave finite values: no finite step is left along d.
  if (!lastTrialFinite) return SearchOutcome::NotFinite;
  if (!evaluateAtScaledPoint(ctx, s.n, s.x.data(), s.f.data())) return SearchOutcome::NotFinite;
  acceptLatestPoint(ctx.bridge);
  refreshConstraintValues(s);
  return SearchOutcome::Failed;
}

}  // namespace korvex::sqp

extern "C" {

KORVEX_API void SQPPR2(const double* a, const double* b, const double* fa, const double* fb, const double* slope,
                       double* t) {
  *t = korvex::sqp::interpolateStep(*a, *b, *fa, *fb, *slope, korvex::defaultContext().settings.tinyTol);
}

}  // extern "C"
