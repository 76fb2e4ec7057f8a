"""The release packages as scripts/package.sh makes them (x64 only, one version signed with a
throwaway certificate), under Wine's Windows Installer, silent and logged: installing puts
kelvarn.exe under Program Files, registers the event source and leaves the service Kelvarn
running; a newer package replaces it with one service; an older one is refused; repair restores
the files; uninstalling leaves no service, file or registry key behind."""

import os
import re
import struct
import subprocess
import zipfile
from pathlib import Path

import pytest

from kvn_wine import EVENT_SOURCE_KEY, EXE_DOS_PATH, REPO, RUNNING, SERVICE_KEY, dos_to_unix, wait_until

OLD, NEW = "1.4.2", "1.4.3"
PASSWORD = "pfx pass"
# Where Windows Installer keeps the UpgradeCode 6F4B9A52-3C1E-4D7A-9B2E-58C1D0A7E3F4 (packed).
UPGRADE_CODE_KEY = r"HKLM\Software\Classes\Installer\UpgradeCodes\25A9B4F6E1C3A7D4B9E2851C0D7A3E4F"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"


def run(*args, **kwargs):
    return subprocess.run([str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kwargs)


def package(dist, version, **env):
    env = dict(os.environ, KVN_SKIP_DEPS="1", KVN_ARCHS="x64", KVN_DIST=str(dist), **env)
    return run("bash", REPO / "scripts" / "package.sh", version, env=env, cwd=REPO, timeout=600)


def file_version(path):
    """FILEVERSION of the VS_FIXEDFILEINFO in an executable, as "a.b.c.d"."""
    data = path.read_bytes()
    ms, ls = struct.unpack_from("<II", data, data.index(b"\xbd\x04\xef\xfe") + 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


@pytest.fixture(scope="module")
def dist(prefix):
    """{version: its dist folder}: OLD unsigned, NEW signed; `dist["cert"]` the certificate."""
    keys = prefix.root / "signing"
    keys.mkdir()
    assert run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
               "-subj", "/CN=Kelvarn test signing", "-addext", "extendedKeyUsage=codeSigning",
               "-keyout", keys / "key.pem", "-out", keys / "cert.pem").returncode == 0
    assert run("openssl", "pkcs12", "-export", "-inkey", keys / "key.pem", "-in", keys / "cert.pem",
               "-passout", f"pass:{PASSWORD}", "-out", keys / "sign.pfx").returncode == 0
    folders = {"cert": keys / "cert.pem", "pfx": keys / "sign.pfx"}
    signing = {"KVN_SIGN_PFX": str(keys / "sign.pfx"), "KVN_SIGN_PASSWORD": PASSWORD}
    for version, env in ((OLD, {}), (NEW, signing)):
        result = package(prefix.root / version, version, **env)
        assert result.returncode == 0, result.stdout
        assert ("Signed kelvarn.exe" if env else "Not signed") in result.stdout
        folders[version] = prefix.root / version
    # The template carries a copy of the program at the same place: the package must bring it.
    dos_to_unix(prefix.path, EXE_DOS_PATH).unlink()
    return folders


def msi(dist, version):
    return dist[version] / f"kelvarn-{version}-x64.msi"


def dos(path):
    return "Z:" + str(path).replace("/", "\\")


def msiexec(prefix, *args):
    """msiexec with /qn and a verbose log; returns (exit code, log text)."""
    log = prefix.root / "msiexec.log"
    log.unlink(missing_ok=True)
    args = [dos(a) if isinstance(a, Path) else a for a in (*args, "/qn", "/l*v", log)]
    result = prefix.wine("msiexec", *args, timeout=120)
    assert log.is_file(), "no log file"
    return result.returncode, log.read_text(errors="replace")


def packed(dist, version, name):
    """A file of the zip of `version`."""
    with zipfile.ZipFile(dist[version] / f"kelvarn-{version}-x64.zip") as z:
        return z.read(f"kelvarn-{version}-x64/{name}")


def installed(prefix, name="kelvarn.exe"):
    return dos_to_unix(prefix.path, rf"C:\Program Files\Kelvarn\{name}")


def test_signatures_and_checksums(dist, tmp_path):
    ok = lambda path: run("osslsigncode", "verify", "-CAfile", dist["cert"], "-in", path).returncode == 0  # noqa: E731
    zip_exe = tmp_path / "kelvarn.exe"
    zip_exe.write_bytes(packed(dist, NEW, "kelvarn.exe"))
    assert run("msiextract", "-C", tmp_path / "msi", msi(dist, NEW)).returncode == 0
    msi_exe = next((tmp_path / "msi").rglob("kelvarn.exe"))
    assert ok(zip_exe) and ok(msi_exe) and ok(msi(dist, NEW))
    assert not ok(msi(dist, OLD))
    assert file_version(zip_exe) == file_version(msi_exe) == NEW + ".0"
    for version in OLD, NEW:
        assert run("sha256sum", "-c", "SHA256SUMS", cwd=dist[version]).returncode == 0


@pytest.mark.after("test_signatures_and_checksums")
def test_bad_input_is_refused_before_building(dist):
    before = {p.name: p.read_bytes() for p in dist[NEW].iterdir()}
    for version, env, message in (
            ("1.4", {}, "refused version '1.4'"),
            (NEW, {"KVN_SIGN_PFX": str(dist["pfx"]), "KVN_SIGN_PASSWORD": "wrong"}, "wrong password")):
        result = package(dist[NEW], version, **env)
        assert result.returncode != 0 and message in result.stdout, result.stdout
        assert "Linking" not in result.stdout
        assert {p.name: p.read_bytes() for p in dist[NEW].iterdir()} == before


def test_install_runs_the_service(prefix, dist):
    code, _ = msiexec(prefix, "/i", msi(dist, OLD))
    assert code == 0
    assert file_version(installed(prefix)) == OLD + ".0"
    values = prefix.registry_values(SERVICE_KEY)
    assert values is not None, "no service key"
    assert values["Start"] == ("REG_DWORD", "0x2")
    assert values["Type"] == ("REG_DWORD", "0x10")
    assert prefix.registry_values(EVENT_SOURCE_KEY) == {
        "EventMessageFile": ("REG_EXPAND_SZ", EXE_DOS_PATH), "TypesSupported": ("REG_DWORD", "0x7")}
    assert prefix.registry_values(UPGRADE_CODE_KEY) is not None
    assert prefix.wait_service_state(RUNNING, 15), f"not running: {prefix.service_query()}"


def products(prefix):
    """DisplayVersion of every installed product named Kelvarn."""
    text = prefix.wine("reg", "query", UNINSTALL_KEY, "/s").stdout.decode(errors="replace")
    return [re.search(r"DisplayVersion +REG_SZ +(\S+)", entry).group(1) for entry in text.split("HKEY_")
            if re.search(r"^ +DisplayName +REG_SZ +Kelvarn\s*$", entry, re.M)]


@pytest.mark.after("test_install_runs_the_service")
def test_upgrade_keeps_one_service(prefix, dist):
    old_pids = prefix.windows_pids()
    code, _ = msiexec(prefix, "/i", msi(dist, NEW))
    assert code == 0
    assert prefix.wait_service_state(RUNNING, 15), f"not running: {prefix.service_query()}"
    pids = prefix.windows_pids()
    assert len(pids) == 1 and pids != old_pids
    assert products(prefix) == [NEW]
    for name in "kelvarn.exe", "kvn.ini", "stick-setup.md", "LICENSE.txt":
        assert installed(prefix, name).read_bytes() == packed(dist, NEW, name), name
    assert file_version(installed(prefix)) == NEW + ".0"


@pytest.mark.after("test_upgrade_keeps_one_service")
def test_downgrade_is_refused(prefix, dist):
    pids = prefix.windows_pids()
    code, log = msiexec(prefix, "/i", msi(dist, OLD))
    assert code != 0
    # Wine logs no text for a failed launch condition, only the newer product it found.
    assert "WIX_DOWNGRADE_DETECTED = {" in log
    assert products(prefix) == [NEW] and prefix.windows_pids() == pids
    assert installed(prefix).read_bytes() == packed(dist, NEW, "kelvarn.exe")


@pytest.mark.after("test_downgrade_is_refused")
def test_repair_restores_the_files(prefix, dist):
    installed(prefix, "kvn.ini").unlink()
    installed(prefix).write_bytes(b"damaged")
    code, _ = msiexec(prefix, "/i", msi(dist, NEW), "REINSTALL=ALL", "REINSTALLMODE=amus")
    assert code == 0
    assert installed(prefix).read_bytes() == packed(dist, NEW, "kelvarn.exe")
    assert installed(prefix, "kvn.ini").is_file()
    assert prefix.wait_service_state(RUNNING, 15), f"not running: {prefix.service_query()}"


@pytest.mark.after("test_install_runs_the_service")
def test_uninstall_removes_everything(prefix, dist):
    code, _ = msiexec(prefix, "/x", msi(dist, NEW))
    assert code == 0
    assert wait_until(lambda: prefix.service_query() is None, 15), prefix.service_query()
    assert not installed(prefix).parent.exists()
    for key in EVENT_SOURCE_KEY, UPGRADE_CODE_KEY:
        assert prefix.registry_values(key) is None, key
    assert products(prefix) == []
    assert prefix.windows_pids() == []
