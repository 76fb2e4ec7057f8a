// What the service host needs of the OS: the service control manager, the event log, the
// console and the stop event. Every method stands for one platform call.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/handle.h"

namespace kvn::os {

// SERVICE_STATUS, field for field.
struct ServiceStatus {
  std::uint32_t serviceType = 0;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

// The core's entries that the system calls; none lets an exception escape.
using ServiceMainFn = void (*)(std::uint32_t argc, char16_t** argv) noexcept;
using ControlHandlerFn = void (*)(std::uint32_t control) noexcept;
using ConsoleHandlerFn = int (*)(std::uint32_t event) noexcept;
using TimerFn = void (*)() noexcept;

class ServicePlatform {
 public:
  virtual ~ServicePlatform() = default;

  // The calling thread's last-error code.
  virtual std::uint32_t GetLastError() = 0;

  // StartServiceCtrlDispatcherW with the table {serviceName, main}, {null, null}. The
  // system calls `main` on a thread of its own and the registered control handler on the
  // calling thread. Returns once every service of the process has stopped; false when the
  // process was not started by the service control manager.
  virtual bool StartServiceCtrlDispatcher(const char16_t* serviceName, ServiceMainFn main) = 0;
  // RegisterServiceCtrlHandlerExW, with a HandlerEx that passes the control code on and
  // answers NO_ERROR (only a HandlerEx is sent SERVICE_CONTROL_PRESHUTDOWN); null on failure.
  virtual Handle RegisterServiceCtrlHandler(const char16_t* serviceName,
                                            ControlHandlerFn handler) = 0;
  // QueryServiceConfig2W(SERVICE_CONFIG_PRESHUTDOWN_INFO) of the named service: how long, in
  // ms, the service control manager waits for it at shutdown. False on failure, `milliseconds`
  // left as it was.
  virtual bool PreshutdownTimeout(const char16_t* serviceName, std::uint32_t& milliseconds) = 0;
  // SetServiceStatus with the whole record.
  virtual bool SetServiceStatus(Handle statusHandle, const ServiceStatus& status) = 0;

  // RegisterEventSourceW on the local computer; null on failure.
  virtual Handle RegisterEventSource(const char16_t* sourceName) = 0;
  // ReportEventW with no user SID and no raw data.
  virtual void ReportEvent(Handle eventSource, std::uint16_t type, std::uint16_t category,
                           std::uint32_t eventId, const char16_t* const* strings,
                           std::uint16_t stringCount) = 0;
  virtual void DeregisterEventSource(Handle eventSource) = 0;

  // CreateEventW: unnamed, default security, manual reset, not signalled. Null on failure.
  virtual Handle CreateEvent() = 0;
  virtual void SetEvent(Handle event) = 0;
  virtual void CloseHandle(Handle handle) = 0;

  // CreateTimerQueueTimer, once only: calls `fn` on a thread of the system's after
  // `milliseconds`. False on failure.
  virtual bool StartTimer(std::uint32_t milliseconds, TimerFn fn) = 0;
  // TerminateProcess of this process with `code`: it ends at once, whatever its other threads
  // are doing, and runs no more of its code. Does not return.
  virtual void EndThisProcess(std::uint32_t code) = 0;

  // SetConsoleCtrlHandler(handler, TRUE).
  virtual bool SetConsoleCtrlHandler(ConsoleHandlerFn handler) = 0;
  // Console output, flushed as it is written: narrow (printf) and wide (wprintf).
  virtual void WriteNarrow(std::string_view text) = 0;
  virtual void WriteWide(std::u16string_view text) = 0;

  // GetModuleFileNameW(null, buffer, size): characters copied, 0 on failure.
  virtual std::uint32_t GetModuleFileName(char16_t* buffer, std::uint32_t size) = 0;

  // OpenSCManagerW(null, null, SC_MANAGER_ALL_ACCESS); null on failure.
  virtual Handle OpenSCManager() = 0;
  // CreateServiceW with no load-order group, no tag, an empty dependency list, the default
  // account and no password; null on failure.
  virtual Handle CreateService(Handle manager, const char16_t* serviceName,
                               const char16_t* displayName, std::uint32_t desiredAccess,
                               std::uint32_t serviceType, std::uint32_t startType,
                               std::uint32_t errorControl, const char16_t* binaryPath) = 0;
  // ChangeServiceConfig2W(SERVICE_CONFIG_DESCRIPTION) with the given text.
  virtual bool ChangeServiceDescription(Handle service, const char16_t* description) = 0;
  // ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS): after a failure the service is
  // restarted after the first delay (ms), after the next failure the second, and so on, the
  // last one repeating; the count of failures starts again after `resetSeconds` without one.
  virtual bool ChangeServiceFailureActions(Handle service, std::uint32_t resetSeconds,
                                           const std::vector<std::uint32_t>& restartDelays) = 0;
  // ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) set: the failure actions apply
  // also when the service stops with an error code of its own, not only when it crashes.
  virtual bool ChangeServiceFailureActionsFlag(Handle service) = 0;
  virtual Handle OpenService(Handle manager, const char16_t* serviceName,
                             std::uint32_t desiredAccess) = 0;
  virtual bool ControlService(Handle service, std::uint32_t control, ServiceStatus& status) = 0;
  virtual bool QueryServiceStatus(Handle service, ServiceStatus& status) = 0;
  virtual bool DeleteService(Handle service) = 0;
  virtual void CloseServiceHandle(Handle handle) = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // FormatMessageW(ALLOCATE_BUFFER | FROM_SYSTEM | ARGUMENT_ARRAY | IGNORE_INSERTS, no
  // source, language 0, no arguments) for `code`. On success puts the text as the system
  // gives it (line end included, insertion points such as %1 as written) into `text` and
  // returns true; the thread's last error is left as the lookup left it.
  virtual bool FormatSystemMessage(std::uint32_t code, std::u16string& text) = 0;

  // The event source under the Application log: EventMessageFile = `messageFile`,
  // TypesSupported = error | warning | information. Returns false on failure.
  virtual bool RegisterEventSourceKey(const char16_t* sourceName, const char16_t* messageFile) = 0;
  virtual bool DeleteEventSourceKey(const char16_t* sourceName) = 0;
};

}  // namespace kvn::os
