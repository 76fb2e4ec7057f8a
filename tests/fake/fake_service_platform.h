// The service host's view of the fake Windows: a recording stub. Every call appends one line
// with its arguments and its result to `calls`; results come from a short script (whether
// the service exists, the states it reports in turn, a call made to fail or throw).
//
// Single-threaded: the dispatcher runs ServiceMain on the calling thread, and a test delivers
// controls and console events through SendControl / SendConsoleEvent, typically from an
// action scheduled on the kernel's clock (which runs during the watcher's pauses).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "common/strings.h"
#include "fake/fake_kernel.h"
#include "os/service_platform.h"

namespace kvn::fake {

// One SetServiceStatus call that was taken: the record as handed over, and when.
struct StatusReport {
  std::uint64_t time = 0;
  os::ServiceStatus status;
};

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
  std::vector<StatusReport> statuses;
  std::size_t openServiceHandles() const { return serviceHandles_.size(); }
  int openEventSources = 0;
  static constexpr std::uintptr_t kStatusHandle = 0x57a7;
  static constexpr std::uint32_t kStopped = 1;
  bool SendControl(std::uint32_t control) {
    if (controlHandler_ != nullptr) controlHandler_(control);
    return controlHandler_ != nullptr;
  }
  os::ConsoleHandlerFn consoleHandler = nullptr;

