#!/usr/bin/env bash
# Runs a Windows program under Wine with a quiet log and a prefix of its own.
# The prefix defaults to build/wine-prefix beside the sources; KVN_WINEPREFIX overrides it.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEPREFIX=${KVN_WINEPREFIX:-$here/build/wine-prefix}
export WINEDEBUG=${KVN_WINEDEBUG:--all}
export LC_ALL=C.UTF-8
unset DISPLAY
mkdir -p "$WINEPREFIX"
exec wine "$@"
