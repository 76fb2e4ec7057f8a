#pragma once

namespace kvn::os {

// An opaque platform handle (a HANDLE, SC_HANDLE or SERVICE_STATUS_HANDLE on Windows).
// Null means "none".
using Handle = void*;

}  // namespace kvn::os
