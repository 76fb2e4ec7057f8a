// The service host: the process entry and its command line, the service entry with its
// control handler, the status reports and the event-log entries, and the console control
// handler of debug mode.
//
// Threads: as a service, the main thread sits in the dispatcher and runs ServiceControlHandler;
// ServiceMain and the watch cycle run on the thread the dispatcher starts. In debug mode the
// watch cycle runs on the main thread and ConsoleControlHandler on a thread of the system.
#pragma once

#include <cstdint>

#include "common/events.h"
#include "os/handle.h"

namespace kvn::service {

// The whole process: picks the mode from the first argument, runs it and returns the exit
// code, which is 0 on every path. Clears process.debugMode first; sets it for -debug before the
// watcher is built.
int RunProcess(int argc, char** argv);

// The three entries that Windows calls let no exception escape: it could not unwind through
// the system's frames.
//
// The service entry named in the dispatch table. Neither argument is used. A failure that
// escapes the service's work (out of memory, a failing lock) is written to the event log
// (ERROR_NOT_ENOUGH_MEMORY or ERROR_INTERNAL_ERROR, operation "ServiceMain") and the
// service still reports stopped, with that code.
void ServiceMain(std::uint32_t argc, char16_t** argv) noexcept;
// Stop, and the pre-shutdown notice (a stop whose budget is the service's pre-shutdown
// time-out): reports stop pending, arms the stop's watchdog, then signals the stop event if it
// exists, also when the report fails. Any other control reports the current state again. Once
// stopped has been reported, no control reports anything. Runs on the dispatcher's thread.
void ServiceControlHandler(std::uint32_t control) noexcept;
// Ctrl+C (0) and Ctrl+Break (1) print the stopping line, arm the stop's watchdog, signal the
// stop event if it exists and return nonzero, whatever fails on the way. Close (2), logoff (5) and
// shutdown (6) do the same with a stop that waits at most 3 s for a hung tool, then wait (at
// most 4.5 s) until the watch cycle has ended and return zero, so that the system ends the process
// as it would have; any other event returns zero at once.
int ConsoleControlHandler(std::uint32_t event) noexcept;

// Fills process.serviceStatus for `state` (controls accepted, checkpoint counting), hands it to the
// service control manager and logs a failure as "SetServiceStatus". One lock makes each
// report whole with respect to the other service thread. In debug mode does nothing and
// returns true.
bool ReportStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint);
// Reports stopped, unless that was reported already (the cycle's end and the stop's watchdog
// may both come to it): with no error after a stop that was asked for, else with the code of
// the last logged failure (StopExitCode). Nothing in debug mode.
void ReportStopped();
std::uint32_t StopExitCode();
// Stores the thread's last-error code in process.lastServiceError and writes one error entry with
// the strings "Kelvarn error: <code as signed decimal>" and `operation`. Nothing in debug
// mode. Must be the first platform call after the one that failed.
void LogServiceError(const char16_t* operation);
// The same entry for `code`, which also becomes process.lastServiceError.
void LogError(std::uint32_t code, const char16_t* operation);
// Writes one entry with the event's ID, level and strings, each made inert (InertEventText).
// Nothing in debug mode; a failure to write is not reported.
void WriteEvent(const Event& event) noexcept;

// The stop event's life, coordinated with the handlers that signal it: publishing makes it
// visible to them; closing clears it first, so that no handler signals a closed handle.
void PublishStopEvent(os::Handle event);
void CloseStopEvent();
// Signals the stop event if it exists.
void SignalStopEvent();

}  // namespace kvn::service
