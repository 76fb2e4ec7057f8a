#!/usr/bin/env bash
# The main job: installs what is needed and builds kelvarn.exe for 64-bit and 32-bit Windows.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh
for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target kelvarn
done
echo
echo "Built:"
ls -l build/win64/kelvarn.exe build/win32/kelvarn.exe
