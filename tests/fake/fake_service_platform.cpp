#include "fake/fake_service_platform.h"

#include <new>

#include "common/strings.h"

namespace kvn::fake {

namespace {

constexpr std::uint32_t kScmInsufficientBuffer = 122;
constexpr std::uint32_t kScmServiceDoesNotExist = 1060;
constexpr std::uint32_t kScmServiceNotActive = 1062;
constexpr std::uint32_t kScmFailedServiceControllerConnect = 1063;
constexpr std::uint32_t kScmServiceMarkedForDelete = 1072;
constexpr std::uint32_t kScmServiceExists = 1073;
constexpr std::uint32_t kScmMessageNotFound = 317;
constexpr std::uint32_t kScmFileNotFound = 2;
constexpr std::uint32_t kScmInvalidHandle = 6;
constexpr std::uint32_t kStopped = 1;
constexpr std::uint32_t kStopPending = 3;
constexpr std::uint32_t kControlStop = 1;

}  // namespace

std::u16string LowerAscii(std::u16string_view text) {
  std::u16string lower(text);
  for (auto& unit : lower) unit = AsciiLower(unit);
  return lower;
}

void FakeServicePlatform::FailCall(const std::string& call, std::uint32_t error,
                                   unsigned occurrence) {
  failures_.emplace(call, std::make_pair(occurrence, error));
}

unsigned FakeServicePlatform::Calls(const std::string& call) const {
  auto it = calls_.find(call);
  return it == calls_.end() ? 0 : it->second;
}

bool FakeServicePlatform::Fails(const char* call) {
  callLog.emplace_back(call);
  if (throwOnce == call) {
    throwOnce.clear();
    throw std::bad_alloc();
  }
  const unsigned count = ++calls_[call];
  auto range = failures_.equal_range(call);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.first == 0 || it->second.first == count) {
      kernel_.lastError = it->second.second;
      return true;
    }
  }
  return false;
}

bool FakeServicePlatform::SendControl(std::uint32_t control) {
  if (controlHandler == nullptr) return false;
  controlHandler(control);
  return true;
}

int FakeServicePlatform::SendConsoleEvent(std::uint32_t event) {
  if (consoleHandler == nullptr) return -1;
  return consoleHandler(event);
}

os::Handle FakeServicePlatform::NewServiceHandle(const std::u16string& target) {
  const std::uintptr_t id = nextHandle_;
  nextHandle_ += 8;
  handles_[id] = target;
  return reinterpret_cast<os::Handle>(id);
}

std::u16string FakeServicePlatform::TargetOf(os::Handle handle) const {
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == handles_.end() ? std::u16string() : it->second;
}

void FakeServicePlatform::Fill(const InstalledService& service, os::ServiceStatus& status) const {
  status = os::ServiceStatus{};
  status.serviceType = service.serviceType;
  status.currentState = service.currentState;
  status.controlsAccepted = service.currentState == kStopped ? 0 : 1;
}

bool FakeServicePlatform::StartServiceCtrlDispatcher(const char16_t* serviceName,
                                                     os::ServiceMainFn main) {
  if (Fails("StartServiceCtrlDispatcher")) return false;
  if (!startedByServiceManager) {
    kernel_.lastError = kScmFailedServiceControllerConnect;
    return false;
  }
  std::u16string name = serviceName;
  char16_t* argv[] = {name.data(), nullptr};
  main(1, argv);
  return true;
}

os::Handle FakeServicePlatform::RegisterServiceCtrlHandler(const char16_t* serviceName,
                                                           os::ControlHandlerFn handler) {
  if (Fails("RegisterServiceCtrlHandler")) return nullptr;
  registeredName = serviceName;
  controlHandler = handler;
  return reinterpret_cast<os::Handle>(kStatusHandle);
}

bool FakeServicePlatform::SetServiceStatus(os::Handle statusHandle,
                                           const os::ServiceStatus& status) {
  if (Fails("SetServiceStatus")) return false;
  if (reinterpret_cast<std::uintptr_t>(statusHandle) != kStatusHandle) {
    kernel_.lastError = kScmInvalidHandle;
    return false;
  }
  statuses.push_back({kernel_.now(), statusHandle, status});
  return true;
}

os::Handle FakeServicePlatform::RegisterEventSource(const char16_t*) {
  if (Fails("RegisterEventSource")) return nullptr;
  ++openEventSources;
  return reinterpret_cast<os::Handle>(std::uintptr_t{0xcafe4242});
}

void FakeServicePlatform::ReportEvent(os::Handle, std::uint16_t type, std::uint16_t category,
                                      std::uint32_t eventId, const char16_t* const* strings,
                                      std::uint16_t stringCount) {
  Fails("ReportEvent");
  EventLogEntry entry{type, category, eventId, {}};
  for (std::uint16_t i = 0; i < stringCount; ++i) entry.strings.emplace_back(strings[i]);
  eventLog.push_back(std::move(entry));
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
  ConsoleWrite write{false, {}};
  for (const char byte : text)
    write.text += static_cast<char16_t>(static_cast<unsigned char>(byte));
  console.push_back(std::move(write));
}

void FakeServicePlatform::WriteWide(std::u16string_view text) {
  Fails("WriteWide");
  console.push_back({true, std::u16string(text)});
}

