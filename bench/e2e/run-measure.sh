#!/usr/bin/env bash
# End-to-end figures of kelvarn.exe under Wine (see measure.py), in the Wine lab. Builds (or
# reuses) both Windows presets: KVN_BUILD_DIR (default build/win64; build/win32 measures the x86
# build) runs, KVN_BUILD32_DIR (default build/win32) is weighed too. Takes about two minutes, one of them idle sampling.
# Extra arguments go to measure.py (--cycles N, --idle SECONDS).
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
build32=${KVN_BUILD32_DIR:-$repo/build/win32}
case $build32 in /*) ;; *) build32=$repo/$build32 ;; esac
export KVN_BUILD32_DIR=$build32

[ -f "$build32/CMakeCache.txt" ] || cmake --preset win32 -S "$repo" -B "$build32" >/dev/null || exit 2
cmake --build "$build32" --target kelvarn -j2 || exit 2
exec "$repo/tools/winelab/lab.sh" /usr/bin/python3 "$here/measure.py" "$@"
