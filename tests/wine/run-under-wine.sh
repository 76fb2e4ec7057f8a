#!/usr/bin/env bash
# Runs a Windows program under Wine with a quiet log and a prefix of its own, under the loader of
# the program's width (tools/winelab/winelab.py chooses it, and boots the prefix again when it
# was made under another Wine installation, as before or after wine32 was installed).
# The prefix defaults to build/wine-prefix beside the sources; KVN_WINEPREFIX overrides it.
# An x86 program that cannot run here (no 32-bit Wine, or a kernel without 32-bit support) is
# not started: the reason goes to stderr and the exit code is 77, which ctest counts as skipped.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEPREFIX=${KVN_WINEPREFIX:-$here/build/wine-prefix}
export WINEDEBUG=${KVN_WINEDEBUG:--all}
export LC_ALL=C.UTF-8
unset DISPLAY
loader=$(/usr/bin/python3 "$here/tools/winelab/winelab.py" prepare "$WINEPREFIX" "$1") || exit
exec "$loader" "$@"
