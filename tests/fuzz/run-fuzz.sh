#!/usr/bin/env bash
# Builds the configuration reader's libFuzzer target (fuzz preset) and runs it for a bounded
# time on a scratch copy of the seed corpus. Exits non-zero on any crash, leak, time-out or
# sanitizer report; the input that caused it is left in the run folder.
#   KVN_FUZZ_SECONDS    how long to fuzz (default 60)
#   KVN_FUZZ_BUILD_DIR  build folder (default build/fuzz beside the sources)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(realpath -m "${KVN_FUZZ_BUILD_DIR:-$here/build/fuzz}")
seconds=${KVN_FUZZ_SECONDS:-60}

cd "$here"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" -j2 --target config_file_fuzz

run=$build/fuzz-run/config_file
rm -rf "$run"
mkdir -p "$run/corpus" "$run/artifacts"
cp "$here"/tests/fuzz/corpus/* "$run/corpus/"
log=$run/fuzz.log

echo "Fuzzing the configuration reader for $seconds s (log: $log)"
status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  "$build/tests/fuzz/config_file_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$run/artifacts/" "$run/corpus" >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
if [ "$status" -ne 0 ] ||
   grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|deadly signal' "$log"; then
  tail -n 60 "$log"
  echo "config_file_fuzz FAILED (exit $status); inputs kept in $run/artifacts" >&2
  [ "$status" -ne 0 ] || status=1
  exit "$status"
fi
echo "config_file_fuzz: ${executions:-0} executions in $seconds s; no crash, leak or sanitizer report"
