#!/usr/bin/env bash
# Runs every test of the project on a fresh Debian 12 machine (as root): installs what is
# needed, then the native unit tests with and without ASan/UBSan, the Windows unit tests under Wine,
# both Windows builds, the formatting check, the fuzz run and the end-to-end suite under
# Wine. Ends with one line "N passed, N failed" and a non-zero exit when anything failed.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
logs=build/logs
jobs=${KVN_JOBS:-2}

bash scripts/install-deps.sh || { echo "0 passed, 1 failed"; exit 1; }
mkdir -p "$logs"

passed=0
failed=0
failures=()

# Adds the counts a runner printed; a stage that fails without counts counts as one failure.
count() {
  local name=$1 status=$2 p=$3 f=$4
  if [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then f=1; fi
  passed=$((passed + p))
  failed=$((failed + f))
  [ "$status" -ne 0 ] && failures+=("$name")
  printf '== %-16s %s (%d passed, %d failed)\n' "$name" "$([ "$status" -eq 0 ] && echo ok || echo FAILED)" "$p" "$f"
}

# Runs one stage, its output both shown and kept in build/logs/<name>.log.
run() {
  local name=$1
  shift
  echo "== $name: $*"
  "$@" 2>&1 | tee "$logs/$name.log"
  return "${PIPESTATUS[0]}"
}

ctest_counts() {  # "100% tests passed, 0 tests failed out of 42"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
  if [ -z "$line" ]; then echo "0 0"; return; fi
  local f t
  f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  echo "$((t - f)) $f"
}

gtest_counts() {  # "[  PASSED  ] 57 tests." / "[  FAILED  ] 2 tests, listed below:"
  local p f
  p=$(grep -aE '^\[  PASSED  \] [0-9]+ test' "$1" | tail -1 | grep -oE '[0-9]+' | head -1)
  f=$(grep -aE '^\[  FAILED  \] [0-9]+ test' "$1" | tail -1 | grep -oE '[0-9]+' | head -1)
  echo "${p:-0} ${f:-0}"
}

pytest_counts() {  # "==== 12 passed, 1 failed in 93.2s ===="
  local line p f
  line=$(grep -aE '^=+ .*(passed|failed|error).* in [0-9.]+s' "$1" | tail -1)
  p=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+')
  f=0
  for n in $(grep -oE '[0-9]+ (failed|errors?)' <<<"$line" | grep -oE '[0-9]+'); do f=$((f + n)); done
  echo "${p:-0} $f"
}

# 1. Formatting.
run format scripts/check-format.sh
count format $? 1 0

# 1b. The portable core as strict ISO C++17 with a second compiler.
run portable scripts/check-portable.sh
count portable $? 1 0

# 2. Native unit tests under the sanitizers.
run native bash -c "cmake --preset native >/dev/null && cmake --build --preset native -j$jobs && ctest --preset native -j$jobs"
st=$?
read -r p f < <(ctest_counts "$logs/native.log")
count native "$st" "$p" "$f"

# 2b. The same unit tests without the sanitizers: nothing in them may lean on their runtime.
run plain bash -c "cmake --preset plain >/dev/null && cmake --build --preset plain -j$jobs --target kvn_unit_tests && build/plain/tests/kvn_unit_tests --gtest_brief=1"
st=$?
read -r p f < <(gtest_counts "$logs/plain.log")
count plain "$st" "$p" "$f"

# 3. The same unit tests built for 64-bit Windows, run under Wine; this also builds kelvarn.exe.
run win64 bash -c "cmake --preset win64 >/dev/null && cmake --build --preset win64 -j$jobs && tests/wine/run-under-wine.sh build/win64/tests/kvn_unit_tests.exe --gtest_brief=1"
st=$?
read -r p f < <(gtest_counts "$logs/win64.log")
count win64 "$st" "$p" "$f"

# 4. The 32-bit Windows build (it cannot run here).
run win32 bash -c "cmake --preset win32 >/dev/null && cmake --build --preset win32 -j$jobs && test -f build/win32/kelvarn.exe"
count win32 $? 1 0

# 5. Fuzzing the configuration reader for a bounded time.
if [ -x tests/fuzz/run-fuzz.sh ]; then
  run fuzz tests/fuzz/run-fuzz.sh
  count fuzz $? 1 0
fi

# 6. The real kelvarn.exe end to end under Wine.
if [ -x tests/e2e/run-e2e.sh ]; then
  run e2e tests/e2e/run-e2e.sh
  st=$?
  read -r p f < <(pytest_counts "$logs/e2e.log")
  count e2e "$st" "$p" "$f"
fi

echo
if [ "${#failures[@]}" -gt 0 ]; then echo "Failed stages: ${failures[*]} (logs in $logs/)"; fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
