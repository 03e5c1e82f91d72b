#!/usr/bin/env bash
# test-all.sh - builds setuphdr and runs every test:
#   1. Linux, debug, warnings as errors: unit and end-to-end tests;
#   2. Windows (mingw-w64), debug, warnings as errors: the same under Wine;
#   3. Linux with AddressSanitizer and UndefinedBehaviorSanitizer;
#   4. release builds for Linux, 64-bit Windows and 32-bit Windows: the same
#      suites (the 32-bit .exe under 32-bit Wine), then packages;
#   5. the web page, built with Emscripten, in headless Chromium against
#      the Linux release build, and its release zip;
#   6. a bounded fuzzing run of every fuzz target.
# The release builds are the Building section's folders: build/linux,
# build/windows and build/windows32. The 32-bit .exe is built and tested in
# the release build only, which keeps the whole run well within CI's time.
# Installs what it needs (as root). Never skips the Windows part: without
# Wine (64- and 32-bit) or mingw-w64 it fails.
#
# Wine runs in two prefixes of this command's own, build/wine-prefixes/x64
# and x86 (the 32-bit one made by the 32-bit loader), made afresh at each
# run; nothing goes to the home folder. Prints how long each step took and
# the total at the end, also when a step failed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh

jobs=$(nproc)
export WINEDEBUG=-all
fuzz_seconds=${SETUPHDR_FUZZ_SECONDS:-60}
wine_prefixes=$PWD/build/wine-prefixes
wine64_prefix=$wine_prefixes/x64
wine32_prefix=$wine_prefixes/x86

# step TITLE : ends the step before (noting its time) and starts this one.
step_title=
step_start=$SECONDS
run_start=$SECONDS
times=()
step() {
  end_step
  step_title=$*
  step_start=$SECONDS
  printf '\n==== %s\n' "$*"
}

# end_step : notes the running step's time, if a step is running.
end_step() {
  [ -n "$step_title" ] || return 0
  local spent=$((SECONDS - step_start))
  times+=("$(printf '%3d:%02d  %s' $((spent / 60)) $((spent % 60)) \
             "$step_title")")
  step_title=
}

# print_times : the time of each step and the total, on exit.
print_times() {
  local status=$?
  end_step
  local total=$((SECONDS - run_start))
  printf '\n==== Time per step (min:s)\n'
  printf '%s\n' "${times[@]}"
  printf '%3d:%02d  total%s\n' $((total / 60)) $((total % 60)) \
    "$([ "$status" -eq 0 ] || echo ", stopped by a failure")"
}
trap print_times EXIT

# build_and_test DIR CMAKE-ARGS... : configures, builds and runs CTest.
build_and_test() {
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure
}

# new_wine_prefix LOADER PREFIX : makes PREFIX afresh with LOADER (Wine's
# first start creates it) and checks that the loader starts a program in
# it. A start that fails is made again, a few times, after a pause.
new_wine_prefix() {
  local loader=$1 prefix=$2 attempt
  for attempt in 1 2 3 4; do
    WINEPREFIX=$prefix "$loader" cmd /c exit >/dev/null 2>&1 && return 0
    echo "note: $loader did not start a program in $prefix (attempt $attempt)"
    sleep "$attempt"
  done
  echo "error: $loader cannot start a program in $prefix" >&2
  return 1
}

step "Set-up: packages, sources and Wine prefixes"
need_packages cmake make g++ libgtest-dev python3 zlib1g-dev libexpat1-dev \
  cabextract g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
  libz-mingw-w64-dev wine64 g++-mingw-w64-i686 binutils-mingw-w64-i686 \
  clang libclang-rt-14-dev libmspack-dev dpkg-dev unzip
need_wine32
# The Windows builds compile expat from Debian's source package, fetched once.
expat_source=$(need_source expat "$PWD/build/deps")
for tool in x86_64-w64-mingw32-g++-posix /usr/lib/wine/wine64 \
            i686-w64-mingw32-g++-posix /usr/lib/wine/wine; do
  command -v "$tool" >/dev/null || { echo "error: $tool is missing" >&2; exit 1; }
done
# The prefixes of an earlier run go, with any Wine server still on them.
for prefix in "$wine64_prefix" "$wine32_prefix"; do
  [ -d "$prefix" ] && WINEPREFIX=$prefix /usr/lib/wine/wineserver -k \
    >/dev/null 2>&1 || true
done
rm -rf "$wine_prefixes"
mkdir -p "$wine_prefixes"
new_wine_prefix /usr/lib/wine/wine64 "$wine64_prefix"
new_wine_prefix /usr/lib/wine/wine "$wine32_prefix"

step "Linux, debug"
build_and_test build/linux-debug -DCMAKE_BUILD_TYPE=Debug -DSETUPHDR_WERROR=ON

step "Windows under Wine, debug"
build_and_test build/windows-debug -DCMAKE_BUILD_TYPE=Debug \
  -DSETUPHDR_WERROR=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DSETUPHDR_EXPAT_SOURCE="$expat_source" \
  -DSETUPHDR_WINEPREFIX="$wine64_prefix"

step "Linux with sanitizers"
build_and_test build/sanitize -DCMAKE_BUILD_TYPE=Debug -DSETUPHDR_WERROR=ON \
  -DSETUPHDR_STATIC=OFF \
  "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

step "Linux, release"
build_and_test build/linux -DCMAKE_BUILD_TYPE=Release -DSETUPHDR_WERROR=ON

step "Windows under Wine, release"
# Its .zip also carries the 32-bit .exe of the next step's build.
build_and_test build/windows -DCMAKE_BUILD_TYPE=Release -DSETUPHDR_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DSETUPHDR_EXPAT_SOURCE="$expat_source" \
  -DSETUPHDR_PACKAGE_X86_BUILD="$PWD/build/windows32" \
  -DSETUPHDR_WINEPREFIX="$wine64_prefix"

step "Windows 32-bit under 32-bit Wine, release"
build_and_test build/windows32 -DCMAKE_BUILD_TYPE=Release -DSETUPHDR_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DSETUPHDR_EXPAT_SOURCE="$expat_source" \
  -DSETUPHDR_WINEPREFIX="$wine32_prefix"

step "Packages"
packaging/test-packages.sh build/linux build/windows build/windows32

step "Web page in headless Chromium"
# The page built with Emscripten, against the Linux release build's binary
# and samples; then its release zip.
need_packages emscripten chromium chromium-driver python3-selenium
SETUPHDR_WEB_BUILD=$PWD/build/web scripts/build-web.sh build/web-page \
  -DSETUPHDR_WERROR=ON
/usr/bin/python3 tests/web/test_page.py --page build/web-page \
  --tool build/linux/setuphdr --samples build/linux \
  --work build/web-test --screenshot build/web-test/screenshot.png
packaging/test-packages.sh --web build/web

step "Fuzzing, ${fuzz_seconds} s per target"
FUZZ_EXPAT_SOURCE="$expat_source" fuzz/run.sh "$fuzz_seconds"

end_step
printf '\n==== All tests passed\n'
