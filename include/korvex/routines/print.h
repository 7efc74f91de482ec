/* Diagnostic printing to the diagnostic stream (see KVW_set_diagFile). */
#ifndef KORVEX_ROUTINES_PRINT_H
#define KORVEX_ROUTINES_PRINT_H

#include <stddef.h>

#include "korvex/export.h"

KORVEX_BEGIN_C

/* One line: a blank, then characters 1..*count of text; continued on further lines after 80 characters.
   textLength is ignored. */
KORVEX_API void PRTMES(const char* text, size_t textLength, const int* count);

/* The label line, then *count ints eight per line in 10-character fields. */
KORVEX_API void PRTVI(const int* count, const int* values, const char* label, size_t labelLength);

/* The label line, then *count doubles six per line in 13-character exponent fields. */
KORVEX_API void PRTVD(const int* count, const double* values, const char* label, size_t labelLength);

/* The label line, then each of *rows rows of the column-major matrix (leading dimension *ld), six values per line. */
KORVEX_API void PRTMD(const int* ld, const int* rows, const int* cols, const double* matrix, const char* label,
                      size_t labelLength);

KORVEX_END_C

#endif
