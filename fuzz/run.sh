#!/bin/sh
# fuzz/run.sh SECONDS - build the fuzz targets, generate their seed corpora
# and run each target for SECONDS (default 60), one after the other.
#
# Each run starts from a fresh scratch copy of the generated seeds. Prints
# per target the executions, the coverage (cov/ft of libFuzzer's last
# status line) and the crashes; for a crash, the reproducer as a hex dump
# and the crash output. Exits 1 when any target crashed, 2 when the build
# or the setup failed, 0 otherwise.
#
# Needs clang with libFuzzer and cmake; when missing and run as root, they
# are installed with apt-get. Reads no standard input.
#
# Environment: FUZZ_BUILD_DIR (default build/fuzz), FUZZ_TARGETS (default
# "header cmdline run cabinet xml"), FUZZ_REALWORLD_DIR (real cabinets added to
# the cabinet seeds, default ../shared/realworld beside the project),
# FUZZ_EXPAT_SOURCE (an unpacked Debian expat source to compile expat from,
# instrumented; default Debian's libexpat.a).
set -eu

seconds=${1:-60}
case $seconds in
  ''|*[!0-9]*) echo "usage: $0 SECONDS" >&2; exit 2 ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

fuzz_prepare
status=0
summary=""
for target in $FUZZ_TARGETS; do
  scratch=$build/scratch/$target
  artifacts=$build/artifacts/$target
  log=$build/logs/$target.log
  rm -rf "$scratch" "$artifacts"
  mkdir -p "$scratch" "$artifacts" "$build/logs"
  cp "$build/seeds/$target/"* "$scratch/"
  echo "== fuzz-$target for ${seconds}s"
  rc=0
  "$build/fuzz/fuzz-$target" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$artifacts/" \
    "$scratch" </dev/null >"$log" 2>&1 || rc=$?
  line=$(fuzz_report "$target" "$log" "$artifacts" "$rc")
  summary="$summary$line
"
  if [ "$rc" -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
    status=1
    fuzz_show_crashes "$log" "$artifacts"
  fi
done

echo
echo "== summary (${seconds}s per target)"
printf '%s' "$summary"
exit $status
