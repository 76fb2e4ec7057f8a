#!/usr/bin/env bash
# End-to-end tests of the real kelvarn.exe under Wine:  tests/e2e/run-e2e.sh [pytest arguments...]
# The Wine lab (tools/winelab/lab.sh) builds kelvarn.exe and its helpers in KVN_BUILD_DIR (default
# build/win64) and removes every prefix afterwards. Exits non-zero when a test fails.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
started=$(date +%s)
"$here/../../tools/winelab/lab.sh" /usr/bin/python3 -m pytest -c "$here/pytest.ini" \
  --rootdir "$here" "$here" "$@"
status=$?
echo "e2e wall time: $(($(date +%s) - started)) s"
exit $status
