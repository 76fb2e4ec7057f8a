"""The demo: the whole job of kelvarn.exe, shown under Wine with a running commentary.

A throwaway Wine prefix gets a stand-in for the encryption tool under Program Files, a sample
container and kelvarn.exe; a Linux folder with kvn.ini and a key file plays the USB stick and is
attached and detached as removable drive E:. First the service: installed, started, a stick turn
(mount, removal, dismount), stopped and removed. Then the same turn in debug mode, with the trace
log. Exits 0 only if every step happened as it should; cleans up after itself either way.
"""

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools" / "winelab"))
import winelab as kw  # noqa: E402


class DemoFailed(Exception):
    pass


def say(text=""):
    print(text, flush=True)


def step(title):
    say()
    say(f"== {title}")


def show(label, data):
    text = data.decode("latin-1") if isinstance(data, bytes) else data
    for line in text.replace("\r\n", "\n").rstrip("\n").split("\n"):
        say(f"   {label}| {line}")


def check(condition, what):
    if not condition:
        raise DemoFailed(what)
    say(f"   ok: {what}")


def stick_turn(pfx, what):
    """Plugs the stick, pulls it once the tool has been started, and shows both starts. A service
    tells the tool to show no window and that the key file is the whole key (/s, /p "")."""
    mount, dismount, attached, removed = pfx.stick_turn()
    service = what == "service"
    for start, label, argv in ((mount, "mount", kw.mount_argv(service=service)),
                               (dismount, "dismount", kw.dismount_argv(service=service))):
        say(f"   {what} {label}: the tool received the command line: {start['cmdline']}")
        say(f"   split into arguments: {start['argv']}")
        check(start["argv"] == argv, f"{label}: every value arrived as one argument")
    say(f"   mounted {attached:.1f} s after the stick was attached, "
        f"dismounted {removed:.1f} s after it was pulled")
    check(kw.ATTACH_WINDOW[0] <= attached <= kw.ATTACH_WINDOW[1],
          "the container was mounted within one scan pass and its pause")
    check(kw.REMOVAL_WINDOW[0] <= removed <= kw.REMOVAL_WINDOW[1],
          "the dismount came 3 to 6 seconds after the removal")


def service_part(pfx):
    step("Installing the service: kelvarn -install")
    result = pfx.kelvarn("-install")
    show("console", result.stdout)
    check(b"Kelvarn installed." in result.stdout, "the service is installed")
    if b"Restart after an error stop not set" in result.stdout:
        say("   (Wine's service manager keeps no failure actions; Windows does)")
    values = pfx.registry_values(kw.SERVICE_KEY) or {}
    say(f"   registered program: {values.get('ImagePath', ('', '?'))[1]}")
    check(values.get("Start", ("", ""))[1] in ("0x2", "2"), "it starts automatically with Windows")

    step("Starting it: sc start Kelvarn")
    pfx.sc("start", kw.SERVICE)
    check(pfx.wait_service_state(kw.RUNNING, 15), "the service is running, waiting for a stick")

    step("Attaching the stick as removable drive E:, then pulling it")
    stick_turn(pfx, "service")

    step("Stopping the service: sc stop Kelvarn")
    pfx.sc("stop", kw.SERVICE)
    check(pfx.wait_service_state(kw.STOPPED, 15), "the service has stopped")

    step("Removing the service: kelvarn -remove")
    result = pfx.kelvarn("-remove")
    show("console", result.stdout)
    check(b"Kelvarn removed." in result.stdout, "the service is removed")


def debug_part(pfx):
    step("The same turn in debug mode: kelvarn -debug (trace log in C:\\Trace\\kvn.log)")
    child = pfx.start_debug()
    say("   debug mode is scanning the drives every 2 seconds")
    stick_turn(pfx, "debug")

    step("Ctrl+C")
    out, _ = pfx.stop_debug(child)
    show("console", out)
    check(child.returncode == 0, "debug mode ended with exit code 0")

    step("The trace log of the debug run")
    lines = pfx.trace_lines()
    for line in lines:
        say(f"   kvn.log| {line}")
    check(lines and lines[0] == "SecureToken construktor!", "the log begins with the constructor")
    check(lines and lines[-1] == "SecureToken implicite destructor!",
          "the log ends with the destructor")


def main():
    say("Kelvarn demo: the service opens an encrypted container while its USB key stick is")
    say("attached. Under Wine, a folder plays the stick and a stand-in records what the")
    say("encryption tool would be asked to do.")
    step("Preparing a throwaway Windows (Wine prefix); this takes a few seconds")
    try:
        with kw.lab("demo") as pfx:
            say(f"   {kw.TOOL_DOS_PATH}: stand-in for TrueCrypt")
            say(f"   {kw.CONTAINER_DOS_PATH}: the container")
            say(f"   {kw.EXE_DOS_PATH}: the program, its {pfx.template.arch} build")
            say("   the stick holds:")
            for item in sorted(pfx.stick.iterdir()):
                say(f"     E:\\{item.name}")
            show("kvn.ini", (pfx.stick / "kvn.ini").read_bytes())
            service_part(pfx)
            debug_part(pfx)
    except (DemoFailed, kw.WineError) as error:
        say()
        say(f"DEMO FAILED: {error}")
        return 1
    say()
    say("Demo complete: install, start, mount, watch, dismount, stop, remove, and debug mode.")
    return 0


if __name__ == "__main__":
    started = time.monotonic()
    code = main()
    say(f"({time.monotonic() - started:.0f} s)")
    sys.exit(code)
