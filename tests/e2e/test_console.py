"""The console commands of the real kelvarn.exe, every row of scenarios.toml [console] side by
side in one prefix: output, event-log strings, exit code and how soon each run ends."""

import signal
import time

import winelab
from conftest import SCENARIOS

CONSOLE = SCENARIOS["console"]


def test_console_commands(prefix):
    trace = prefix.trace_file.parent
    elsewhere = prefix.root / "elsewhere"
    elsewhere.mkdir()
    trace.rmdir()
    trace.symlink_to(elsewhere)
    started = time.monotonic()
    runs = [(group, args, prefix.spawn_kelvarn(*args, winedebug="-all,err+eventlog"))
            for group in CONSOLE["group"] for args in group["args"]]
    failures = []
    for group, args, child in runs:
        if group.get("ctrl_c"):  # by then its handler and stop event exist
            time.sleep(max(0.0, started + 1.5 - time.monotonic()))
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
        seconds = time.monotonic() - started
        err = err.decode(errors="replace")
        got = (out.decode("latin-1"), winelab.event_strings(err), child.returncode,
               [line for line in err.splitlines() if ":err:eventlog:ReportEventW " not in line])
        if got != (CONSOLE["text"][group["stdout"]], group.get("events", []), 0, []) \
                or seconds > group["within"]:
            failures.append(f"{group['what']}: {args} gave {got} after {seconds:.1f} s")
    assert failures == []
    assert list(elsewhere.iterdir()) == [], "a trace was written through the linked C:\\Trace"
