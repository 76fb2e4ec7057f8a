// The service host's view of the fake Windows: a recording stub. Every call appends a line to
// `calls`, which the verdicts read; results come from a short script (whether the service
// exists, the states it reports in turn, a call made to fail or throw). ServiceMain runs on the
// dispatcher's caller; a test sends controls and console events, typically from actions on the
// kernel's clock (which run during the watcher's pauses).
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

class FakeServicePlatform : public os::ServicePlatform {
  using H = os::Handle;
  using Text = const char16_t*;
  using U32 = std::uint32_t;

 public:
  explicit FakeServicePlatform(FakeKernel& kernel) : kernel_(kernel) {}

  // --- the script ------------------------------------------------------------------------
  // Makes the `occurrence`-th call (from 1) of `call` fail with `error`; 0: every call.
  void FailCall(const std::string& call, U32 error, unsigned occurrence = 1) {
    failures_.emplace(call, std::make_pair(occurrence, error));
  }
  std::string throwOnce;  // its next call throws std::bad_alloc, as an allocation in it would
  bool startedByServiceManager = false;  // false: the dispatcher fails with 1063, as in a console
  std::uint32_t preshutdownTimeout = 10000;  // what the service's configuration holds, ms
  std::u16string modulePath = u"C:\\Kelvarn\\kelvarn.exe";
  // Whether the service is installed, and the states that ControlService and
  // QueryServiceStatus report, one per call, the last one for ever.
  bool serviceExists = false;
  std::vector<U32> serviceStates = {1};
  // FormatMessage texts by code; other codes fail with 317 (no text for the code).
  std::map<U32, std::u16string> systemMessages = {
      {5, u"Access is denied.\r\n"},
      {122, u"The data area passed to a system call is too small.\r\n"},
      {1060, u"The specified service does not exist as an installed service.\r\n"},
      {1072, u"The specified service has been marked for deletion.\r\n"},
      {1073, u"The specified service already exists.\r\n"},
  };

  // --- the record and the controls -------------------------------------------------------
  // One line per call: its name, then each argument after a blank as Show writes it, then
  // " -> fails <code>" or " -> throws" when the script made it so.
  std::vector<std::string> calls;
  std::vector<os::ServiceStatus> statuses;  // the reports SetServiceStatus took
  int openEventSources = 0;
  std::size_t openServiceHandles() const { return serviceHandles_.size(); }
  static constexpr std::uintptr_t kStatusHandle = 0x57a7;
  void SendControl(U32 control) {
    if (controlHandler_ != nullptr) controlHandler_(control);
  }
  os::ConsoleHandlerFn consoleHandler = nullptr;

