// Gradients for the SQP method: the worker DDBGRA, its storage front end DDSGRA, and SQPGRA, the front end the SQP
// iteration calls, which also hands back the objective gradient (the last column of its matrix).
#include "derivatives/finite_differences.h"
#include "entry/settings.h"
#include "korvex/routines/derivatives.h"

namespace korvex {
namespace {

constexpr GradientFlavour kSqpFlavour{ColumnMapRule::kSqp, 0};

// One SQP gradient evaluation into grad with the given scratch vectors.
void sqpDifferences(int ndv, double* dv, int ndf, double* df, const GradientColumns& columns, Mat<double> grad,
                    Vec<double> dfsave, Vec<double> dfplus) {
  settings.nGradEval += 1;
  formDifferenceGradients(kSqpFlavour, Vec<double>(dv, ndv), Vec<double>(df, ndf), columns, grad, dfsave, dfplus);
}

// The SQP front end: scratch from the pool (SQP layout and message), then the differences.
void sqpDifferencesFromPool(int ndv, double* dv, int ndf, double* df, const GradientColumns& columns,
                            Mat<double> grad) {
  withPoolScratch(kSqpScratch, ndf, [&](Vec<double> dfsave, Vec<double> dfplus) {
    sqpDifferences(ndv, dv, ndf, df, columns, grad, dfsave, dfplus);
  });
}

}  // namespace
}  // namespace korvex

extern "C" {

KORVEX_API void DDBGRA(const int* NDV, double* DV, const int* NDF, double* DF, const void* /*unused*/,
                       const int* ICOL, const int* LDG, double* GRAD, double* DFSAVE, double* DFPLUS) {
  using namespace korvex;
  const GradientColumns columns(ColumnMapRule::kSqp, ICOL, *NDF);
  sqpDifferences(*NDV, DV, *NDF, DF, columns, Mat<double>(GRAD, *LDG, columns.columnCount()),
                 Vec<double>(DFSAVE, *NDF), Vec<double>(DFPLUS, *NDF));
}

KORVEX_API void DDSGRA(const int* NDV, double* DV, const int* NDF, double* DF, const void* /*unused*/,
                       const int* ICOL, const int* LDG, double* GRAD) {
  using namespace korvex;
  const GradientColumns columns(ColumnMapRule::kSqp, ICOL, *NDF);
  sqpDifferencesFromPool(*NDV, DV, *NDF, DF, columns, Mat<double>(GRAD, *LDG, columns.columnCount()));
}

KORVEX_API void SQPGRA(const int* NDV, const int* NDF, double* DV, double* DF, const int* ICOL, double* Gobj,
                       double* Gradd) {
  using namespace korvex;
  const int ndv = *NDV;
  const int ndf = *NDF;
  const Mat<double> gradd(Gradd, ndv, ndf);
  sqpDifferencesFromPool(ndv, DV, ndf, DF, GradientColumns(ColumnMapRule::kSqp, ICOL, ndf), gradd);
  // The objective's column is the last one; it is copied after an overflow too (whatever Gradd then holds). With
  // no function at all there is no such column and Gobj is left alone.
  if (ndf < 1) return;
  const Vec<double> gobj(Gobj, ndv);
  for (int i = 1; i <= ndv; ++i) gobj(i) = gradd(i, ndf);
}

}  // extern "C"
