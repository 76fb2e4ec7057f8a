"""kelvarn.exe -debug: the trace log, one full turn of the watch cycle with the stand-in tool, a
pull while the mount still runs, Ctrl+C while idle and while a container is mounted, hostile
sticks, and a trace folder that is a link."""

import shutil
import subprocess
import threading
import time

import pytest

import kvn_wine
from kvn_wine import (DISMOUNT_ARGV, WAITING, assert_attach_delay, assert_removal_delay,
                      mount_argv, send_ctrl_c, wait_until)

CONSTRUCTED = "SecureToken construktor!"
DESTRUCTED = "SecureToken implicite destructor!"
FIND = "SecureToken::FindToken!"
STOPPING = b"Stopping Kelvarn.\r\n"


def drive_lines(letter, drive_type):
    return [f"DriveType:  {letter}:\\ {drive_type}", f"ConfigPath: {letter}:\\kvn.ini"]


# A pass without the stick: the prefix has C: and Z:, both fixed drives.
IDLE_PASS = [WAITING] + drive_lines("C", 3) + drive_lines("Z", 3)


def accepted_check(mount_cmdline):
    """The lines from the stick's drive up to the watch, for the stick's kvn.ini."""
    return drive_lines("E", 2) + [
        "Loading file: E:\\kvn.ini",
        "GetValue for TrueCrypt",
        "TrueCryptPath: " + kvn_wine.TOOL_DOS_PATH,
        "GetValue for Key",
        "SetValue Key Drive",
        "SetValue Key file",
        "Keyfile found: E:\\" + kvn_wine.KEY_FILE_NAME,
        "GetValue for Container",
        "Container found: " + kvn_wine.CONTAINER_DOS_PATH,
        "GetValue for TargetDrive",
        "TargetDrive: T",
        "FirstFreeDrive is: A",  # C:, E: and Z: are in use
        "TargetDrive is free.",
        "configfile found and OK!",
        "ConfigPath at end of FindToken: E:\\kvn.ini",
        "OpenContainer!",
        "_P_NOWAIT,TruecryptPath, KeyPath: " + mount_cmdline,
        "SecureToken::CheckToken!",
        "ConfigPath: E:\\kvn.ini",
    ]


def count(lines, text):
    return sum(1 for line in lines if line == text)


def wait_trace(prefix, predicate, timeout):
    return wait_until(lambda: predicate(prefix.trace_lines()), timeout, interval=0.02)


def start_debug(prefix):
    try:
        return prefix.start_debug()
    except kvn_wine.WineError as error:
        pytest.fail(str(error))


def stop_debug(child, timeout=10):
    """Ctrl+C; returns (seconds until the process ended, stdout, stderr)."""
    sent = time.monotonic()
    send_ctrl_c(child)
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        pytest.fail(f"-debug did not end within {timeout} s of Ctrl+C; stdout={out!r}")
    return time.monotonic() - sent, out, err


def last_index(lines, text):
    for index in range(len(lines) - 1, -1, -1):
        if lines[index] == text:
            return index
    return None


