// The service host's view of the fake Windows: a service control manager with its database,
// the event log, the console, the event-source registry keys and the dispatcher, on the
// shared FakeKernel. Everything handed over is recorded, and any one call can be made to
// fail with a chosen last-error code.
//
// Single-threaded: the dispatcher runs ServiceMain on the calling thread, and a test delivers
// controls and console events by calling SendControl / SendConsoleEvent, typically from an
// action scheduled on the kernel's clock (which runs during the watcher's pauses).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fake/fake_kernel.h"
#include "os/service_platform.h"

namespace kvn::fake {

// One SetServiceStatus call: the record as handed over, and when.
struct StatusReport {
  std::uint64_t time = 0;
  os::Handle handle = nullptr;
  os::ServiceStatus status;
};

// One ReportEvent call.
struct EventLogEntry {
  std::uint16_t type = 0;
  std::uint16_t category = 0;
  std::uint32_t id = 0;
  std::vector<std::u16string> strings;
};

// One write to the console; narrow text is widened byte for byte.
struct ConsoleWrite {
  bool wide = false;
  std::u16string text;
};

// An entry of the service control manager's database.
struct InstalledService {
  std::u16string name;
  std::u16string displayName;
  std::uint32_t desiredAccess = 0;
  std::uint32_t serviceType = 0;
  std::uint32_t startType = 0;
  std::uint32_t errorControl = 0;
  std::u16string binaryPath;
  std::u16string description;
  std::uint32_t currentState = 1;  // SERVICE_STOPPED
  // What a delivered stop control does: the state goes to stop pending, and `stopsAfter` ms
  // later (on the kernel's clock) to `stateAfterStop`. A negative delay never leaves pending.
  std::int64_t stopsAfter = 0;
  std::uint32_t stateAfterStop = 1;
};

class FakeServicePlatform : public os::ServicePlatform {
 public:
  explicit FakeServicePlatform(FakeKernel& kernel) : kernel_(kernel) {}

  // --- failures ------------------------------------------------------------------------
  // Makes the `occurrence`-th call (counted from 1 over the test) of the seam method `call`
  // fail with the last-error code `error`; 0 makes every call of it fail.
  void FailCall(const std::string& call, std::uint32_t error, unsigned occurrence = 1);
  // Makes the next call of `call` throw std::bad_alloc, as a failed allocation inside it would.
  std::string throwOnce;
  // How often the seam method `call` was called.
  unsigned Calls(const std::string& call) const;
  // Every call made, by seam method name, in order.
  std::vector<std::string> callLog;

  // --- the service's own side ----------------------------------------------------------
  // False: the dispatcher fails with 1063 as in a console; true: it runs ServiceMain on the
  // calling thread and returns once ServiceMain has returned.
  bool startedByServiceManager = false;
  // Calls the registered control handler; false when none is registered.
  bool SendControl(std::uint32_t control);
  // Calls the registered console handler with `event`; -1 when none is registered.
  int SendConsoleEvent(std::uint32_t event);
  os::ControlHandlerFn controlHandler = nullptr;
  os::ConsoleHandlerFn consoleHandler = nullptr;
  std::u16string registeredName;  // the name the control handler was registered under
  std::vector<StatusReport> statuses;

  // --- event log -----------------------------------------------------------------------
  std::vector<EventLogEntry> eventLog;
  int openEventSources = 0;

  // --- console -------------------------------------------------------------------------
  std::vector<ConsoleWrite> console;

  // --- service control manager ---------------------------------------------------------
  std::u16string modulePath = u"C:\\Kelvarn\\kelvarn.exe";
  // By lower-cased name: service names are case-insensitive.
  std::map<std::u16string, InstalledService> services;
  std::size_t openServiceHandles() const { return handles_.size(); }
  // Every handle closed by CloseServiceHandle, in order, with its kind ("manager" or the
  // service name).
  std::vector<std::u16string> closedServiceHandles;
  std::vector<std::uint32_t> sleeps;

  // --- registry and system texts -------------------------------------------------------
  std::map<std::u16string, std::u16string> eventSourceKeys;  // source name -> message file
  // FormatMessage texts by code; codes not listed fail with 317 (no text for the code).
  std::map<std::uint32_t, std::u16string> systemMessages = {
      {2, u"The system cannot find the file specified.\r\n"},
      {5, u"Access is denied.\r\n"},
      {6, u"The handle is invalid.\r\n"},
      {8, u"Not enough memory resources are available to process this command.\r\n"},
      {122, u"The data area passed to a system call is too small.\r\n"},
      {1060, u"The specified service does not exist as an installed service.\r\n"},
      {1062, u"The service has not been started.\r\n"},
      {1063, u"The service process could not connect to the service controller.\r\n"},
      {1072, u"The specified service has been marked for deletion.\r\n"},
      {1073, u"The specified service already exists.\r\n"},
  };

  // --- ServicePlatform -----------------------------------------------------------------
  std::uint32_t GetLastError() override { return kernel_.lastError; }
  bool StartServiceCtrlDispatcher(const char16_t* serviceName, os::ServiceMainFn main) override;
  os::Handle RegisterServiceCtrlHandler(const char16_t* serviceName,
                                        os::ControlHandlerFn handler) override;
  bool SetServiceStatus(os::Handle statusHandle, const os::ServiceStatus& status) override;
  os::Handle RegisterEventSource(const char16_t* sourceName) override;
  void ReportEvent(os::Handle eventSource, std::uint16_t type, std::uint16_t category,
                   std::uint32_t eventId, const char16_t* const* strings,
                   std::uint16_t stringCount) override;
  void DeregisterEventSource(os::Handle eventSource) override;
  os::Handle CreateEvent() override;
  void SetEvent(os::Handle event) override;
  void CloseHandle(os::Handle handle) override;
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

  static constexpr std::uintptr_t kStatusHandle = 0x57a7;

 private:
  // Counts the call and logs it; true (with the last error set) when it is to fail.
  bool Fails(const char* call);
  os::Handle NewServiceHandle(const std::u16string& target);
  // The lower-cased service name a service handle stands for; empty for a manager handle or
  // an unknown handle.
  std::u16string TargetOf(os::Handle handle) const;
  void Fill(const InstalledService& service, os::ServiceStatus& status) const;

  FakeKernel& kernel_;
  std::map<std::string, unsigned> calls_;
  std::multimap<std::string, std::pair<unsigned, std::uint32_t>> failures_;
  std::map<std::uintptr_t, std::u16string> handles_;  // SCM handle -> target ("" = manager)
  std::uintptr_t nextHandle_ = 0x10000;
};

// Lower-cases A..Z, as the service control manager compares names.
std::u16string LowerAscii(std::u16string_view text);

}  // namespace kvn::fake
