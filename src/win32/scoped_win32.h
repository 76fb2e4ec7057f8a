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

// A handle of the service control manager (a manager or a service).
struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static Value Invalid() { return nullptr; }
  static void Close(Value handle) { ::CloseServiceHandle(handle); }
};
using ScopedServiceHandle = ScopedHandle<ServiceHandleTraits>;

// A kernel object whose "none" is null: a process token, for one.
struct KernelHandleTraits {
  using Value = HANDLE;
  static Value Invalid() { return nullptr; }
  static void Close(Value handle) { ::CloseHandle(handle); }
};
using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;

// Memory that the system allocated with LocalAlloc: a text of FormatMessageW or
// ConvertSidToStringSidW, a security descriptor of GetSecurityInfo. LocalFree may touch the
// thread's last error, which the caller still reads afterwards, so it is kept across the
// release.
template <typename Pointer>
struct LocalMemoryTraits {
  using Value = Pointer;
  static Value Invalid() { return nullptr; }
  static void Close(Value memory) {
    const DWORD saved = ::GetLastError();
    ::LocalFree(memory);
    ::SetLastError(saved);
  }
};
using ScopedLocalText = ScopedHandle<LocalMemoryTraits<wchar_t*>>;
using ScopedSecurityDescriptor = ScopedHandle<LocalMemoryTraits<PSECURITY_DESCRIPTOR>>;

}  // namespace kvn::win32
