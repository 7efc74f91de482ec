// The GRG main iteration's classification of the constraints at the current point.
#pragma once

#include "common/views.h"
#include "entry/settings.h"

namespace korvex::grg {

// Lists produced by the classification; the views carry the room of each list.
struct ConstraintClasses {
  Vec<int> MGRGIN;  // candidate inequalities (not violated), possibly cut
  Vec<int> MBNDIN;  // binding inequalities
  Vec<int> MBNDEQ;  // satisfied equalities
  int NCAND = 0;
  int NBIN = 0;
  int NBEQ = 0;
};

// Classifies the inequalities and equalities at DF, chooses the temporary objective (0 for none) and the phase, and
// cuts the candidate list (feasTol and constraintFraction from the settings). With IPHASE 3 the DF entry of the
// temporary objective is kept negated.
void classifyConstraints(const Settings& settings, Vec<const int> ineqList, Vec<const int> eqList, Vec<double> DF,
                         ConstraintClasses& out, int& tempObjective, int& IPHASE);

}  // namespace korvex::grg
