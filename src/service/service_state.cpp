#include "service/service_state.h"

#include <cstdlib>

namespace kvn::service {

os::ServiceStatus serviceStatus;
os::Handle statusHandle = nullptr;
std::atomic<os::Handle> stopEvent{nullptr};
std::atomic<std::uint32_t> lastServiceError{0};
std::uint32_t checkPoint = 1;

namespace {
os::ServicePlatform* installedServiceOs = nullptr;
os::TokenPlatform* installedTokenOs = nullptr;
}  // namespace

void InstallPlatforms(os::ServicePlatform* servicePlatform, os::TokenPlatform* tokenPlatform) {
  installedServiceOs = servicePlatform;
  installedTokenOs = tokenPlatform;
}

os::ServicePlatform& ServiceOs() {
  if (installedServiceOs == nullptr) std::abort();
  return *installedServiceOs;
}

os::TokenPlatform& TokenOs() {
  if (installedTokenOs == nullptr) std::abort();
  return *installedTokenOs;
}

}  // namespace kvn::service
