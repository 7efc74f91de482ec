#include "entry/result_text.h"

#include "korvex/korvex.h"

namespace korvex {

const char* resultText(int method, int resultCode) {
  switch (resultCode) {
    case KVW_TOO_MANY_VARIABLES: return "too many variables (more than 100)";
    case KVW_OUT_OF_MEMORY: return "out of memory for the driver's scratch arrays";
    case KVW_CALLBACK_EXCEPTION: return "the analysis callback threw an exception";
    case KVW_INVALID_ARGUMENT: return "invalid argument: null pointer, bad count, bound, start value or setting";
    case KVW_NON_FINITE_ANALYSIS: return "the analysis returned a non-finite value where the run cannot go on";
    case KVW_RUN_IN_PROGRESS: return "another run is in progress";
    default: break;
  }
  if (method == kMethodGrg) {
    switch (resultCode) {
      case 1: return "converged: directional derivative below convTol";
      case 2: return "line search found no step of at least minStep";
      case 3: return "converged: objective no longer changing";
      case 4: return "no feasible point: violated constraint cannot be reduced";
      case 5: return "no feasible point: violation no longer changing";
      case 6: return "iteration limit reached";
      case 8: return "direction subproblem has no feasible point";
      case 10: return "direction subproblem failed";
      case 11: return "work storage exhausted or error flag set";
      case 12: return "stopped on request";
      default: return "unknown result code";
    }
  }
  switch (resultCode) {
    case 1: return "converged: feasible and no descent left";
    case 2: return "iteration limit reached";
    case 4: return "QP subproblem has no solution";
    case 5: return "QP matrix not positive definite";
    case 6: return "QP solver failed";
    case 7: return "work storage exhausted or error flag set";
    case 8: return "stopped on request";
    case 9: return "merit function no longer changing";
    default: return "unknown result code";
  }
}

}  // namespace korvex