  // --- ServicePlatform: each records its call first -----------------------------------------
  U32 GetLastError() override { return kernel_.lastError; }
  bool StartServiceCtrlDispatcher(Text name, os::ServiceMainFn main) override {
    if (Fails(__func__, name)) return false;
    if (!startedByServiceManager) return kernel_.Fail(1063, false);  // not started as a service
    std::u16string argument = name;
    char16_t* argv[] = {argument.data(), nullptr};
    main(1, argv);
    return true;
  }
  H RegisterServiceCtrlHandler(Text name, os::ControlHandlerFn handler) override {
    if (Fails(__func__, name)) return nullptr;
    controlHandler_ = handler;
    return Handle(kStatusHandle);
  }
  // Checks the reports as the manager would take them: none after stopped (1), none after the
  // last stop-pending (3) hint ran out, checkpoints that only grow, or 0.
  bool SetServiceStatus(H handle, const os::ServiceStatus& s) override {
    reported_ = s.currentState;
    if (Fails(__func__, "@" + Show(kernel_.now()), "state", s.currentState, "type", s.serviceType,
              "accepts", s.controlsAccepted, "exit", s.win32ExitCode, "specific",
              s.serviceSpecificExitCode, "cp", s.checkPoint, "hint", s.waitHint)) {
      return false;
    }
    if (handle != Handle(kStatusHandle)) return kernel_.Fail(6, false);
    if (!statuses.empty()) {
      const os::ServiceStatus& last = statuses.back();
      EXPECT_NE(last.currentState, 1u) << "a report after stopped";
      const bool hinted = last.currentState == 3 && last.waitHint != 0;
      EXPECT_TRUE(!hinted || kernel_.now() <= reportedAt_ + last.waitHint) << "hint too short";
    }
    EXPECT_TRUE(s.checkPoint == 0 || s.checkPoint > topCheckPoint_) << "checkpoint";
    topCheckPoint_ = std::max(topCheckPoint_, s.checkPoint);
    statuses.push_back(s);
    reportedAt_ = kernel_.now();
    return true;
  }
  H RegisterEventSource(Text name) override {
    if (Fails(__func__, name)) return nullptr;
    ++openEventSources;
    return Handle(0xcafe4242);
  }
  // "ReportEvent @<ms> <type>/<category>/<id> | <string> | ..."
  void ReportEvent(H, std::uint16_t type, std::uint16_t category, U32 id, const Text* strings,
                   std::uint16_t count) override {
    std::string event = Show(type) + "/" + Show(category) + "/" + Show(id);
    for (std::uint16_t i = 0; i < count; ++i) event += " | " + Show(strings[i]);
    Fails(__func__, "@" + Show(kernel_.now()), event);
  }
  void DeregisterEventSource(H) override {
    if (!Fails(__func__)) --openEventSources;
  }
  bool PreshutdownTimeout(Text name, U32& milliseconds) override {
    if (Fails(__func__, name)) return false;
    milliseconds = preshutdownTimeout;
    return true;
  }
  // On another thread, which the clock's actions stand for.
  bool StartTimer(U32 milliseconds, os::TimerFn fn) override {
    if (Fails(__func__, milliseconds)) return false;
    kernel_.At(kernel_.now() + milliseconds, fn);
    return true;
  }
  // Returns, unlike the real call: every call after it throws ProcessEnded.
  void EndThisProcess(U32 code) override {
    Fails(__func__, code);
    kernel_.exitCode = code;
    kernel_.ended = true;
  }
  H CreateEvent() override { return Fails(__func__) ? nullptr : kernel_.CreateEvent(); }
  void SetEvent(H event) override {  // only once stop pending was reported, if anything was
    EXPECT_TRUE(reported_ == 0 || reported_ == 3) << "set after a report of state " << reported_;
    if (!Fails(__func__)) kernel_.SetEvent(event);
  }
  void CloseHandle(H handle) override {
    if (!Fails(__func__)) kernel_.CloseHandle(handle);
  }
  bool SetConsoleCtrlHandler(os::ConsoleHandlerFn handler) override {
    if (Fails(__func__)) return false;
    consoleHandler = handler;
    return true;
  }
  void WriteNarrow(std::string_view text) override {
    Fails(__func__, std::u16string(text.begin(), text.end()));
  }
  void WriteWide(std::u16string_view text) override { Fails(__func__, text); }
  U32 GetModuleFileName(char16_t* buffer, U32 size) override {
    if (Fails(__func__, size)) return 0;
    // A path that does not fit is cut to the buffer, terminator included, as since Vista.
    CopyBounded(buffer, size, modulePath);
    if (modulePath.size() >= size) kernel_.lastError = 122;
    return static_cast<U32>(std::min<std::size_t>(modulePath.size(), size));
  }
  H OpenSCManager() override { return Fails(__func__) ? nullptr : NewServiceHandle(); }
  H CreateService(H manager, Text name, Text display, U32 access, U32 type, U32 start,
                  U32 errorControl, Text path) override {
    if (Fails(__func__, manager, name, display, access, type, start, errorControl, path))
      return nullptr;
    if (serviceExists) return kernel_.Fail<H>(1073, nullptr);
    serviceExists = true;
    return NewServiceHandle();
  }
  bool ChangeServiceDescription(H service, Text text) override {
    return !Fails(__func__, service, text);
  }
  bool ChangeServiceFailureActions(H service, U32 resetSeconds,
                                   const std::vector<U32>& delays) override {
    std::string restart = "restart";
    for (const U32 delay : delays) restart += " " + Show(delay);
    return !Fails(__func__, service, "reset", resetSeconds, restart);
  }
  bool ChangeServiceFailureActionsFlag(H service) override { return !Fails(__func__, service); }
  H OpenService(H manager, Text name, U32 access) override {
    if (Fails(__func__, manager, name, access)) return nullptr;
    return serviceExists ? NewServiceHandle() : kernel_.Fail<H>(1060, nullptr);
  }
  bool ControlService(H service, U32 control, os::ServiceStatus& status) override {
    if (Fails(__func__, service, control)) return false;
    if (State() == 1) return kernel_.Fail(1062, false);  // stopped: not active
    return ReportState(status);
  }
  bool QueryServiceStatus(H service, os::ServiceStatus& status) override {
    return !Fails(__func__, service) && ReportState(status);
  }
  bool DeleteService(H service) override {
    if (Fails(__func__, service)) return false;
    serviceExists = false;
    return true;
  }
  void CloseServiceHandle(H handle) override {
    if (Fails(__func__, handle)) return;
    EXPECT_EQ(serviceHandles_.erase(reinterpret_cast<std::uintptr_t>(handle)), 1u);
  }
  void Sleep(U32 milliseconds) override {
    Fails(__func__, milliseconds);
    kernel_.Advance(milliseconds);
  }
  bool FormatSystemMessage(U32 code, std::u16string& text) override {
    if (Fails(__func__, code)) return false;
    if (systemMessages.count(code) == 0) return kernel_.Fail(317, false);  // no text for the code
    text = systemMessages[code];
    return true;
  }
  bool RegisterEventSourceKey(Text name, Text file) override {
    return !Fails(__func__, name, file);
  }
  bool DeleteEventSourceKey(Text name) override { return !Fails(__func__, name); }

