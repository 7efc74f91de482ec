#include "common/views.h"

#include <cstdio>
#include <cstdlib>

namespace korvex {

void reportBoundsViolation(const char* what, long index, long limit) {
  std::fprintf(stderr, "korvex: %s index %ld outside 1..%ld\n", what, index, limit);
  std::abort();
}

}  // namespace korvex
