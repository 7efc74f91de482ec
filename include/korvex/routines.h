/*
 * The exported numerical routines of korvex, for callers that drive them directly. Every argument is passed by
 * pointer; arrays are 1-based in the documentation (element 1 is the first element) and matrices are stored by
 * columns with an explicit leading dimension. A character argument is followed immediately by its length, a size_t
 * passed by value. Logical values are ints: -1 true, 0 false, only the lowest bit is tested.
 *
 * The routines work on the default context (that of the KVW_ functions without a context argument): its settings,
 * counters, work storage and diagnostic stream. Call KVW_setDefaults() first, and never while a run of the default
 * context is in progress.
 */
#ifndef KORVEX_ROUTINES_H
#define KORVEX_ROUTINES_H

#include "korvex/korvex.h"
#include "korvex/routines/entry.h"
#include "korvex/routines/print.h"
#include "korvex/routines/derivatives.h"
#include "korvex/routines/qp.h"
#include "korvex/routines/hessian.h"
#include "korvex/routines/sqp.h"
#include "korvex/routines/grg_iteration.h"
#include "korvex/routines/grg_search.h"
#include "korvex/routines/grg_basis.h"

#endif
