#!/usr/bin/env bash
# End-to-end tests of the real kelvarn.exe under Wine:  tests/e2e/run-e2e.sh [pytest arguments...]
# tools/winelab/lab.sh builds in KVN_BUILD_DIR (default build/win64) and removes its prefixes.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
trap 'echo "e2e wall time: $SECONDS s"' EXIT
"$here/../../tools/winelab/lab.sh" /usr/bin/python3 -m pytest -c "$here/pytest.ini" \
  --rootdir "$here" "$here" "$@"
