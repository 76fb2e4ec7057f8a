r"""kelvarn.exe -debug, one run with every stick of scenarios.toml [debug]: the hostile ones are
refused (debug-first-pass.log, the whole first pass, holds each refusal's line) and start nothing,
among them copies of the stand-in unsigned, signed by another signer and changed after signing;
the good one is mounted with the exact argv, and Ctrl+C while mounted dismounts first, waits for
it, exits 0 and leaves the destructor's line last. With C:\Trace a link, it writes no trace."""

import shutil
import time

import winelab
from conftest import HERE, SCENARIOS
from winelab import DESTRUCTED, STOPPING, dismount_argv, mount_argv, wait_until

DEBUG = SCENARIOS["debug"]
GOOD = DEBUG["good"]


def test_debug_run(prefix):
    sticks = {GOOD: prefix.stick}
    copies = []
    for row in DEBUG["hostile"]:
        sticks[row["letter"]] = prefix.write_stick(winelab.kvn_ini(**row["ini"]),
                                                   prefix.root / f"stick-{row['letter']}")
        if tool := row["ini"].get("truecrypt"):
            drive, path = tool.split(":\\", 1)
            copy = winelab.dos_to_unix(prefix.path, tool) if drive == "C" else sticks[drive] / path
            copy.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(prefix.template.tools[row.get("tool", "signed")], copy)
            copy.parent.chmod(row.get("mode", 0o755))
            copies.append(copy)
    for letter, folder in sticks.items():
        prefix.plug(letter, folder)
    prefix.set_tool_exit_delay(0, 1000)
    child = prefix.start_debug()

    mount = prefix.wait_tool_start(0, 8)
    assert mount and mount["argv"] == mount_argv(stick=GOOD, service=False), prefix.trace_lines()
    golden = (HERE / "debug-first-pass.log").read_text(encoding="latin-1").splitlines()
    assert wait_until(lambda: prefix.trace_lines()[:len(golden)] == golden, 2), \
        prefix.trace_lines()  # it ends in the watch
    interrupted = time.time()
    out, err = prefix.stop_debug(child)
    starts = prefix.tool_starts()
    assert (out, err, child.returncode, len(starts)) == (STOPPING, b"", 0, 2)
    assert starts[1]["argv"] == dismount_argv(service=False) and starts[1]["time"] - interrupted < 1.0
    assert prefix.tool_exit(starts[1]["pid"]), "ended before its dismount had"

    lines = prefix.trace_lines()
    assert lines[-2:] == ["CloseContainer!", DESTRUCTED] and "Token removed!" not in lines
    assert [copy for copy in copies if (copy.parent / "calls.jsonl").exists()] == []

    elsewhere = prefix.root / "elsewhere"
    elsewhere.mkdir()
    shutil.rmtree(prefix.trace_file.parent)
    prefix.trace_file.parent.symlink_to(elsewhere)
    child = prefix.spawn_kelvarn("-debug")
    time.sleep(2)
    assert prefix.stop_debug(child) == (STOPPING, b"") and list(elsewhere.iterdir()) == []
