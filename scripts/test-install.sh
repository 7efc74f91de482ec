#!/usr/bin/env bash
# Installs korvex into fresh prefixes and builds the consumer project tests/consumer against them, outside the
# source tree, as a user's project would: on Linux with find_package and with pkg-config, for Windows with
# find_package through the mingw-w64 toolchain and with the plain compiler command of docs/windows.md, run under
# Wine. Checks the installed trees too: exactly the expected files, the SONAME, the DLL's image version.
# Usage: bash scripts/test-install.sh [linux-build-dir [windows-build-dir]]   (defaults: build, build-windows)
#   A build folder that is already configured is installed as it is (CI passes the ones the test stages built);
#   a missing one is configured without tests and examples. KORVEX_INSTALL_WINDOWS=0 skips the Windows half.
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
start=$SECONDS
windows="${KORVEX_INSTALL_WINDOWS:-1}"
KORVEX_WINDOWS="$windows" bash scripts/install-deps.sh
command -v pkg-config >/dev/null 2>&1 || { echo "pkg-config is missing" >&2; exit 1; }

version=$(sed -n 's/^project(korvex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
minor=${version#*.}
minor=${minor%%.*}
[ -n "$version" ] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }

work=$(mktemp -d)
cleanup() {
  if [ -n "${WINEPREFIX:-}" ]; then wineserver -k </dev/null >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "test-install: $*" >&2; exit 1; }

# configure_and_install <build-dir> <prefix> [cmake arguments...]: builds only the library when the folder is new.
configure_and_install() {
  local build=$1 prefix=$2
  shift 2
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DKORVEX_BUILD_TESTS=OFF -DKORVEX_BUILD_EXAMPLES=OFF "$@" >/dev/null
  fi
  cmake --build "$build" -j"$(nproc)" --target korvex >/dev/null
  cmake --install "$build" --prefix "$prefix" >/dev/null
}

# expect_tree <prefix> <file>...: the installed files and links are exactly the public headers and the given ones
# (korvexTargets-<config>.cmake stands for the build type's file).
expect_tree() {
  local prefix=$1
  shift
  local expected actual
  expected=$( { (cd include && find korvex -type f | sed 's|^|include/|'); echo include/korvex/version.h;
                printf '%s\n' "$@"; } | sort)
  actual=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' |
           sed 's|korvexTargets-[a-z]*\.cmake$|korvexTargets-<config>.cmake|' | sort)
  if [ "$expected" != "$actual" ]; then
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    fail "$prefix: installed files differ from the expected ones (< expected, > installed)"
  fi
}

package_files() {
  local libdir=$1
  printf '%s\n' "$libdir/cmake/korvex/korvexConfig.cmake" "$libdir/cmake/korvex/korvexConfigVersion.cmake" \
    "$libdir/cmake/korvex/korvexTargets.cmake" "$libdir/cmake/korvex/korvexTargets-<config>.cmake" \
    "$libdir/pkgconfig/korvex.pc"
}

# Linux: the shared library with its version and SONAME, the CMake package and korvex.pc.
linux_build="${1:-build}"
prefix="$work/linux"
configure_and_install "$linux_build" "$prefix"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$linux_build/CMakeCache.txt")
mapfile -t package < <(package_files "$libdir")
expect_tree "$prefix" "${package[@]}" "$libdir/libkorvex.so" "$libdir/libkorvex.so.$major" \
  "$libdir/libkorvex.so.$version"
