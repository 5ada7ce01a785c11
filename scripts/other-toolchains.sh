#!/usr/bin/env bash
# Builds the core, the worker pool and their C++ tests (no Python) with two
# more toolchains and runs the tests:
#   1. MinGW-w64 for 64-bit Windows (cross build, cmake/mingw-w64-x86_64.cmake),
#      the tests run under Wine;
#   2. clang with LLVM's C++ library, libc++.
# GoogleTest is built from Debian's sources with each toolchain. Installs the
# Debian packages it needs when they are missing. Called by scripts/test.sh
# (stage "toolchains"); RASTERLOOM_TOOLCHAINS selects "mingw", "libcxx" or both.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
toolchains=${RASTERLOOM_TOOLCHAINS:-"mingw libcxx"}
want_toolchain() { [[ " $toolchains " == *" $1 "* ]]; }
jobs=$(nproc)
step() { printf '\n== %s ==\n' "$*"; }
gtest_sources=/usr/src/googletest

# Package, and a file that shows it is installed.
required=(
  "googletest $gtest_sources/CMakeLists.txt"
)
if want_toolchain mingw; then
  required+=("g++-mingw-w64-x86-64-posix /usr/bin/x86_64-w64-mingw32-g++-posix"
             "wine64 /usr/lib/wine/wine64"
             "wine /usr/bin/wine")
fi
if want_toolchain libcxx; then
  required+=("clang /usr/bin/clang++"
             "libc++-dev /usr/lib/llvm-14/include/c++/v1/vector"
             "libc++abi-dev /usr/lib/llvm-14/lib/libc++abi.so")
fi
missing=()
for entry in "${required[@]}"; do
  read -r package file <<<"$entry"
  [ -e "$file" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  step "System packages: ${missing[*]}"
  sudo_if_needed=()
  [ "$(id -u)" -eq 0 ] || sudo_if_needed=(sudo)
  "${sudo_if_needed[@]}" apt-get update -qq
  "${sudo_if_needed[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Configure, build and test one build folder. Extra arguments go to CMake;
# ctest_extra holds extra arguments for ctest.
ctest_extra=()
build_and_test() {
  local dir=$1; shift
  cmake -S . -B "$dir" -Wno-deprecated -DRASTERLOOM_BUILD_MODULE=OFF -DRASTERLOOM_BUILD_TESTS=ON \
    -DRASTERLOOM_GTEST_SOURCE_DIR="$gtest_sources" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "${ctest_extra[@]}"
}

if want_toolchain mingw; then
  step "C++ tests built with MinGW-w64, run under Wine"
  # The Wine prefix stays out of the checkout: its drive z: links to /, and
  # whatever walks the tree (the sdist build, for one) would follow it.
  export WINEPREFIX="${XDG_CACHE_HOME:-$HOME/.cache}/rasterloom/wine" WINEDEBUG=-all
  mkdir -p "$WINEPREFIX"
  # Wine fills its prefix on first use and starts its server with the first
  # program; a test started in parallel while either happens can fail to
  # start at all (seen: a test failing in no time with no output). Both are
  # done once before the tests, the server kept running until they end, and
  # a test that fails is run once more (a real failure fails twice).
  wineboot --init >/dev/null 2>&1 || true
  wineserver -p 2>/dev/null || true
  ctest_extra=(--repeat until-pass:2)
  build_and_test build/mingw -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  ctest_extra=()
  # Wine's server lingers for a few seconds after the last program; end it
  # now so that it holds nothing open in build/.
  wineserver -k 2>/dev/null || true
fi

if want_toolchain libcxx; then
  step "C++ tests built with clang and libc++"
  CC=clang CXX=clang++ build_and_test build/libcxx -DCMAKE_CXX_FLAGS=-stdlib=libc++
fi
