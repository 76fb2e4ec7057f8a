"""Console commands that need no service: the usage list, silent unknown words, and the
dispatcher failing when the program is started from a console without a switch."""

import time

import pytest

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


@pytest.mark.parametrize("args", [[], ["install"], [""]], ids=["no-argument", "no-prefix",
                                                               "empty-argument"])
def test_dispatcher_fails_from_a_console(prefix, args):
    # A console process writes its own event-log entries to its own stderr.
    started = time.monotonic()
    result = prefix.kelvarn(*args, timeout=30, winedebug="-all,err+eventlog")
    elapsed = time.monotonic() - started
    assert result.stdout == DISPATCHER_FAILED
    assert result.returncode == 0
    lines = result.stderr.decode(errors="replace").splitlines()
    assert event_strings("\n".join(lines)) == ["Kelvarn error: 1063",
                                               "StartServiceCtrlDispatcher failed."]
    assert all(":err:eventlog:ReportEventW " in line for line in lines), lines
    assert elapsed < 10
