# fuzz/common.sh - shared steps of run.sh and run-long.sh (sourced, POSIX sh).
#
# Sets root, build, CC, CXX and FUZZ_TARGETS, and provides:
#   fuzz_prepare             tools, configure, build, fresh seeds in $build/seeds
#   fuzz_report T LOG DIR RC one summary line for target T
#   fuzz_show_crashes LOG DIR  hex dump of each reproducer and the crash output

root=$(cd "$here/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
FUZZ_TARGETS=${FUZZ_TARGETS:-"header cmdline run cabinet xml"}
export DEBIAN_FRONTEND=noninteractive

# True when $1 (a C++ compiler) links a libFuzzer program.
fuzz_compiler_works() {
  probe=$(mktemp -d)
  printf '%s\n' 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' \
    >"$probe/probe.cpp"
  ok=1
  "$1" -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" \
    >/dev/null 2>&1 || ok=0
  rm -rf "$probe"
  [ $ok -eq 1 ]
}

fuzz_find_compiler() {
  for cxx in clang++ clang++-14; do
    if command -v "$cxx" >/dev/null 2>&1 && fuzz_compiler_works "$cxx"; then
      CXX=$cxx
      CC=$(echo "$cxx" | sed 's/clang++/clang/')
      return 0
    fi
  done
  return 1
}

fuzz_install_tools() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "clang with libFuzzer, cmake or libmspack-dev is missing; run as root to install them" >&2
    exit 2
  fi
  echo "== installing clang-14, libclang-rt-14-dev, cmake and libmspack-dev with apt-get"
  apt-get update -qq </dev/null
  apt-get install -y -qq --no-install-recommends clang-14 libclang-rt-14-dev \
    llvm-14 cmake make libmspack-dev </dev/null
}

# True when libmspack's static library (the cabinet target's outside
# reader) is installed.
fuzz_have_mspack() {
  dpkg-query -W -f='${Status}' libmspack-dev 2>/dev/null | grep -q 'install ok installed'
}

fuzz_prepare() {
  if ! command -v cmake >/dev/null 2>&1 || ! fuzz_find_compiler ||
     ! fuzz_have_mspack; then
    fuzz_install_tools
    fuzz_find_compiler || { echo "no clang that links libFuzzer" >&2; exit 2; }
  fi

  # A build directory made with another compiler cannot be reused.
  if [ -f "$build/CMakeCache.txt" ] &&
     ! grep -q '^CMAKE_CXX_COMPILER:[A-Z]*=.*clang' "$build/CMakeCache.txt"; then
    rm -rf "$build"
  fi
  echo "== building the fuzz targets in $build with $CXX"
  # FUZZ_EXPAT_SOURCE: an unpacked Debian expat source, compiled with the
  # instrumentation instead of linking Debian's libexpat.a.
  CC=$CC CXX=$CXX cmake -S "$root" -B "$build" -DSETUPHDR_FUZZ=ON \
    -DSETUPHDR_BUILD_TESTS=OFF -DSETUPHDR_STATIC=OFF -DSETUPHDR_WERROR=ON \
    ${FUZZ_EXPAT_SOURCE:+"-DSETUPHDR_EXPAT_SOURCE=$FUZZ_EXPAT_SOURCE"} \
    >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 2; }
  cmake --build "$build" -j2 --target fuzz-header fuzz-cmdline fuzz-run \
    fuzz-cabinet fuzz-xml setuphdr-fuzz-seeds setuphdr-sample >"$build.build.log" 2>&1 ||
    { tail -50 "$build.build.log"; exit 2; }

  # Seeds: written by the seed generator, plus the bundled sample file and
  # the real cabinets beside the project, when that folder is there (behind
  # control bytes that ask for every change and the signature's removal).
  rm -rf "$build/seeds"
  mkdir -p "$build/seeds/header" "$build/seeds/cmdline" "$build/seeds/run" \
    "$build/seeds/cabinet" "$build/seeds/xml"
  "$build/fuzz/setuphdr-fuzz-seeds" "$build/seeds" || exit 2
  "$build/setuphdr-sample" "$build/seeds/header/sample.000" || exit 2
  for cab in "${FUZZ_REALWORLD_DIR:-$root/../shared/realworld}"/*.cab; do
    [ -f "$cab" ] || continue
    { printf '\017'; dd if=/dev/zero bs=28 count=1 2>/dev/null; cat "$cab"; } \
      >"$build/seeds/cabinet/realworld-$(basename "$cab")"
  done
}

# Prints "TARGET executions=N cov=C ft=F crashes=K" from a libFuzzer log.
fuzz_report() {
  target=$1 log=$2 artifacts=$3 rc=$4
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ -z "$execs" ]; then  # fork mode: "#N: cov: ..." status lines
    execs=$(sed -n 's/^#\([0-9]*\):* .*cov: .*/\1/p' "$log" | tail -1)
  fi
  last_status=$(grep 'cov: ' "$log" | tail -1)
  cov=$(echo "$last_status" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  ft=$(echo "$last_status" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
  crashes=$(ls -A "$artifacts" | wc -l)
  if [ "$rc" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes="1(rc=$rc)"; fi
  printf '%-8s executions=%s cov=%s ft=%s crashes=%s\n' "$target" \
    "${execs:-?}" "${cov:-?}" "${ft:-?}" "$crashes"
}

fuzz_show_crashes() {
  log=$1 artifacts=$2
  for reproducer in "$artifacts"/*; do
    [ -f "$reproducer" ] || continue
    echo "-- reproducer $reproducer ($(wc -c <"$reproducer") bytes)"
    od -A x -t x1z -v "$reproducer"
  done
  echo "-- crash output ($log)"
  # From the first report on, or the end of the log.
  first=$(grep -n -m1 -E '^==[0-9]+==|fuzz invariant violated|runtime error:' \
    "$log" | cut -d: -f1)
  if [ -n "$first" ]; then
    tail -n "+$first" "$log" | head -80
  else
    tail -40 "$log"
  fi
}
