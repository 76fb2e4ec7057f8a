// hold.exe: holds a file open for a while, sharing nothing, as any user who may read a file can
// do; while it does, nobody else can open the file, to run it (CreateProcess) or to read it.
//
//   hold.exe C:\path\file MILLISECONDS
//
// Prints "held" once the file is open (or "FAILED <code>" and exits with 1), then "released"
// when it lets go, and exits with 0.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: hold.exe PATH MILLISECONDS\n", stderr);
    return 2;
  }
  const HANDLE file =
      CreateFileW(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("FAILED %lu\n", GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
  CloseHandle(file);
  std::puts("released");
  return 0;
}
