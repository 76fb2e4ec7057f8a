#!/usr/bin/env bash
# The main job: installs what is needed, builds kelvarn.exe for 64-bit and 32-bit Windows,
# then shows the whole job under Wine (scripts/demo.py, in the Wine lab of tools/winelab).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target kelvarn
cmake --preset win64 >/dev/null
cmake --build --preset win64
echo
echo "Built build/win64/kelvarn.exe (x64) and build/win32/kelvarn.exe (x86)."
exec tools/winelab/lab.sh /usr/bin/python3 scripts/demo.py
