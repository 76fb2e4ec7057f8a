// The Win32 handles and buffers the adapter owns, each as a traits type for the shared
// ScopedHandle.
#pragma once

#include "common/scoped_handle.h"
#include "win32/win32.h"

namespace kvn::win32 {

// A kernel object opened by CreateFileW, whose "none" is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value handle) { ::CloseHandle(handle); }
};
using ScopedFileHandle = ScopedHandle<FileHandleTraits>;

// A search of FindFirstFileW.
struct FindHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Value handle) { ::FindClose(handle); }
};
using ScopedFind = ScopedHandle<FindHandleTraits>;

// An open registry key.
struct RegistryKeyTraits {
  using Value = HKEY;
  static Value Invalid() { return nullptr; }
  static void Close(Value key) { ::RegCloseKey(key); }
};
using ScopedRegistryKey = ScopedHandle<RegistryKeyTraits>;

// A text that FormatMessageW allocated. LocalFree may touch the thread's last error, which
// the caller still reads afterwards, so it is kept across the release.
struct LocalTextTraits {
  using Value = wchar_t*;
  static Value Invalid() { return nullptr; }
  static void Close(Value text) {
    const DWORD saved = ::GetLastError();
    ::LocalFree(text);
    ::SetLastError(saved);
  }
};
using ScopedLocalText = ScopedHandle<LocalTextTraits>;

}  // namespace kvn::win32
