#include "service/service_host.h"

#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "common/process_state.h"
#include "common/strings.h"
#include "rules/event_text.h"
#include "service/scoped_handle.h"
#include "service/service_install.h"
#include "service/service_state.h"
#include "service/stop_watchdog.h"
#include "token/watch_cycle.h"

namespace kvn::service {

namespace {

constexpr std::uint32_t kStartWaitHint = 3000;

// Caller holds the report lock and has checked debug mode. Once running, a stop is accepted,
// and so is the pre-shutdown notice, which is handled as a stop.
bool ReportLocked(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
  process.serviceStatus.controlsAccepted =
      state == kServiceStartPending ? 0 : kServiceAcceptStop | kServiceAcceptPreshutdown;
  process.serviceStatus.currentState = state;
  process.serviceStatus.win32ExitCode = exitCode;
  process.serviceStatus.waitHint = waitHint;
  if (state == kServiceRunning || state == kServiceStopped) {
    process.serviceStatus.checkPoint = 0;
  } else {
    process.serviceStatus.checkPoint = process.checkPoint++;
  }
  if (!ServiceOs().SetServiceStatus(process.statusHandle, process.serviceStatus)) {
    LogServiceError(u"SetServiceStatus");
    return false;
  }
  return true;
}

bool IsStop(std::uint32_t control) {
  return control == kServiceControlStop || control == kServiceControlPreshutdown;
}

// A control answered with a report: stop pending for a stop, else the state process.serviceStatus
// holds again; the read and the report are one step. Once stopped has been reported, nothing
// more is: a control that arrives while the process ends changes no state.
void ReportForControl(std::uint32_t control) {
  if (process.debugMode) return;
  std::lock_guard<std::mutex> hold(process.reportLock);
  const std::uint32_t state = process.serviceStatus.currentState;
  if (state == kServiceStopped) return;
  ReportLocked(IsStop(control) ? kServiceStopPending : state, kNoError, 0);
}

// The code a failure that escaped the service's work is reported with.
std::uint32_t FailureCode(const std::exception_ptr& failure) {
  constexpr std::uint32_t kErrorNotEnoughMemory = 8;
  constexpr std::uint32_t kErrorInternalError = 1359;
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  } catch (...) {
    return kErrorInternalError;
  }
}

std::u16string SignedDecimal(std::int32_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// True when `argument` (after its prefix character) is `word`, ignoring ASCII letter case.
bool IsSwitch(const char* argument, std::string_view word) {
  std::size_t i = 0;
  for (; argument[i] != '\0'; ++i) {
    if (i == word.size()) return false;
    const auto lower = static_cast<char>(AsciiLower(static_cast<unsigned char>(argument[i])));
    if (lower != word[i]) return false;
  }
  return i == word.size();
}

void PrintUsage() {
  static constexpr const char* kUsage[] = {
      " -help or -?       to display this list\n",
      " -install          to install the service\n",
      " -remove           to remove the service\n",
      " -debug <params>   to run as a console app for debugging\n",
      " (no parameter)    starts the service if installed\n",
  };
  for (const char* line : kUsage) {
    ServiceOs().WriteNarrow(std::string(kServiceNameNarrow) + line);
  }
}

int RunAsService() {
  os::ServicePlatform& os = ServiceOs();
  os.WriteNarrow("\nStartServiceCtrlDispatcher being called.\n");
  os.WriteNarrow("This may take several seconds.  Please wait.\n");
  // Returns once the service has stopped; fails at once when no service control manager
  // started this process (for instance when it runs from a console).
  if (!os.StartServiceCtrlDispatcher(kServiceName, &ServiceMain)) {
    LogServiceError(u"StartServiceCtrlDispatcher failed.");
    os.WriteNarrow("Service couldn't be started. Perhaps not installed.\n");
  }
  return 0;
}

}  // namespace

bool ReportStatus(std::uint32_t state, std::uint32_t exitCode, std::uint32_t waitHint) {
  if (process.debugMode) return true;
  std::lock_guard<std::mutex> hold(process.reportLock);
  return ReportLocked(state, exitCode, waitHint);
}

// A stop that was asked for ends without an error, whatever failed on the way: the failure
// actions apply to a stop with an error too, and must never restart a service that an
// administrator stopped (or Windows, shutting down). Every other end carries the code of the
// last logged failure.
std::uint32_t StopExitCode() {
  return process.stopAsked ? kNoError : process.lastServiceError.load();
}

void ReportStopped() {
  if (process.debugMode) return;
  std::lock_guard<std::mutex> hold(process.reportLock);
  if (process.serviceStatus.currentState == kServiceStopped) return;
  ReportLocked(kServiceStopped, StopExitCode(), 0);
}

void LogServiceError(const char16_t* operation) {
  if (process.debugMode) return;
  // Before any other platform call can change the code.
  LogError(ServiceOs().GetLastError(), operation);
}

void LogError(std::uint32_t code, const char16_t* operation) {
  if (process.debugMode) return;
  process.lastServiceError = code;
  char16_t message[256];
  CopyBounded(message,
              std::u16string(kServiceName) + u" error: " +
                  SignedDecimal(static_cast<std::int32_t>(process.lastServiceError.load())));
  WriteEvent({{0, EventLevel::kError}, {message, operation}});
}

void WriteEvent(const Event& event) noexcept {
  if (process.debugMode) return;
  // An entry that cannot be written changes nothing else: no retry, no failure passed on.
  try {
    const ScopedEventSource source(ServiceOs().RegisterEventSource(kServiceName));
    if (source.get() == nullptr) return;
    // Each string shown as text, never read as a message's inserts.
    std::vector<std::u16string> inert;
    inert.reserve(event.strings.size());
    for (const std::u16string& text : event.strings) inert.push_back(InertEventText(text));
    std::vector<const char16_t*> strings;
    strings.reserve(inert.size());
    for (const std::u16string& text : inert) strings.push_back(text.c_str());
    ServiceOs().ReportEvent(source.get(), static_cast<std::uint16_t>(event.kind.level), 0,
                            event.kind.id, strings.data(),
                            static_cast<std::uint16_t>(strings.size()));
  } catch (...) {
  }
}

void ServiceMain(std::uint32_t /*argc*/, char16_t** /*argv*/) noexcept {
  const os::Handle handle =
      ServiceOs().RegisterServiceCtrlHandler(kServiceName, &ServiceControlHandler);
  if (handle == nullptr) return;
  try {
    {
      std::lock_guard<std::mutex> hold(process.reportLock);
      process.statusHandle = handle;
      process.serviceStatus.serviceType = kServiceWin32OwnProcess;
      process.serviceStatus.serviceSpecificExitCode = 0;
    }
    if (ReportStatus(kServiceStartPending, kNoError, kStartWaitHint)) {
      // At shutdown the stop's budget is what the service control manager waits for; one that
      // cannot be read leaves the default.
      std::uint32_t timeout = kDefaultPreshutdownTimeout;
      ServiceOs().PreshutdownTimeout(kServiceName, timeout);
      process.preshutdownWaitLimit = timeout > kShutdownReserve ? timeout - kShutdownReserve : 0;
      RunWatcher();
    }
  } catch (...) {
    // Nothing may unwind into the system's frames; the service still ends as a service.
    const std::uint32_t code = FailureCode(std::current_exception());
    try {
      LogError(code, u"ServiceMain");
    } catch (...) {
    }
  }
  try {
    ReportStopped();
  } catch (...) {
  }
}

void ServiceControlHandler(std::uint32_t control) noexcept {
  // At shutdown the stop may take what the service control manager waits, set before the
  // cycle can see the event.
  if (control == kServiceControlPreshutdown) {
    process.stopWaitLimit = process.preshutdownWaitLimit.load();
  }
  // Pending is reported before the event is set: once the watch cycle sees the event it may
  // report stopped at any moment, and that report must come last. The event is set whatever
  // the report did: a stop that is lost leaves the service running with no way to end it.
  try {
    ReportForControl(control);
  } catch (...) {
  }
  if (!IsStop(control)) return;
  process.stopAsked = true;
  try {
    ArmStopWatchdog();
  } catch (...) {
  }
  try {
    SignalStopEvent();
  } catch (...) {
  }
}

int ConsoleControlHandler(std::uint32_t event) noexcept {
  // Windows ends the process once the handler of a closing console (its window closed, the
  // user logging off, the machine shutting down) returns, or about 5 s after the event: the
  // stop then waits less for a hung tool, and the handler waits for the cycle to end, so that
  // a container mounted in this run is dismounted first. The mount record covers the rest.
  constexpr std::uint32_t kCtrlCEvent = 0;
  constexpr std::uint32_t kCtrlBreakEvent = 1;
  constexpr std::uint32_t kCloseEvent = 2;
  constexpr std::uint32_t kLogoffEvent = 5;
  constexpr std::uint32_t kShutdownEvent = 6;
  constexpr std::uint32_t kClosingStopWaitLimit = 3000;  // ms
  constexpr std::uint32_t kClosingWaitSlices = 45;       // 4.5 s in all
  constexpr std::uint32_t kClosingWaitSlice = 100;       // ms
  const bool interrupt = event == kCtrlCEvent || event == kCtrlBreakEvent;
  const bool closing = event == kCloseEvent || event == kLogoffEvent || event == kShutdownEvent;
  // Any other event goes on to the next handler (finally the system's).
  if (!interrupt && !closing) return 0;
  if (closing) process.stopWaitLimit = kClosingStopWaitLimit;
  // Handled, whatever happens here: unhandled, Ctrl+C would reach the system's default
  // handler, which ends the process without the dismount.
  try {
    ServiceOs().WriteWide(std::u16string(u"Stopping ") + kServiceName + u".\n");
  } catch (...) {
  }
  try {
    ArmStopWatchdog();
  } catch (...) {
  }
  try {
    SignalStopEvent();
  } catch (...) {
  }
  if (!closing) return 1;
  // The cycle has ended once it has closed its stop event.
  for (std::uint32_t slice = 0; slice < kClosingWaitSlices && process.stopEvent.load() != nullptr;
       ++slice) {
    try {
      ServiceOs().Sleep(kClosingWaitSlice);
    } catch (...) {
    }
  }
  return 0;
}

void PublishStopEvent(os::Handle event) { process.stopEvent.store(event); }

void CloseStopEvent() {
  os::Handle event;
  {
    std::lock_guard<std::mutex> hold(process.reportLock);
    event = process.stopEvent.exchange(nullptr);
  }
  if (event != nullptr) ServiceOs().CloseHandle(event);
}

void SignalStopEvent() {
  std::lock_guard<std::mutex> hold(process.reportLock);
  const os::Handle event = process.stopEvent.load();
  if (event != nullptr) ServiceOs().SetEvent(event);
}

int RunProcess(int argc, char** argv) {
  process.debugMode = false;
  if (argc >= 2 && (argv[1][0] == '-' || argv[1][0] == '/')) {
    const char* word = argv[1] + 1;
    if (IsSwitch(word, "install")) {
      InstallService();
    } else if (IsSwitch(word, "remove")) {
      RemoveService();
    } else if (IsSwitch(word, "debug")) {
      // Before the watcher is built: the SecureToken takes its trace switch from it.
      process.debugMode = true;
      ServiceOs().SetConsoleCtrlHandler(&ConsoleControlHandler);
      RunWatcher();
    } else if (IsSwitch(word, "help") || IsSwitch(word, "?")) {
      PrintUsage();
    }
    // Any other word ends the process silently.
    return 0;
  }
  return RunAsService();
}

}  // namespace kvn::service
