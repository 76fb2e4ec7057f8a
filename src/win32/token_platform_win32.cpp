#include "win32/token_platform_win32.h"

#include <direct.h>  // _getdrives

#include "service/service_state.h"
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

// A kernel handle closed when it goes out of scope.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  void Reset() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_;
};

// A search handle of FindFirstFileW, ended with FindClose.
class ScopedFind {
 public:
  explicit ScopedFind(HANDLE handle) : handle_(handle) {}
  ~ScopedFind() {
    if (valid()) ::FindClose(handle_);
  }
  ScopedFind(const ScopedFind&) = delete;
  ScopedFind& operator=(const ScopedFind&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// A string that the shell allocated with the COM allocator.
class CoTaskString {
 public:
  CoTaskString() = default;
  ~CoTaskString() { ::CoTaskMemFree(text_); }
  CoTaskString(const CoTaskString&) = delete;
  CoTaskString& operator=(const CoTaskString&) = delete;
  PWSTR* out() { return &text_; }
  const wchar_t* get() const { return text_; }

 private:
  PWSTR text_ = nullptr;
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

// Absolute, without the trailing backslash; empty values are left out.
void AddFolder(std::vector<std::u16string>& folders, const wchar_t* folder) {
  if (folder == nullptr) return;
  std::u16string text = AsU16(folder);
  while (!text.empty() && text.back() == u'\\') text.pop_back();
  if (!text.empty()) folders.push_back(text);
}

void AddKnownFolder(std::vector<std::u16string>& folders, REFKNOWNFOLDERID id) {
  CoTaskString path;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, 0, nullptr, path.out()))) {
    AddFolder(folders, path.get());
  }
}

void AddEnvironmentFolder(std::vector<std::u16string>& folders, const wchar_t* name) {
  const std::u16string value = GrowingCall([name](wchar_t* buffer, DWORD size) {
    return ::GetEnvironmentVariableW(name, buffer, size);
  });
  if (!value.empty()) AddFolder(folders, AsWide(value.c_str()));
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
  return {true, 0};
}

bool Win32TokenPlatform::StartProcess(const char16_t* program, const char16_t* commandLine,
                                      bool wait) {
  // CreateProcessW may write into the command line, so it gets a copy of its own.
  std::u16string line = commandLine;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(AsWide(program), AsWide(line.data()), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
    return false;
  }
  // Both handles are closed on the way out: a child that is not waited for leaves nothing
  // behind in this process, however often the container is mounted.
  const ScopedHandle child(process.hProcess);
  const ScopedHandle thread(process.hThread);
  if (wait) ::WaitForSingleObject(child.get(), INFINITE);
  return true;
}

bool Win32TokenPlatform::Pause(std::uint32_t milliseconds) {
  const HANDLE stop = static_cast<HANDLE>(service::stopEvent.load());
  if (stop == nullptr) {
    ::Sleep(milliseconds);
    return false;
  }
  const DWORD result = ::WaitForSingleObject(stop, milliseconds);
  if (result == WAIT_FAILED) {
    // Still a pause: a watch cycle that stopped pausing would spin at full speed.
    ::Sleep(milliseconds);
    return false;
  }
  return result == WAIT_OBJECT_0;
}

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
  // A 32-bit process on 64-bit Windows gets the x86 folder for both known folders; the
  // environment's ProgramW6432 names the native one.
  std::vector<std::u16string> folders;
  AddKnownFolder(folders, FOLDERID_ProgramFiles);
  AddKnownFolder(folders, FOLDERID_ProgramFilesX86);
  AddEnvironmentFolder(folders, L"ProgramFiles");
  AddEnvironmentFolder(folders, L"ProgramFiles(x86)");
  AddEnvironmentFolder(folders, L"ProgramW6432");
  return folders;
}

}  // namespace kvn::win32
