#!/usr/bin/env bash
# Runs a Windows program under Wine with a quiet log, on the Windows it is built for: the loader,
# prefix and WINEARCH that tools/winelab/winelab.py prepares for its width (prefix by default
# build/wine-prefix-x64 or -x86 beside the sources; KVN_WINEPREFIX overrides it). Address
# randomisation is off where allowed: with it, Wine fails a process start now and then. An x86
# program that cannot run here is not started: it exits 77 (ctest: skipped), reason on stderr.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEDEBUG=${KVN_WINEDEBUG:--all}
export LC_ALL=C.UTF-8
unset DISPLAY
prepared=$(/usr/bin/python3 "$here/tools/winelab/winelab.py" prepare "$1" ${KVN_WINEPREFIX:+"$KVN_WINEPREFIX"}) || exit
{ read -r loader; read -r WINEPREFIX; read -r WINEARCH; } <<<"$prepared"
export WINEPREFIX WINEARCH
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
exec "${norandom[@]}" "$loader" "$@"
