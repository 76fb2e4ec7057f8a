"""Console commands that need no service: the usage list, silent unknown words, and the
dispatcher failing when the program is started from a console without a switch."""

import subprocess
import time

import pytest

import kvn_wine
from kvn_wine import event_strings

USAGE = (b"Kelvarn -help or -?       to display this list\r\n"
         b"Kelvarn -install          to install the service\r\n"
         b"Kelvarn -remove           to remove the service\r\n"
         b"Kelvarn -debug <params>   to run as a console app for debugging\r\n"
         b"Kelvarn (no parameter)    starts the service if installed\r\n")

DISPATCHER_FAILED = (b"\r\nStartServiceCtrlDispatcher being called.\r\n"
                     b"This may take several seconds.  Please wait.\r\n"
                     b"Service couldn't be started. Perhaps not installed.\r\n")


@pytest.mark.parametrize("args", [["-help"], ["/?"], ["-?"], ["/HELP"], ["-Help"],
                                  ["-help", "-install"]])
def test_usage_list(prefix, args):
    result = prefix.kelvarn(*args)
    assert result.stdout == USAGE
    assert result.stderr == b""
    assert result.returncode == 0


@pytest.mark.parametrize("word", ["-inst", "-installx", "--install", "-", "/", "-helpme",
                                  "-debugger", "/removed", "-h"])
def test_unknown_word_ends_silently(prefix, word):
    started = time.monotonic()
    result = prefix.kelvarn(word, timeout=20)
    assert (result.stdout, result.stderr, result.returncode) == (b"", b"", 0)
    assert time.monotonic() - started < 5, "an unknown word must end the process at once"


def test_dispatcher_fails_from_a_console(prefix):
    """No argument, a word without - or /, and an empty argument all take the service path.

    Under Wine 8 the dispatcher call of a console process fails only after 10 s (it waits on the
    control pipe of the last service that services.exe started), so the three run side by side.
    A console process prints its own event-log entries on its own stderr."""
    cases = {"no argument": [], "no prefix": ["install"], "empty argument": [""]}
    env = dict(prefix.env, WINEDEBUG="-all,err+eventlog")
    started = time.monotonic()
    children = {name: subprocess.Popen(["wine", kvn_wine.EXE_DOS_PATH, *args], env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
                for name, args in cases.items()}
    prefix.children.extend(children.values())
    for name, child in children.items():
        out, err = child.communicate(timeout=60)
        assert out == DISPATCHER_FAILED, name
        assert child.returncode == 0, name
        lines = err.decode(errors="replace").splitlines()
        assert event_strings("\n".join(lines)) == ["Kelvarn error: 1063",
                                                   "StartServiceCtrlDispatcher failed."], name
        assert all(":err:eventlog:ReportEventW " in line for line in lines), (name, lines)
    assert time.monotonic() - started < 30
