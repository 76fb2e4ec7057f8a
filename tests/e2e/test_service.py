"""The service under Wine's own service control manager, as one scenario in one prefix: remove
before install, install, install again, start, a stick turn, stop while mounted, auto start in a
new session, remove while the dismount hangs. Later steps are skipped when a step they build on
failed."""

import re
import time

import pytest

import kvn_wine
from kvn_wine import (DISMOUNT_ARGV, EVENT_SOURCE_KEY, EXE_DOS_PATH, HANG, RUNNING,
                      SERVICE_KEY, STOP_PENDING, STOPPED, assert_attach_delay,
                      assert_removal_delay, mount_argv, wait_until)

DESCRIPTION = ("Kelvarn checks, if an USB stick with a key file is attached to the system. "
               "Finding one with a valid config will mount and open an encrypted TrueCrypt "
               "container.")

# Wine 8's system texts (LC_ALL=C.UTF-8); Windows words them differently.
SERVICE_DOES_NOT_EXIST = "Service does not exist."
SERVICE_EXISTS = "Service exists."


def no_events(prefix):
    return prefix.event_strings() == []


def test_remove_of_a_missing_service(prefix):
    result = prefix.kelvarn("-remove")
    assert result.stdout == (f"OpenService failed - {SERVICE_DOES_NOT_EXIST} "
                             "(Error code: 0x424)\r\n").encode()
    assert result.returncode == 0


def test_install(prefix):
    result = prefix.kelvarn("-install")
    assert result.stdout == b"ChangeServiceConfig2 succeeded\r\nKelvarn installed.\r\n"
    assert result.returncode == 0

    values = prefix.registry_values(SERVICE_KEY)
    assert values is not None, "no service key"
    assert values["Type"] == ("REG_DWORD", "0x10")  # own process
    assert values["Start"] == ("REG_DWORD", "0x2")  # automatic
    assert values["ErrorControl"] == ("REG_DWORD", "0x1")
    assert values["DisplayName"][1] == "Kelvarn"
    # Quoted, since the path has a blank; no argument behind it.
    assert values["ImagePath"][1] == f'"{EXE_DOS_PATH}"'
    assert values["Description"][1] == DESCRIPTION
    assert values.get("ObjectName", ("", "LocalSystem"))[1] == "LocalSystem"

    source = prefix.registry_values(EVENT_SOURCE_KEY)
    assert source is not None, "no event source key"
    assert source["EventMessageFile"][1] == EXE_DOS_PATH
    kind, types = source["TypesSupported"]
    assert kind == "REG_DWORD" and int(types, 16) & 0x1, "error entries must be supported"

    assert prefix.service_query() == (STOPPED, 1077), "installing must not start the service"


@pytest.mark.after("test_install")
def test_second_install_fails_with_the_system_text(prefix):
    result = prefix.kelvarn("-install")
    assert result.stdout == (f"CreateService failed - {SERVICE_EXISTS} "
                             "(Error code: 0x431)\r\n").encode()
    assert result.returncode == 0
    assert prefix.registry_values(SERVICE_KEY)["ImagePath"][1] == f'"{EXE_DOS_PATH}"'


@pytest.mark.after("test_install")
def test_sc_start_runs_the_service(prefix):
    result = prefix.sc("start", kvn_wine.SERVICE)
    assert result.returncode == 0, result
    assert prefix.wait_service_state(RUNNING, 8), f"not running: {prefix.service_query()}"
    assert len(prefix.windows_pids()) == 1
    assert no_events(prefix), prefix.event_strings()


@pytest.mark.after("test_sc_start_runs_the_service")
def test_stick_turn_in_service_mode(prefix):
    prefix.set_tool_exit_delay(500)
    before = len(prefix.tool_starts())
    plugged = prefix.plug()
    mount = prefix.wait_tool_start(before, 8)
    assert mount is not None, "the service did not mount"
    assert mount["argv"] == mount_argv()
    assert_attach_delay(mount["time"] - plugged)

    time.sleep(0.5)
    removed = prefix.remove_config()
    dismount = prefix.wait_tool_start(before + 1, 10)
    assert dismount is not None, "the service did not dismount"
    assert dismount["argv"] == DISMOUNT_ARGV
    assert_removal_delay(dismount["time"] - removed)

    # The file back: the next scan reads it afresh and mounts again; the stick stays mounted for
    # the stop that follows.
    assert wait_until(lambda: prefix.tool_exit(dismount["pid"]), 5)
    prefix.write_stick(kvn_wine.kvn_ini(target="0"))  # first free letter: A
    again = prefix.wait_tool_start(before + 2, 8)
    assert again is not None, "no mount after the file came back"
    assert again["argv"] == mount_argv(target="A")
    assert prefix.service_state() == RUNNING
    assert not prefix.trace_file.exists(), "a service never writes the trace log"


