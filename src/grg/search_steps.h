// The small rules of the GRG line search: tracking of binding inequalities, the move of the independent
// variables, the bracketing of the minimum, the two parabolas and the step-growth rule.
#pragma once

#include "common/views.h"
#include "grg/line_search_state.h"

namespace korvex::grg {

// Cosine below which the direction enters the feasible side of a binding inequality (about one degree).
constexpr double kTrackingCosine = -0.017452406;
// Cosine above which the direction is reported as leaving the tangent plane.
constexpr double kOutsideTangentCosine = 0.01;

// Up to four (step, objective) pairs of a line search, sorted by increasing step.
struct Bracket {
  double stppt[4] = {};  // STPPT
  double objpt[4] = {};  // OBJPT
  Vec<double> steps() { return Vec<double>(stppt, 4); }
  Vec<double> objectives() { return Vec<double>(objpt, 4); }
  Vec<const double> readSteps() const { return Vec<const double>(stppt, 4); }
  Vec<const double> readObjectives() const { return Vec<const double>(objpt, 4); }
};

// Tracking: MTRAK, NTRAK and LTRAK from MBNDIN and the direction; RESETH set true when the direction leaves the
// tangent plane of a binding inequality.
void trackBindingConstraints(SearchSet& set, int& reseth);

// Independent variables to STEP along SDIR from BSTDV (at STPBST), clipped; ENDSTP true when all were clipped.
void moveIndependentVariables(const SearchSet& set, const StepState& state, int& endstp);

// Euclidean norm.
double euclideanNorm(Vec<const double> v);

// Bracketing rule: register (step, objective) after K registered pairs.
void registerTrial(int brackt, int k, double objective, double step, Vec<double> objpt, Vec<double> stppt);

// Two-point parabola through pairs 1 and 2 with the start slope; 0 when it does not open upward.
double twoPointParabola(Context& ctx, Vec<const double> stppt, Vec<const double> objpt, double slope);

// Three-point parabola through pairs 1 to 3; IFAIL true (and step unchanged) when degenerate.
void threePointParabola(Context& ctx, Vec<const double> stppt, Vec<const double> objpt, double& step, int& ifail);

// Step-growth rule: state.step in = current trial step, out = the next one.
void growStep(const SearchSet& set, StepState& state, int& slownr);

}  // namespace korvex::grg
