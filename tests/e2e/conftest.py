"""The Wine lab (tools/winelab) gives each test module a prefix copied from the run's booted
template, torn down even when a test fails; where the build under test (KVN_BUILD_DIR) cannot
run, a test that needs a prefix is skipped with the reason. SCENARIOS is scenarios.toml."""

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
