#include "fake/fake_windows.h"

#include "common/process_state.h"
#include "service/service_state.h"

namespace kvn::fake {

void ResetProcessState() {
  debugMode = false;
  service::serviceStatus = os::ServiceStatus{};
  service::statusHandle = nullptr;
  service::stopEvent = nullptr;
  service::lastServiceError = 0;
  service::checkPoint = 1;
}

FakeWindows::FakeWindows() {
  ResetProcessState();
  service::InstallPlatforms(&service, &token);
}

FakeWindows::~FakeWindows() {
  service::InstallPlatforms(nullptr, nullptr);
  ResetProcessState();
}

}  // namespace kvn::fake