@pytest.mark.after("test_stick_turn_in_service_mode")
def test_sc_stop_while_mounted(prefix):
    prefix.set_tool_exit_delay(0, 1000)
    # Wait until the watch pauses, well after the mount above.
    time.sleep(1.0)
    before = len(prefix.tool_starts())
    pids = prefix.windows_pids()
    stopping = time.time()
    result = prefix.sc("stop", kvn_wine.SERVICE)
    assert result.returncode == 0, result
    dismount = prefix.wait_tool_start(before, 5)
    assert dismount is not None, "a stop while mounted must dismount"
    assert dismount["argv"] == DISMOUNT_ARGV
    assert dismount["time"] - stopping < 1.5
    assert wait_until(lambda: prefix.service_state() == STOPPED, 8, interval=0.05)
    seen_stopped = time.time()
    tool_exit = prefix.tool_exit(dismount["pid"])
    assert tool_exit is not None and tool_exit["time"] <= seen_stopped, \
        "reported stopped before the dismount had ended"
    assert prefix.service_query() == (STOPPED, 0)
    assert wait_until(lambda: not any(kvn_wine.Path(f"/proc/{p}").exists() for p in pids), 5)
    assert len(prefix.tool_starts()) == before + 1
    assert no_events(prefix), prefix.event_strings()


@pytest.mark.after("test_install")
def test_auto_start_in_a_new_session(prefix, unplugged):
    for letter in sorted(prefix.plugged):
        prefix.unplug(letter)
    prefix.restart_session()
    assert prefix.wait_service_state(RUNNING, 10), f"not started: {prefix.service_query()}"
    assert len(prefix.windows_pids()) == 1
    assert no_events(prefix), prefix.event_strings()


@pytest.mark.after("test_auto_start_in_a_new_session")
def test_remove_while_the_dismount_hangs(prefix, unplugged):
    """-remove stops the service, whose dismount never ends: the stop gives up on the tool after
    about 60 s, announcing its progress meanwhile, and the removal completes."""
    prefix.set_tool_exit_delay(0, HANG)
    before = len(prefix.tool_starts())
    prefix.plug()
    assert prefix.wait_tool_start(before, 8) is not None, "the service did not mount"
    time.sleep(0.5)  # the watch is pausing

    started = time.monotonic()
    remover = prefix.spawn_kelvarn("-remove")
    dismount = prefix.wait_tool_start(before + 1, 5)
    assert dismount is not None and dismount["argv"] == DISMOUNT_ARGV
    pending = []  # (checkpoint, wait hint) of each STOP_PENDING seen
    while remover.poll() is None and time.monotonic() - started < 75:
        status = prefix.service_status()
        if status and status["STATE"] == STOP_PENDING:
            pending.append((status["CHECKPOINT"], status["WAIT_HINT"]))
        time.sleep(1.0)
    out, err = remover.communicate(timeout=10)
    elapsed = time.monotonic() - started
    print(f"-remove with a hung dismount took {elapsed:.1f} s; STOP_PENDING seen: {pending}")

    assert re.fullmatch(rb"Stopping Kelvarn\.+\r\nKelvarn stopped\.\r\nKelvarn removed\.\r\n",
                        out), out
    assert remover.returncode == 0
    assert 58 <= elapsed <= 68, f"the stop took {elapsed:.1f} s"
    checkpoints = [checkpoint for checkpoint, _ in pending]
    assert len(set(checkpoints)) >= 10 and checkpoints == sorted(checkpoints), pending
    assert all(hint > 0 for _, hint in pending), pending
    assert prefix.tool_exit(dismount["pid"]) is None, "the stand-in tool was meant to hang"
    assert wait_until(lambda: prefix.registry_values(SERVICE_KEY) is None, 5), \
        "the service key is still there"
    assert prefix.registry_values(EVENT_SOURCE_KEY) is None, "the event source is still there"
    assert prefix.service_query() is None
    assert prefix.windows_pids() == []
    assert no_events(prefix), prefix.event_strings()
