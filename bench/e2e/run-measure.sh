#!/usr/bin/env bash
# End-to-end figures of kelvarn.exe under Wine (see measure.py). Builds (or reuses) both Windows
# presets: KVN_BUILD_DIR (default build/win64) runs, KVN_BUILD32_DIR (default build/win32) is only
# weighed. Takes about two minutes, one of them idle sampling. Extra arguments go to measure.py
# (--cycles N, --idle SECONDS).
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${KVN_BUILD_DIR:-$repo/build/win64}
build32=${KVN_BUILD32_DIR:-$repo/build/win32}
case $build in /*) ;; *) build=$repo/$build ;; esac
case $build32 in /*) ;; *) build32=$repo/$build32 ;; esac
export KVN_BUILD_DIR=$build KVN_BUILD32_DIR=$build32

[ -f "$build/CMakeCache.txt" ] || cmake --preset win64 -S "$repo" -B "$build" >/dev/null || exit 2
cmake --build "$build" --target kelvarn plug fake_truecrypt -j2 || exit 2
[ -f "$build32/CMakeCache.txt" ] || cmake --preset win32 -S "$repo" -B "$build32" >/dev/null || exit 2
cmake --build "$build32" --target kelvarn -j2 || exit 2

root=$(mktemp -d /tmp/kvn-bench-XXXXXX)
export KVN_E2E_ROOT=$root
# shellcheck source=../../tests/e2e/wine-servers.sh
. "$repo/tests/e2e/wine-servers.sh"
cleanup() {
  kvn_stop_wine_servers "$root"
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 "$here/measure.py" "$@"
