// The process-wide service state, shared by the entry point, the service control handler,
// the install and remove commands and the watch cycle.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/handle.h"
#include "os/service_platform.h"

namespace kvn::service {

inline constexpr char16_t kServiceName[] = u"Kelvarn";
inline constexpr char kServiceNameNarrow[] = "Kelvarn";

// The stop event while it exists, else null. Written by the thread of the watch cycle, read
// by the control handlers on their own threads, hence atomic.
extern std::atomic<os::Handle> stopEvent;

}  // namespace kvn::service
