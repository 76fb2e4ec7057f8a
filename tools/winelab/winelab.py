"""The Wine lab: drives the real kelvarn.exe in throwaway Wine prefixes.

Shared by the end-to-end tests (tests/e2e), the demo (scripts/demo.py) and the measurements
(bench/e2e); run them through tools/winelab/lab.sh, which builds the helper programs and cleans up.
Facts this relies on (Wine 8 as packaged by Debian):

- Each build runs on the Windows it is for. The x64 build gets a 64-bit prefix, where every
  program (kelvarn.exe, the lab's helpers, Wine's own wineboot, sc, reg and msiexec) starts under
  the 64-bit loader `wine64`. The x86 build gets a 32-bit prefix (WINEARCH=win32), a 32-bit
  Windows with one `C:\\Program Files` and one registry view, where every program starts under the
  32-bit loader `wine` (from wine32:i386). Debian's `wine` command is that 32-bit loader once
  wine32 is installed; in a 64-bit prefix a program started through it that is 64-bit runs as a
  separate process that no signal sent to it reaches, so the loader is always named. The x86
  build runs only where the 32-bit loader is installed and the kernel runs 32-bit programs
  (x86_unavailable says why not).
- A prefix is booted once into a template per architecture; each user works in a copy of it
  (hard links, with the three registry files copied for real, since Wine rewrites those in
  place). A booted prefix is stamped with its architecture and the Wine installation it was
  booted under, and booted again when either differs.
- Wine fails a process start now and then with ERROR_INTERNAL_ERROR (1359), more often with the
  kernel's address randomisation on: every process of the lab (the wineserver included) starts
  without it where the system allows (`setarch <machine> -R`), and the lab's own tools (wineboot,
  sc, reg, msiexec, plug.exe) are started again when Wine says it could not start them.
- `wineserver -p` is started before any Windows process of a session. Under the default server a
  service is killed about a second after the last ordinary process exits, and nothing sees it.
- The first Windows process of a session hands its stderr and WINEDEBUG to services.exe and so to
  every service; booting with WINEDEBUG=-all,+eventlog makes each ReportEventW string of a
  service appear in `system.err` as `<tid>:<level>:eventlog:ReportEventW L"<C literal>"`, the
  level err, warn or trace for an error, warning or information entry (the event ID is not
  shown). fixme+service adds what services.exe leaves undone, such as failure actions.
- A stick is a Linux folder attached as a removable drive through the mount manager (plug.exe):
  the only way that changes the drive mask of processes that already run.
- SIGINT to the loader's process (the loader becomes the Windows program, so the pid is that
  program's) runs its console control handler with CTRL_C_EVENT; no console is needed.
- `sc` does not wait for anything: the state is polled with `sc query`.
"""

