#!/usr/bin/env bash
# The library's own time per iteration and per analysis call, beside NLopt's SLSQP: builds korvex as a Release
# build (installing NLopt for the benchmark) and runs bench/nlopt_comparison, which ends with a Markdown table.
# Usage: bash scripts/bench-overhead.sh [build-dir] [Google Benchmark options...]   (default build-dir: build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."
KORVEX_BENCHMARK=1 bash scripts/install-deps.sh
build="${1:-build-bench}"
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKORVEX_BUILD_BENCHMARKS=ON -DKORVEX_BUILD_TESTS=OFF \
  -DKORVEX_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target nlopt_comparison
"./$build/bench/nlopt_comparison" "$@"
