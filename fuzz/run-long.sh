#!/bin/sh
# fuzz/run-long.sh DURATION - the long fuzz run before a release.
#
# DURATION is per target: a number of seconds or a number with s, m or h
# (45m, 2h). Builds the targets and their seeds as run.sh does, then runs
# each target in turn in libFuzzer's fork mode, going on after a crash so
# that one run can collect several. The corpus grows across runs in
# build/fuzz-corpus/TARGET (the generated seeds are merged in each time);
# reproducers go to build/fuzz-corpus/artifacts-STAMP/TARGET.
#
# Prints per target the executions, the coverage (cov/ft) and the crashes,
# with a hex dump of each reproducer. Exits 1 when any target crashed.
#
# Environment: FUZZ_JOBS (parallel fork jobs per target, default 1),
# FUZZ_BUILD_DIR, FUZZ_TARGETS as for run.sh, FUZZ_CORPUS_DIR (default
# build/fuzz-corpus).
set -eu

case ${1:-} in
  *[0-9]h) seconds=$(( ${1%h} * 3600 )) ;;
  *[0-9]m) seconds=$(( ${1%m} * 60 )) ;;
  *[0-9]s) seconds=${1%s} ;;
  *[0-9]) seconds=$1 ;;
  *) echo "usage: $0 DURATION   (for example 30m or 2h, per target)" >&2; exit 2 ;;
esac
case $seconds in
  ''|*[!0-9]*) echo "usage: $0 DURATION" >&2; exit 2 ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

jobs=${FUZZ_JOBS:-1}
corpus_root=${FUZZ_CORPUS_DIR:-$root/build/fuzz-corpus}
stamp=$(date +%Y%m%d-%H%M%S)

fuzz_prepare
status=0
summary=""
for target in $FUZZ_TARGETS; do
  corpus=$corpus_root/$target
  artifacts=$corpus_root/artifacts-$stamp/$target
  log=$corpus_root/logs-$stamp/$target.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  echo "== fuzz-$target for ${seconds}s, $jobs job(s), corpus $corpus"
  rc=0
  # The first directory collects new inputs; the seeds are read only.
  (cd "$artifacts" && "$build/fuzz/fuzz-$target" -fork="$jobs" \
    -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$artifacts/" \
    "$corpus" "$build/seeds/$target" </dev/null >"$log" 2>&1) || rc=$?
  line=$(fuzz_report "$target" "$log" "$artifacts" "$rc")
  summary="$summary$line   corpus=$(ls "$corpus" | wc -l) files
"
  if [ -n "$(ls -A "$artifacts")" ]; then
    status=1
    fuzz_show_crashes "$log" "$artifacts"
  fi
done

echo
echo "== summary (${seconds}s per target, logs in $corpus_root/logs-$stamp)"
printf '%s' "$summary"
exit $status