import contextlib
import errno
import fcntl
import functools
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SERVICE = "Kelvarn"
EXE_DOS_PATH = r"C:\Program Files\Kelvarn\kelvarn.exe"  # a blank in it, on purpose
TOOL_DOS_PATH = r"C:\Program Files\TrueCrypt\TrueCrypt.exe"
CONTAINER_DOS_PATH = r"C:\Vaults\my vault.tc"
KEY_FILE_NAME = "key file.key"
STICK_LETTER = "E"
TARGET_LETTER = "T"
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\Kelvarn"
EVENT_SOURCE_KEY = r"HKLM\System\CurrentControlSet\Services\EventLog\Application\Kelvarn"
STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4
HANG = 600000  # ms: a stand-in tool that lingers this long stands for one that hangs
WAITING = "Waiting, looking for config: A:\\kvn.ini"  # opens every scan pass of the trace log
STOPPING = b"Stopping Kelvarn.\r\n"  # what -debug prints on Ctrl+C
DESTRUCTED = "SecureToken implicite destructor!"  # the last line of every trace log
# Stick attached -> mount started: the next pass sees the stick (within one 2 s pause), and the
# pass that accepts it still ends with its own 2 s pause. Stick or file removed -> dismount
# started: the next presence test (within one 3 s pause) misses the file, then one more 3 s pause.
ATTACH_WINDOW = (1.9, 4.6)
REMOVAL_WINDOW = (2.9, 6.6)
REPO = Path(__file__).resolve().parents[2]
WINE64 = "/usr/lib/wine/wine64"  # every program of a 64-bit prefix
WINE32 = "/usr/lib/wine/wine"  # every program of a 32-bit prefix; installed with wine32:i386
LOADERS = {"x64": WINE64, "x86": WINE32}
WINEARCHS = {"x64": "win64", "x86": "win32"}  # the prefix each build runs in
BOOT_STAMP = "kvn-wine-id.txt"  # in a booted prefix: its architecture and the wine_id() then
# What Wine prints when it could not start a program (ERROR_INTERNAL_ERROR, 1359, now and then):
# "Application could not be started, or no application associated with the specified file.
# ShellExecuteEx failed: Internal error."
START_FAILED = b"ShellExecuteEx failed: Internal error."
# Every file of a prefix belongs to the one user Wine runs everything as, and Wine keeps no owner
# a program sets: the lab names that user in the policy of accounts Kelvarn trusts, as an
# administrator would name a deployment account.
LAB_USER_SID = "S-1-5-21-0-0-0-1000"
TRUST_POLICY = (r"HKLM\SOFTWARE\Policies\Kelvarn", "TrustedAccounts")
# Kelvarn runs only a tool signed by its maker, or by a signer the policy names. The lab makes a
# root and two code-signing certificates of its own with openssl and signs the stand-in with
# osslsigncode: the first signer is named in the policy, the second is not. (Wine checks the
# signature and not whether the root is trusted, so the root need not be added anywhere.)
LAB_SIGNER = ("Kelvarn Lab", "DE")
OTHER_SIGNER = ("Kelvarn Lab Other", "DE")
SIGNERS_POLICY = (r"HKLM\SOFTWARE\Policies\Kelvarn", "TrustedSigners")
# The stand-in as the lab keeps it, in the template's folder "tools": signed by the lab's
# signer (installed as the tool), unsigned, signed by the other signer, and signed with one byte
# changed afterwards.
TOOL_KINDS = ("signed", "unsigned", "other", "tampered")
TOOL_ATTEMPTS = 4  # starts of one of the lab's own tools, the first included


class WineError(RuntimeError):
    pass


class Unavailable(WineError):
    """The build under test cannot run on this machine: an x86 one without a working 32-bit
    Wine."""


def build_dir():
    """The CMake binary folder of the Windows build under test (KVN_BUILD_DIR, default
    build/win64; build/win32 for the x86 build)."""
    return Path(os.environ.get("KVN_BUILD_DIR", REPO / "build" / "win64")).resolve()


def wine_id():
    """What a booted prefix depends on: the Wine installation, down to which loaders it has. A
    prefix booted before wine32 came (or went) fails afterwards, so each is stamped with this."""
    return "".join(f"{f.name} {f.stat().st_size} {int(f.stat().st_mtime)}\n"
                   for f in sorted(Path(WINE64).parent.iterdir()))


def boot_stamp(arch):
    return f"arch {arch}\n{wine_id()}"


def booted(path, arch):
    """True when `path` is a prefix for `arch` ("x64", "x86") booted under the Wine installation
    of today."""
    with contextlib.suppress(OSError):
        return (Path(path) / BOOT_STAMP).read_text() == boot_stamp(arch)
    return False


def boot(path, arch, tmpdir):
    """Boots a new prefix for `arch` at `path` (replacing whatever is there) and stamps it. A
    boot takes seconds, or minutes where the 32-bit half is emulated; the time limit only ends
    one that hangs."""
    shutil.rmtree(path, ignore_errors=True)
    result = _tool([LOADERS[arch], "wineboot", "-i"], base_env(path, tmpdir, arch), 600,
                   stderr=subprocess.STDOUT)
    if result.returncode != 0 or not (Path(path) / "system.reg").is_file():
        raise WineError("wineboot -i failed:\n" + result.stdout.decode(errors="replace"))
    (Path(path) / BOOT_STAMP).write_text(boot_stamp(arch))


