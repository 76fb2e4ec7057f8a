// plug.exe: attaches a Linux folder to a Wine prefix as a drive letter, or detaches it, at run
// time, through the same mount manager request that Wine's own configuration tool sends.
//
//   plug.exe E /abs/unix/folder [type]   attach (type defaults to 2, DRIVE_REMOVABLE)
//   plug.exe E                           detach
//
// Unlike a symbolic link dropped into dosdevices/, this updates the drive mask (_getdrives,
// GetLogicalDrives) and the drive type for processes that are already running, services
// included. Wine-only: Windows has no such request. Prints "ok" or "FAILED <code>" and exits
// with 0 on success.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <winioctl.h>  // needs windows.h first

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// Wine's IOCTL_MOUNTMGR_DEFINE_UNIX_DRIVE and its input record, laid out as in Wine's
// include/ddk/mountmgr.h. The unix path follows the record, NUL-terminated, in the byte
// encoding of the Linux file system (UTF-8).
constexpr DWORD kDefineUnixDrive =
    CTL_CODE(static_cast<DWORD>('m'), 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

struct UnixDriveRecord {
  ULONG size;
  ULONG type;
  ULONG fsType;
  DWORD serial;
  ULONGLONG unixDev;
  WCHAR letter;
  USHORT mountPointOffset;
  USHORT deviceOffset;
  USHORT labelOffset;
};

std::string ToUtf8(const wchar_t* text) {
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  // Keeps the terminator: the mount manager reads the path up to it.
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argv[1][0] == L'\0') {
    std::fputs("usage: plug.exe LETTER [UNIX_DIR [TYPE]]\n", stderr);
    return 2;
  }
  const bool attach = argc > 2;
  const std::string unixPath = attach ? ToUtf8(argv[2]) : std::string();
  ULONG type = DRIVE_NO_ROOT_DIR;  // the mount manager removes the letter for this type
  if (attach)
    type = argc > 3 ? static_cast<ULONG>(std::wcstoul(argv[3], nullptr, 0)) : DRIVE_REMOVABLE;

  std::vector<unsigned char> buffer(sizeof(UnixDriveRecord) + unixPath.size());
  UnixDriveRecord record{};
  record.size = static_cast<ULONG>(buffer.size());
  record.type = type;
  record.letter = static_cast<WCHAR>(std::towlower(argv[1][0]));
  if (attach) {
    record.mountPointOffset = static_cast<USHORT>(sizeof(UnixDriveRecord));
    std::copy(unixPath.begin(), unixPath.end(), buffer.begin() + sizeof(UnixDriveRecord));
  }
  std::copy(reinterpret_cast<const unsigned char*>(&record),
            reinterpret_cast<const unsigned char*>(&record) + sizeof(record), buffer.begin());

  HANDLE manager =
      CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (manager == INVALID_HANDLE_VALUE) {
    std::printf("FAILED %lu\n", GetLastError());
    return 1;
  }
  DWORD returned = 0;
  const BOOL ok =
      DeviceIoControl(manager, kDefineUnixDrive, buffer.data(), static_cast<DWORD>(buffer.size()),
                      nullptr, 0, &returned, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(manager);
  if (!ok) {
    std::printf("FAILED %lu\n", error);
    return 1;
  }
  std::puts("ok");
  return 0;
}
