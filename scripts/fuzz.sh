#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehaviorSanitizer, index checks on) and runs
# each one from its seed corpus under fuzz/corpus/ for the given number of seconds (default 60; 0 = no time limit),
# one input at most 10 s. A target stops at its first crash, sanitizer report, failed check or timeout, and the input
# is saved under build-fuzz/findings/<target>/; the script fails when any target did. Corpus growth stays in
# build-fuzz/corpus/, never in the tree.
# Usage: bash scripts/fuzz.sh [seconds] [libFuzzer options...]     e.g. bash scripts/fuzz.sh 0 -runs=1000000
# Replay one input: build-fuzz/fuzz/korvex_fuzz_<target> <file>. On a finding the script ends by printing each input
# in base64 and the problem it decodes to, so that even the tail of a CI log is enough to replay it.
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
  # Each finding at the end of the log, where a CI log that keeps only its tail still shows it: the input in base64
  # (decode it into a file to replay it) and, for the run and QP targets, the problem it decodes to.
  for target in "${failed[@]}"; do
    for input in "$build/findings/$target"/*; do
      [ -f "$input" ] || continue
      echo "== finding of korvex_fuzz_$target: $(basename "$input")" >&2
      echo "base64: $(base64 -w0 "$input")" >&2
      KORVEX_FUZZ_DESCRIBE=1 "$build/fuzz/korvex_fuzz_$target" "$input" 2>&1 |
        grep -v '^INFO\|^ *#[0-9]' | head -40 >&2 || true
    done
  done
  echo "fuzzing found faults in: ${failed[*]} (inputs under $build/findings/)" >&2
  exit 1
fi