def pe_arch(exe):
    """"x64" or "x86": the machine a Windows executable is built for."""
    with open(exe, "rb") as f:
        head = f.read(4096)
    offset = struct.unpack_from("<I", head, 0x3C)[0]
    signature, machine = struct.unpack_from("<4sH", head, offset)
    arch = {0x8664: "x64", 0x14C: "x86"}.get(machine) if signature == b"PE\0\0" else None
    if arch is None:
        raise WineError(f"{exe} is not an x64 or x86 Windows program")
    return arch


def x86_unavailable():
    """None when x86 programs run here, else why they cannot."""
    if not os.access(WINE32, os.X_OK):
        return f"no 32-bit Wine loader ({WINE32}): wine32:i386 is not installed"
    try:
        subprocess.run([WINE32, "--version"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return ("this kernel runs no 32-bit programs (its IA-32 emulation is off: "
                    "ia32_emulation=on on its command line turns it on)")
        return f"{WINE32} does not start: {error}"
    except subprocess.CalledProcessError as error:
        return f"{WINE32} --version failed with {error.returncode}"
    return None


def dos_to_unix(prefix, dos_path):
    """C:\\a\\b inside `prefix` as a Linux path."""
    assert dos_path[1:3] == ":\\" and dos_path[0].upper() == "C", dos_path
    return Path(prefix) / "drive_c" / Path(*dos_path[3:].split("\\"))


def wait_until(predicate, timeout, interval=0.05):
    """Polls `predicate` until it returns a true value, which is returned; None on timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value or None
        time.sleep(interval)


def event_strings(stderr_text, levels=("err",)):
    """[level, string] of every event-log string of the given levels (err, warn, trace) that Wine
    printed, in order, with Wine's debugstr_w escapes (\\r \\n \\t \\\\ \\" and \\XXXX)
    undone; only the strings when the one level is err."""
    escapes = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    undo = lambda m: escapes.get(m.group(1)) or chr(int(m.group(1), 16))  # noqa: E731
    found = [[m.group(1), re.sub(r'\\([nrt\\"]|[0-9a-fA-F]{4})', undo, m.group(2))] for m in
             re.finditer(r'^[0-9a-f]+:(\w+):eventlog:ReportEventW L"(.*)"\s*$', stderr_text, re.M)
             if m.group(1) in levels]
    return [text for _, text in found] if levels == ("err",) else found


def kvn_ini(truecrypt=TOOL_DOS_PATH, key=KEY_FILE_NAME, container=CONTAINER_DOS_PATH,
            target=TARGET_LETTER, if_used="1"):
    """A stick's configuration file, in the ANSI code page with CR LF line ends."""
    return (f"; Kelvarn token\r\n[Truecrypt]\r\nTruecrypt={truecrypt}\r\n\r\n[Config]\r\n"
            f"Key={key}\r\nContainer={container}\r\nTargetDrive={target}\r\n"
            f"IfUsed={if_used}\r\n").encode("cp1252")


def mount_argv(target=TARGET_LETTER, stick=STICK_LETTER, service=True):
    """The mount as the tool gets it: a service adds /s (no window, no prompt) and an empty
    password (/p ""), the key file being the whole key; debug mode neither."""
    silent, password = (["/s"], ["/p", ""]) if service else ([], [])
    return [TOOL_DOS_PATH, "/a", "/q", *silent, "/l", target, "/m", "rm", "/v", CONTAINER_DOS_PATH,
            "/k", f"{stick}:\\{KEY_FILE_NAME}", *password]


def dismount_argv(service=True):
    return [TOOL_DOS_PATH, "/a", "/q", *(["/s"] if service else []), "/d", "/f"]


@functools.cache
def norandom():
    """`setarch <machine> -R` where this system allows it, else nothing: put before a command, it
    starts that program and everything it starts without address randomisation."""
    command = ["setarch", os.uname().machine, "-R"]
    with contextlib.suppress(OSError):
        if subprocess.run([*command, "true"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0:
            return command
    return []


def _quiet(args, env, timeout=60, **kwargs):
    return subprocess.run([*norandom(), *args], env=env, stdin=subprocess.DEVNULL,
                          timeout=timeout,
                          **({"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL} | kwargs))


def _tool(args, env, timeout=60, **kwargs):
    """Runs one of the lab's own programs (Wine's wineboot, sc, reg, msiexec; plug.exe) to its
    end, its stdout (and stderr, unless redirected) captured; started again, up to TOOL_ATTEMPTS
    times in all, while Wine says it could not start it. The product's own starts are never
    repeated: a failure there is the test's to see."""
    kwargs = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE} | kwargs
    for _ in range(TOOL_ATTEMPTS):
        result = _quiet(args, env, timeout, **kwargs)
        said = (result.stdout or b"") + (result.stderr or b"")
        if result.returncode == 0 or START_FAILED not in said:
            break
    return result


class Template:
    """One booted prefix per run and architecture (template-x64, template-x86), for the Windows
    the build is for, with everything its copies share already in place: C:\\Trace, the stand-in
    tool, the container file and kelvarn.exe under a path with a blank."""

    def __init__(self, root, build=None):
        self.root = Path(root)
        self.build = Path(build or build_dir())
        self.kelvarn = self.build / "kelvarn.exe"
        self.plug = self.build / "winelab" / "plug.exe"
        self.fake_tool = self.build / "winelab" / "fake_truecrypt.exe"
        self.hold = self.build / "winelab" / "hold.exe"
        for exe in (self.kelvarn, self.plug, self.fake_tool, self.hold):
            if not exe.is_file():
                raise WineError(f"missing {exe}: build the win64 or win32 preset first")
        self.arch = pe_arch(self.kelvarn)  # "x64" or "x86"; the helpers are built alike
        self.loader = LOADERS[self.arch]  # of every program in the prefix, Wine's tools included
        self.path = self.root / f"template-{self.arch}"
        self.env = base_env(self.path, self.root, self.arch)
        self.tools = {kind: self.path / "tools" / f"fake_truecrypt-{kind}.exe" for kind in TOOL_KINDS}

    def booted(self):
        return (booted(self.path, self.arch) and  # create() ends with the container
                dos_to_unix(self.path, CONTAINER_DOS_PATH).is_file())

    def sign_tools(self):
        """The stand-in in each of its TOOL_KINDS, signed by certificates the lab makes."""
        folder = self.path / "tools"
        folder.mkdir(exist_ok=True)
        openssl = functools.partial(subprocess.run, check=True, capture_output=True, cwd=folder)
        openssl(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
                 "-subj", "/CN=Kelvarn Lab Root", "-keyout", "root.key", "-out", "root.crt",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"])
        (folder / "signing.ext").write_text("basicConstraints=CA:FALSE\n"
                                            "keyUsage=critical,digitalSignature\n"
                                            "extendedKeyUsage=codeSigning\n")
        for name, (organization, country) in (("lab", LAB_SIGNER), ("other", OTHER_SIGNER)):
            openssl(["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
                     "-out", f"{name}.csr", "-subj", f"/CN={organization}/O={organization}/C={country}"])
            openssl(["openssl", "x509", "-req", "-in", f"{name}.csr", "-CA", "root.crt", "-CAkey",
                     "root.key", "-CAcreateserial", "-days", "3650", "-extfile", "signing.ext",
                     "-out", f"{name}.crt"])
            openssl(["openssl", "pkcs12", "-export", "-inkey", f"{name}.key", "-in", f"{name}.crt",
                     "-certfile", "root.crt", "-out", f"{name}.pfx", "-passout", "pass:lab"])
        shutil.copyfile(self.fake_tool, self.tools["unsigned"])
        for kind, name in (("signed", "lab"), ("other", "other")):
            openssl(["osslsigncode", "sign", "-pkcs12", f"{name}.pfx", "-pass", "lab", "-h",
                     "sha256", "-in", str(self.fake_tool), "-out", str(self.tools[kind])])
        tampered = bytearray(self.tools["signed"].read_bytes())
        tampered[len(tampered) // 3] ^= 0x01  # inside the code: the digest no longer matches
        self.tools["tampered"].write_bytes(bytes(tampered))

    def create(self):
        if self.arch == "x86" and (reason := x86_unavailable()):
            raise Unavailable(f"the x86 build cannot run here: {reason}")
        try:
            boot(self.path, self.arch, self.root)
            signer = "%s (%s)" % LAB_SIGNER
            for (key, value), data in ((TRUST_POLICY, LAB_USER_SID), (SIGNERS_POLICY, signer)):
                trusted = _tool([self.loader, "reg", "add", key, "/v", value, "/t", "REG_MULTI_SZ",
                                 "/d", data, "/f"], self.env)
                if trusted.returncode != 0:
                    raise WineError(f"the policy {value} was not set: {trusted.stdout!r}")
        finally:
            _quiet(["wineserver", "-k"], self.env)
            _quiet(["wineserver", "-w"], self.env)
        (self.path / "wineserver").unlink(missing_ok=True)
        (self.path / "drive_c" / "Trace").mkdir(exist_ok=True)
        self.sign_tools()
        for dos, src in ((EXE_DOS_PATH, self.kelvarn), (TOOL_DOS_PATH, self.tools["signed"])):
            dst = dos_to_unix(self.path, dos)
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(src, dst)
        container = dos_to_unix(self.path, CONTAINER_DOS_PATH)
        container.parent.mkdir(parents=True, exist_ok=True)
        container.write_bytes(b"\0" * 4096)
        return self


def base_env(prefix, tmpdir, arch):
    """The environment of every Wine process of the prefix: quiet, English, no display, and
    WINEARCH named, so that Wine refuses a prefix of the other width instead of using it."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    return env | {"WINEPREFIX": str(prefix), "WINEARCH": WINEARCHS[arch], "WINEDEBUG": "-all",
                  "LC_ALL": "C.UTF-8", "TMPDIR": str(tmpdir)}


class Prefix:
    """A throwaway copy of the template with a running, persistent wineserver session, and one
    stick folder (attached as E: by default); `name` and the architecture name its folders."""

    def __init__(self, template, name):
        self.template, self.root, self.name = template, template.root, name
        self.path = self.root / f"{name}-{template.arch}"
        self.stick = self.root / f"{self.path.name}-stick"
        self.system_err = self.root / f"{self.path.name}-system.err"
        self.env = base_env(self.path, self.root, template.arch)
        self.children = []
        self.started = False
        self.plugged = set()  # drive letters attached by plug()

    # -- life cycle ------------------------------------------------------------------------
    def create(self):
        subprocess.run(["cp", "-al", str(self.template.path), str(self.path)], check=True)
        for reg in ("system.reg", "user.reg", "userdef.reg"):
            shutil.copyfile(self.template.path / reg, self.path / (reg + ".tmp"))
            os.replace(self.path / (reg + ".tmp"), self.path / reg)
        (self.path / "wineserver").unlink(missing_ok=True)
        self.write_stick()
        self.start_session()
        return self

    def write_stick(self, ini=None, folder=None):
        """The stick's kvn.ini (default: a valid one) and key file, in `folder` (default: the
        stick); returns the folder."""
        folder = Path(folder or self.stick)
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "kvn.ini").write_bytes(kvn_ini() if ini is None else ini)
        (folder / KEY_FILE_NAME).write_bytes(b"key material\n")
        return folder

    def start_session(self):
        """`wineserver -p`, then a boot whose stderr every service of the session inherits."""
        rc = _quiet(["wineserver", "-p"], self.env).returncode
        if rc != 0:
            raise WineError(f"wineserver -p failed with {rc} (a server was already running)")
        self.started = True
        session_env = self.env | {"WINEDEBUG": "-all,+eventlog,fixme+service"}
        with open(self.system_err, "ab") as err:
            booting = _tool([self.template.loader, "wineboot"], session_env, 120, stderr=err)
        if booting.returncode != 0:
            raise WineError(f"wineboot failed with {booting.returncode}: {booting.stdout!r}")

    def end_session(self):
        for child in self.children:
            if child.poll() is None:
                child.kill()
                child.wait()
        self.children = []
        _quiet(["wineserver", "-k"], self.env)
        _quiet(["wineserver", "-w"], self.env, 30)
        self.started = False
        self.plugged.clear()  # the mount manager keeps them, but nothing runs to see them

    def restart_session(self):
        self.end_session()
        self.start_session()

    def close(self, keep=False):
        try:
            self.end_session()
        finally:
            if not keep:
                socket_file = self.path / "wineserver"
                if socket_file.is_file():
                    socket_dir = Path(socket_file.read_text().strip()).parent
                    if self.root in socket_dir.parents:
                        shutil.rmtree(socket_dir, ignore_errors=True)
                shutil.rmtree(self.path, ignore_errors=True)
                shutil.rmtree(self.stick, ignore_errors=True)

    # -- running programs ------------------------------------------------------------------
    def _env(self, winedebug):
        return self.env if winedebug is None else self.env | {"WINEDEBUG": winedebug}

    def wine(self, *args, timeout=60, winedebug=None):
        """Runs one of the lab's own tools to its end: Wine's sc, reg or msiexec, or a helper
        program, given by its Linux path. Returns the CompletedProcess with stdout and stderr."""
        return _tool([self.template.loader, *map(str, args)], self._env(winedebug), timeout)

    def kelvarn(self, *args, timeout=60, winedebug=None):
        """Runs kelvarn.exe with `args` to its end; returns the CompletedProcess."""
        return _quiet([self.template.loader, EXE_DOS_PATH, *args], self._env(winedebug), timeout,
                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def spawn(self, *args, winedebug=None, **kwargs):
        """Starts a program of the prefix (stdout and stderr piped unless given) and returns the
        Popen, whose pid is the Windows program's; end_session() kills it if it still runs."""
        kwargs = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE} | kwargs
        child = subprocess.Popen([*norandom(), self.template.loader, *map(str, args)],
                                 env=self._env(winedebug), stdin=subprocess.DEVNULL, **kwargs)
        self.children.append(child)
        return child

    def spawn_kelvarn(self, *args, winedebug=None):
        return self.spawn(EXE_DOS_PATH, *args, winedebug=winedebug)

    def start_debug(self, timeout=15):
        """Starts `kelvarn.exe -debug` and returns it once its first scan pass is in the trace log
        (so its console handler and stop event exist), or raises with what it printed."""
        self.trace_file.unlink(missing_ok=True)  # the new run's lines, not the last run's
        child = self.spawn_kelvarn("-debug")
        ready = wait_until(lambda: child.poll() is not None or WAITING in self.trace_lines(),
                           timeout, interval=0.02)
        if not ready or child.poll() is not None:
            child.kill()
            out, err = child.communicate()
            raise WineError(f"-debug made no scan pass: trace={self.trace_bytes()!r} "
                            f"rc={child.returncode} stdout={out!r} stderr={err!r}")
        return child

    @staticmethod
    def stop_debug(child, timeout=10):
        """Ctrl+C; returns (stdout, stderr) once the process has ended, or raises."""
        child.send_signal(signal.SIGINT)
        try:
            return child.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            child.kill()
            raise WineError(f"-debug did not end within {timeout} s of Ctrl+C: "
                            f"{child.communicate()!r}") from None

    # -- sticks ------------------------------------------------------------------------------
    def plug(self, letter=STICK_LETTER, folder=None):
        """Attaches `folder` (default: the stick) as removable drive `letter`; returns the time
        the mount manager had done it."""
        result = self.wine(self.template.plug, letter, folder or self.stick, "2", timeout=30)
        if result.returncode != 0:
            raise WineError(f"plug failed: {result.stdout!r} {result.stderr!r}")
        self.plugged.add(letter)
        return time.time()

    def unplug(self, letter=STICK_LETTER):
        result = self.wine(self.template.plug, letter, timeout=30)
        if result.returncode != 0:
            raise WineError(f"unplug failed: {result.stdout!r} {result.stderr!r}")
        self.plugged.discard(letter)
        return time.time()

    def trust(self, sid=LAB_USER_SID):
        """Names `sid` (default: the lab's user, as the template does) in the trust policy, or
        removes the policy value (None)."""
        key, value = TRUST_POLICY
        args = (["add", key, "/v", value, "/t", "REG_MULTI_SZ", "/d", sid, "/f"] if sid
                else ["delete", key, "/v", value, "/f"])
        if self.wine("reg", *args).returncode != 0:
            raise WineError(f"reg {args[0]} of the trust policy failed")

    def hold(self, dos_path, milliseconds):
        """Holds the file open for `milliseconds`, sharing nothing, from another program;
        returns once it is held, with that program's Popen."""
        holder = self.spawn(self.template.hold, dos_path, str(milliseconds))
        line = holder.stdout.readline()
        if line.strip() != b"held":
            raise WineError(f"hold.exe did not hold {dos_path}: {line!r}")
        return holder

    def remove_config(self):
        """The stick's configuration file deleted while the stick stays attached."""
        (self.stick / "kvn.ini").unlink()
        return time.time()

    def stick_turn(self, remove=None, letter=STICK_LETTER, timeout=(8, 12)):
        """Plugs the stick, waits for the mount, calls `remove` (default: unplug; it returns
        the time of the removal) and waits for the dismount. Returns (mount record, dismount
        record, attach delay, removal delay), or raises when a start is missing."""
        before = len(self.tool_starts())
        plugged = self.plug(letter)
        mount = self.wait_tool_start(before, timeout[0])
        if mount is None:
            raise WineError(f"no mount within {timeout[0]} s of plugging the stick")
        removed = remove() if remove else self.unplug(letter)
        dismount = self.wait_tool_start(before + 1, timeout[1])
        if dismount is None:
            raise WineError(f"no dismount within {timeout[1]} s of removing the stick")
        return mount, dismount, mount["time"] - plugged, dismount["time"] - removed

    # -- what the programs left behind -------------------------------------------------------
    @property
    def trace_file(self):
        return self.path / "drive_c" / "Trace" / "kvn.log"

    def trace_bytes(self):
        with contextlib.suppress(FileNotFoundError):
            return self.trace_file.read_bytes()
        return None

    def trace_lines(self):
        """Complete lines of the trace log (each ended by CR LF), decoded one byte per char."""
        data = self.trace_bytes() or b""
        return [line.decode("latin-1") for line in data.split(b"\r\n")[:-1]]

    @property
    def tool_folder(self):
        return dos_to_unix(self.path, TOOL_DOS_PATH).parent

    def set_tool_exit_delay(self, milliseconds, dismount_milliseconds=None):
        """How long the stand-in tool lingers before it ends: every start, or a mount and a
        dismount apart (HANG for a dismount that outlasts any run)."""
        both = "" if dismount_milliseconds is None else f" {dismount_milliseconds}"
        (self.tool_folder / "exit_delay_ms.txt").write_text(f"{milliseconds}{both}")

    def tool_records(self):
        with contextlib.suppress(FileNotFoundError):
            text = (self.tool_folder / "calls.jsonl").read_text()
            return [json.loads(line) for line in text.splitlines() if line.strip()]
        return []

    def tool_starts(self):
        return [r for r in self.tool_records() if r["event"] == "start"]

    def tool_exit(self, pid):
        return next((r for r in self.tool_records() if r["event"] == "exit" and r["pid"] == pid),
                    None)

    def wait_tool_start(self, index, timeout):
        """Waits for the tool's start number `index` (0-based over the whole prefix life)."""
        starts = wait_until(lambda: len(self.tool_starts()) > index and self.tool_starts(),
                            timeout, interval=0.02)
        return starts[index] if starts else None

    def event_strings(self, levels=("err",)):
        with contextlib.suppress(FileNotFoundError):
            return event_strings(self.system_err.read_text(errors="replace"), levels)
        return []

    def system_log(self):
        """What the session's services printed on their error output."""
        with contextlib.suppress(FileNotFoundError):
            return self.system_err.read_text(errors="replace")
        return ""

    # -- the service -------------------------------------------------------------------------
    def sc(self, *args, timeout=30):
        return self.wine("sc", *args, timeout=timeout)

    def service_status(self):
        """{field: number} from `sc query` (STATE, WIN32_EXIT_CODE, CHECKPOINT, WAIT_HINT, ...),
        or None if the service does not exist."""
        result = self.sc("query", SERVICE)
        fields = re.findall(r"^\s*([A-Z0-9_]+)\s*:\s*(0x[0-9a-fA-F]+|\d+)",
                            result.stdout.decode(errors="replace"), re.M)
        status = {name: int(value, 0) for name, value in fields}
        return status if result.returncode == 0 and "STATE" in status else None

    def service_state(self):
        return (self.service_status() or {}).get("STATE")

    def wait_service_state(self, state, timeout):
        return wait_until(lambda: self.service_state() == state, timeout, interval=0.1)

    def registry_values(self, key):
        """{name: (type, data)} of the values of `key`, or None if the key does not exist."""
        result = self.wine("reg", "query", key)
        if result.returncode != 0:
            return None
        return {m[0]: (m[1], m[2]) for m in re.findall(r"^    (.*?)    (REG_[A-Z_]+)    ?(.*?)\r?$",
                                                       result.stdout.decode(errors="replace"),
                                                       re.M)}

    def pids(self, program=EXE_DOS_PATH):
        """Unix pids of the processes of this prefix (wineserver included) whose program is
        `program`: a Windows path, or the name of a Linux executable."""
        pids = []
        for entry in Path("/proc").iterdir():
            try:
                argv0 = (entry / "cmdline").read_bytes().split(b"\0")[0].decode(errors="replace")
                if program.lower() not in (argv0.lower(), os.path.basename(argv0)):
                    continue
                environ = (entry / "environ").read_bytes().split(b"\0")
            except OSError:
                continue
            if f"WINEPREFIX={self.path}".encode() in environ:
                pids.append(int(entry.name))
        return pids


@contextlib.contextmanager
def lab(name, keep=None):
    """A booted template and one prefix `name` copied from it, under KVN_LAB_ROOT (set by
    lab.sh) or a scratch folder of its own; everything is torn down on exit unless `keep`
    (default: KVN_LAB_KEEP=1)."""
    keep = os.environ.get("KVN_LAB_KEEP") == "1" if keep is None else keep
    given = os.environ.get("KVN_LAB_ROOT")
    root = Path(given or tempfile.mkdtemp(prefix="kvn-lab-", dir="/tmp"))  # short: socket paths
    root.mkdir(parents=True, exist_ok=True)
    prefix = None
    try:
        template = Template(root)
        if not template.booted():
            template.create()
        prefix = Prefix(template, name)
        yield prefix.create()
    finally:
        if prefix is not None:
            prefix.close(keep)
        if not keep and not given:
            shutil.rmtree(root, ignore_errors=True)


def prepare(program, prefix=None):
    """For tests/wine/run-under-wine.sh: the loader, prefix and WINEARCH to run `program` (a
    Windows executable, or one of Wine's own tools, run as x64) with. The prefix is `prefix`, by
    default build/wine-prefix-<arch>; it is booted again unless it was booted for the program's
    architecture under today's Wine. Raises when it is an x86 program that cannot run here."""
    arch = pe_arch(program) if Path(program).is_file() else "x64"
    if arch == "x86" and (reason := x86_unavailable()):
        raise Unavailable(f"the x86 build cannot run here: {reason}")
    prefix = Path(prefix or REPO / "build" / f"wine-prefix-{arch}").absolute()
    prefix.parent.mkdir(parents=True, exist_ok=True)
    with open(f"{prefix}.lock", "w") as lock:  # runs of one prefix may start side by side
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not booted(prefix, arch):
            boot(prefix, arch, os.environ.get("TMPDIR", "/tmp"))
    return LOADERS[arch], prefix, WINEARCHS[arch]


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4) or sys.argv[1] != "prepare":
        sys.exit("usage: winelab.py prepare PROGRAM [PREFIX]")
    try:
        print(*prepare(*sys.argv[2:]), sep="\n")
    except Unavailable as error:
        print(f"skipped: {error}", file=sys.stderr)
        sys.exit(77)  # "skipped" to ctest (SKIP_RETURN_CODE) and test-all.sh
    except WineError as error:
        sys.exit(str(error))
