#!/usr/bin/env bash
# Cross-builds korvex.dll and the test programs for Windows x86-64 (mingw-w64), checks the DLL's import and export
# tables, and runs the whole suite under Wine through ctest (index checks of the array views on).
# Usage: bash scripts/test-windows.sh [build-dir] [extra cmake arguments...]   (default build-dir: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
KORVEX_WINDOWS=1 bash scripts/install-deps.sh
installed=$SECONDS

build="${1:-build-windows}"
shift || true
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DKORVEX_BUILD_BENCHMARKS=OFF \
  -DKORVEX_BOUNDS_CHECKS=ON "$@"
cmake --build "$build" -j"$(nproc)"
built=$SECONDS

# Imports: system DLLs only. Exports: every name a public one, undecorated, every KVW_ entry function present.
cmake -DDLL="$build/bin/korvex.dll" -DEXPECTED=tests/api/exported_names.txt -DOBJDUMP=x86_64-w64-mingw32-objdump \
  -P cmake/check_dll.cmake

# A private Wine prefix under the build folder. The server is started once and kept running (-p), and the prefix
# initialised before the tests: otherwise every test program starts its own server, and ctest waits for each one
# to exit. No Wine process may hold ctest's output open, hence the redirections.
export WINEDEBUG=-all
export WINEPREFIX="$PWD/$build/wine-prefix"
export WINEARCH=win64
mkdir -p "$WINEPREFIX"
stop_wine() { wineserver -k </dev/null >/dev/null 2>&1 || true; }
trap stop_wine EXIT
wineserver -p </dev/null >/dev/null 2>&1
WINEDLLOVERRIDES="mscoree=d;mshtml=d" wine wineboot --init </dev/null >/dev/null 2>&1
booted=$SECONDS

ctest --test-dir "$build" --output-on-failure --timeout 600 -j"$(nproc)"
echo "Windows stage: install $((installed - start)) s, build $((built - installed)) s," \
  "Wine start $((booted - built)) s, tests $((SECONDS - booted)) s, total $((SECONDS - start)) s"