 private:
  // Records the call; then throws or fails as scripted: true, with the last error set. Once the
  // process has ended, only a call that releases something returns (as a failure).
  template <typename... Args>
  bool Fails(const char* call, const Args&... args) {
    if (kernel_.ended) {
      const std::string name = call;
      if (name == "CloseServiceHandle" || name == "DeregisterEventSource" || name == "CloseHandle")
        return true;
      throw ProcessEnded{};
    }
    std::string& line = calls.emplace_back(call);
    ((line += " " + Show(args)), ...);
    if (throwOnce == call) {
      throwOnce.clear();
      line += " -> throws";
      throw std::bad_alloc();
    }
    const unsigned count = ++counts_[call];
    for (auto [it, last] = failures_.equal_range(call); it != last; ++it) {
      if (it->second.first == 0 || it->second.first == count) {
        line += " -> fails " + Show(it->second.second);
        return kernel_.Fail(it->second.second, true);
      }
    }
    return false;
  }
  static H Handle(std::uintptr_t value) { return reinterpret_cast<H>(value); }
  H NewServiceHandle() { return Handle(*serviceHandles_.insert(nextHandle_ += 8).first); }
  // The next scripted state, and its report: an own-process service, stoppable unless stopped.
  U32 State() const { return serviceStates[std::min(nextState_, serviceStates.size() - 1)]; }
  bool ReportState(os::ServiceStatus& status) {
    status = {0x10, State(), State() == 1 ? 0u : 1u};
    ++nextState_;
    return true;
  }

  FakeKernel& kernel_;
  os::ControlHandlerFn controlHandler_ = nullptr;
  std::map<std::string, unsigned> counts_;
  std::multimap<std::string, std::pair<unsigned, U32>> failures_;
  std::set<std::uintptr_t> serviceHandles_;
  std::uintptr_t nextHandle_ = 0xF8;
  std::size_t nextState_ = 0;
  U32 reported_ = 0, topCheckPoint_ = 0;  // the last state asked for, the highest checkpoint
  std::uint64_t reportedAt_ = 0;          // when the last report was taken
};

}  // namespace kvn::fake
