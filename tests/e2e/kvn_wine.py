"""Drives the real kelvarn.exe in throwaway Wine prefixes.

Shared by the end-to-end suite (tests/e2e) and the measurements (bench/e2e). Facts this relies on
(Wine 8 as packaged by Debian, 64-bit only):

- A prefix is booted once into a template; each group of tests works in a copy of it (hard links,
  with the three registry files copied for real, since Wine rewrites those in place).
- `wineserver -p` is started before any Windows process of a session. Under the default server a
  service is killed about a second after the last ordinary process exits, and nothing sees it.
- The first Windows process of a session hands its stderr and WINEDEBUG to services.exe and so to
  every service; booting with WINEDEBUG=-all,err+eventlog makes each ReportEventW string of a
  service appear in `system.err` as `<tid>:err:eventlog:ReportEventW L"<C literal>"`.
- The stick is a Linux folder attached as removable drive E: through the mount manager (plug.exe):
  the only way that changes the drive mask of processes that already run.
- SIGINT to the process of `wine x.exe` (the wrapper execs the loader, so the pid is the Windows
  program) runs its console control handler with CTRL_C_EVENT; no console is needed.
- `sc` does not wait for anything: the state is polled with `sc query`.
- StartServiceCtrlDispatcherW in a console process fails with 1063 only after 10 s: it waits
  for the control pipe of the last service that services.exe started, which is busy.
"""

import json
import os
import re
import shutil
import signal
import subprocess
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

REPO = Path(__file__).resolve().parents[2]


def build_dir():
    """The CMake binary folder of the win64 build under test (KVN_BUILD_DIR, default build/win64)."""
    return Path(os.environ.get("KVN_BUILD_DIR", REPO / "build" / "win64")).resolve()


def dos_to_unix(prefix, dos_path):
    """C:\\a\\b inside `prefix` as a Linux path."""
    assert dos_path[1:3] == ":\\" and dos_path[0].upper() == "C", dos_path
    return Path(prefix) / "drive_c" / Path(*dos_path[3:].split("\\"))


def base_env(prefix, tmpdir):
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    env.update(WINEPREFIX=str(prefix), WINEDEBUG="-all", LC_ALL="C.UTF-8", TMPDIR=str(tmpdir))
    return env