std::uint32_t FakeServicePlatform::GetModuleFileName(char16_t* buffer, std::uint32_t size) {
  if (Fails("GetModuleFileName")) return 0;
  if (modulePath.size() < size) {
    CopyBounded(buffer, size, modulePath);
    return static_cast<std::uint32_t>(modulePath.size());
  }
  // Cut to the buffer, terminator included, as Windows does since Vista.
  CopyBounded(buffer, size, modulePath);
  kernel_.lastError = kScmInsufficientBuffer;
  return size;
}

os::Handle FakeServicePlatform::OpenSCManager() {
  if (Fails("OpenSCManager")) return nullptr;
  return NewServiceHandle(u"");
}

os::Handle FakeServicePlatform::CreateService(os::Handle, const char16_t* serviceName,
                                              const char16_t* displayName,
                                              std::uint32_t desiredAccess,
                                              std::uint32_t serviceType, std::uint32_t startType,
                                              std::uint32_t errorControl,
                                              const char16_t* binaryPath) {
  if (Fails("CreateService")) return nullptr;
  const std::u16string key = LowerAscii(serviceName);
  if (services.count(key) != 0) {
    kernel_.lastError = kScmServiceExists;
    return nullptr;
  }
  InstalledService& service = services[key];
  service.name = serviceName;
  service.displayName = displayName;
  service.desiredAccess = desiredAccess;
  service.serviceType = serviceType;
  service.startType = startType;
  service.errorControl = errorControl;
  service.binaryPath = binaryPath;
  return NewServiceHandle(key);
}

bool FakeServicePlatform::ChangeServiceDescription(os::Handle service,
                                                   const char16_t* description) {
  if (Fails("ChangeServiceDescription")) return false;
  auto it = services.find(TargetOf(service));
  if (it == services.end()) {
    kernel_.lastError = kScmInvalidHandle;
    return false;
  }
  it->second.description = description;
  return true;
}

os::Handle FakeServicePlatform::OpenService(os::Handle, const char16_t* serviceName,
                                            std::uint32_t) {
  if (Fails("OpenService")) return nullptr;
  const std::u16string key = LowerAscii(serviceName);
  if (services.count(key) == 0) {
    kernel_.lastError = kScmServiceDoesNotExist;
    return nullptr;
  }
  return NewServiceHandle(key);
}

bool FakeServicePlatform::ControlService(os::Handle service, std::uint32_t control,
                                         os::ServiceStatus& status) {
  if (Fails("ControlService")) return false;
  auto it = services.find(TargetOf(service));
  if (it == services.end()) {
    kernel_.lastError = kScmInvalidHandle;
    return false;
  }
  InstalledService& target = it->second;
  if (target.currentState == kStopped) {
    kernel_.lastError = kScmServiceNotActive;
    return false;
  }
  if (control == kControlStop) {
    target.currentState = kStopPending;
    if (target.stopsAfter >= 0) {
      const std::u16string key = it->first;
      kernel_.After(static_cast<std::uint64_t>(target.stopsAfter), [this, key] {
        auto found = services.find(key);
        if (found != services.end()) found->second.currentState = found->second.stateAfterStop;
      });
    }
  }
  Fill(target, status);
  return true;
}

bool FakeServicePlatform::QueryServiceStatus(os::Handle service, os::ServiceStatus& status) {
  if (Fails("QueryServiceStatus")) return false;
  auto it = services.find(TargetOf(service));
  if (it == services.end()) {
    kernel_.lastError = kScmInvalidHandle;
    return false;
  }
  Fill(it->second, status);
  return true;
}

bool FakeServicePlatform::DeleteService(os::Handle service) {
  if (Fails("DeleteService")) return false;
  auto it = services.find(TargetOf(service));
  if (it == services.end()) {
    kernel_.lastError = kScmServiceMarkedForDelete;
    return false;
  }
  services.erase(it);
  return true;
}

void FakeServicePlatform::CloseServiceHandle(os::Handle handle) {
  Fails("CloseServiceHandle");
  auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == handles_.end()) {
    closedServiceHandles.push_back(u"(unknown)");
    return;
  }
  closedServiceHandles.push_back(it->second.empty() ? u"manager" : it->second);
  handles_.erase(it);
}

void FakeServicePlatform::Sleep(std::uint32_t milliseconds) {
  Fails("Sleep");
  sleeps.push_back(milliseconds);
  kernel_.Advance(milliseconds);
}

bool FakeServicePlatform::FormatSystemMessage(std::uint32_t code, std::u16string& text) {
  if (Fails("FormatSystemMessage")) return false;
  auto it = systemMessages.find(code);
  if (it == systemMessages.end()) {
    kernel_.lastError = kScmMessageNotFound;
    return false;
  }
  text = it->second;
  return true;
}

bool FakeServicePlatform::RegisterEventSourceKey(const char16_t* sourceName,
                                                 const char16_t* messageFile) {
  if (Fails("RegisterEventSourceKey")) return false;
  eventSourceKeys[sourceName] = messageFile;
  return true;
}

bool FakeServicePlatform::DeleteEventSourceKey(const char16_t* sourceName) {
  if (Fails("DeleteEventSourceKey")) return false;
  if (eventSourceKeys.erase(sourceName) == 0) {
    kernel_.lastError = kScmFileNotFound;
    return false;
  }
  return true;
}

}  // namespace kvn::fake
