#!/bin/sh
# fuzz/coverage.sh [CORPUS_ROOT] - line coverage that the fuzz corpora reach.
#
# Builds the fuzz targets for source coverage in build/fuzz-cov, replays
# each target's corpus once (CORPUS_ROOT/TARGET, default build/fuzz-corpus;
# the generated seeds when a target has none there) and prints the llvm-cov
# report for header/, text/, cabinet/ and app/Options.cpp.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
FUZZ_BUILD_DIR=${FUZZ_COV_BUILD_DIR:-$(cd "$here/.." && pwd)/build/fuzz-cov}
. "$here/common.sh"
corpus_root=${1:-$root/build/fuzz-corpus}

fuzz_find_compiler || { echo "no clang that links libFuzzer" >&2; exit 2; }
suffix=$(echo "$CXX" | sed -n 's/^clang++//p')
profdata=llvm-profdata$suffix
llvmcov=llvm-cov$suffix

CC=$CC CXX=$CXX cmake -S "$root" -B "$build" -DSETUPHDR_FUZZ=ON \
  -DSETUPHDR_FUZZ_COVERAGE=ON -DSETUPHDR_BUILD_TESTS=OFF \
  -DSETUPHDR_STATIC=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz-header fuzz-cmdline fuzz-run \
  fuzz-cabinet fuzz-xml setuphdr-fuzz-seeds >/dev/null
rm -rf "$build/seeds" "$build/profiles"
mkdir -p "$build/seeds/header" "$build/seeds/cmdline" "$build/seeds/run" \
  "$build/seeds/cabinet" "$build/seeds/xml" "$build/profiles"
"$build/fuzz/setuphdr-fuzz-seeds" "$build/seeds" >/dev/null

objects=""
for target in $FUZZ_TARGETS; do
  corpus=$corpus_root/$target
  [ -d "$corpus" ] && [ -n "$(ls -A "$corpus")" ] || corpus=$build/seeds/$target
  echo "== replaying $corpus"
  if ! LLVM_PROFILE_FILE="$build/profiles/$target.profraw" \
    "$build/fuzz/fuzz-$target" -runs=0 -artifact_prefix="$build/profiles/" \
    "$corpus" "$build/seeds/$target" </dev/null >/dev/null 2>&1; then
    # An input still crashes (a regression seed before its fix) and the
    # profile went with the process: one process per input instead.
    rm -f "$build/profiles/$target.profraw"
    for input in "$corpus"/* "$build/seeds/$target"/*; do
      LLVM_PROFILE_FILE="$build/profiles/$target-%p.profraw" \
        "$build/fuzz/fuzz-$target" -artifact_prefix="$build/profiles/" \
        "$input" </dev/null >/dev/null 2>&1 ||
        echo "   crashes: $input"
    done
  fi
  if [ -z "$objects" ]; then
    objects="$build/fuzz/fuzz-$target"
  else
    objects="$objects -object $build/fuzz/fuzz-$target"
  fi
done
"$profdata" merge -sparse "$build/profiles/"*.profraw -o "$build/profiles/all.profdata"
# shellcheck disable=SC2086
"$llvmcov" report $objects -instr-profile="$build/profiles/all.profdata" \
  "$root/header" "$root/text" "$root/cabinet" "$root/app/Options.cpp"
