// Everything the process shares between its threads and modes, in one object with one reset:
// the debug switch, the service's status record and counters, the stop event, the lock that
// orders status reports, the buffer of the last error text, and the installed platforms.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "os/handle.h"
#include "os/service_platform.h"
#include "os/token_platform.h"

namespace kvn {

inline constexpr std::size_t kErrorTextCapacity = 256;  // units, terminator included
// How long, in all, a stop waits for children that are still running.
inline constexpr std::uint32_t kStopWaitLimit = 60000;  // ms
// How long past that a stop may take to end the watch cycle before the process is ended
// without it (service/stop_watchdog.h).
inline constexpr std::uint32_t kStopGrace = 2000;  // ms
// What the end of a stop needs besides: the grace and a second for the last reports.
inline constexpr std::uint32_t kShutdownReserve = kStopGrace + 1000;  // ms
// The pre-shutdown time-out when the service's own cannot be read: Windows 10 version 1703's
// and later's default, the shortest Windows has.
inline constexpr std::uint32_t kDefaultPreshutdownTimeout = 10000;  // ms

struct ProcessState {
  // The debug switch: set by the -debug command before anything else is built, never changed
  // afterwards. While set, nothing is reported to the service control manager or the event
  // log, and the token watcher writes its trace log.
  bool debugMode = false;

  // The record every status report hands over whole. Written by the reports of both service
  // threads under reportLock; the remove command receives the status of the service it stops
  // into it (that process runs no service).
  os::ServiceStatus serviceStatus;
  // The status handle of this process's service; null until ServiceMain has registered.
  os::Handle statusHandle = nullptr;
  // The stop event while it exists, else null. Written by the thread of the watch cycle, read
  // by the control handlers on their own threads, hence atomic.
  std::atomic<os::Handle> stopEvent{nullptr};
  // The last-error code of the latest failure written to the event log, 0 if none. Stored by
  // either service thread, read by ServiceMain for the final stopped report.
  std::atomic<std::uint32_t> lastServiceError{0};
  // How long, in all, a stop waits for children still running (ms): 60 s, less once the
  // console of a debug run is closing and Windows will soon end the process. Written by the
  // console handler, read by the thread of the watch cycle.
  std::atomic<std::uint32_t> stopWaitLimit{kStopWaitLimit};
  // Set once the service control manager has asked the service to stop (or, at shutdown, to
  // stop before it); read for the final report.
  std::atomic<bool> stopAsked{false};
  // The stop's budget at shutdown: the service's pre-shutdown time-out less kShutdownReserve.
  // Written by ServiceMain, read by the control handler.
  std::atomic<std::uint32_t> preshutdownWaitLimit{0};
  // Set by the first stop request, which arms the stop's watchdog.
  std::atomic<bool> watchdogArmed{false};
  // Counter of pending reports; starts at 1 and runs on over the whole life of the process.
  std::uint32_t checkPoint = 1;
  // Serialises the two service threads: every status report, the publication of
  // statusHandle, and signalling the stop event against closing it.
  std::mutex reportLock;
  // The text LastErrorText returns: valid until its next call.
  char16_t errorText[kErrorTextCapacity] = {};

  // The OS as the core sees it. The process entry (or a test) installs both before it calls
  // anything else of the core and keeps the objects alive until the process ends; nothing
  // replaces them while a service thread or control handler may run. Reset leaves them.
  os::ServicePlatform* serviceOs = nullptr;
  os::TokenPlatform* tokenOs = nullptr;

  // The state of a process that has just started. Only while no other thread uses it.
  void Reset();
};

extern ProcessState process;

}  // namespace kvn
