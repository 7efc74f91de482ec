// The settings block of one context: its options, the constants of the methods, the counters and the error flag.
// The default context's block is all zero at load; KVW_setDefaults writes the defaults. A new context starts with
// the defaults. The numerical routines read the block of the context they are given.
#pragma once

namespace korvex {

struct Settings {
  // Options: changed only through the setters of a context.
  int print;                  // print level, 0 prints nothing
  int diffMeth;               // 1 forward differences, anything else central
  double diffPert;            // finite-difference step in scaled variables
  double convTol;             // GRG convergence tolerance
  double feasTol;             // constraint tolerance of both methods, SQP convergence tolerance
  // Constants of the methods (only the defaults write them).
  double maxSearchLength;     // SQP search vectors longer than this are clipped
  double constraintFraction;  // fraction of candidate inequalities GRG keeps when there are 26 or more
  double tinyTol;             // near-zero test of pivots, divisors, steps
  double bigValue;            // stands for infinity
  double initStep;            // largest first trial step of a GRG line search
  double minStep;             // smallest trial step of a GRG line search
  // The error flag and the counters.
  int errorFlag;              // -1 when a routine could not continue
  int nIter;                  // iteration most recently begun
  int nFunEval;               // analysis calls
  int nGradEval;              // SQP gradient evaluations
  int nNRCalls;               // Newton-Raphson restorations that made a correction
  int nNRTotal;               // all Newton-Raphson corrections
  int nNRIter;                // corrections of the latest restoration (not reset by the defaults)
};

// The defaults of every field but nNRIter, which keeps its value.
void writeDefaults(Settings& settings);


}  // namespace korvex
