#!/usr/bin/env bash
# Installs what building and testing korvex needs, when it is missing (Debian packages).
set -euo pipefail
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
command -v nm >/dev/null 2>&1 || need+=(binutils)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -d /usr/src/googletest ] || need+=(googletest)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
# The Python package, its tests (process pools and a Dask cluster), its examples' plots, and pip installs offline.
for package in python3 python3-numpy python3-scipy python3-pytest python3-distributed python3-matplotlib \
               python3-setuptools python3-venv python3-pip; do
  dpkg -s "$package" >/dev/null 2>&1 || need+=("$package")
done
if [ "${KORVEX_MUTATE:-0}" = 1 ]; then  # scripts/mutate.sh
  command -v python3 >/dev/null 2>&1 || need+=(python3)
  command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
fi
# The overhead benchmark compares with NLopt; only it links NLopt, never the library.
if [ "${KORVEX_BENCHMARK:-0}" = 1 ]; then
  [ -f /usr/include/nlopt.h ] || need+=(libnlopt-dev)
fi
if [ "${KORVEX_WINDOWS:-0}" = 1 ]; then
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
  command -v wine >/dev/null 2>&1 || need+=(wine64 wine)
fi
# clang with its sanitizer runtimes (ThreadSanitizer, libFuzzer): the runtimes are a separate package on Debian.
if [ "${KORVEX_CLANG:-0}" = 1 ]; then
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
  fuzzer_check='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
  if ! command -v clang++ >/dev/null 2>&1 ||
     ! echo "$fuzzer_check" | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null >/dev/null 2>&1; then
    need+=(libclang-rt-dev)
  fi
fi
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
