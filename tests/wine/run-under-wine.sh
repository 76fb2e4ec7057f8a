#!/usr/bin/env bash
# Runs a Windows program under Wine with a quiet log, on the Windows it is built for: an x64
# program in a 64-bit prefix under the 64-bit loader, an x86 one in a 32-bit prefix
# (WINEARCH=win32) under the 32-bit loader. tools/winelab/winelab.py chooses both, and boots the
# prefix again when it was made for the other width or under another Wine installation.
# The prefix defaults to build/wine-prefix-x64 or build/wine-prefix-x86 beside the sources;
# KVN_WINEPREFIX overrides it. The program starts without address randomisation where the
# system allows it, as Wine fails a process start now and then with it (ERROR_INTERNAL_ERROR).
# An x86 program that cannot run here (no 32-bit Wine, or a kernel without 32-bit support) is
# not started: the reason goes to stderr and the exit code is 77, which ctest counts as skipped.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEDEBUG=${KVN_WINEDEBUG:--all}
export LC_ALL=C.UTF-8
unset DISPLAY
# Three lines: the loader, the prefix, WINEARCH.
prepared=$(/usr/bin/python3 "$here/tools/winelab/winelab.py" prepare "$1" ${KVN_WINEPREFIX:+"$KVN_WINEPREFIX"}) || exit
{ read -r loader; read -r WINEPREFIX; read -r WINEARCH; } <<<"$prepared"
export WINEPREFIX WINEARCH
norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
exec "${norandom[@]}" "$loader" "$@"
