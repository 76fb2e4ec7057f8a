#include "fake/fake_service_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <new>

#include "common/strings.h"

namespace kvn::fake {

namespace {
constexpr std::uint32_t kStopped = 1;
}  // namespace

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

bool FakeServicePlatform::ReportState(os::ServiceStatus& status) {
  status = os::ServiceStatus{};
  status.serviceType = 0x10;
  status.currentState = serviceStates[std::min(nextState_++, serviceStates.size() - 1)];
  status.controlsAccepted = status.currentState == kStopped ? 0 : 1;
  calls.back() += " -> state " + std::to_string(status.currentState);
  return true;
}

bool FakeServicePlatform::StartServiceCtrlDispatcher(const char16_t* serviceName,
                                                     os::ServiceMainFn main) {
  if (Fails("StartServiceCtrlDispatcher", Show(serviceName))) return false;
  if (!startedByServiceManager) return Returns(false, 1063);  // not started as a service
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

os::Handle FakeServicePlatform::RegisterEventSource(const char16_t* sourceName) {
  if (Fails("RegisterEventSource", Show(sourceName))) return nullptr;
  ++openEventSources;
  return reinterpret_cast<os::Handle>(std::uintptr_t{0xcafe4242});
}

void FakeServicePlatform::ReportEvent(os::Handle, std::uint16_t type, std::uint16_t category,
                                      std::uint32_t eventId, const char16_t* const* strings,
                                      std::uint16_t stringCount) {
  std::string args = Show(type) + "/" + Show(category) + "/" + Show(eventId);
  for (std::uint16_t i = 0; i < stringCount; ++i) args += " | " + Show(strings[i]);
  Fails("ReportEvent", args);
}

std::uint32_t FakeServicePlatform::GetModuleFileName(char16_t* buffer, std::uint32_t size) {
  if (Fails("GetModuleFileName", Show(size))) return 0;
  // A path that does not fit is cut to the buffer, terminator included, as since Vista.
  CopyBounded(buffer, size, modulePath);
  const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(modulePath.size(), size));
  return Returns(length, modulePath.size() >= size ? 122 : 0);
}

os::Handle FakeServicePlatform::CreateService(os::Handle manager, const char16_t* serviceName,
                                              const char16_t* displayName,
                                              std::uint32_t desiredAccess,
                                              std::uint32_t serviceType, std::uint32_t startType,
                                              std::uint32_t errorControl,
                                              const char16_t* binaryPath) {
  std::string args = Show(manager) + " " + Show(serviceName) + " " + Show(displayName);
  for (const std::uint32_t value : {desiredAccess, serviceType, startType, errorControl}) {
    args += " " + Show(value);
  }
  if (Fails("CreateService", args + " " + Show(binaryPath))) return nullptr;
  if (serviceExists) return Returns<os::Handle>(nullptr, 1073);
  serviceExists = true;
  return Returns(NewServiceHandle());
}

os::Handle FakeServicePlatform::OpenService(os::Handle manager, const char16_t* serviceName,
                                            std::uint32_t desiredAccess) {
  const std::string args = Show(manager) + " " + Show(serviceName) + " " + Show(desiredAccess);
  if (Fails("OpenService", args)) return nullptr;
  if (!serviceExists) return Returns<os::Handle>(nullptr, 1060);
  return Returns(NewServiceHandle());
}

bool FakeServicePlatform::ControlService(os::Handle service, std::uint32_t control,
                                         os::ServiceStatus& status) {
  if (Fails("ControlService", Show(service) + " " + Show(control))) return false;
  if (serviceStates[std::min(nextState_, serviceStates.size() - 1)] == kStopped) {
    return Returns(false, 1062);  // not active
  }
  return ReportState(status);
}

void FakeServicePlatform::CloseServiceHandle(os::Handle handle) {
  Fails("CloseServiceHandle", Show(handle));
  EXPECT_EQ(serviceHandles_.erase(reinterpret_cast<std::uintptr_t>(handle)), 1u);
}

bool FakeServicePlatform::FormatSystemMessage(std::uint32_t code, std::u16string& text) {
  if (Fails("FormatSystemMessage", Show(code))) return false;
  auto it = systemMessages.find(code);
  if (it == systemMessages.end()) return Returns(false, 317);  // no text for the code
  text = it->second;
  return true;
}

}  // namespace kvn::fake
