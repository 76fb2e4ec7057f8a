"""The suite runs in the Wine lab (tools/winelab): one prefix per test module, copied from the
run's booted template and torn down even when a test fails. KVN_BUILD_DIR picks the build under
test (build/win64 by default, build/win32 for x86); a test that needs a prefix is skipped, with
the reason, where that build cannot run. SCENARIOS is scenarios.toml."""

import sys
import tomllib
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tools" / "winelab"))
import winelab  # noqa: E402

SCENARIOS = tomllib.loads((HERE / "scenarios.toml").read_text())


@pytest.fixture(scope="module")
def prefix(request):
    name = request.module.__name__.rsplit(".", 1)[-1].replace("test_", "pfx-")
    try:
        with winelab.lab(name) as pfx:
            yield pfx
    except winelab.Unavailable as reason:
        pytest.skip(str(reason))
