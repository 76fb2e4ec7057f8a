#!/usr/bin/env bash
# Runs one command in the Wine lab:  tools/winelab/lab.sh COMMAND [ARGS...]
#
# Builds kelvarn.exe and the lab's helper programs (plug, fake_truecrypt, hold) in KVN_BUILD_DIR
# (default build/win64; a new folder is configured from the win32 preset when it is named win32,
# else from win64) and gives the command a fresh scratch folder KVN_LAB_ROOT for its Wine
# prefixes (winelab.py reads both: an x64 build runs in 64-bit prefixes, an x86 build in 32-bit
# ones). On exit, also after a failure or an interrupt, stops every wineserver below that
# folder, since a persistent (-p) server outlives everything else, and removes it;
# KVN_LAB_KEEP=1 keeps it. Exits with the command's status.
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${KVN_BUILD_DIR:-$repo/build/win64}
case $build in /*) ;; *) build=$repo/$build ;; esac
export KVN_BUILD_DIR=$build PYTHONDONTWRITEBYTECODE=1
case $(basename "$build") in win32) preset=win32 ;; *) preset=win64 ;; esac
[ -f "$build/CMakeCache.txt" ] || cmake --preset $preset -S "$repo" -B "$build" >/dev/null || exit 2
cmake --build "$build" --target kelvarn plug fake_truecrypt hold -j2 || exit 2

KVN_LAB_ROOT=$(mktemp -d /tmp/kvn-lab-XXXXXX) || exit 2
export KVN_LAB_ROOT
cleanup() {
  local pfx
  for pfx in "$KVN_LAB_ROOT"/*/; do
    [ -f "$pfx/system.reg" ] || continue
    TMPDIR=$KVN_LAB_ROOT WINEPREFIX=${pfx%/} wineserver -k >/dev/null 2>&1
    TMPDIR=$KVN_LAB_ROOT WINEPREFIX=${pfx%/} timeout 30 wineserver -w >/dev/null 2>&1
  done
  if [ "${KVN_LAB_KEEP:-0}" = 1 ]; then echo "kept: $KVN_LAB_ROOT"; else rm -rf "$KVN_LAB_ROOT"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
"$@"
