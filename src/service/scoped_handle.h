// A handle of the service platform, released on every path out of the scope that opened it.
#pragma once

#include "os/handle.h"
#include "os/service_platform.h"
#include "service/service_state.h"

namespace kvn::service {

template <void (os::ServicePlatform::*Release)(os::Handle)>
class ScopedHandle {
 public:
  explicit ScopedHandle(os::Handle handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (handle_ != nullptr) (ServiceOs().*Release)(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  os::Handle get() const { return handle_; }

 private:
  os::Handle handle_;
};

// Declared in opening order, so that a service closes before its manager.
using ScopedServiceHandle = ScopedHandle<&os::ServicePlatform::CloseServiceHandle>;
using ScopedEventSource = ScopedHandle<&os::ServicePlatform::DeregisterEventSource>;

}  // namespace kvn::service
