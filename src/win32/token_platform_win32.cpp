#include "win32/token_platform_win32.h"

#include <direct.h>  // _getdrives

#include <cwchar>

#include "win32/scoped_win32.h"
#include "win32/win32.h"

// After windows.h: the shell's known folders and the COM allocator that returns them. The
// two folder ids are defined here (initguid.h), so linking needs no uuid library.
// clang-format off
#include <initguid.h>
#include <knownfolders.h>
// clang-format on
#include <objbase.h>
#include <shlobj.h>

// <windows.h> maps this name onto GetDriveTypeA/W; here it is the seam's method, and the
// call below names GetDriveTypeW explicitly.
#undef GetDriveType

namespace kvn::win32 {

namespace {

// A string that the shell allocated with the COM allocator.
struct CoTaskTextTraits {
  using Value = PWSTR;
  static Value Invalid() { return nullptr; }
  static void Close(Value text) { ::CoTaskMemFree(text); }
};

// Calls `fill(buffer, size)`, a Win32 function that returns the length written, or the size
// needed (terminator included) when the buffer is too small, or 0 on failure.
template <typename Fill>
std::u16string GrowingCall(Fill fill) {
  std::u16string result(MAX_PATH, u'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD size = static_cast<DWORD>(result.size());
    const DWORD length = fill(AsWide(result.data()), size);
    if (length == 0) return {};
    if (length < size) {
      result.resize(length);
      return result;
    }
    result.assign(length, u'\0');
  }
  return {};
}

// Each source as it reads; empty when the source is missing.
std::u16string KnownFolder(REFKNOWNFOLDERID id) {
  ScopedHandle<CoTaskTextTraits> path;
  if (FAILED(::SHGetKnownFolderPath(id, 0, nullptr, path.receive())) || !path.valid()) {
    return {};
  }
  return AsU16(path.get());
}

std::u16string EnvironmentValue(const wchar_t* name) {
  return GrowingCall([name](wchar_t* buffer, DWORD size) {
    return ::GetEnvironmentVariableW(name, buffer, size);
  });
}

// A string value of HKLM read through the 64-bit view of the registry, which a 32-bit
// process on 64-bit Windows would otherwise not see. REG_EXPAND_SZ is returned unexpanded.
std::u16string Registry64Value(const wchar_t* keyPath, const wchar_t* name) {
  ScopedRegistryKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.receive()) != ERROR_SUCCESS) {
    return {};
  }
  constexpr DWORD kTypes = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  std::u16string value;
  DWORD bytes = 0;  // terminator included
  if (::RegGetValueW(key.get(), nullptr, name, kTypes, nullptr, nullptr, &bytes) == ERROR_SUCCESS &&
      bytes >= sizeof(wchar_t)) {
    value.assign(bytes / sizeof(wchar_t), u'\0');
    if (::RegGetValueW(key.get(), nullptr, name, kTypes, nullptr, AsWide(value.data()), &bytes) ==
        ERROR_SUCCESS) {
      value.resize(wcsnlen(AsWide(value.c_str()), bytes / sizeof(wchar_t)));
    } else {
      value.clear();
    }
  }
  return value;
}

}  // namespace

std::FILE* Win32TokenPlatform::OpenForRead(const char16_t* path) {
  return os::HostFiles().OpenForRead(path);
}

std::unique_ptr<os::ByteSink> Win32TokenPlatform::OpenTrace(const char16_t* path) {
  return os::OpenHostTraceFile(path);
}

std::uint32_t Win32TokenPlatform::GetDrives() { return static_cast<std::uint32_t>(_getdrives()); }

std::uint32_t Win32TokenPlatform::GetLastError() { return ::GetLastError(); }

std::uint32_t Win32TokenPlatform::GetDriveType(const char16_t* root) {
  return ::GetDriveTypeW(AsWide(root));
}

os::SearchResult Win32TokenPlatform::FindFile(const char16_t* path) {
  WIN32_FIND_DATAW data;
  const ScopedFind search(::FindFirstFileW(AsWide(path), &data));
  if (!search.valid()) return {false, ::GetLastError()};
  return {true, 0, data.dwFileAttributes,
          (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow};
}

os::Handle Win32TokenPlatform::StartProcess(const char16_t* program, const char16_t* commandLine) {
  // CreateProcessW may write into the command line, so it gets a copy of its own.
  std::u16string line = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(AsWide(program), AsWide(line.data()), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
    return nullptr;
  }
  // Only the process handle is kept, and the caller closes it.
  ::CloseHandle(process.hThread);
  return process.hProcess;
}

os::WaitResult Win32TokenPlatform::Wait(os::Handle child, os::Handle stop,
                                        std::uint32_t milliseconds) {
  // The child comes first: WaitForMultipleObjects reports the lowest signalled index, so a
  // child that has ended wins over a stop requested at the same time.
  HANDLE handles[2];
  DWORD count = 0;
  if (child != nullptr) handles[count++] = static_cast<HANDLE>(child);
  if (stop != nullptr) handles[count++] = static_cast<HANDLE>(stop);
  if (count == 0) {
    ::Sleep(milliseconds);
    return os::WaitResult::kTimedOut;
  }
  const DWORD timeout = milliseconds == 0xFFFFFFFF ? INFINITE : milliseconds;
  switch (::WaitForMultipleObjects(count, handles, FALSE, timeout)) {
    case WAIT_OBJECT_0:
      return child != nullptr ? os::WaitResult::kChildEnded : os::WaitResult::kStopped;
    case WAIT_OBJECT_0 + 1:
      return os::WaitResult::kStopped;
    case WAIT_TIMEOUT:
      return os::WaitResult::kTimedOut;
    default:  // WAIT_FAILED; abandoned mutexes cannot occur with these handles
      return os::WaitResult::kFailed;
  }
}

void Win32TokenPlatform::CloseProcess(os::Handle child) {
  ::CloseHandle(static_cast<HANDLE>(child));
}

void Win32TokenPlatform::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::u16string Win32TokenPlatform::FullPathName(const char16_t* path) {
  return GrowingCall([path](wchar_t* buffer, DWORD size) {
    return ::GetFullPathNameW(AsWide(path), size, buffer, nullptr);
  });
}

std::u16string Win32TokenPlatform::LongPathName(const char16_t* path) {
  return GrowingCall([path](wchar_t* buffer, DWORD size) {
    return ::GetLongPathNameW(AsWide(path), buffer, size);
  });
}

std::vector<std::u16string> Win32TokenPlatform::ProgramFilesFolders() {
  // A 32-bit process on 64-bit Windows gets the x86 folder for both known folders and for
  // ProgramFiles; ProgramW6432 and the 64-bit registry name the native one.
  return {KnownFolder(FOLDERID_ProgramFiles),
          KnownFolder(FOLDERID_ProgramFilesX86),
          EnvironmentValue(L"ProgramFiles"),
          EnvironmentValue(L"ProgramFiles(x86)"),
          EnvironmentValue(L"ProgramW6432"),
          Registry64Value(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramW6432Dir")};
}

}  // namespace kvn::win32
