#include "derivatives/finite_differences.h"

#include <algorithm>

#include "entry/context.h"
#include "entry/point_groups.h"

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

// What every difference point's values go through once the callback has written them, whether the point was
// evaluated alone or in a group: the temporary objective is negated when the flavour asks for it. Negation is its
// own inverse, so the same step also turns such a vector back into the callback's values.
void finishPoint(const GradientFlavour& flavour, Vec<double> values) {
  // A function number outside the vector cannot be negated; it is ignored rather than written out of range.
  const int k = flavour.negatedFunction;
  if (k >= 1 && k <= values.length()) values(k) = -values(k);
}

// One analysis call at the scaled point dv into the destination vector: count it, convert the whole vector to the
// caller's units and back around the call, then finish the point.
void evaluate(Context& ctx, const GradientFlavour& flavour, Vec<double> dv, Vec<double> destination) {
  evaluateAtScaledPoint(ctx, dv.length(), dv.data(), destination.data());
  finishPoint(flavour, destination);
}

void storeQuotients(const GradientColumns& columns, Mat<double> grad, int i, Vec<double> upper, Vec<double> lower,
                    double step) {
  for (int j = 1; j <= upper.length(); ++j) {
    const int c = columns.column(j);
    if (c > 0) grad(i, c) = (upper(j) - lower(j)) / step;
  }
}

// After a callback exception in a group the run ends at the iterate whose gradient was being formed: dv holding
// that point in the caller's units (as the run hands x back after an exception) and df the callback's values there.
void returnToIterate(const GradientFlavour& flavour, Vec<double> dv, const double* iterateInCallerUnits,
                     Vec<double> df, Vec<double> dfsave) {
  for (int i = 1; i <= dv.length(); ++i) dv(i) = iterateInCallerUnits[i - 1];
  for (int j = 1; j <= df.length(); ++j) df(j) = dfsave(j);
  finishPoint(flavour, df);
}

// The same differences with the points gathered into groups of whole variables (normally one group for the whole
// gradient): every perturbation and round trip of dv happens as in the loops above and in the same order, each
// group is evaluated at once, and the quotients are formed from the stored values in the order of the variables.
// DFPLUS ends holding what the loops leave in it.
void formDifferencesByGroups(Context& ctx, const GradientFlavour& flavour, Vec<double> dv, Vec<double> df,
                             const GradientColumns& columns, Mat<double> grad, Vec<double> dfsave, Vec<double> dfplus,
                             int groupVariables) {
  const int ndv = dv.length();
  const bool forward = ctx.settings.diffMeth == 1;
  const double h = ctx.settings.diffPert;
  double iterate[kMaxVariables];
  pointInCallerUnits(ctx.bridge, ndv, dv.data(), iterate);

  PointGroup group(ctx, ndv, df.length());
  for (int first = 1; first <= ndv; first += groupVariables) {
    const int last = std::min(ndv, first + groupVariables - 1);
    group.clear();
    for (int i = first; i <= last; ++i) {
      dv(i) = dv(i) + h;
      group.add(dv.data());
      if (forward) {
        dv(i) = dv(i) - h;
      } else {
        dv(i) = dv(i) - h - h;
        group.add(dv.data());
        dv(i) = dv(i) + h;
      }
    }
    try {
      group.evaluate();
    } catch (...) {
      returnToIterate(flavour, dv, iterate, df, dfsave);
      throw;
    }
    for (int k = 1; k <= group.size(); ++k) finishPoint(flavour, group.values(k));
    for (int i = first, k = 1; i <= last; ++i) {
      if (forward) {
        storeQuotients(columns, grad, i, group.values(k), dfsave, h);
        k += 1;
      } else {
        storeQuotients(columns, grad, i, group.values(k), group.values(k + 1), h + h);
        k += 2;
      }
    }
    if (!forward && last == ndv) {
      const Vec<double> plus = group.values(group.size() - 1);
      for (int j = 1; j <= dfplus.length(); ++j) dfplus(j) = plus(j);
    }
  }
}

}  // namespace

void formDifferenceGradients(Context& ctx, const GradientFlavour& flavour, Vec<double> dv, Vec<double> df,
                             const GradientColumns& columns, Mat<double> grad, Vec<double> dfsave,
                             Vec<double> dfplus) {
  const int ndv = dv.length();
  const int ndf = df.length();
  for (int j = 1; j <= ndf; ++j) dfsave(j) = df(j);

  const double h = ctx.settings.diffPert;
  const int pointsPerVariable = ctx.settings.diffMeth == 1 ? 1 : 2;
  const int groupVariables =
      ctx.groups.wanted() && ctx.groups.ready() ? variablesPerGroup(ndv, ndf, pointsPerVariable) : 0;
  if (groupVariables > 0) {
    formDifferencesByGroups(ctx, flavour, dv, df, columns, grad, dfsave, dfplus, groupVariables);
  } else if (ctx.settings.diffMeth == 1) {
    // Forward: one point per variable, raised by h.
    for (int i = 1; i <= ndv; ++i) {
      dv(i) = dv(i) + h;
      evaluate(ctx, flavour, dv, df);
      storeQuotients(columns, grad, i, df, dfsave, h);
      dv(i) = dv(i) - h;
    }
  } else {
    // Central: +h into DFPLUS, then -h (two subtractions) into DF.
    for (int i = 1; i <= ndv; ++i) {
      dv(i) = dv(i) + h;
      evaluate(ctx, flavour, dv, dfplus);
      dv(i) = dv(i) - h - h;
      evaluate(ctx, flavour, dv, df);
      storeQuotients(columns, grad, i, dfplus, df, h + h);
      dv(i) = dv(i) + h;
    }
  }

  for (int j = 1; j <= ndf; ++j) df(j) = dfsave(j);
}

}  // namespace korvex
