#!/usr/bin/env bash
# Builds korvex and runs every test, with the index checks of the array views on whatever the build type.
# Usage: bash scripts/test.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build="${1:-build}"
shift || true
cmake -S . -B "$build" -DKORVEX_BUILD_BENCHMARKS=ON -DKORVEX_BOUNDS_CHECKS=ON "$@"
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure --timeout 600 -j"$(nproc)"
