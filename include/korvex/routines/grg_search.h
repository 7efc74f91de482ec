#ifndef KORVEX_ROUTINES_GRG_SEARCH_H
#define KORVEX_ROUTINES_GRG_SEARCH_H

#include "korvex/export.h"

KORVEX_BEGIN_C

KORVEX_END_C

#endif
