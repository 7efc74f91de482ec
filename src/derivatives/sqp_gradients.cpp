// Gradients for the SQP method: the worker DDBGRA, its storage front end DDSGRA, and SQPGRA, the front end the SQP
// iteration calls, which also hands back the objective gradient (the last column of its matrix).
#include "derivatives/finite_differences.h"
#include "derivatives/gradients.h"
#include "entry/context.h"
#include "korvex/routines/derivatives.h"

namespace korvex {
namespace {

constexpr GradientFlavour kSqpFlavour{ColumnMapRule::kSqp, 0};

// One SQP gradient evaluation into grad with the given scratch vectors.
void sqpDifferences(Context& ctx, int ndv, double* dv, int ndf, double* df, const GradientColumns& columns,
                    Mat<double> grad, Vec<double> dfsave, Vec<double> dfplus) {
  ctx.settings.nGradEval += 1;
  formDifferenceGradients(ctx, kSqpFlavour, Vec<double>(dv, ndv), Vec<double>(df, ndf), columns, grad, dfsave, dfplus);
}

// The SQP front end: scratch from the pool (SQP layout and message), then the differences.
void sqpDifferencesFromPool(Context& ctx, int ndv, double* dv, int ndf, double* df, const GradientColumns& columns,
                            Mat<double> grad) {
  withPoolScratch(ctx, kSqpScratch, ndf, [&](Vec<double> dfsave, Vec<double> dfplus) {
    sqpDifferences(ctx, ndv, dv, ndf, df, columns, grad, dfsave, dfplus);
  });
}

}  // namespace

void sqpGradients(Context& ctx, int ndv, int ndf, double* dv, double* df, const int* icol, double* gobj,
                  double* gradd) {
  const Mat<double> g(gradd, ndv, ndf);
  sqpDifferencesFromPool(ctx, ndv, dv, ndf, df, GradientColumns(ColumnMapRule::kSqp, icol, ndf), g);
  // The objective's column is the last one; it is copied after an overflow too (whatever Gradd then holds). With
  // no function at all there is no such column and Gobj is left alone.
  if (ndf < 1) return;
  const Vec<double> objective(gobj, ndv);
  for (int i = 1; i <= ndv; ++i) objective(i) = g(i, ndf);
}

}  // namespace korvex

extern "C" {

KORVEX_API void DDBGRA(const int* NDV, double* DV, const int* NDF, double* DF, const void* /*unused*/,
                       const int* ICOL, const int* LDG, double* GRAD, double* DFSAVE, double* DFPLUS) {
  using namespace korvex;
  const GradientColumns columns(ColumnMapRule::kSqp, ICOL, *NDF);
  sqpDifferences(defaultContext(), *NDV, DV, *NDF, DF, columns, Mat<double>(GRAD, *LDG, columns.columnCount()),
                 Vec<double>(DFSAVE, *NDF), Vec<double>(DFPLUS, *NDF));
}

KORVEX_API void DDSGRA(const int* NDV, double* DV, const int* NDF, double* DF, const void* /*unused*/,
                       const int* ICOL, const int* LDG, double* GRAD) {
  using namespace korvex;
  const GradientColumns columns(ColumnMapRule::kSqp, ICOL, *NDF);
  sqpDifferencesFromPool(defaultContext(), *NDV, DV, *NDF, DF, columns, Mat<double>(GRAD, *LDG, columns.columnCount()));
}

KORVEX_API void SQPGRA(const int* NDV, const int* NDF, double* DV, double* DF, const int* ICOL, double* Gobj,
                       double* Gradd) {
  korvex::sqpGradients(korvex::defaultContext(), *NDV, *NDF, DV, DF, ICOL, Gobj, Gradd);
}

}  // extern "C"
