// The service host's seam on Win32: advapi32's service control manager and event log,
// kernel32's events, console and module path, the C runtime's console output.
#pragma once

#include "os/service_platform.h"

namespace kvn::win32 {

// One per process. The handlers handed to StartServiceCtrlDispatcher,
// RegisterServiceCtrlHandler, StartTimer and SetConsoleCtrlHandler are kept in process-wide
// slots that the WINAPI trampolines call; each slot is written before the system can call it.
class Win32ServicePlatform final : public os::ServicePlatform {
 public:
  std::uint32_t GetLastError() override;
  bool StartServiceCtrlDispatcher(const char16_t* serviceName, os::ServiceMainFn main) override;
  os::Handle RegisterServiceCtrlHandler(const char16_t* serviceName,
                                        os::ControlHandlerFn handler) override;
  bool PreshutdownTimeout(const char16_t* serviceName, std::uint32_t& milliseconds) override;
  bool SetServiceStatus(os::Handle statusHandle, const os::ServiceStatus& status) override;
  os::Handle RegisterEventSource(const char16_t* sourceName) override;
  void ReportEvent(os::Handle eventSource, std::uint16_t type, std::uint16_t category,
                   std::uint32_t eventId, const char16_t* const* strings,
                   std::uint16_t stringCount) override;
  void DeregisterEventSource(os::Handle eventSource) override;
  os::Handle CreateEvent() override;
  void SetEvent(os::Handle event) override;
  void CloseHandle(os::Handle handle) override;
  bool StartTimer(std::uint32_t milliseconds, os::TimerFn fn) override;
  void EndThisProcess(std::uint32_t code) override;
  bool SetConsoleCtrlHandler(os::ConsoleHandlerFn handler) override;
  void WriteNarrow(std::string_view text) override;
  void WriteWide(std::u16string_view text) override;
  std::uint32_t GetModuleFileName(char16_t* buffer, std::uint32_t size) override;
  os::Handle OpenSCManager() override;
  os::Handle CreateService(os::Handle manager, const char16_t* serviceName,
                           const char16_t* displayName, std::uint32_t desiredAccess,
                           std::uint32_t serviceType, std::uint32_t startType,
                           std::uint32_t errorControl, const char16_t* binaryPath) override;
  bool ChangeServiceDescription(os::Handle service, const char16_t* description) override;
  bool ChangeServiceFailureActions(os::Handle service, std::uint32_t resetSeconds,
                                   const std::vector<std::uint32_t>& restartDelays) override;
  bool ChangeServiceFailureActionsFlag(os::Handle service) override;
  os::Handle OpenService(os::Handle manager, const char16_t* serviceName,
                         std::uint32_t desiredAccess) override;
  bool ControlService(os::Handle service, std::uint32_t control,
                      os::ServiceStatus& status) override;
  bool QueryServiceStatus(os::Handle service, os::ServiceStatus& status) override;
  bool DeleteService(os::Handle service) override;
  void CloseServiceHandle(os::Handle handle) override;
  void Sleep(std::uint32_t milliseconds) override;
  bool FormatSystemMessage(std::uint32_t code, std::u16string& text) override;
  bool RegisterEventSourceKey(const char16_t* sourceName, const char16_t* messageFile) override;
  bool DeleteEventSourceKey(const char16_t* sourceName) override;
};

}  // namespace kvn::win32
