// The process-wide settings block: settings, counters, the error flag and the pool bookkeeping. It is all zero at
// load; KVW_setDefaults writes the defaults. The numerical routines read it directly.
#pragma once

namespace korvex {

struct Settings {
  int stop;                   // 1 (exactly) ends a run at the top of the next iteration
  int print;                  // print level, 0 prints nothing
  int diffMeth;               // 1 forward differences, anything else central
  double diffPert;            // finite-difference step in scaled variables
  double convTol;             // GRG convergence tolerance
  double feasTol;             // constraint tolerance of both methods, SQP convergence tolerance
  double maxSearchLength;     // SQP search vectors longer than this are clipped
  double constraintFraction;  // fraction of candidate inequalities GRG keeps when there are 26 or more
  double tinyTol;             // near-zero test of pivots, divisors, steps
  double bigValue;            // stands for infinity
  int errorFlag;              // -1 when a routine could not continue
  int nIter;                  // iteration most recently begun
  int nFunEval;               // analysis calls
  int intPoolSize;            // capacities of the two work pools
  int dblPoolSize;
  int intPoolTop;             // last used slot of each pool, 0 when empty
  int dblPoolTop;
  double initStep;            // largest first trial step of a GRG line search
  double minStep;             // smallest trial step of a GRG line search
  int nGradEval;              // SQP gradient evaluations
  int nNRCalls;               // Newton-Raphson restorations that made a correction
  int nNRTotal;               // all Newton-Raphson corrections
  int nNRIter;                // corrections of the latest restoration (not reset by the defaults)
};

extern Settings settings;

// Physical sizes of the two pools, which are also the default capacities.
constexpr int kIntPoolCapacity = 5000;
constexpr int kDblPoolCapacity = 40000;

void restoreDefaults();

// stop == 1, read as the run reads it while KVW_set_stop may write it.
bool stopRequested();

}  // namespace korvex
