#include "os/host.h"
#include "win32/win32.h"

namespace kvn::os {

int AnsiToUtf16(const char* bytes, int count, char16_t* dest, int destCount) {
  // With no buffer the call is a size query, which wants a buffer size of 0.
  return ::MultiByteToWideChar(CP_ACP, 0, bytes, count, win32::AsWide(dest),
                               dest == nullptr ? 0 : destCount);
}

}  // namespace kvn::os
