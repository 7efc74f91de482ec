// Gradients for the GRG method: the worker GDBGRA, its storage front end GDSGRA, and GRGGRA, which the main
// iteration calls: it builds the column map from the working set, forms the differences and extracts the objective
// gradient and the gradient scale.
#include <algorithm>
#include <cmath>

#include "derivatives/finite_differences.h"
#include "derivatives/gradients.h"
#include "entry/context.h"
#include "korvex/routines/derivatives.h"

namespace korvex {
namespace {

// In the feasibility phase on an equality with a negative value (IPHASE = 3) the caller holds that function
// negated, so every evaluation negates it too.
GradientFlavour grgFlavour(int iphase, int itobj) { return {ColumnMapRule::kGrg, iphase == 3 ? itobj : 0}; }

void grgDifferencesFromPool(Context& ctx, int iphase, int itobj, int ndv, double* dv, int ndf, double* df,
                            const GradientColumns& columns, Mat<double> gradd) {
  withPoolScratch(ctx, kGrgScratch, ndf, [&](Vec<double> dfsave, Vec<double> dfplus) {
    formDifferenceGradients(ctx, grgFlavour(iphase, itobj), Vec<double>(dv, ndv), Vec<double>(df, ndf), columns, gradd,
                            dfsave, dfplus);
  });
}

// LISDF: 0 for every function, then the candidate inequalities in columns 1..NCAND, the satisfied equalities in
// NCAND+1..NCAND+NBEQ and the current objective in column NCAND+NBEQ+1, which wins should it appear in a list.
void buildColumnMap(int ncand, Vec<const int> mgrgin, int nbeq, Vec<const int> mbndeq, int itobj, Vec<int> lisdf) {
  for (int j = 1; j <= lisdf.length(); ++j) lisdf(j) = 0;
  for (int k = 1; k <= ncand; ++k) lisdf(mgrgin(k)) = k;
  for (int k = 1; k <= nbeq; ++k) lisdf(mbndeq(k)) = ncand + k;
  lisdf(itobj) = ncand + nbeq + 1;
}

}  // namespace

void grgGradients(Context& ctx, int iphase, int ncand, const int* mgrgin, int nbeq, const int* mbndeq, int itobj,
                  int ndv, double* dv, int ndf, double* df, int* lisdfData, double* graddData, double* gradobData,
                  double& gscale) {
  const Vec<int> lisdf(lisdfData, ndf);
  const Mat<double> gradd(graddData, ndv, ncand + nbeq + 1);

  // The map is built before the storage test, so it stands even when the storage runs out.
  buildColumnMap(ncand, Vec<const int>(mgrgin, ncand), nbeq, Vec<const int>(mbndeq, nbeq), itobj, lisdf);
  grgDifferencesFromPool(ctx, iphase, itobj, ndv, dv, ndf, df, GradientColumns(ColumnMapRule::kGrg, lisdfData, ndf),
                         gradd);

  // Objective gradient and scale, after an overflow too (from whatever GRADD holds): the mean absolute component,
  // at least 1.
  const Vec<double> gradob(gradobData, ndv);
  const int objectiveColumn = lisdf(itobj);
  double sum = 0.0;
  for (int i = 1; i <= ndv; ++i) {
    gradob(i) = gradd(i, objectiveColumn);
    sum += std::abs(gradob(i));
  }
  gscale = ndv > 0 ? std::max(1.0, sum / ndv) : 1.0;
}

}  // namespace korvex

extern "C" {

KORVEX_API void GDBGRA(const int* IPHASE, const int* ITOBJ, const int* NDV, double* DV, const int* NDF, double* DF,
                       const int* LISDF, double* GRADD, double* DFSAVE, double* DFPLUS) {
  using namespace korvex;
  const GradientColumns columns(ColumnMapRule::kGrg, LISDF, *NDF);
  formDifferenceGradients(defaultContext(), grgFlavour(*IPHASE, *ITOBJ), Vec<double>(DV, *NDV), Vec<double>(DF, *NDF),
                          columns, Mat<double>(GRADD, *NDV, columns.columnCount()), Vec<double>(DFSAVE, *NDF),
                          Vec<double>(DFPLUS, *NDF));
}

KORVEX_API void GDSGRA(const int* IPHASE, const int* ITOBJ, const int* NDV, double* DV, const int* NDF, double* DF,
                       const int* LISDF, double* GRADD) {
  using namespace korvex;
  const GradientColumns columns(ColumnMapRule::kGrg, LISDF, *NDF);
  grgDifferencesFromPool(defaultContext(), *IPHASE, *ITOBJ, *NDV, DV, *NDF, DF, columns,
                         Mat<double>(GRADD, *NDV, columns.columnCount()));
}

KORVEX_API void GRGGRA(const int* IPHASE, const int* NCAND, const int* MGRGIN, const int* NBEQ, const int* MBNDEQ,
                       const int* ITOBJ, const int* NDV, double* DV, const int* NDF, double* DF, int* LISDF,
                       double* GRADD, double* GRADOB, double* GSCALE) {
  korvex::grgGradients(korvex::defaultContext(), *IPHASE, *NCAND, MGRGIN, *NBEQ, MBNDEQ, *ITOBJ, *NDV, DV, *NDF, DF,
                       LISDF, GRADD, GRADOB, *GSCALE);
}

}  // extern "C"
