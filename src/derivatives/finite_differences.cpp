#include "derivatives/finite_differences.h"

#include <algorithm>

#include "common/double_pair.h"
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
// evaluated alone or in a group: the temporary objective is negated when the flavour asks for it.
void finishPoint(const GradientFlavour& flavour, Vec<double> values) {
  // A function number outside the vector cannot be negated; it is ignored rather than written out of range.
  const int k = flavour.negatedFunction;
  if (k >= 1 && k <= values.length()) values(k) = -values(k);
}

// One analysis call at the scaled point dv into the destination vector: count it, convert the whole vector to the
// caller's units and back around the call, then finish the point. likely tells the bridge which variables the
// differences moved since the point before. False when the bridge found a value (or the
// point) not finite.
bool evaluate(Context& ctx, const GradientFlavour& flavour, Vec<double> dv, Vec<double> destination,
              LikelyChanges likely) {
  const bool finite = evaluateAtScaledPoint(ctx, dv.length(), dv.data(), destination.data(), likely);
  finishPoint(flavour, destination);
  return finite;
}

// The variables a difference point has moved since the point before: variable i (1-based) and the one restored
// before it. The bridge checks the guess.
LikelyChanges movedSincePrevious(int i) { return {i - 2, i - 1}; }
LikelyChanges movedAlone(int i) { return {i - 1, -1}; }

// Row i of the gradients: (upper(j) - lower(j)) / step for every function j with a column, the quotients of two
// neighbouring functions formed together.
void storeQuotients(const GradientColumns& columns, Mat<double> grad, int i, Vec<double> upper, Vec<double> lower,
                    double step) {
  const int count = upper.length();
  int j = 1;
  for (; j + 1 <= count; j += 2) {
    const DoublePair quotients = (loadPair(&upper(j)) - loadPair(&lower(j))) / step;
    const int c0 = columns.column(j), c1 = columns.column(j + 1);
    if (c0 > 0) grad(i, c0) = quotients[0];
    if (c1 > 0) grad(i, c1) = quotients[1];
  }
  for (; j <= count; ++j) {
    const int c = columns.column(j);
    if (c > 0) grad(i, c) = (upper(j) - lower(j)) / step;
  }
}

// After a callback exception in a group the run ends; x and f are then the accepted point's, which the driver
// hands back. DF is restored as after a complete pass.
void restoreValues(Vec<double> df, Vec<double> dfsave) {
  for (int j = 1; j <= df.length(); ++j) df(j) = dfsave(j);
}

// The same differences with the points gathered into groups of whole variables (normally one group for the whole
// gradient): every perturbation and round trip of dv happens as in the loops below and in the same order, each
// group is evaluated at once, and the quotients are formed from the stored values in the order of the variables,
// stopping where the loops stop: at a point that is not finite, or at values that are not. DFPLUS ends holding what
// the loops leave in it.
void formDifferencesByGroups(Context& ctx, const GradientFlavour& flavour, Vec<double> dv, Vec<double> df,
                             const GradientColumns& columns, Mat<double> grad, Vec<double> dfsave, Vec<double> dfplus,
                             int groupVariables) {
  const int ndv = dv.length();
  const bool forward = ctx.settings.diffMeth == 1;
  const double h = ctx.settings.diffPert;
  PointGroup group(ctx, ndv, df.length());
  bool finite = true;
  for (int first = 1; first <= ndv && finite; first += groupVariables) {
    const int last = std::min(ndv, first + groupVariables - 1);
    int built = last;  // the last variable whose points are all in the group
    group.clear();
    for (int i = first; i <= last && finite; ++i) {
      dv(i) = dv(i) + h;
      finite = group.add(dv.data(), movedSincePrevious(i));
      if (forward) {
        dv(i) = dv(i) - h;
      } else {
        dv(i) = dv(i) - h - h;
        finite = finite && group.add(dv.data(), movedAlone(i));
        dv(i) = dv(i) + h;
      }
      if (!finite) built = i - 1;
    }
    try {
      group.evaluate();
    } catch (...) {
      restoreValues(df, dfsave);
      throw;
    }
    for (int i = first, k = 1; i <= built; ++i) {
      const int points = forward ? 1 : 2;
      for (int p = k; p < k + points && finite; ++p) {
        finite = finishEvaluation(ctx.bridge, group.values(p).data());
        finishPoint(flavour, group.values(p));
      }
      if (!finite) break;
      if (forward) {
        storeQuotients(columns, grad, i, group.values(k), dfsave, h);
      } else {
        storeQuotients(columns, grad, i, group.values(k), group.values(k + 1), h + h);
        if (i == ndv) {
          for (int j = 1; j <= dfplus.length(); ++j) dfplus(j) = group.values(k)(j);
        }
      }
      k += points;
    }
  }
  ctx.bridge.latestFinite = finite;
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
  const int pointsPerVariable = ctx.settings.diffMeth == 1 ? 1 : 2;
  const int groupVariables =
      ctx.groups.wanted() && ctx.groups.ready() ? variablesPerGroup(ndv, ndf, pointsPerVariable) : 0;
  if (groupVariables > 0) {
    formDifferencesByGroups(ctx, flavour, dv, df, columns, grad, dfsave, dfplus, groupVariables);
  } else if (ctx.settings.diffMeth == 1) {
    // Forward: one point per variable, raised by h.
    for (int i = 1; i <= ndv; ++i) {
      dv(i) = dv(i) + h;
      const bool finite = evaluate(ctx, flavour, dv, df, movedSincePrevious(i));
      if (finite) storeQuotients(columns, grad, i, df, dfsave, h);
      dv(i) = dv(i) - h;
      if (!finite) break;
    }
  } else {
    // Central: +h into DFPLUS, then -h (two subtractions) into DF.
    for (int i = 1; i <= ndv; ++i) {
      dv(i) = dv(i) + h;
      bool finite = evaluate(ctx, flavour, dv, dfplus, movedSincePrevious(i));
      dv(i) = dv(i) - h - h;
      finite = finite && evaluate(ctx, flavour, dv, df, movedAlone(i));
      if (finite) storeQuotients(columns, grad, i, dfplus, df, h + h);
      dv(i) = dv(i) + h;
      if (!finite) break;
    }
  }

  for (int j = 1; j <= ndf; ++j) df(j) = dfsave(j);
}

}  // namespace korvex
