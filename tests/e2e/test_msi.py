"""The release MSI under Wine's Windows Installer: installing it puts kelvarn.exe under Program
Files and leaves the service Kelvarn registered for automatic start and running; uninstalling
stops it and removes both the service and the file."""

import os
import subprocess

import pytest

import kvn_wine
from kvn_wine import EXE_DOS_PATH, RUNNING, SERVICE_KEY, dos_to_unix, wait_until


@pytest.fixture(scope="module")
def msi(prefix):
    """The x64 package built by wixl from the kelvarn.exe under test, as packaging does."""
    cache = (kvn_wine.build_dir() / "CMakeCache.txt").read_text()
    version = next(line.split("=", 1)[1] for line in cache.splitlines()
                   if line.startswith("CMAKE_PROJECT_VERSION:"))
    out = prefix.root / "kelvarn-x64.msi"
    # wixl takes sources relative to the folder it runs in, never absolute.
    exe = os.path.relpath(kvn_wine.build_dir() / "kelvarn.exe", kvn_wine.REPO)
    subprocess.run(["wixl", "-a", "x64", "-D", f"Version={version}",
                    "-D", f"ExePath={exe}", "-D", "Win64=yes",
                    "-D", "ProgramFilesDir=ProgramFiles64Folder", "-D", "IniPath=docs/kvn.ini", "-o", str(out),
                    str(kvn_wine.REPO / "packaging" / "kelvarn.wxs")],
                   cwd=kvn_wine.REPO, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    # The template carries a copy of the program at the same place: the package must bring it.
    dos_to_unix(prefix.path, EXE_DOS_PATH).unlink()
    return "Z:" + str(out).replace("/", "\\")


def test_install_runs_the_service(prefix, msi):
    result = prefix.wine("msiexec", "/i", msi, "/qn", timeout=120)
    assert result.returncode == 0, result
    assert dos_to_unix(prefix.path, EXE_DOS_PATH).is_file()
    values = prefix.registry_values(SERVICE_KEY)
    assert values is not None, "no service key"
    assert values["Start"] == ("REG_DWORD", "0x2")
    assert values["Type"] == ("REG_DWORD", "0x10")
    assert prefix.wait_service_state(RUNNING, 15), f"not running: {prefix.service_query()}"


@pytest.mark.after("test_install_runs_the_service")
def test_uninstall_removes_service_and_file(prefix, msi):
    result = prefix.wine("msiexec", "/x", msi, "/qn", timeout=120)
    assert result.returncode == 0, result
    assert wait_until(lambda: prefix.service_query() is None, 15), prefix.service_query()
    assert not dos_to_unix(prefix.path, EXE_DOS_PATH).exists()
    assert prefix.windows_pids() == []
