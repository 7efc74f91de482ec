// NOT YET IMPLEMENTED: stands in for the SQP storage front end until the SQP method lands. It changes nothing and
// reports a result code outside the method's table. Delete this file when SQSALG is implemented.
#include "entry/result_text.h"
#include "korvex/routines/sqp.h"

extern "C" KORVEX_API void SQSALG(const int*, const int*, double*, double*, double*, const int*, double*, const int*,
                                  const int*, int*, const int*, int*, int* resultCode) {
  *resultCode = korvex::kNotImplemented;
}
