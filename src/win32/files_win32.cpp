#include <cstdio>

#include "os/host.h"
#include "win32/win32.h"

namespace kvn::os {

namespace {

class Win32Files final : public FileOpener {
 public:
  std::FILE* OpenForRead(const char16_t* path) override {
    return ::_wfopen(win32::AsWide(path), L"rb");
  }
};

}  // namespace

FileOpener& HostFiles() {
  static Win32Files files;
  return files;
}

int AnsiToUtf16(const char* bytes, int count, char16_t* dest, int destCount) {
  // With no buffer the call is a size query, which wants a buffer size of 0.
  return ::MultiByteToWideChar(CP_ACP, 0, bytes, count, win32::AsWide(dest),
                               dest == nullptr ? 0 : destCount);
}

}  // namespace kvn::os