def read_line(stream, timeout):
    """One line from a pipe, or None if none arrives within `timeout` seconds."""
    got = []
    reader = threading.Thread(target=lambda: got.append(stream.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    return got[0] if got else None


def split_idle_passes(lines, start):
    """Number of complete idle passes from `start`, each opening with FindToken's pass line."""
    passes = 0
    while lines[start + passes * len(IDLE_PASS):][:len(IDLE_PASS)] == IDLE_PASS:
        passes += 1
    return passes


def test_ctrl_c_while_idle(prefix):
    child = start_debug(prefix)
    first_pass = time.monotonic()
    assert wait_trace(prefix, lambda lines: count(lines, WAITING) >= 2, 6), \
        "a second scan pass must follow the first"
    spacing = time.monotonic() - first_pass
    assert 1.7 <= spacing <= 3.0, f"scan passes {spacing:.2f} s apart, expected about 2 s"
    # Right after the second pass began, so the stop lands in the middle of a 2 s pause.
    time.sleep(0.5)
    elapsed, out, err = stop_debug(child)
    assert child.returncode == 0
    assert out == STOPPING
    assert err == b""
    assert elapsed < 1.0, f"an idle stop took {elapsed:.2f} s"

    data = prefix.trace_bytes()
    assert data.endswith(b"\r\n") and b"\n" not in data.replace(b"\r\n", b"")
    lines = prefix.trace_lines()
    assert lines[:2] == [CONSTRUCTED, FIND]
    passes = split_idle_passes(lines, 2)
    assert passes >= 2, lines
    rest = lines[2 + passes * len(IDLE_PASS):]
    # The scan may close with its usual line when the stop ends it.
    assert rest in ([DESTRUCTED], ["ConfigPath at end of FindToken: Z:\\kvn.ini", DESTRUCTED]), \
        lines
    assert prefix.tool_starts() == []


def test_one_full_turn(prefix, unplugged):
    prefix.set_tool_exit_delay(0, 1000)  # makes the dismount last a second: is it waited for?
    calls_before = len(prefix.tool_starts())
    child = start_debug(prefix)

    plugged = prefix.plug()
    mount = prefix.wait_tool_start(calls_before, 8)
    assert mount is not None, f"no mount started; trace={prefix.trace_lines()}"
    assert mount["argv"] == mount_argv()
    assert_attach_delay(mount["time"] - plugged)
    assert wait_trace(prefix, lambda lines: "SecureToken: Token available!" in lines, 5)

    pulled = prefix.unplug()
    dismount = prefix.wait_tool_start(calls_before + 1, 10)
    assert dismount is not None, f"no dismount started; trace={prefix.trace_lines()}"
    assert dismount["argv"] == DISMOUNT_ARGV
    assert_removal_delay(dismount["time"] - pulled)

    # The dismount is waited for: the next scan begins only after the tool has ended.
    def next_scan(lines):
        closed = last_index(lines, "CloseContainer!")
        return closed is not None and FIND in lines[closed:]

    time.sleep(max(0.0, dismount["time"] + 0.5 - time.time()))
    assert not next_scan(prefix.trace_lines()), "next scan began while the dismount still ran"
    ended = wait_until(lambda: prefix.tool_exit(dismount["pid"]), 5, interval=0.02)
    assert ended, "the stand-in tool did not end"
    assert wait_trace(prefix, lambda lines: next_scan(lines) and
                      WAITING in lines[last_index(lines, "CloseContainer!"):], 5)

    elapsed, out, err = stop_debug(child)
    assert child.returncode == 0
    assert out == STOPPING
    assert len(prefix.tool_starts()) == calls_before + 2, "nothing else may be started"

    lines = prefix.trace_lines()
    assert lines[:2] == [CONSTRUCTED, FIND]
    passes = split_idle_passes(lines, 2)
    assert passes >= 1
    at = 2 + passes * len(IDLE_PASS)
    # The pass that finds the stick: C: first, then E: is accepted and the walk stops there.
    expected = [WAITING] + drive_lines("C", 3) + accepted_check(mount["cmdline"])
    assert lines[at:at + len(expected)] == expected
    at += len(expected)
    available = 0
    while lines[at] == "SecureToken: Token available!":
        available += 1
        at += 1
    assert available >= 1
    assert lines[at:at + 4] == ["Token removed!", "CloseContainer!", FIND, WAITING], lines[at:]
    assert lines[-1] == DESTRUCTED
    assert count(lines, DESTRUCTED) == 1



def test_pull_while_the_mount_still_runs(prefix, unplugged):
    """The stick pulled a second into an 8 s mount: the dismount must not start before the mount
    has ended, or the volume would stay open with the stick gone."""
    prefix.set_tool_exit_delay(8000, 0)
    calls_before = len(prefix.tool_starts())
    child = start_debug(prefix)
    prefix.plug()
    mount = prefix.wait_tool_start(calls_before, 8)
    assert mount is not None and mount["argv"] == mount_argv()
    time.sleep(max(0.0, mount["time"] + 1.0 - time.time()))
    pulled = prefix.unplug()
    dismount = prefix.wait_tool_start(calls_before + 1, 15)
    assert dismount is not None, f"no dismount started; trace={prefix.trace_lines()}"
    assert dismount["argv"] == DISMOUNT_ARGV
    mount_end = prefix.tool_exit(mount["pid"])
    print(f"mount start {mount['time']:.3f}, pull {pulled:.3f}, "
          f"mount end {mount_end and mount_end['time']}, dismount start {dismount['time']:.3f}")
    assert mount_end is not None and mount_end["time"] <= dismount["time"], \
        "the dismount started while the mount still ran"
    stop_debug(child)
    assert child.returncode == 0
    prefix.set_tool_exit_delay(0)


def test_ctrl_c_while_mounted(prefix, unplugged):
    prefix.set_tool_exit_delay(0, 1000)
    calls_before = len(prefix.tool_starts())
    child = start_debug(prefix)
    prefix.plug()
    mount = prefix.wait_tool_start(calls_before, 8)
    assert mount is not None and mount["argv"] == mount_argv()
    assert wait_trace(prefix, lambda lines: "SecureToken: Token available!" in lines, 5)

    interrupted = send_ctrl_c(child)
    # The console line reaches the pipe as it is written, while the dismount (1 s) still runs.
    assert read_line(child.stdout, 1.0) == STOPPING
    assert child.poll() is None
    dismount = prefix.wait_tool_start(calls_before + 1, 6)
    assert dismount is not None, "Ctrl+C while mounted must dismount"
    assert dismount["argv"] == DISMOUNT_ARGV
    assert dismount["time"] - interrupted < 1.0, "the dismount must not wait for a pause"
    try:
        out, err = child.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        child.kill()
        pytest.fail("-debug did not end after the dismount")
    assert child.returncode == 0
    assert (out, err) == (b"", b"")
    # The tool writes its exit record just before it ends: had the process not waited for it,
    # the record would still be a second away.
    assert prefix.tool_exit(dismount["pid"]) is not None, \
        "the process ended before the dismount had finished"
    assert len(prefix.tool_starts()) == calls_before + 2

    lines = prefix.trace_lines()
    assert "Token removed!" not in lines
    assert lines[-2:] == ["CloseContainer!", DESTRUCTED], lines[-6:]


def test_hostile_sticks_are_refused(prefix, unplugged):
    """Four sticks at once, none of which may start anything: three name a real copy of the
    stand-in that is not an installed TrueCrypt (on the stick itself, in a look-alike folder
    beside Program Files, reached through '..' out of Program Files), one the installed tool
    but a container on another machine. Each is refused again on every pass."""
    tool = prefix.template.fake_tool
    unc = "\\\\somehost\\share\\c.tc"
    # letter: (kvn.ini values, the refusal, the closing line of the drive)
    hostile = {
        "F": ({"truecrypt": "F:\\TrueCrypt.exe"}, "refused",
              "TrueCrypt not found!: F:\\TrueCrypt.exe"),
        "G": ({"truecrypt": "C:\\Program Files Evil\\TrueCrypt.exe"}, "refused",
              "TrueCrypt not found!: C:\\Program Files Evil\\TrueCrypt.exe"),
        "H": ({"truecrypt": "C:\\Program Files\\..\\Vaults\\TrueCrypt.exe"}, "refused",
              "TrueCrypt not found!: C:\\Program Files\\..\\Vaults\\TrueCrypt.exe"),
        "I": ({"container": unc}, "Container refused, not on a local drive: UNC path: " + unc,
              "Container not found!: " + unc),
    }
    sticks = {letter: prefix.root / f"{prefix.name}-stick-{letter}" for letter in hostile}
    copies = [sticks["F"] / "TrueCrypt.exe",
              kvn_wine.dos_to_unix(prefix.path, "C:\\Program Files Evil\\TrueCrypt.exe"),
              kvn_wine.dos_to_unix(prefix.path, "C:\\Vaults\\TrueCrypt.exe")]
    for copy in copies:
        copy.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(tool, copy)
    for letter, (values, _, _) in hostile.items():
        stick = sticks[letter]
        stick.mkdir(exist_ok=True)
        (stick / "kvn.ini").write_bytes(kvn_wine.kvn_ini(**values))
        (stick / kvn_wine.KEY_FILE_NAME).write_bytes(b"key\n")
        prefix.plug(letter, stick)
    calls_before = len(prefix.tool_starts())

    child = start_debug(prefix)
    closings = [closing for _, _, closing in hostile.values()]
    passes = wait_trace(prefix, lambda lines: all(count(lines, c) >= 2 for c in closings), 10)
    stop_debug(child)
    assert passes, prefix.trace_lines()
    assert child.returncode == 0

    assert len(prefix.tool_starts()) == calls_before
    for copy in copies:
        assert not (copy.parent / "calls.jsonl").exists(), f"{copy} was started"
    lines = prefix.trace_lines()
    for letter, (_, refusal, closing) in hostile.items():
        at = lines.index(f"DriveType:  {letter}:\\ 2")
        assert lines[at:at + 4] == drive_lines(letter, 2) + [
            f"Loading file: {letter}:\\kvn.ini", "GetValue for TrueCrypt"]
        end = lines.index(closing, at)
        assert refusal.lower() in lines[end - 1].lower(), lines[at:end + 1]


def test_no_trace_through_a_linked_folder(prefix):
    """C:\\Trace made a link to another folder: debug mode runs as usual but writes no trace."""
    trace = prefix.trace_file.parent
    real = prefix.root / f"{prefix.name}-Trace"
    elsewhere = prefix.root / f"{prefix.name}-elsewhere"
    elsewhere.mkdir()
    trace.rename(real)
    trace.symlink_to(elsewhere)
    try:
        child = prefix.spawn_kelvarn("-debug")
        time.sleep(1.5)  # a start takes about 0.1 s under the session's server
        # Ctrl+C ends the process only once its stop event exists: by then the watcher has
        # opened, or refused, the trace.
        stop_debug(child)
        assert child.returncode == 0
        assert list(elsewhere.iterdir()) == []
    finally:
        trace.unlink()
        real.rename(trace)
