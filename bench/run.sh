#!/usr/bin/env bash
# run.sh - builds Release setuphdr for Linux and Windows and prints its
# start-up, large-file and cabinet figures (see bench/measure.py for what is
# measured).
#
#   bench/run.sh [--runs N] [--large-runs N] [--cab-runs N]
#                [--callgrind-repeats N] [--realworld DIR]
#
# Installs valgrind, hyperfine, cabextract and python3 with apt-get when they
# are missing and it runs as root (without hyperfine the timings come from a
# loop in measure.py; without cabextract the real-cabinet figures are
# skipped). Builds into build/bench-native and build/bench-win; the Windows
# build needs mingw-w64 and is skipped without it. The build logs go to
# build/bench-*.log. Then the web page is built into build/bench-web
# (scripts/build-web.sh) and its figures printed (bench/web_bench.py). This
# prints figures and judges them against their goals; it never fails because
# of a figure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
native=build/bench-native
windows=build/bench-win

note() { printf '== %s\n' "$*" >&2; }

# install_missing COMMAND:PACKAGE... : installs the packages whose command is
# not found, when running as root with apt-get; says what it could not get.
install_missing() {
  local wanted=() pair
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null || wanted+=("${pair##*:}")
  done
  [ ${#wanted[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    note "installing ${wanted[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null || true
    # One at a time: a missing optional package keeps the others.
    for pair in "${wanted[@]}"; do
      apt-get install -y -qq --no-install-recommends "$pair" >/dev/null ||
        note "could not install $pair"
    done
  else
    note "missing ${wanted[*]}: not root or no apt-get, not installed"
  fi
}

install_missing valgrind:valgrind hyperfine:hyperfine cabextract:cabextract \
  python3:python3 readelf:binutils cc:gcc
for tool in valgrind python3 cmake readelf cc; do
  command -v "$tool" >/dev/null || { echo "error: $tool is required" >&2; exit 1; }
done

# build DIR LOG CMAKE-ARGS... : configures and builds one Release tree.
build() {
  local dir=$1 log=$2
  shift 2
  if ! { cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release \
           -DSETUPHDR_BUILD_TESTS=OFF "$@" &&
         cmake --build "$dir" -j"$jobs"; } >"$log" 2>&1; then
    echo "error: building $dir failed; the end of $log:" >&2
    tail -n 30 "$log" >&2
    exit 1
  fi
}

mkdir -p build
note "building Linux Release in $native"
build "$native" build/bench-native.log
windows_args=()
if command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  # The Windows build compiles expat from Debian's source package.
  expat_source=$(. scripts/deps.sh && need_source expat "$PWD/build/deps")
  note "building Windows Release in $windows"
  build "$windows" build/bench-win.log \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DSETUPHDR_EXPAT_SOURCE="$expat_source"
  windows_args=(--windows "$windows")
else
  note "no mingw-w64 (x86_64-w64-mingw32-g++-posix): Windows figures skipped"
fi

note "measuring"
status=0
python3 bench/measure.py --native "$native" "${windows_args[@]}" "$@" || status=$?

# The web page: its size, and its WebAssembly core under Node against the
# native build (bench/web_bench.py).
note "building the web page in build/bench-web"
if SETUPHDR_WEB_BUILD=$PWD/build/bench-web scripts/build-web.sh \
     build/bench-web-page >build/bench-web.log 2>&1; then
  python3 bench/web_bench.py --native "$native" --page build/bench-web-page \
    "$@" || status=$?
else
  note "the web page did not build (see build/bench-web.log): its figures skipped"
fi
exit "$status"
