#include <string>
#include <utility>

#include "win32/scoped_win32.h"
#include "win32/trace_file_win32.h"
#include "win32/win32.h"

#include <winternl.h>  // after windows.h: NtCreateFile

namespace kvn::win32 {

namespace {

class Win32File final : public os::ByteSink {
 public:
  explicit Win32File(ScopedFileHandle file) : file_(std::move(file)) {}

  bool Write(const char* bytes, std::size_t count) override {
    while (count > 0) {
      const DWORD chunk = count > 0x10000000 ? 0x10000000 : static_cast<DWORD>(count);
      DWORD written = 0;
      if (!::WriteFile(file_.get(), bytes, chunk, &written, nullptr) || written == 0) return false;
      bytes += written;
      count -= written;
    }
    return true;
  }

 private:
  ScopedFileHandle file_;
};

// The link count of an entry opened as itself (FILE_FLAG_OPEN_REPARSE_POINT); 0 when it is
// a link (a reparse point) or cannot be read.
DWORD LinksUnlessReparsePoint(HANDLE entry) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(entry, &info)) return 0;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return 0;
  return info.nNumberOfLinks;
}

}  // namespace

// The log is written by an elevated process into a folder that any user may have created, so
// nothing in it is trusted: a folder or file that is a link, or a file with a second name,
// could point the writes (and the emptying) at another user's or the system's file.
std::unique_ptr<os::ByteSink> OpenTraceFile(const char16_t* path) {
  const std::wstring file = AsWide(path);
  const std::size_t slash = file.find_last_of(L'\\');
  if (slash == std::wstring::npos) return nullptr;
  const std::wstring folder = file.substr(0, slash);

  // Held without delete sharing until the file is open, so the checked folder cannot be
  // renamed away and replaced by a link in between. Wine reports a folder that is a unix
  // symbolic link only through its attributes by name, so both are looked at.
  const ScopedFileHandle folderHandle(::CreateFileW(
      folder.c_str(), FILE_READ_ATTRIBUTES | FILE_TRAVERSE, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folderHandle.valid() || LinksUnlessReparsePoint(folderHandle.get()) == 0) return nullptr;
  const DWORD folderAttributes = ::GetFileAttributesW(folder.c_str());
  if (folderAttributes == INVALID_FILE_ATTRIBUTES ||
      (folderAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return nullptr;
  }

  // Opened in the folder the handle holds, by its name relative to that handle: the folder's
  // owner may turn it, while it is empty, into a mount point after the check, and a name from
  // the drive root down would then lead elsewhere. Opened as is (not emptied, a final link not
  // followed), checked, and only then emptied through the same handle. Shared deny-none
  // (_SH_DENYNO: read and write) so that others may read, and write, the log while the
  // watcher holds it. An open that would wait for another program to let go of an oplock on
  // the file returns at once, and then opens nothing, as does any answer but STATUS_SUCCESS.
  std::wstring name = file.substr(slash + 1);
  UNICODE_STRING text;
  text.Buffer = name.data();
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folderHandle.get(), nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE opened = nullptr;
  const NTSTATUS status = ::NtCreateFile(
      &opened, GENERIC_WRITE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &io, nullptr,
      FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN_IF,
      FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_COMPLETE_IF_OPLOCKED |
          FILE_SYNCHRONOUS_IO_NONALERT,
      nullptr, 0);
  if (status != 0) {
    if (status > 0) ::CloseHandle(opened);
    return nullptr;
  }
  ScopedFileHandle handle(opened);
  if (LinksUnlessReparsePoint(handle.get()) != 1) return nullptr;
  LARGE_INTEGER start = {};
  if (!::SetFilePointerEx(handle.get(), start, nullptr, FILE_BEGIN) ||
      !::SetEndOfFile(handle.get())) {
    return nullptr;
  }
  return std::make_unique<Win32File>(std::move(handle));
}

}  // namespace kvn::win32
