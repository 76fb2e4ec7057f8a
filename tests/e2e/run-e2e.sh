#!/usr/bin/env bash
# End-to-end tests of the real kelvarn.exe under Wine.
#
#   tests/e2e/run-e2e.sh [pytest arguments...]
#
# Builds (or reuses) the win64 preset in KVN_BUILD_DIR (default build/win64): kelvarn.exe and the
# two helper programs only, then runs the pytest suite with Debian's python3 (pytest from
# python3-pytest). Every Wine prefix and wineserver of the run lives under one scratch folder,
# which is torn down on exit, also after a failure or an interrupt. KVN_E2E_KEEP=1 keeps it.
# Exits non-zero when a test fails.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${KVN_BUILD_DIR:-$repo/build/win64}
case $build in /*) ;; *) build=$repo/$build ;; esac
export KVN_BUILD_DIR=$build

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset win64 -S "$repo" -B "$build" >/dev/null || exit 2
fi
cmake --build "$build" --target kelvarn plug fake_truecrypt -j2 || exit 2

root=$(mktemp -d /tmp/kvn-e2e-XXXXXX)
export KVN_E2E_ROOT=$root

# shellcheck source=wine-servers.sh
. "$here/wine-servers.sh"
cleanup() {
  kvn_stop_wine_servers "$root"
  if [ "${KVN_E2E_KEEP:-0}" = 1 ]; then
    echo "kept: $root"
  else
    rm -rf "$root"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export PYTHONDONTWRITEBYTECODE=1
started=$(date +%s)
/usr/bin/python3 -m pytest -c "$here/pytest.ini" --rootdir "$here" "$here" "$@"
status=$?
echo "e2e wall time: $(( $(date +%s) - started )) s"
exit $status
