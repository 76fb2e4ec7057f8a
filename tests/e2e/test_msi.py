"""The release packages scripts/package.sh makes for the build's architecture (the old version
unsigned, the new one signed with a throwaway certificate), checked as files, also where the build
cannot run: signatures, versions, the rows of scenarios.toml [msi], checksums, refused versions.
Then the msiexec steps of [msi] run in order, in Wine's Windows Installer in the build's prefix."""

import os
import re
import struct
import subprocess
import zipfile

import pytest

from conftest import SCENARIOS
from winelab import (EVENT_SOURCE_KEY, EXE_DOS_PATH, REPO, RUNNING, SERVICE_KEY, build_dir,
                     dos_to_unix, pe_arch, wait_until)

MSI = SCENARIOS["msi"]
EXE = MSI["folder"] + r"\kelvarn.exe"


def run(*args, **kwargs):
    return subprocess.run([str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, **kwargs)


def package(dist, arch, version, password=None):
    env = os.environ | {"KVN_SKIP_DEPS": "1", "KVN_ARCHS": arch, "KVN_DIST": str(dist)}
    if password:
        env |= {"KVN_SIGN_PFX": str(dist.parent / "sign.pfx"), "KVN_SIGN_PASSWORD": password,
                "PATH": f"{dist.parent}:{env['PATH']}"}
    return run("bash", REPO / "scripts" / "package.sh", version, env=env, cwd=REPO, timeout=600)


def file_version(data):
    """FILEVERSION of the VS_FIXEDFILEINFO in an executable's bytes, as "a.b.c.d"."""
    ms, ls = struct.unpack_from("<II", data, data.index(b"\xbd\x04\xef\xfe") + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


@pytest.fixture(scope="module")
def arch():
    return pe_arch(build_dir() / "kelvarn.exe")


@pytest.fixture(scope="module")
def dist(arch, tmp_path_factory):
    """{"old"|"new": (version, its dist folder)}, next to the signing files."""
    keys = tmp_path_factory.mktemp("signing")
    assert run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
               "/CN=Kelvarn test signing", "-addext", "extendedKeyUsage=codeSigning", "-keyout",
               keys / "key.pem", "-out", keys / "cert.pem").returncode == 0
    assert run("openssl", "pkcs12", "-export", "-inkey", keys / "key.pem", "-in", keys / "cert.pem",
               "-passout", f"pass:{MSI['password']}", "-out", keys / "sign.pfx").returncode == 0
    (keys / "osslsigncode").write_text(  # lists what holds the password, then signs
        f"#!/bin/sh\ngrep -rlF '{MSI['password']}' build/package /proc/$$/environ >>{keys}/leaks\n"
        'PATH=${PATH#*:} exec osslsigncode "$@"\n')
    (keys / "osslsigncode").chmod(0o755)
    for name, password in (("old", None), ("new", MSI["password"])):
        result = package(keys / name, arch, MSI[name], password)
        assert result.returncode == 0 and ("Signed kelvarn.exe" if password else "Not signed") \
            in result.stdout, result.stdout
    assert (keys / "leaks").read_text() == ""
    return {name: (MSI[name], keys / name) for name in ("old", "new")}


@pytest.fixture(scope="module")
def prefix(prefix):
    """conftest's prefix without the template's kelvarn.exe: the packages must bring it."""
    dos_to_unix(prefix.path, EXE).unlink()
    return prefix


def packed(dist, name, file):
    """`file` from the zip of `name` (each dist folder holds one architecture's packages)."""
    path = next(dist[name][1].glob("*.zip"))
    with zipfile.ZipFile(path) as z:
        return z.read(f"{path.stem}/{file}")


def msi(dist, name):
    return next(dist[name][1].glob("*.msi"))


def test_packages(arch, dist, tmp_path):
    verified = lambda path: run("osslsigncode", "verify", "-CAfile",  # noqa: E731
                                dist["new"][1].parent / "cert.pem", "-in", path).returncode == 0
    assert run("msiextract", "-C", tmp_path, msi(dist, "new")).returncode == 0
    msi_exe = next(tmp_path.rglob("kelvarn.exe"))
    (tmp_path / "zip.exe").write_bytes(packed(dist, "new", "kelvarn.exe"))
    assert [verified(p) for p in (tmp_path / "zip.exe", msi_exe, msi(dist, "new"), msi(dist, "old"))] \
        == [True, True, True, False]
    assert file_version(msi_exe.read_bytes()) == MSI["new"] + ".0"
    for table, row in MSI["rows"].items():
        assert row in run("msiinfo", "export", msi(dist, "new"), table).stdout, table
    launch = run("msiinfo", "export", msi(dist, "new"), "LaunchCondition").stdout.splitlines()
    assert sorted(launch[3:]) == sorted(row.format(version=MSI["new"])  # after 3 header lines
                                        for row in MSI["launch_conditions"][arch])
    for name, (version, folder) in dist.items():
        assert file_version(packed(dist, name, "kelvarn.exe")) == version + ".0"
        assert run("sha256sum", "-c", "SHA256SUMS", cwd=folder).returncode == 0
    before = {p.name: p.read_bytes() for p in dist["new"][1].iterdir()}
    for case in MSI["refused"]:
        result = package(dist["new"][1], arch, case["version"], case.get("sign_password"))
        assert result.returncode != 0 and case["message"] in result.stdout, result.stdout
        assert "Linking" not in result.stdout
        assert {p.name: p.read_bytes() for p in dist["new"][1].iterdir()} == before


def products(prefix):
    """DisplayVersion of every product named Kelvarn that Windows Installer has filed."""
    text = prefix.wine("reg", "query", MSI["uninstall_key"], "/s").stdout.decode(errors="replace")
    return [re.search(r"DisplayVersion +REG_SZ +(\S+)", entry).group(1)
            for entry in text.split("HKEY_")
            if re.search(r"^ +DisplayName +REG_SZ +Kelvarn\s*$", entry, re.M)]


@pytest.mark.parametrize("step", MSI["step"], ids=[step["name"] for step in MSI["step"]])
def test_msiexec(prefix, dist, step):
    folder = dos_to_unix(prefix.path, EXE).parent
    pids, log = prefix.pids(EXE), prefix.root / "msiexec.log"
    args = [a if a not in dist else "Z:" + str(msi(dist, a)).replace("/", "\\")
            for a in step["args"]]
    name, record = step["installed"], MSI["record_key"]
    if not name:  # as a service that died while mounted leaves it
        assert prefix.wine("reg", "add", record, "/v", "Mounted", "/d", "x", "/f").returncode == 0
    result = prefix.wine("msiexec", *args, "/qn", "/l*v", log, timeout=120)
    assert (result.returncode == 0) == step["ok"]
    assert step.get("log", "") in log.read_text(errors="replace")
    assert products(prefix) == ([dist[name][0]] if name else [])
    if not name:
        assert wait_until(lambda: prefix.service_status() is None, 15)
        assert not folder.exists() and prefix.pids(EXE) == []
        assert [k for k in (EVENT_SOURCE_KEY, MSI["upgrade_key"], record)
                if prefix.registry_values(k) is not None] == []
        return
    for file in MSI["files"]:
        assert (folder / file).read_bytes() == packed(dist, name, file), file
    assert prefix.wait_service_state(RUNNING, 15), prefix.service_status()
    values = prefix.registry_values(SERVICE_KEY)
    assert (values["Start"], values["Type"]) == (("REG_DWORD", "0x2"), ("REG_DWORD", "0x10"))
    expected = SCENARIOS["service"]["registry"][EVENT_SOURCE_KEY]  # as -install writes it there
    assert prefix.registry_values(EVENT_SOURCE_KEY) == \
        {k: (v[0], v[1].replace(EXE_DOS_PATH, EXE)) for k, v in expected.items()}
    assert prefix.registry_values(MSI["upgrade_key"]) is not None
    new_pids = prefix.pids(EXE)
    assert len(new_pids) == 1 and (new_pids == pids) == (step["process"] == "same")
