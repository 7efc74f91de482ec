#!/usr/bin/env bash
# Builds the suite with clang and ThreadSanitizer and runs it: the runs of eight contexts in eight threads and every
# other test must finish without a single report. Usage: bash scripts/test-tsan.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
KORVEX_CLANG=1 bash scripts/install-deps.sh
build="${1:-build-tsan}"
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEX_SANITIZE_THREAD=ON -DKORVEX_BOUNDS_CHECKS=ON -DKORVEX_BUILD_EXAMPLES=OFF -DKORVEX_BUILD_BENCHMARKS=OFF
cmake --build "$build" -j"$(nproc)" --target korvex_tests korvex_api_tests korvex_cpp_interface_tests \
  korvex_checksum_tests korvex
# A report ends the test with a failure; older ThreadSanitizer runtimes cannot map their shadow memory under the
# widest address-space randomisation, so the tests run with randomisation off where setarch allows it.
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=0 exitcode=66 second_deadlock_stack=1"
launcher=()
if setarch "$(uname -m)" -R true >/dev/null 2>&1; then launcher=(setarch "$(uname -m)" -R); fi
"${launcher[@]}" ctest --test-dir "$build" --output-on-failure --timeout 900 -j"$(nproc)"
