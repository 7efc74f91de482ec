#include "derivatives/finite_differences.h"

#include "entry/context.h"

namespace korvex {

GradientColumns::GradientColumns(ColumnMapRule rule, const int* map, int functionCount)
    : everyFunction_(rule == ColumnMapRule::kSqp && functionCount >= 1 && map[0] == -1),
      functionCount_(functionCount < 0 ? 0 : functionCount),
      map_(map, everyFunction_ ? 1 : functionCount) {}

// A GRG map stores every non-zero entry. A negative entry is not valid input there and names no column inside the
// matrix, so it stores nothing, like a negative SQP entry; no write lands before the first column.
int GradientColumns::column(int j) const {
  if (everyFunction_) return j;
  const int entry = map_(j);
  return entry > 0 ? entry : 0;
}

int GradientColumns::columnCount() const {
  if (everyFunction_) return functionCount_;
  int count = 0;
  for (int j = 1; j <= map_.length(); ++j) {
    if (map_(j) > count) count = map_(j);
  }
  return count;
}

namespace {

// One analysis call at the scaled point dv into the destination vector: count it, convert the whole vector to the
// caller's units and back around the call, then negate the temporary objective when the flavour asks for it.
// False when the bridge found a value (or the point) not finite.
bool evaluate(Context& ctx, const GradientFlavour& flavour, Vec<double> dv, Vec<double> destination) {
  const bool finite = evaluateAtScaledPoint(ctx, dv.length(), dv.data(), destination.data());
  // A function number outside the vector cannot be negated; it is ignored rather than written out of range.
  const int k = flavour.negatedFunction;
  if (k >= 1 && k <= destination.length()) destination(k) = -destination(k);
  return finite;
}

void storeQuotients(const GradientColumns& columns, Mat<double> grad, int i, Vec<double> upper, Vec<double> lower,
                    double step) {
  for (int j = 1; j <= upper.length(); ++j) {
    const int c = columns.column(j);
    if (c > 0) grad(i, c) = (upper(j) - lower(j)) / step;
  }
}

}  // namespace

void formDifferenceGradients(Context& ctx, const GradientFlavour& flavour, Vec<double> dv, Vec<double> df,
                             const GradientColumns& columns, Mat<double> grad, Vec<double> dfsave,
                             Vec<double> dfplus) {
  const int ndv = dv.length();
  const int ndf = df.length();
  for (int j = 1; j <= ndf; ++j) dfsave(j) = df(j);

  // A difference point with a value that is not finite ends the differences there (the bridge remembers it for
  // the method): the variable goes back and DF is restored as after a complete pass.
  const double h = ctx.settings.diffPert;
  if (ctx.settings.diffMeth == 1) {
    // Forward: one point per variable, raised by h.
    for (int i = 1; i <= ndv; ++i) {
      dv(i) = dv(i) + h;
      const bool finite = evaluate(ctx, flavour, dv, df);
      if (finite) storeQuotients(columns, grad, i, df, dfsave, h);
      dv(i) = dv(i) - h;
      if (!finite) break;
    }
  } else {
    // Central: +h into DFPLUS, then -h (two subtractions) into DF.
    for (int i = 1; i <= ndv; ++i) {
      dv(i) = dv(i) + h;
      bool finite = evaluate(ctx, flavour, dv, dfplus);
      dv(i) = dv(i) - h - h;
      finite = finite && evaluate(ctx, flavour, dv, df);
      if (finite) storeQuotients(columns, grad, i, dfplus, df, h + h);
      dv(i) = dv(i) + h;
      if (!finite) break;
    }
  }

  for (int j = 1; j <= ndf; ++j) df(j) = dfsave(j);
}

}  // namespace korvex
