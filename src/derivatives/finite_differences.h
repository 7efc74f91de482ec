// The finite-difference core shared by the SQP and the GRG gradient routines, and the pool front end that gives it
// its two scratch vectors. The two flavours differ only in the data described by GradientFlavour and ScratchLayout;
// the loops are the same.
#pragma once

#include "common/pool.h"
#include "common/views.h"

namespace korvex {

// How a column map sends the gradient of function j to a column of the gradient matrix.
enum class ColumnMapRule {
  kSqp,  // entries > 0 are columns, others store nothing; ICOL(1) = -1 stores every function j in column j
  kGrg,  // every non-zero entry is a column; there is no special first entry
};

// What distinguishes the two flavours inside the difference loops.
struct GradientFlavour {
  ColumnMapRule rule;
  int negatedFunction;  // function number whose value is negated after every analysis call, 0 for none
};

// The gradient matrix and the map that routes each function's differences into it.
class GradientColumns {
 public:
  // map holds one entry per function; it is not read beyond its first entry in the store-every-function mode.
  GradientColumns(ColumnMapRule rule, const int* map, int functionCount);

  // Column of function j, 0 when its gradient is not stored.
  int column(int j) const;
  // The largest column that the map names (the number of columns the gradient matrix must have).
  int columnCount() const;

 private:
  bool everyFunction_;
  int functionCount_;
  Vec<const int> map_;
};

// Forms the gradients of all NDF functions with respect to the NDV scaled variables dv by forward (diffMeth = 1)
// or central differences with the step diffPert, one analysis call per perturbed point, each wrapped in nFunEval += 1
// and the unit conversions. df holds the functions at dv on entry and holds them again, bit for bit, on return.
// dfsave and dfplus are scratch vectors of NDF doubles. During a run the differences stop at the first point with a
// value that is not finite; latestAnalysisFinite() then tells the method. When the context evaluates groups (worker
// threads or a batch callback), the perturbed points are gathered and evaluated together, with the same result bit
// for bit (after a value that is not finite, the analysis calls count the whole group).
void formDifferenceGradients(Context& ctx, const GradientFlavour& flavour, Vec<double> dv, Vec<double> df,
                             const GradientColumns& columns, Mat<double> grad, Vec<double> dfsave,
                             Vec<double> dfplus);

// Where the front ends put the two scratch vectors in the double pool and how they report a refusal.
struct ScratchLayout {
  int gap;                // unused slots between DFSAVE and DFPLUS
  bool testAfterFirst;    // also test the top that follows DFSAVE alone
  OverflowReport report;  // texts, print test and error flag
};

// SQP form: DFSAVE at T+1..T+NDF, DFPLUS at T+NDF+1..T+2*NDF, one test of T+2*NDF+1.
// Only doubles are taken, so there is no integer report.
inline constexpr ScratchLayout kSqpScratch{0, false, {"Error:  Double precision b storage exceeded", "", false, true}};
// GRG form: DFSAVE at T+1..T+NDF, one unused slot, DFPLUS at T+NDF+2..T+2*NDF+1, tests of T+NDF+1 and T+2*NDF+2.
inline constexpr ScratchLayout kGrgScratch{1, true, kStandardOverflow};

// Takes DFSAVE and DFPLUS (NDF doubles each) from the double pool as the layout says, calls
// work(dfsave, dfplus) with the top standing one slot beyond DFPLUS, and restores the top on every path. On a
// refused top the overflow is reported (errorFlag = -1), work is not called and false is returned.
template <typename Work>
bool withPoolScratch(Context& ctx, const ScratchLayout& layout, int ndf, Work&& work) {
  PoolFrame frame(ctx);
  const int length = ndf < 0 ? 0 : ndf;
  const int dfsave = frame.reserveDoubles(length);
  if (layout.testAfterFirst && !PoolFrame::doublesFit(ctx, frame.lastDouble() + 1)) {
    PoolFrame::reportOverflow(ctx, layout.report, true, frame.lastDouble() + 1);
    return false;
  }
  frame.skipDoubles(layout.gap);
  const int dfplus = frame.reserveDoubles(length);
  const int newTop = frame.lastDouble() + 1;
  if (!PoolFrame::doublesFit(ctx, newTop)) {
    PoolFrame::reportOverflow(ctx, layout.report, true, newTop);
    return false;
  }
  // Only doubles are taken: the integer top stays where it is.
  PoolFrame::setDoubleTop(ctx, newTop);
  work(frame.doubleVec(dfsave, length), frame.doubleVec(dfplus, length));
  return true;
}

}  // namespace korvex
