// The service host's view of the fake Windows: a recording stub. Every call appends one line
// with its arguments and its result to `calls`; results come from a short script (whether
// the service exists, the states it reports in turn, a call made to fail or throw).
//
// Single-threaded: the dispatcher runs ServiceMain on the calling thread, and a test delivers
// controls and console events through SendControl / SendConsoleEvent, typically from an
// action scheduled on the kernel's clock (which runs during the watcher's pauses).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake/fake_kernel.h"
#include "os/service_platform.h"

namespace kvn::fake {

// One SetServiceStatus call that was taken: the record as handed over, and when.
struct StatusReport {
  std::uint64_t time = 0;
  os::ServiceStatus status;
};

// Arguments and results as a transcript line shows them.
std::string Show(std::u16string_view text);
inline std::string Show(const char16_t* text) { return Show(std::u16string_view(text)); }
inline std::string Show(std::uint64_t number) { return std::to_string(number); }
inline std::string Show(const void* handle) {
  return Show(reinterpret_cast<std::uintptr_t>(handle));
}

class FakeServicePlatform : public os::ServicePlatform {
 public:
  explicit FakeServicePlatform(FakeKernel& kernel) : kernel_(kernel) {}

  // --- the script ------------------------------------------------------------------------
  // Makes the `occurrence`-th call (from 1) of `call` fail with `error`; 0: every call.
  void FailCall(const std::string& call, std::uint32_t error, unsigned occurrence = 1) {
    failures_.emplace(call, std::make_pair(occurrence, error));
  }
  // Makes the next call of `call` throw std::bad_alloc, as a failed allocation inside it would.
  std::string throwOnce;
  // False: the dispatcher fails with 1063 as in a console; true: it runs ServiceMain.
  bool startedByServiceManager = false;
  std::u16string modulePath = u"C:\\Kelvarn\\kelvarn.exe";
  // Whether the service is installed, and the states that ControlService and
  // QueryServiceStatus report, one per call, the last one for ever.
  bool serviceExists = false;
  std::vector<std::uint32_t> serviceStates = {1};
  // FormatMessage texts by code; other codes fail with 317 (no text for the code).
  std::map<std::uint32_t, std::u16string> systemMessages = {
      {5, u"Access is denied.\r\n"},
      {122, u"The data area passed to a system call is too small.\r\n"},
      {1060, u"The specified service does not exist as an installed service.\r\n"},
      {1072, u"The specified service has been marked for deletion.\r\n"},
      {1073, u"The specified service already exists.\r\n"},
  };

  // --- the record and the controls -----------------------------------------------------------
  std::vector<std::string> calls;
  unsigned Calls(const std::string& call) const {
    auto it = counts_.find(call);
    return it == counts_.end() ? 0 : it->second;
  }
  std::vector<StatusReport> statuses;
  std::size_t openServiceHandles() const { return serviceHandles_.size(); }
  int openEventSources = 0;
  static constexpr std::uintptr_t kStatusHandle = 0x57a7;
  bool SendControl(std::uint32_t control) {
    if (controlHandler_ != nullptr) controlHandler_(control);
    return controlHandler_ != nullptr;
  }
  os::ConsoleHandlerFn consoleHandler = nullptr;

