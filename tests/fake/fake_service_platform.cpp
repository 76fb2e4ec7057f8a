#include "fake/fake_service_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "common/strings.h"
#include "fake/fake_windows.h"

namespace kvn::fake {

namespace {

constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t kErrorServiceNotActive = 1062;
constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;
constexpr std::uint32_t kErrorServiceExists = 1073;
constexpr std::uint32_t kErrorMessageNotFound = 317;
constexpr std::uint32_t kStopped = 1;

}  // namespace

// The arguments and results of calls, as the transcript shows them.
std::string Show(const char16_t* text) { return Show(std::u16string_view(text)); }
std::string Show(std::uintptr_t number) { return std::to_string(number); }
std::string Show(const void* handle) { return Show(reinterpret_cast<std::uintptr_t>(handle)); }

void FakeServicePlatform::FailCall(const std::string& call, std::uint32_t error,
                                   unsigned occurrence) {
  failures_.emplace(call, std::make_pair(occurrence, error));
}

unsigned FakeServicePlatform::Calls(const std::string& call) const {
  auto it = counts_.find(call);
  return it == counts_.end() ? 0 : it->second;
}

bool FakeServicePlatform::Fails(const char* call, const std::string& args) {
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

template <typename T>
T FakeServicePlatform::Returns(T result) {
  calls.back() += " -> " + Show(result);
  return result;
}

os::Handle FakeServicePlatform::NewServiceHandle() {
  serviceHandles_.insert(nextHandle_);
  return reinterpret_cast<os::Handle>((nextHandle_ += 8) - 8);
}

void FakeServicePlatform::ReportState(os::ServiceStatus& status) {
  status = os::ServiceStatus{};
  status.serviceType = 0x10;
  status.currentState = serviceStates[std::min(nextState_++, serviceStates.size() - 1)];
  status.controlsAccepted = status.currentState == kStopped ? 0 : 1;
  calls.back() += " -> state " + std::to_string(status.currentState);
}

bool FakeServicePlatform::SendControl(std::uint32_t control) {
  if (controlHandler_ == nullptr) return false;
  controlHandler_(control);
  return true;
}

int FakeServicePlatform::SendConsoleEvent(std::uint32_t event) {
  return consoleHandler == nullptr ? -1 : consoleHandler(event);
}

bool FakeServicePlatform::StartServiceCtrlDispatcher(const char16_t* serviceName,
                                                     os::ServiceMainFn main) {
  if (Fails("StartServiceCtrlDispatcher", Show(serviceName))) return false;
  if (!startedByServiceManager) {
    kernel_.lastError = kErrorFailedServiceControllerConnect;
    return Returns(false);
  }
  std::u16string name = serviceName;
  char16_t* argv[] = {name.data(), nullptr};
  main(1, argv);
  return true;
}

os::Handle FakeServicePlatform::RegisterServiceCtrlHandler(const char16_t* serviceName,
                                                           os::ControlHandlerFn handler) {
  if (Fails("RegisterServiceCtrlHandler", Show(serviceName))) return nullptr;
  controlHandler_ = handler;
  return reinterpret_cast<os::Handle>(kStatusHandle);
}

bool FakeServicePlatform::SetServiceStatus(os::Handle statusHandle,
                                           const os::ServiceStatus& status) {
  const std::string record =
      "@" + std::to_string(kernel_.now()) + " state " + std::to_string(status.currentState) +
      " type " + std::to_string(status.serviceType) + " accepts " +
      std::to_string(status.controlsAccepted) + " exit " + std::to_string(status.win32ExitCode) +
      " specific " + std::to_string(status.serviceSpecificExitCode) + " cp " +
      std::to_string(status.checkPoint) + " hint " + std::to_string(status.waitHint);
  if (Fails("SetServiceStatus", record)) return false;
  if (statusHandle != reinterpret_cast<os::Handle>(kStatusHandle)) return false;
  statuses.push_back({kernel_.now(), status});
  return true;
}

os::Handle FakeServicePlatform::RegisterEventSource(const char16_t* sourceName) {
  if (Fails("RegisterEventSource", Show(sourceName))) return nullptr;
  ++openEventSources;
  return reinterpret_cast<os::Handle>(std::uintptr_t{0xcafe4242});
}

void FakeServicePlatform::ReportEvent(os::Handle, std::uint16_t type, std::uint16_t category,
                                      std::uint32_t eventId, const char16_t* const* strings,
                                      std::uint16_t stringCount) {
  std::string args =
      std::to_string(type) + "/" + std::to_string(category) + "/" + std::to_string(eventId);
  for (std::uint16_t i = 0; i < stringCount; ++i) args += " | " + Show(strings[i]);
  Fails("ReportEvent", args);
}

void FakeServicePlatform::DeregisterEventSource(os::Handle) {
  Fails("DeregisterEventSource");
  --openEventSources;
}

os::Handle FakeServicePlatform::CreateEvent() {
  if (Fails("CreateEvent")) return nullptr;
  return kernel_.CreateEvent();
}

void FakeServicePlatform::SetEvent(os::Handle event) {
  Fails("SetEvent");
  kernel_.SetEvent(event);
}

void FakeServicePlatform::CloseHandle(os::Handle handle) {
  Fails("CloseHandle");
  kernel_.CloseHandle(handle);
}

bool FakeServicePlatform::SetConsoleCtrlHandler(os::ConsoleHandlerFn handler) {
  if (Fails("SetConsoleCtrlHandler")) return false;
  consoleHandler = handler;
  return true;
}

void FakeServicePlatform::WriteNarrow(std::string_view text) {
  Fails("WriteNarrow", Show(std::u16string(text.begin(), text.end())));
}

void FakeServicePlatform::WriteWide(std::u16string_view text) { Fails("WriteWide", Show(text)); }

std::uint32_t FakeServicePlatform::GetModuleFileName(char16_t* buffer, std::uint32_t size) {
  if (Fails("GetModuleFileName", std::to_string(size))) return 0;
  // A path that does not fit is cut to the buffer, terminator included, as since Vista.
  CopyBounded(buffer, size, modulePath);
  if (modulePath.size() >= size) kernel_.lastError = kErrorInsufficientBuffer;
  return Returns(static_cast<std::uint32_t>(std::min<std::size_t>(modulePath.size(), size)));
}

os::Handle FakeServicePlatform::OpenSCManager() {
  if (Fails("OpenSCManager")) return nullptr;
  return Returns(NewServiceHandle());
}

os::Handle FakeServicePlatform::CreateService(os::Handle manager, const char16_t* serviceName,
                                              const char16_t* displayName,
                                              std::uint32_t desiredAccess,
                                              std::uint32_t serviceType, std::uint32_t startType,
                                              std::uint32_t errorControl,
                                              const char16_t* binaryPath) {
  const std::string args = Show(manager) + " " + Show(serviceName) + " " + Show(displayName) + " " +
                           std::to_string(desiredAccess) + " " + std::to_string(serviceType) + " " +
                           std::to_string(startType) + " " + std::to_string(errorControl) + " " +
                           Show(binaryPath);
  if (Fails("CreateService", args)) return nullptr;
  if (serviceExists) {
    kernel_.lastError = kErrorServiceExists;
    return Returns<os::Handle>(nullptr);
  }
  serviceExists = true;
  return Returns(NewServiceHandle());
}

bool FakeServicePlatform::ChangeServiceDescription(os::Handle service, const char16_t* text) {
  return !Fails("ChangeServiceDescription", Show(service) + " " + Show(text));
}

os::Handle FakeServicePlatform::OpenService(os::Handle manager, const char16_t* serviceName,
                                            std::uint32_t desiredAccess) {
  if (Fails("OpenService",
            Show(manager) + " " + Show(serviceName) + " " + std::to_string(desiredAccess))) {
    return nullptr;
  }
  if (!serviceExists) {
    kernel_.lastError = kErrorServiceDoesNotExist;
    return Returns<os::Handle>(nullptr);
  }
  return Returns(NewServiceHandle());
}

bool FakeServicePlatform::ControlService(os::Handle service, std::uint32_t control,
                                         os::ServiceStatus& status) {
  if (Fails("ControlService", Show(service) + " " + std::to_string(control))) return false;
  if (serviceStates[std::min(nextState_, serviceStates.size() - 1)] == kStopped) {
    kernel_.lastError = kErrorServiceNotActive;
    return Returns(false);
  }
  ReportState(status);
  return true;
}

bool FakeServicePlatform::QueryServiceStatus(os::Handle service, os::ServiceStatus& status) {
  if (Fails("QueryServiceStatus", Show(service))) return false;
  ReportState(status);
  return true;
}

bool FakeServicePlatform::DeleteService(os::Handle service) {
  if (Fails("DeleteService", Show(service))) return false;
  serviceExists = false;
  return true;
}

void FakeServicePlatform::CloseServiceHandle(os::Handle handle) {
  Fails("CloseServiceHandle", Show(handle));
  EXPECT_EQ(serviceHandles_.erase(reinterpret_cast<std::uintptr_t>(handle)), 1u);
}

void FakeServicePlatform::Sleep(std::uint32_t milliseconds) {
  Fails("Sleep", std::to_string(milliseconds));
  kernel_.Advance(milliseconds);
}

bool FakeServicePlatform::FormatSystemMessage(std::uint32_t code, std::u16string& text) {
  if (Fails("FormatSystemMessage", std::to_string(code))) return false;
  auto it = systemMessages.find(code);
  if (it == systemMessages.end()) {
    kernel_.lastError = kErrorMessageNotFound;
    return Returns(false);
  }
  text = it->second;
  return true;
}

bool FakeServicePlatform::RegisterEventSourceKey(const char16_t* sourceName,
                                                 const char16_t* messageFile) {
  return !Fails("RegisterEventSourceKey", Show(sourceName) + " " + Show(messageFile));
}

bool FakeServicePlatform::DeleteEventSourceKey(const char16_t* sourceName) {
  return !Fails("DeleteEventSourceKey", Show(sourceName));
}

}  // namespace kvn::fake
