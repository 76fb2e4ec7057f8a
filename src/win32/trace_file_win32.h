// The trace log's file on Win32.
#pragma once

#include <memory>

#include "os/host.h"

namespace kvn::win32 {

// Creates or empties the file at `path` for writing, shared with every other reader and
// writer (deny-none). Null when it cannot be opened, when the folder or the file is a link,
// or when the file has a second name (a hard link).
std::unique_ptr<os::ByteSink> OpenTraceFile(const char16_t* path);

}  // namespace kvn::win32
