"""The service under Wine's own service control manager, its whole life in one prefix, with the
texts and registry values of scenarios.toml [service] and [console]: the console commands, -install,
sc start and stop, stick turns with their events, a pull while the tool's file is held, auto start,
a kill while mounted, and -remove with the dismount hung (the stop gives up at 60 s)."""

import os
import re
import signal
import time

import winelab
from conftest import SCENARIOS
from winelab import (ATTACH_WINDOW, HANG, REMOVAL_WINDOW, RUNNING, SERVICE, STOP_PENDING,
                     STOPPED, TOOL_DOS_PATH, dismount_argv, mount_argv, wait_until)

TEXT, CONSOLE = SCENARIOS["service"], SCENARIOS["console"]
ALL = ("err", "warn", "trace")


def registry(prefix):
    """The values of scenarios.toml's registry table as they are now; a missing key is left out."""
    return {key: {name: list(got.get(name, ())) for name in values}
            for key, values in TEXT["registry"].items()
            if (got := prefix.registry_values(key)) is not None}


def test_service_life(prefix):
    assert prefix.kelvarn("-help").stdout.decode() == CONSOLE["usage"]
    console = prefix.kelvarn(winedebug="-all,err+eventlog")  # no switch: not started as a service
    assert (console.stdout.decode(), winelab.event_strings(console.stderr.decode())) == \
        (CONSOLE["dispatcher"], CONSOLE["dispatcher_events"])
    assert prefix.kelvarn("-remove").stdout.decode() == TEXT["remove_missing"]
    # Every file here is the lab user's: unless a policy trusts that account, it is "others";
    # a policy that names Everyone trusts nobody.
    for sid, texts in ((None, ["install_untrusted"]), ("S-1-1-0", ["everyone", "install_untrusted"]),
                       (winelab.LAB_USER_SID, ["install"]), (winelab.LAB_USER_SID, ["install_again"])):
        prefix.trust(sid)
        assert prefix.kelvarn("-install").stdout.decode() == "".join(TEXT[t] for t in texts)
        assert registry(prefix) == (TEXT["registry"] if sid == winelab.LAB_USER_SID else {})
    # Wine's services.exe keeps no failure actions (nor their flag); it only logs what was asked.
    log = prefix.system_log()
    assert "FAILURE_ACTIONS not implemented: period 86400" in log and "level 4 not implemented" in log
    status = prefix.service_status()
    assert (status["STATE"], status["WIN32_EXIT_CODE"]) == (STOPPED, 1077), "it never ran"

    assert prefix.sc("start", SERVICE).returncode == 0
    assert prefix.wait_service_state(RUNNING, 8) and len(prefix.pids()) == 1
    prefix.set_tool_exit_delay(500)
    mount, dismount, attached, removed = prefix.stick_turn(prefix.remove_config)
    assert (mount["argv"], dismount["argv"]) == (mount_argv(), dismount_argv())
    assert ATTACH_WINDOW[0] <= attached <= ATTACH_WINDOW[1]
    assert REMOVAL_WINDOW[0] <= removed <= REMOVAL_WINDOW[1]
    assert wait_until(lambda: prefix.tool_exit(dismount["pid"]), 5)
    assert wait_until(lambda: prefix.event_strings(ALL) == TEXT["turn_events"], 5), \
        prefix.event_strings(ALL)
    # what the stick wrote reaches the event inert
    prefix.write_stick(winelab.kvn_ini(container=TEXT["percent_container"]))
    assert wait_until(lambda: ["warn", TEXT["percent_refusal"]] in prefix.event_strings(ALL), 8)
    prefix.write_stick(winelab.kvn_ini(target="0"))  # read afresh: the first free letter, A:
    mount = prefix.wait_tool_start(2, 8)
    assert mount["argv"] == mount_argv(target="A")
    assert not prefix.trace_file.exists(), "a service never writes the trace log"

    # the tool's file held open, sharing nothing, at the pull: the dismount armed with the mount
    # needs no open of that file and runs as ever, nothing failing to start
    assert wait_until(lambda: prefix.tool_exit(mount["pid"]), 5)
    holder = prefix.hold(TOOL_DOS_PATH, 10000)
    removed = prefix.unplug()
    dismount = prefix.wait_tool_start(3, 8)
    assert dismount["argv"] == dismount_argv() and holder.poll() is None
    assert REMOVAL_WINDOW[0] <= dismount["time"] - removed <= REMOVAL_WINDOW[1]
    holder.communicate(timeout=20)
    assert TOOL_DOS_PATH not in prefix.event_strings()  # no event 1203
    prefix.plug()
    assert prefix.wait_tool_start(4, 8)["argv"] == mount_argv(target="A")

    prefix.set_tool_exit_delay(0, 1000)
    time.sleep(1.0)  # into the watch pause
    pids, stopping = prefix.pids(), time.time()
    assert prefix.sc("stop", SERVICE).returncode == 0
    dismount = prefix.wait_tool_start(5, 5)
    assert dismount["argv"] == dismount_argv() and dismount["time"] - stopping < 1.5
    assert prefix.wait_service_state(STOPPED, 8)
    assert prefix.tool_exit(dismount["pid"]), "reported stopped before the dismount ended"
    assert prefix.service_status()["WIN32_EXIT_CODE"] == 0 and len(prefix.tool_starts()) == 6
    assert wait_until(lambda: not set(pids) & set(prefix.pids()), 5)

    prefix.unplug()
    prefix.restart_session()
    assert prefix.wait_service_state(RUNNING, 10) and len(prefix.pids()) == 1, "no auto start"
    prefix.plug()
    assert prefix.wait_tool_start(6, 8)["argv"] == mount_argv(target="A")

    # killed while mounted: the next start, with the stick gone, closes the volume in its first pass
    os.kill(prefix.pids()[0], signal.SIGKILL)
    prefix.unplug()
    assert wait_until(lambda: prefix.pids() == [], 5)
    started = time.time()
    assert wait_until(lambda: prefix.sc("start", SERVICE).returncode == 0, 10)
    dismount = prefix.wait_tool_start(7, 8)
    assert dismount["argv"] == dismount_argv() and dismount["time"] - started < 4
    assert TEXT["leftover_event"] in prefix.event_strings(ALL)

    prefix.set_tool_exit_delay(0, HANG)
    prefix.plug()
    assert prefix.wait_tool_start(8, 8)["argv"] == mount_argv(target="A")
    time.sleep(0.5)  # into the watch pause
    started, pending = time.monotonic(), []
    remover = prefix.spawn_kelvarn("-remove")
    while remover.poll() is None and time.monotonic() - started < 75:
        status = prefix.service_status() or {}
        if status.get("STATE") == STOP_PENDING:
            pending.append((status["CHECKPOINT"], status["WAIT_HINT"]))
        time.sleep(1.0)
    out, _ = remover.communicate(timeout=10)
    elapsed = time.monotonic() - started
    assert re.fullmatch(TEXT["remove_running"], out.decode()), out
    assert 58 <= elapsed <= 68, f"the stop took {elapsed:.1f} s"
    checkpoints, hints = zip(*pending)
    assert len(set(checkpoints)) >= 10 and list(checkpoints) == sorted(checkpoints), pending
    # the first poll may meet the stop control's own report, the only one with no wait hint
    assert all(hint > 0 for hint in hints[1:]), pending
    dismount = prefix.tool_starts()[9]
    assert dismount["argv"] == dismount_argv() and not prefix.tool_exit(dismount["pid"])
    assert wait_until(lambda: registry(prefix) == {}, 5), "the registry keys are still there"
    assert prefix.service_status() is None and prefix.pids() == []
    assert prefix.event_strings()[-2:] == TEXT["left_tool_errors"]