def wait_until(predicate, timeout, interval=0.05, what="condition"):
    """Polls `predicate` until it returns a true value, which is returned; None on timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


def decode_wine_literal(text):
    """Undoes Wine's debugstr_w escaping: \\r \\n \\t \\\\ \\" and \\XXXX (four hex digits)."""
    out, i = [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt in simple:
                out.append(simple[nxt])
                i += 2
                continue
            if re.fullmatch(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
        out.append(ch)
        i += 1
    return "".join(out)


_EVENT_LINE = re.compile(r'^[0-9a-f]+:err:eventlog:ReportEventW L"(.*)"\s*$')


def event_strings(stderr_text):
    """The strings of every error entry that Wine printed, in order."""
    strings = []
    for line in stderr_text.splitlines():
        match = _EVENT_LINE.match(line)
        if match:
            strings.append(decode_wine_literal(match.group(1)))
    return strings


class WineError(RuntimeError):
    pass


class Template:
    """One booted prefix per run, with everything the groups share already in place:
    C:\\Trace, the stand-in tool, the container file and kelvarn.exe under a path with a blank."""

    def __init__(self, root, build):
        self.root = Path(root)
        self.build = Path(build)
        self.path = self.root / "template"
        self.kelvarn = self.build / "kelvarn.exe"
        self.plug = self.build / "tests" / "e2e" / "plug.exe"
        self.fake_tool = self.build / "tests" / "e2e" / "fake_truecrypt.exe"

    def create(self):
        for exe in (self.kelvarn, self.plug, self.fake_tool):
            if not exe.is_file():
                raise WineError(f"missing {exe}: build the win64 preset first")
        env = base_env(self.path, self.root)
        started = time.monotonic()
        boot = subprocess.run(["wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=180)
        subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        if boot.returncode != 0 or not (self.path / "system.reg").is_file():
            raise WineError("wineboot -i failed:\n" + boot.stdout.decode(errors="replace"))
        (self.path / "wineserver").unlink(missing_ok=True)
        (self.path / "drive_c" / "Trace").mkdir(exist_ok=True)
        for dos, src in ((EXE_DOS_PATH, self.kelvarn), (TOOL_DOS_PATH, self.fake_tool)):
            dst = dos_to_unix(self.path, dos)
            dst.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(src, dst)
        container = dos_to_unix(self.path, CONTAINER_DOS_PATH)
        container.parent.mkdir(parents=True, exist_ok=True)
        container.write_bytes(b"\0" * 4096)
        self.boot_seconds = time.monotonic() - started
        return self


def kvn_ini(truecrypt=TOOL_DOS_PATH, key=KEY_FILE_NAME, container=CONTAINER_DOS_PATH,
            target=TARGET_LETTER, if_used="1"):
    """The stick's configuration file, in the ANSI code page with CR LF line ends."""
    text = ("; Kelvarn token\r\n"
            "[Truecrypt]\r\n"
            f"Truecrypt={truecrypt}\r\n"
            "\r\n"
            "[Config]\r\n"
            f"Key={key}\r\n"
            f"Container={container}\r\n"
            f"TargetDrive={target}\r\n"
            f"IfUsed={if_used}\r\n")
    return text.encode("cp1252")


def mount_argv(target=TARGET_LETTER):
    return [TOOL_DOS_PATH, "/a", "/q", "/l", target, "/m", "rm", "/v", CONTAINER_DOS_PATH, "/k",
            f"{STICK_LETTER}:\\{KEY_FILE_NAME}"]


DISMOUNT_ARGV = [TOOL_DOS_PATH, "/a", "/q", "/d", "/f"]


def assert_attach_delay(delay):
    """Stick attached -> mount started: the next pass finds the stick (within one 2 s pause),
    and the pass that accepts it still ends with its own 2 s pause before the mount."""
    assert 1.9 <= delay <= 4.6, f"stick attached, mount started {delay:.2f} s later"


def assert_removal_delay(delay):
    """Stick or file removed -> dismount started: the next presence test (within one 3 s pause)
    misses the file, and one more 3 s pause follows it."""
    assert 2.9 <= delay <= 6.6, f"stick removed, dismount started {delay:.2f} s later"


class Prefix:
    """A throwaway copy of the template with a running, persistent wineserver session."""

    def __init__(self, template, name):
        self.template = template
        self.root = template.root
        self.name = name
        self.path = self.root / name
        self.stick = self.root / f"{name}-stick"
        self.system_err = self.root / f"{name}-system.err"
        self.system_out = self.root / f"{name}-system.out"
        self.env = base_env(self.path, self.root)
        self.plug_exe = str(template.plug)
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
        self.stick.mkdir()
        self.write_stick()
        self.start_session()
        return self

    def write_stick(self, ini=None):
        (self.stick / "kvn.ini").write_bytes(ini if ini is not None else kvn_ini())
        (self.stick / KEY_FILE_NAME).write_bytes(b"key material\n")

    def start_session(self):
        """`wineserver -p`, then a boot whose stderr every service of the session inherits."""
        rc = subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        if rc != 0:
            raise WineError(f"wineserver -p failed with {rc} (a server was already running)")
        self.started = True
        env = dict(self.env, WINEDEBUG="-all,err+eventlog")
        with open(self.system_out, "ab") as out, open(self.system_err, "ab") as err:
            subprocess.run(["wineboot"], env=env, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=err, timeout=120, check=True)

    def end_session(self):
        for child in self.children:
            if child.poll() is None:
                child.kill()
                try:
                    child.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    pass
        self.children = []
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        self.started = False

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
    def wine(self, *args, timeout=60, winedebug=None):
        env = self.env if winedebug is None else dict(self.env, WINEDEBUG=winedebug)
        return subprocess.run(["wine", *args], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)

    def kelvarn(self, *args, timeout=60, winedebug=None):
        return self.wine(EXE_DOS_PATH, *args, timeout=timeout, winedebug=winedebug)

    def spawn_kelvarn(self, *args):
        child = subprocess.Popen(["wine", EXE_DOS_PATH, *args], env=self.env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        self.children.append(child)
        return child

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

    # -- the stick ---------------------------------------------------------------------------
    def plug(self, letter=STICK_LETTER, folder=None):
        """Attaches `folder` (default: the stick) as removable drive `letter`; returns the time
        the mount manager had done it."""
        folder = self.stick if folder is None else folder
        result = self.wine(self.plug_exe, letter, str(folder), "2", timeout=30)
        if result.returncode != 0:
            raise WineError(f"plug failed: {result.stdout!r} {result.stderr!r}")
        self.plugged.add(letter)
        return time.time()

    def unplug(self, letter=STICK_LETTER):
        result = self.wine(self.plug_exe, letter, timeout=30)
        if result.returncode != 0:
            raise WineError(f"unplug failed: {result.stdout!r} {result.stderr!r}")
        self.plugged.discard(letter)
        return time.time()

    def remove_config(self):
        """The configuration file deleted while the stick stays attached."""
        (self.stick / "kvn.ini").unlink()
        return time.time()

    # -- what the program left behind --------------------------------------------------------
    @property
    def trace_file(self):
        return self.path / "drive_c" / "Trace" / "kvn.log"

    def trace_bytes(self):
        try:
            return self.trace_file.read_bytes()
        except FileNotFoundError:
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
        dismount apart (HANG for a dismount that outlasts any test)."""
        path = self.tool_folder / "exit_delay_ms.txt"
        if dismount_milliseconds is not None:
            path.write_text(f"{milliseconds} {dismount_milliseconds}")
        elif milliseconds:
            path.write_text(str(milliseconds))
        else:
            path.unlink(missing_ok=True)

    def tool_records(self):
        try:
            text = (self.tool_folder / "calls.jsonl").read_text()
        except FileNotFoundError:
            return []
        return [json.loads(line) for line in text.splitlines() if line.strip()]

    def tool_starts(self):
        return [r for r in self.tool_records() if r["event"] == "start"]

    def tool_exit(self, pid):
        for record in self.tool_records():
            if record["event"] == "exit" and record["pid"] == pid:
                return record
        return None

    def wait_tool_start(self, index, timeout):
        """Waits for the tool's start number `index` (0-based over the whole prefix life)."""
        starts = wait_until(lambda: len(self.tool_starts()) > index and self.tool_starts(),
                            timeout, interval=0.02)
        return starts[index] if starts else None

    def event_strings(self):
        try:
            return event_strings(self.system_err.read_text(errors="replace"))
        except FileNotFoundError:
            return []

    # -- the service -------------------------------------------------------------------------
    def sc(self, *args, timeout=30):
        return self.wine("sc", *args, timeout=timeout)

    def service_status(self):
        """{field: number} from `sc query` (STATE, WIN32_EXIT_CODE, CHECKPOINT, WAIT_HINT, ...),
        or None if the query fails."""
        result = self.sc("query", SERVICE)
        if result.returncode != 0:
            return None
        fields = re.findall(r"^\s*([A-Z0-9_]+)\s*:\s*(0x[0-9a-fA-F]+|\d+)",
                            result.stdout.decode(errors="replace"), re.M)
        status = {name: int(value, 0) for name, value in fields}
        return status if "STATE" in status else None

    def service_query(self):
        """(state, win32 exit code) from `sc query`, or None if the query fails."""
        status = self.service_status()
        return (status["STATE"], status.get("WIN32_EXIT_CODE")) if status else None

    def service_state(self):
        query = self.service_query()
        return query[0] if query else None

    def wait_service_state(self, state, timeout):
        return wait_until(lambda: self.service_state() == state, timeout, interval=0.1)

    def registry_values(self, key):
        """{name: (type, data)} of the values of `key`, or None if the key does not exist."""
        result = self.wine("reg", "query", key)
        if result.returncode != 0:
            return None
        values = {}
        for line in result.stdout.decode(errors="replace").splitlines():
            match = re.match(r"^    (.*?)    (REG_[A-Z_]+)    ?(.*)$", line)
            if match:
                values[match.group(1)] = (match.group(2), match.group(3))
        return values

    def windows_pids(self, dos_path=EXE_DOS_PATH):
        """Unix pids of the processes of this prefix that run `dos_path`."""
        pids = []
        for entry in Path("/proc").iterdir():
            if not entry.name.isdigit():
                continue
            try:
                cmdline = (entry / "cmdline").read_bytes().split(b"\0")[0].decode(errors="replace")
                if cmdline.lower() != dos_path.lower():
                    continue
                environ = (entry / "environ").read_bytes().split(b"\0")
            except OSError:
                continue
            if f"WINEPREFIX={self.path}".encode() in environ:
                pids.append(int(entry.name))
        return pids


def make_root():
    """The run's scratch folder: short (wineserver socket paths are limited) and under /tmp."""
    given = os.environ.get("KVN_E2E_ROOT")
    if given:
        Path(given).mkdir(parents=True, exist_ok=True)
        return Path(given), False
    return Path(tempfile.mkdtemp(prefix="kvn-e2e-", dir="/tmp")), True


def send_ctrl_c(process):
    process.send_signal(signal.SIGINT)
    return time.time()
