#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer, index checks on) and runs
# each one from its seed corpus under fuzz/corpus/ for the given number of seconds (default 60; 0 = no time limit),
# one input at most 10 s. A target stops at its first crash, sanitizer report, failed check or timeout, and the input
# is saved under build-fuzz/findings/<target>/; the script fails when any target did. Corpus growth stays in
# build-fuzz/corpus/, never in the tree.
# Usage: bash scripts/fuzz.sh [seconds] [libFuzzer options...]     e.g. bash scripts/fuzz.sh 0 -runs=1000000
# Replay one input: build-fuzz/fuzz/korvex_fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
KORVEX_CLANG=1 bash scripts/install-deps.sh

seconds="${1:-60}"
shift || true
build=build-fuzz
targets=(run qp format)

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVEX_BUILD_FUZZERS=ON -DKORVEX_BOUNDS_CHECKS=ON -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_EXAMPLES=OFF \
  -DKORVEX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/korvex_fuzz_}"

failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  echo "== korvex_fuzz_$target: ${seconds} s"
  # -close_fd_mask=1: the GRG line search's one message to the standard output would flood the log.
  "$build/fuzz/korvex_fuzz_$target" -max_total_time="$seconds" -timeout=10 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$@" "$corpus" "fuzz/corpus/$target" || failed+=("$target")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs under $build/findings/)" >&2
  exit 1
fi
