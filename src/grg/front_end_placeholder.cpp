// NOT YET IMPLEMENTED: stands in for the GRG storage front end until the GRG method lands. It changes nothing and
// reports a result code outside the method's table. Delete this file when GRSALG is implemented.
#include "entry/result_text.h"
#include "korvex/routines/grg_iteration.h"

extern "C" KORVEX_API void GRSALG(const int*, const int*, double*, double*, double*, const int*, double*, const int*,
                                  const int*, int*, const int*, int*, int* resultCode) {
  *resultCode = korvex::kNotImplemented;
}
