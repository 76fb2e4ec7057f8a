"""Fixtures of the end-to-end suite: one booted template prefix per run, one throwaway copy of it
per test module (a test group), torn down even when a test fails."""

import os
import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import kvn_wine  # noqa: E402

KEEP = os.environ.get("KVN_E2E_KEEP") == "1"


@pytest.fixture(scope="session")
def wine_root():
    root, owned = kvn_wine.make_root()
    yield root
    if owned and not KEEP:
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture(scope="session")
def template(wine_root):
    built = kvn_wine.Template(wine_root, kvn_wine.build_dir()).create()
    yield built
    if not KEEP:
        shutil.rmtree(built.path, ignore_errors=True)


@pytest.fixture(scope="module")
def prefix(template, request):
    name = request.module.__name__.rsplit(".", 1)[-1].replace("test_", "pfx-")
    group = kvn_wine.Prefix(template, name)
    try:
        group.create()
        yield group
    finally:
        group.close(keep=KEEP)


@pytest.fixture
def unplugged(prefix):
    """Every stick detached and the stick's files restored after the test, whatever happened."""
    yield prefix
    if prefix.started:
        for letter in sorted(prefix.plugged):
            prefix.unplug(letter)
    prefix.write_stick()


# Steps of a scenario that build on an earlier step: @pytest.mark.after("test_name") skips the
# test when that step did not pass, instead of failing it for a reason reported already.
_outcomes = {}



@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    key = (item.module.__name__, item.originalname)
    if report.when == "call" or (report.when == "setup" and not report.passed):
        _outcomes[key] = report.passed and _outcomes.get(key, True)


def pytest_runtest_setup(item):
    for marker in item.iter_markers("after"):
        for name in marker.args:
            if not _outcomes.get((item.module.__name__, name), False):
                pytest.skip(f"needs {name}, which did not pass")
