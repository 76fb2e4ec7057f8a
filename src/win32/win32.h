// The one header that brings in <windows.h>, for the Win32 adapter only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The build defines both for every Windows source (CMakeLists.txt), so that the API as
// declared is the API of Windows 7, the oldest system supported; the toolchain's headers
// would otherwise have chosen their own (newer) default before this header is reached.
#if !defined(_WIN32_WINNT) || _WIN32_WINNT != 0x0601 || !defined(WINVER) || WINVER != 0x0601
#error "Build with _WIN32_WINNT=0x0601 and WINVER=0x0601 (Windows 7)"
#endif

#include <windows.h>

namespace kvn::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

// The core's UTF-16 strings as the Win32 API's wide strings and back. Both types are 16-bit
// code units of the same representation.
inline const wchar_t* AsWide(const char16_t* text) {
  return reinterpret_cast<const wchar_t*>(text);
}
inline wchar_t* AsWide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const char16_t* AsU16(const wchar_t* text) {
  return reinterpret_cast<const char16_t*>(text);
}
inline char16_t* AsU16(wchar_t* text) { return reinterpret_cast<char16_t*>(text); }

// Registry and security calls return their error instead of setting it; the seam reports
// failures through the last error like every other call.
inline bool Succeeded(LSTATUS status) {
  if (status == ERROR_SUCCESS) return true;
  ::SetLastError(static_cast<DWORD>(status));
  return false;
}
inline bool Succeeded(DWORD status) {
  if (status == ERROR_SUCCESS) return true;
  ::SetLastError(status);
  return false;
}

}  // namespace kvn::win32