soname=$(readelf -d "$prefix/$libdir/libkorvex.so.$version" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libkorvex.so.$major" ] || fail "SONAME is '$soname', not libkorvex.so.$major"
[ "$(readlink "$prefix/$libdir/libkorvex.so")" = "libkorvex.so.$major" ] || fail "libkorvex.so does not name the SONAME"
[ "$(readlink "$prefix/$libdir/libkorvex.so.$major")" = "libkorvex.so.$version" ] || fail "SONAME link is wrong"

cmake -S tests/consumer -B "$work/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DKORVEX_EXPECTED_VERSION="$version" >/dev/null
cmake --build "$work/consumer-cmake" -j"$(nproc)" >/dev/null
ctest --test-dir "$work/consumer-cmake" --output-on-failure

export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
[ "$(pkg-config --modversion korvex)" = "$version" ] || fail "korvex.pc does not carry version $version"
mkdir -p "$work/consumer-pkg-config"
read -r -a flags <<<"$(pkg-config --cflags --libs korvex)"
rpath="-Wl,-rpath,$(pkg-config --variable=libdir korvex)"
expected_version="-DKORVEX_EXPECTED_VERSION=\"$(pkg-config --modversion korvex)\""
cc -std=c11 -Wall -Wextra -Wpedantic -Werror "$expected_version" tests/consumer/consumer.c "${flags[@]}" "$rpath" \
  -lm -o "$work/consumer-pkg-config/consumer_c"
c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror "$expected_version" tests/consumer/consumer.cpp "${flags[@]}" \
  "$rpath" -o "$work/consumer-pkg-config/consumer_cpp"
"$work/consumer-pkg-config/consumer_c"
"$work/consumer-pkg-config/consumer_cpp"
echo "Linux install: $prefix has exactly the expected files; consumer built with find_package and pkg-config"

if [ "$windows" = 1 ]; then
  # Windows: the DLL in bin/, the import library, CMake package and korvex.pc in lib/.
  windows_build="${2:-build-windows}"
  wprefix="$work/windows"
  toolchain="$source/cmake/mingw-w64-x86_64.cmake"
  configure_and_install "$windows_build" "$wprefix" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  mapfile -t package < <(package_files lib)
  expect_tree "$wprefix" "${package[@]}" bin/korvex.dll lib/libkorvex.dll.a
  image=$(x86_64-w64-mingw32-objdump -p "$wprefix/bin/korvex.dll" |
          awk '/MajorImageVersion/ {major = $2} /MinorImageVersion/ {minor = $2} END {print major "." minor}')
  [ "$image" = "$major.$minor" ] || fail "korvex.dll carries image version $image, not $major.$minor"

  export WINEDEBUG=-all WINEARCH=win64
  export WINEPREFIX="$PWD/$windows_build/wine-prefix"
  mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  WINEDLLOVERRIDES="mscoree=d;mshtml=d" wine wineboot --init </dev/null >/dev/null 2>&1

  # The cross toolchain searches packages only under the MinGW sysroot, so the package folder is named directly.
  cmake -S tests/consumer -B "$work/consumer-windows" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -Dkorvex_DIR="$wprefix/lib/cmake/korvex" -DKORVEX_EXPECTED_VERSION="$version" >/dev/null
  cmake --build "$work/consumer-windows" -j"$(nproc)" >/dev/null
  ctest --test-dir "$work/consumer-windows" --output-on-failure

  # The command of docs/windows.md: with -static, the import library is named as a file (-lkorvex would look for
  # a static libkorvex.a only).
  mkdir -p "$work/consumer-static"
  x86_64-w64-mingw32-gcc-posix -static -O2 -Wall -Wextra -Wpedantic -Werror "-DKORVEX_EXPECTED_VERSION=\"$version\"" \
    -I"$wprefix/include" tests/consumer/consumer.c "$wprefix/lib/libkorvex.dll.a" \
    -o "$work/consumer-static/consumer_c.exe"
  cp "$wprefix/bin/korvex.dll" "$work/consumer-static/"
  status=0
  wine "$work/consumer-static/consumer_c.exe" </dev/null >"$work/consumer-static/output.txt" 2>&1 || status=$?
  tr -d '\r' <"$work/consumer-static/output.txt"
  [ "$status" = 0 ] || fail "the statically linked Windows consumer failed ($status)"
  imports=$(x86_64-w64-mingw32-objdump -p "$work/consumer-static/consumer_c.exe" | sed -n 's/.*DLL Name: //p')
  grep -qx 'korvex.dll' <<<"$imports" || fail "the statically linked Windows consumer does not import korvex.dll"
  echo "Windows install: $wprefix has exactly the expected files; consumer built with find_package and gcc -static"
fi
echo "install stage: $((SECONDS - start)) s"
