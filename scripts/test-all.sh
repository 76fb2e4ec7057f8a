#!/usr/bin/env bash
# Runs every test of the project on a fresh Debian 12 machine (as root): installs what is
# needed, then the formatting check, the Windows unit tests of both builds (x64 and x86) under
# Wine, and the end-to-end suites under Wine for both builds, one after the other; beside those,
# at the lowest priority, the native unit tests with and without ASan/UBSan, the threaded ones
# under ThreadSanitizer and the fuzz run. Each stage line gives its counts and seconds. Ends with
# one line "N passed, N failed" and a non-zero exit when anything failed.
#
# The x86 build runs in 32-bit Wine prefixes (32-bit Windows) under Wine's 32-bit loader, which
# needs wine32:i386 (install-deps.sh brings it) and a kernel that runs 32-bit programs. Where
# either is missing the x86 stages that run programs are skipped, each with the reason; the x86
# build and its packages are still made and checked.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 2
logs=build/logs
jobs=${KVN_JOBS:-2}

bash scripts/install-deps.sh || { echo "0 passed, 1 failed"; exit 1; }
mkdir -p "$logs"

passed=0
failed=0
failures=()
skipped=()
started=$SECONDS
stage_started=$SECONDS

# Adds the counts a runner printed; a stage that fails without counts counts as one failure.
# Status 77: the stage's programs cannot run on this machine (an x86 build without a working
# 32-bit Wine); its reason is the log's "skipped:" line. Optional 5th argument: the seconds.
count() {
  local name=$1 status=$2 p=$3 f=$4 seconds=${5:-$((SECONDS - stage_started))} verdict=ok
  if [ "$status" -eq 77 ]; then
    verdict="skipped: $(grep -aom1 'the x86 build cannot run here: .*' "$logs/$name.log")"
    skipped+=("$name")
  elif [ "$status" -ne 0 ]; then
    verdict=FAILED
    [ "$f" -eq 0 ] && f=1
    failures+=("$name")
  fi
  passed=$((passed + p))
  failed=$((failed + f))
  printf '== %-16s %s (%d passed, %d failed, %d s)\n' "$name" "$verdict" "$p" "$f" "$seconds"
}

# Runs one stage, its output both shown and kept in build/logs/<name>.log.
run() {
  local name=$1
  shift
  stage_started=$SECONDS
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
  local line p f n
  line=$(grep -aE '^=+ .*(passed|failed|error).* in [0-9.]+s' "$1" | tail -1)
  p=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+')
  f=0
  while read -r n; do f=$((f + n)); done < <(grep -oE '[0-9]+ (failed|errors?)' <<<"$line" | grep -oE '[0-9]+')
  echo "${p:-0} $f"
}

# 1. Formatting.
run format scripts/check-format.sh
count format $? 1 0

# 1b. The portable core as strict ISO C++17 with a second compiler.
run portable scripts/check-portable.sh
count portable $? 1 0

# 2. The unit tests built for 64-bit and 32-bit Windows, run under Wine on the Windows each is
# for; this also builds both kelvarn.exe, which the end-to-end suites need. An x86 build that
# cannot run here ends with 77.
for preset in win64 win32; do
  run "$preset" bash -c "cmake --preset $preset >/dev/null && cmake --build --preset $preset -j$jobs && tests/wine/run-under-wine.sh build/$preset/tests/kvn_unit_tests.exe --gtest_brief=1"
  st=$?
  read -r p f < <(gtest_counts "$logs/$preset.log")
  [ "$st" -eq 77 ] && p=1 # the build, which passed
  count "$preset" "$st" "$p" "$f"
done

