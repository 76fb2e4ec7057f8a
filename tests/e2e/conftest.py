"""The suite runs in the Wine lab (tools/winelab): one prefix per test module, copied from the
run's booted template and torn down even when a test fails. SCENARIOS is scenarios.toml."""

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
    with winelab.lab(request.module.__name__.rsplit(".", 1)[-1].replace("test_", "pfx-")) as pfx:
        yield pfx