  // --- ServicePlatform -----------------------------------------------------------------------
  std::uint32_t GetLastError() override { return kernel_.lastError; }
  bool StartServiceCtrlDispatcher(const char16_t* serviceName, os::ServiceMainFn main) override {
    if (Fails("StartServiceCtrlDispatcher", Show(serviceName))) return false;
    if (!startedByServiceManager) return Returns(false, 1063);  // not started as a service
    std::u16string name = serviceName;
    char16_t* argv[] = {name.data(), nullptr};
    main(1, argv);
    return true;
  }
  os::Handle RegisterServiceCtrlHandler(const char16_t* serviceName,
                                        os::ControlHandlerFn handler) override {
    if (Fails("RegisterServiceCtrlHandler", Show(serviceName))) return nullptr;
    controlHandler_ = handler;
    return reinterpret_cast<os::Handle>(kStatusHandle);
  }
  bool SetServiceStatus(os::Handle statusHandle, const os::ServiceStatus& status) override {
    std::string record = "@" + Show(kernel_.now());
    for (const auto& [name, value] : {std::pair{" state ", status.currentState},
                                      {" type ", status.serviceType},
                                      {" accepts ", status.controlsAccepted},
                                      {" exit ", status.win32ExitCode},
                                      {" specific ", status.serviceSpecificExitCode},
                                      {" cp ", status.checkPoint},
                                      {" hint ", status.waitHint}}) {
      record += name + Show(value);
    }
    if (Fails("SetServiceStatus", record)) return false;
    if (statusHandle != reinterpret_cast<os::Handle>(kStatusHandle)) return Returns(false, 6);
    statuses.push_back({kernel_.now(), status});
    return true;
  }
  os::Handle RegisterEventSource(const char16_t* sourceName) override {
    if (Fails("RegisterEventSource", Show(sourceName))) return nullptr;
    ++openEventSources;
    return reinterpret_cast<os::Handle>(std::uintptr_t{0xcafe4242});
  }
  void ReportEvent(os::Handle, std::uint16_t type, std::uint16_t category, std::uint32_t eventId,
                   const char16_t* const* strings, std::uint16_t stringCount) override {
    std::string args =
        "@" + Show(kernel_.now()) + " " + Show(type) + "/" + Show(category) + "/" + Show(eventId);
    for (std::uint16_t i = 0; i < stringCount; ++i) args += " | " + Show(strings[i]);
    Fails("ReportEvent", args);
  }
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
  std::uint32_t GetModuleFileName(char16_t* buffer, std::uint32_t size) override {
    if (Fails("GetModuleFileName", Show(size))) return 0;
    // A path that does not fit is cut to the buffer, terminator included, as since Vista.
    CopyBounded(buffer, size, modulePath);
    const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(modulePath.size(), size));
    return Returns(length, modulePath.size() >= size ? 122 : 0);
  }
  os::Handle OpenSCManager() override {
    return Fails("OpenSCManager") ? nullptr : Returns(NewServiceHandle());
  }
  os::Handle CreateService(os::Handle manager, const char16_t* serviceName,
                           const char16_t* displayName, std::uint32_t desiredAccess,
                           std::uint32_t serviceType, std::uint32_t startType,
                           std::uint32_t errorControl, const char16_t* binaryPath) override {
    std::string args = Show(manager) + " " + Show(serviceName) + " " + Show(displayName);
    for (const std::uint32_t value : {desiredAccess, serviceType, startType, errorControl}) {
      args += " " + Show(value);
    }
    if (Fails("CreateService", args + " " + Show(binaryPath))) return nullptr;
    if (serviceExists) return Returns<os::Handle>(nullptr, 1073);
    serviceExists = true;
    return Returns(NewServiceHandle());
  }
  bool ChangeServiceDescription(os::Handle service, const char16_t* text) override {
    return !Fails("ChangeServiceDescription", Show(service) + " " + Show(text));
  }
  bool ChangeServiceFailureActions(os::Handle service, std::uint32_t resetSeconds,
                                   const std::vector<std::uint32_t>& delays) override {
    std::string args = Show(service) + " reset " + Show(resetSeconds) + " restart";
    for (const std::uint32_t delay : delays) args += " " + Show(delay);
    return !Fails("ChangeServiceFailureActions", args);
  }
  bool ChangeServiceFailureActionsFlag(os::Handle service) override {
    return !Fails("ChangeServiceFailureActionsFlag", Show(service));
  }
  os::Handle OpenService(os::Handle manager, const char16_t* serviceName,
                         std::uint32_t desiredAccess) override {
    const std::string args = Show(manager) + " " + Show(serviceName) + " " + Show(desiredAccess);
    if (Fails("OpenService", args)) return nullptr;
    if (!serviceExists) return Returns<os::Handle>(nullptr, 1060);
    return Returns(NewServiceHandle());
  }
  bool ControlService(os::Handle service, std::uint32_t control,
                      os::ServiceStatus& status) override {
    if (Fails("ControlService", Show(service) + " " + Show(control))) return false;
    if (serviceStates[std::min(nextState_, serviceStates.size() - 1)] == kStopped) {
      return Returns(false, 1062);  // not active
    }
    return ReportState(status);
  }
  bool QueryServiceStatus(os::Handle service, os::ServiceStatus& status) override {
    return !Fails("QueryServiceStatus", Show(service)) && ReportState(status);
  }
  bool DeleteService(os::Handle service) override {
    if (Fails("DeleteService", Show(service))) return false;
    serviceExists = false;
    return true;
  }
  void CloseServiceHandle(os::Handle handle) override {
    Fails("CloseServiceHandle", Show(handle));
    EXPECT_EQ(serviceHandles_.erase(reinterpret_cast<std::uintptr_t>(handle)), 1u);
  }
  void Sleep(std::uint32_t milliseconds) override {
    Fails("Sleep", Show(milliseconds));
    kernel_.Advance(milliseconds);
  }
  bool FormatSystemMessage(std::uint32_t code, std::u16string& text) override {
    if (Fails("FormatSystemMessage", Show(code))) return false;
    auto it = systemMessages.find(code);
    if (it == systemMessages.end()) return Returns(false, 317);  // no text for the code
    text = it->second;
    return true;
  }
  bool RegisterEventSourceKey(const char16_t* sourceName, const char16_t* messageFile) override {
    return !Fails("RegisterEventSourceKey", Show(sourceName) + " " + Show(messageFile));
  }
  bool DeleteEventSourceKey(const char16_t* sourceName) override {
    return !Fails("DeleteEventSourceKey", Show(sourceName));
  }

 private:
  // Records the call with `args`; true (with the last error set) when it is to fail.
  bool Fails(const char* call, const std::string& args = {}) {
    calls.push_back(std::string(call) + (args.empty() ? "" : " " + args));
    if (throwOnce == call) {
      throwOnce.clear();
      calls.back() += " -> throws";
      throw std::bad_alloc();
    }
    const unsigned count = ++counts_[call];
    const auto [first, last] = failures_.equal_range(call);
    for (auto it = first; it != last; ++it) {
      if (it->second.first == 0 || it->second.first == count) {
        kernel_.lastError = it->second.second;
        calls.back() += " -> fails " + std::to_string(kernel_.lastError);
        return true;
      }
    }
    return false;
  }
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
  bool ReportState(os::ServiceStatus& status) {
    status = os::ServiceStatus{};
    status.serviceType = 0x10;
    status.currentState = serviceStates[std::min(nextState_++, serviceStates.size() - 1)];
    status.controlsAccepted = status.currentState == kStopped ? 0 : 1;
    calls.back() += " -> state " + std::to_string(status.currentState);
    return true;
  }

  FakeKernel& kernel_;
  os::ControlHandlerFn controlHandler_ = nullptr;
  std::map<std::string, unsigned> counts_;
  std::multimap<std::string, std::pair<unsigned, std::uint32_t>> failures_;
  std::set<std::uintptr_t> serviceHandles_;
  std::uintptr_t nextHandle_ = 0xF8;
  std::size_t nextState_ = 0;
};

}  // namespace kvn::fake
