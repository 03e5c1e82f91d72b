#!/usr/bin/env bash
# test-all.sh - builds setuphdr and runs every test:
#   1. Linux, debug, warnings as errors: unit and end-to-end tests;
#   2. Windows (mingw-w64), debug, warnings as errors: the same under Wine;
#   3. Linux with AddressSanitizer and UndefinedBehaviorSanitizer;
#   4. release builds for Linux, 64-bit Windows and 32-bit Windows: the same
#      suites (the 32-bit .exe under 32-bit Wine, in a prefix of its own),
#      then packages;
#   5. a bounded fuzzing run of every fuzz target.
# The 32-bit .exe is built and tested in the release build only, which keeps
# the whole run well within CI's time. Installs what it needs (as root).
# Never skips the Windows part: without Wine (64- and 32-bit) or mingw-w64
# it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
need_packages cmake make g++ libgtest-dev python3 zlib1g-dev libexpat1-dev cabextract \
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libz-mingw-w64-dev wine64 \
  g++-mingw-w64-i686 binutils-mingw-w64-i686 \
  clang libclang-rt-14-dev dpkg-dev unzip
need_wine32
# The Windows builds compile expat from Debian's source package, fetched once.
expat_source=$(need_source expat "$PWD/build/deps")

jobs=$(nproc)
export WINEDEBUG=-all
fuzz_seconds=${SETUPHDR_FUZZ_SECONDS:-60}

step() { printf '\n==== %s\n' "$*"; }

# build_and_test DIR CMAKE-ARGS... : configures, builds and runs CTest.
build_and_test() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure
}

for tool in x86_64-w64-mingw32-g++-posix /usr/lib/wine/wine64 \
            i686-w64-mingw32-g++-posix /usr/lib/wine/wine; do
  command -v "$tool" >/dev/null || { echo "error: $tool is missing" >&2; exit 1; }
done
# The first start of Wine creates its prefix; do it once, up front. The
# 32-bit runs have a prefix of their own, made by the 32-bit loader, and it
# must start a 32-bit program.
/usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true
wine32_prefix=${HOME:-/root}/.wine-setuphdr-x86
WINEPREFIX=$wine32_prefix /usr/lib/wine/wine cmd /c exit >/dev/null 2>&1 || true
WINEPREFIX=$wine32_prefix /usr/lib/wine/wine cmd /c exit || {
  echo "error: 32-bit Wine cannot start a program in $wine32_prefix" >&2
  exit 1
}

step "Linux, debug"
build_and_test build/ci-linux -DCMAKE_BUILD_TYPE=Debug -DSETUPHDR_WERROR=ON

step "Windows under Wine, debug"
build_and_test build/ci-windows -DCMAKE_BUILD_TYPE=Debug -DSETUPHDR_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DSETUPHDR_EXPAT_SOURCE="$expat_source"

step "Linux with sanitizers"
build_and_test build/ci-sanitize -DCMAKE_BUILD_TYPE=Debug -DSETUPHDR_WERROR=ON \
  -DSETUPHDR_STATIC=OFF \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

step "Linux, release"
build_and_test build/ci-linux-release -DCMAKE_BUILD_TYPE=Release -DSETUPHDR_WERROR=ON

step "Windows under Wine, release"
# Its .zip also carries the 32-bit .exe of the next step's build.
build_and_test build/ci-windows-release -DCMAKE_BUILD_TYPE=Release -DSETUPHDR_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DSETUPHDR_EXPAT_SOURCE="$expat_source" \
  -DSETUPHDR_PACKAGE_X86_BUILD="$PWD/build/ci-windows32-release"

step "Windows 32-bit under 32-bit Wine, release"
build_and_test build/ci-windows32-release -DCMAKE_BUILD_TYPE=Release -DSETUPHDR_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DSETUPHDR_EXPAT_SOURCE="$expat_source" \
  -DSETUPHDR_WINEPREFIX="$wine32_prefix"

step "Packages"
packaging/test-packages.sh build/ci-linux-release build/ci-windows-release \
  build/ci-windows32-release

step "Web page in headless Chromium"
# The page built with Emscripten, against the Linux release build's binary
# and samples; then its release zip.
need_packages emscripten chromium chromium-driver python3-selenium
SETUPHDR_WEB_BUILD=$PWD/build/ci-web scripts/build-web.sh build/ci-web-page \
  -DSETUPHDR_WERROR=ON
/usr/bin/python3 tests/web/test_page.py --page build/ci-web-page \
  --tool build/ci-linux-release/setuphdr --samples build/ci-linux-release \
  --work build/ci-web-test --screenshot build/ci-web-test/screenshot.png
packaging/test-packages.sh --web build/ci-web

step "Fuzzing, ${fuzz_seconds} s per target"
FUZZ_EXPAT_SOURCE="$expat_source" fuzz/run.sh "$fuzz_seconds"

step "All tests passed"
