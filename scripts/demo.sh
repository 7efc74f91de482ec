#!/usr/bin/env bash
# Builds korvex and runs the demo: a table of classic constrained test problems solved by both methods.
# Usage: bash scripts/demo.sh [demo options...]   (bash scripts/demo.sh --help lists them)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target korvex_demo
./build/examples/korvex_demo "$@"
