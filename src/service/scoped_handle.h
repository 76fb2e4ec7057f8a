// The service platform's handles, released through the installed platform.
#pragma once

#include "common/scoped_handle.h"
#include "os/handle.h"
#include "os/service_platform.h"
#include "service/service_state.h"

namespace kvn::service {

template <void (os::ServicePlatform::*Release)(os::Handle)>
struct ServicePlatformHandle {
  using Value = os::Handle;
  static Value Invalid() { return nullptr; }
  static void Close(Value handle) { (ServiceOs().*Release)(handle); }
};

// Declared in opening order, so that a service closes before its manager.
using ScopedServiceHandle =
    ScopedHandle<ServicePlatformHandle<&os::ServicePlatform::CloseServiceHandle>>;
using ScopedEventSource =
    ScopedHandle<ServicePlatformHandle<&os::ServicePlatform::DeregisterEventSource>>;

}  // namespace kvn::service