# 3. Beside the end-to-end suites, which mostly wait, the stages that only need the CPU run one
# after the other at the lowest priority, each with its output in build/logs/<name>.log and
# "status seconds" in build/logs/<name>.status; their results are shown after the suites.
# 3a. native: the unit tests under ASan and UBSan. 3b. plain: the same without the sanitizers:
# nothing in them may lean on their runtime. 3c. tsan: the unit tests that use threads (the
# service host's) under ThreadSanitizer; the first race report ends the run. GCC 12's TSan stops
# with "unexpected memory mapping" when the kernel randomises addresses widely, so they run
# without address randomisation where that is allowed. 3d. fuzz: the configuration reader,
# for a bounded time. 3e. tidy: clang-tidy on the product's sources, natively and for both
# MinGW targets.
native() {
  cmake --preset native >/dev/null && cmake --build --preset native -j"$jobs" && ctest --preset native -j"$jobs"
}
plain() {
  cmake --preset plain >/dev/null && cmake --build --preset plain -j"$jobs" --target kvn_unit_tests &&
    build/plain/tests/kvn_unit_tests --gtest_brief=1
}
tsan() {
  local norandom=()
  if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
  cmake --preset tsan >/dev/null && cmake --build --preset tsan -j"$jobs" --target kvn_unit_tests &&
    TSAN_OPTIONS=halt_on_error=1 "${norandom[@]}" build/tsan/tests/kvn_unit_tests \
      --gtest_filter='ServiceHost.*' --gtest_brief=1
}
fuzz() { tests/fuzz/run-fuzz.sh; }
tidy() { scripts/check-tidy.sh; }
beside=(native plain tsan)
[ -x tests/fuzz/run-fuzz.sh ] && beside+=(fuzz)
beside+=(tidy)
echo "== beside the end-to-end suites, at nice 19: ${beside[*]}"
(
  renice -n 19 -p "$BASHPID" >/dev/null
  for name in "${beside[@]}"; do
    t=$SECONDS
    "$name" >"$logs/$name.log" 2>&1
    echo "$? $((SECONDS - t))" >"$logs/$name.status"
  done
) &
beside_pid=$!

# 4. The real kelvarn.exe end to end under Wine: the x64 build's whole suite in 64-bit prefixes,
# then the x86 build's in 32-bit ones (32-bit Windows, which the x86 build is for). The x86 suite
# meets what can differ in a 32-bit build: the stdcall entries Windows calls (ServiceMain and
# the control handler in test_service, the console handler in test_debug's Ctrl+C while
# mounted), the 32-bit exe as an installed, auto-started, stopped and removed service
# (test_service), and the x86 package, refused on 64-bit Windows (test_msi's checks of the
# package, which run on any machine) and installed, upgraded and removed on 32-bit Windows.
# The two suites run one after the other: side by side on two cores their time windows fail.
if [ -x tests/e2e/run-e2e.sh ]; then
  run e2e-x64 tests/e2e/run-e2e.sh
  st=$?
  read -r p f < <(pytest_counts "$logs/e2e-x64.log")
  count e2e-x64 "$st" "$p" "$f"
  run e2e-x86 env KVN_BUILD_DIR=build/win32 tests/e2e/run-e2e.sh
  st=$?
  read -r p f < <(pytest_counts "$logs/e2e-x86.log")
  # Where the x86 build cannot run, only its package checks ran: skipped, with the reason.
  if [ "$st" -eq 0 ] && grep -aq 'the x86 build cannot run here: ' "$logs/e2e-x86.log"; then st=77; fi
  count e2e-x86 "$st" "$p" "$f"
fi

wait "$beside_pid"
for name in "${beside[@]}"; do
  echo "== $name (ran beside the end-to-end suites)"
  cat "$logs/$name.log"
  read -r st seconds <"$logs/$name.status"
  case $name in
    native) read -r p f < <(ctest_counts "$logs/$name.log") ;;
    fuzz | tidy) p=1 f=0 ;;
    *) read -r p f < <(gtest_counts "$logs/$name.log") ;;
  esac
  count "$name" "$st" "$p" "$f" "$seconds"
done

echo
if [ "${#skipped[@]}" -gt 0 ]; then echo "Skipped stages: ${skipped[*]} (the x86 build cannot run here)"; fi
if [ "${#failures[@]}" -gt 0 ]; then echo "Failed stages: ${failures[*]} (logs in $logs/)"; fi
echo "Test run: $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