  // --- ServicePlatform -----------------------------------------------------------------------
  std::uint32_t GetLastError() override { return kernel_.lastError; }
  bool StartServiceCtrlDispatcher(const char16_t* serviceName, os::ServiceMainFn main) override;
  os::Handle RegisterServiceCtrlHandler(const char16_t* serviceName,
                                        os::ControlHandlerFn handler) override;
  bool SetServiceStatus(os::Handle statusHandle, const os::ServiceStatus& status) override;
  os::Handle RegisterEventSource(const char16_t* sourceName) override;
  void ReportEvent(os::Handle eventSource, std::uint16_t type, std::uint16_t category,
                   std::uint32_t eventId, const char16_t* const* strings,
                   std::uint16_t stringCount) override;
  void DeregisterEventSource(os::Handle) override {
    Fails("DeregisterEventSource");
    --openEventSources;
  }
  os::Handle CreateEvent() override {
    return Fails("CreateEvent") ? nullptr : kernel_.CreateEvent();
  }
  void SetEvent(os::Handle event) override {
    if (!Fails("SetEvent")) kernel_.SetEvent(event);
  }
  void CloseHandle(os::Handle handle) override {
    if (!Fails("CloseHandle")) kernel_.CloseHandle(handle);
  }
  bool SetConsoleCtrlHandler(os::ConsoleHandlerFn handler) override {
    if (Fails("SetConsoleCtrlHandler")) return false;
    consoleHandler = handler;
    return true;
  }
  void WriteNarrow(std::string_view text) override {
    Fails("WriteNarrow", Show(std::u16string(text.begin(), text.end())));
  }
  void WriteWide(std::u16string_view text) override { Fails("WriteWide", Show(text)); }
  std::uint32_t GetModuleFileName(char16_t* buffer, std::uint32_t size) override;
  os::Handle OpenSCManager() override {
    return Fails("OpenSCManager") ? nullptr : Returns(NewServiceHandle());
  }
  os::Handle CreateService(os::Handle manager, const char16_t* serviceName,
                           const char16_t* displayName, std::uint32_t desiredAccess,
                           std::uint32_t serviceType, std::uint32_t startType,
                           std::uint32_t errorControl, const char16_t* binaryPath) override;
  bool ChangeServiceDescription(os::Handle service, const char16_t* text) override {
    return !Fails("ChangeServiceDescription", Show(service) + " " + Show(text));
  }
  os::Handle OpenService(os::Handle manager, const char16_t* serviceName,
                         std::uint32_t desiredAccess) override;
  bool ControlService(os::Handle service, std::uint32_t control,
                      os::ServiceStatus& status) override;
  bool QueryServiceStatus(os::Handle service, os::ServiceStatus& status) override {
    return !Fails("QueryServiceStatus", Show(service)) && ReportState(status);
  }
  bool DeleteService(os::Handle service) override {
    if (Fails("DeleteService", Show(service))) return false;
    serviceExists = false;
    return true;
  }
  void CloseServiceHandle(os::Handle handle) override;
  void Sleep(std::uint32_t milliseconds) override {
    Fails("Sleep", Show(milliseconds));
    kernel_.Advance(milliseconds);
  }
  bool FormatSystemMessage(std::uint32_t code, std::u16string& text) override;
  bool RegisterEventSourceKey(const char16_t* sourceName, const char16_t* messageFile) override {
    return !Fails("RegisterEventSourceKey", Show(sourceName) + " " + Show(messageFile));
  }
  bool DeleteEventSourceKey(const char16_t* sourceName) override {
    return !Fails("DeleteEventSourceKey", Show(sourceName));
  }

 private:
  // Records the call with `args`; true (with the last error set) when it is to fail.
  bool Fails(const char* call, const std::string& args = {});
  // Appends " -> result" to the line of the latest call; with an error, sets it.
  template <typename T>
  T Returns(T result, std::uint32_t error = 0) {
    calls.back() += " -> " + Show(result);
    if (error != 0) kernel_.lastError = error;
    return result;
  }
  os::Handle NewServiceHandle() {
    serviceHandles_.insert(nextHandle_ += 8);
    return reinterpret_cast<os::Handle>(nextHandle_);
  }
  // The next scripted state into `status`.
  bool ReportState(os::ServiceStatus& status);

  FakeKernel& kernel_;
  os::ControlHandlerFn controlHandler_ = nullptr;
  std::map<std::string, unsigned> counts_;
  std::multimap<std::string, std::pair<unsigned, std::uint32_t>> failures_;
  std::set<std::uintptr_t> serviceHandles_;
  std::uintptr_t nextHandle_ = 0xF8;
  std::size_t nextState_ = 0;
};

}  // namespace kvn::fake
