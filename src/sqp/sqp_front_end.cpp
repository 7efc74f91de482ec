// The SQP storage front end: carves the twenty double arrays and three integer arrays of the iteration from the
// work pool, runs the iteration, and gives the storage back. Its overflow report is its own: always printed,
// errorFlag left alone, result 7.
#include "common/pool.h"
#include "entry/context.h"
#include "korvex/korvex.h"
#include "korvex/routines/sqp.h"
#include "sqp/sqp_internal.h"

namespace korvex::sqp {
namespace {

constexpr OverflowReport kSqpOverflow{"SQP: Double precision storage exceeded, ", "SQP: Integer storage exceeded, ",
                                      true, false};

}  // namespace

void runFrontEnd(Context& ctx, int maxIter, int n, double* x, double* lower, double* upper, int maxFunctions,
                 double* f, int objIndex, int nEq, int* eqList, int nIneq, int* ineqList, int& resultCode) {
  const int nv = n;
  const int m = maxFunctions;
  const int nCon = nIneq + nEq;
  const int kRows = 2 * nv + nCon;

  PoolFrame frame(ctx);
  int slot[20];
  slot[0] = frame.reserveDoubles(kRows);  // row multipliers
  slot[1] = frame.reserveDoubles(kRows);  // penalty weights
  slot[2] = frame.reserveDoubles(kRows);  // previous row multipliers
  slot[3] = frame.reserveDoubles(nv * m);  // Gradd
  slot[4] = frame.reserveDoubles(nCon);    // constraint values
  slot[5] = frame.reserveDoubles(nv * nv); // Hessian
  for (int k = 6; k < 20; ++k) slot[k] = frame.reserveDoubles(nv);
  const int iact = frame.reserveInts(kRows);
  const int icol = frame.reserveInts(m);
  const int itype = frame.reserveInts(nv);
  if (!frame.claim(kSqpOverflow)) {
    resultCode = KVW_SQP_STORAGE;
    return;
  }
  double* p[20];
  for (int k = 0; k < 20; ++k) p[k] = frame.doubles(slot[k]);
  int kOut = 0;
  const Problem problem{maxIter, n, x, maxFunctions, f, objIndex, nIneq, ineqList, nEq, eqList, lower, upper};
  const Arrays arrays{p[0],  p[1],  p[2],  p[3],  p[4],  p[5],  p[6],  p[7],  p[8],  p[9],  p[10],  p[11],
                      p[12], p[13], p[14], p[15], p[16], p[17], p[18], p[19], frame.ints(iact), frame.ints(icol),
                      frame.ints(itype)};
  resultCode = iterate(ctx, problem, arrays, kOut);
}

}  // namespace korvex::sqp

extern "C" KORVEX_API void SQSALG(const int* maxIter, const int* n, double* x, double* lower, double* upper,
                                  const int* maxFunctions, double* f, const int* objIndex, const int* nEq,
                                  int* eqList, const int* nIneq, int* ineqList, int* resultCode) {
  korvex::sqp::runFrontEnd(korvex::defaultContext(), *maxIter, *n, x, lower, upper, *maxFunctions, f, *objIndex, *nEq,
                           eqList, *nIneq, ineqList, *resultCode);
}
