// The GRG storage front end: the run arrays, doubles D1-D9 and integers I1-I5, carved from the work pool in that
// order (the binding-inequality list has room for min(nIneq, NDV) entries), then the main iteration. The pool
// frame gives both tops back on every path, the overflow path included.
#include "grg/working_set.h"

#include "common/pool.h"
#include "entry/context.h"
#include "korvex/routines/grg_iteration.h"

namespace korvex::grg {

void runFrontEnd(Context& ctx, int maxIter, int NDV, double* DV, double* DVLB, double* DVUB, int NDF, double* DF,
                 int objIndex, int nEq, int* eqList, int nIneq, int* ineqList, int& resultCode) {
  const int n = NDV;
  PoolFrame frame(ctx);
  const int gradob = frame.reserveDoubles(n);
  const int gradlo = frame.reserveDoubles(n);
  const int gradl = frame.reserveDoubles(n);
  const int xlag = frame.reserveDoubles(n);
  const int hessian = frame.reserveDoubles(n * n);
  const int dvold = frame.reserveDoubles(n);
  const int dvdel = frame.reserveDoubles(n);
  const int gradel = frame.reserveDoubles(n);
  const int sdir = frame.reserveDoubles(n);
  const int mgrgin = frame.reserveInts(nIneq);
  const int mbndin = frame.reserveInts(bindingListLength(nIneq, n));
  const int mbndeq = frame.reserveInts(nEq);
  const int lisdf = frame.reserveInts(NDF);
  const int iact = frame.reserveInts(n);
  if (!frame.claim()) return;  // reported; errorFlag = -1, resultCode not written
  const RunStorage storage{frame.doubles(gradob), frame.doubles(gradlo), frame.doubles(gradl),  frame.doubles(xlag),
                           frame.doubles(hessian), frame.doubles(dvold), frame.doubles(dvdel), frame.doubles(gradel),
                           frame.doubles(sdir),   frame.ints(mgrgin),   frame.ints(mbndin),   frame.ints(mbndeq),
                           frame.ints(lisdf),     frame.ints(iact)};
  runMainIteration(ctx, maxIter, NDV, DV, DVLB, DVUB, NDF, DF, objIndex, nEq, eqList, nIneq, ineqList, storage,
                   resultCode);
}

}  // namespace korvex::grg

extern "C" KORVEX_API void GRSALG(const int* maxIter, const int* NDV, double* DV, double* DVLB, double* DVUB,
                                  const int* NDF, double* DF, const int* objIndex, const int* nEq, int* eqList,
                                  const int* nIneq, int* ineqList, int* resultCode) {
  korvex::grg::runFrontEnd(korvex::defaultContext(), *maxIter, *NDV, DV, DVLB, DVUB, *NDF, DF, *objIndex, *nEq, eqList,
                           *nIneq, ineqList, *resultCode);
}
