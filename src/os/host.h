// The host half of the OS seam that is chosen at build time rather than faked: the ANSI code
// page, and the byte sink the trace log writes to. The Win32 adapter implements them with the
// real calls; on POSIX the conversion stands in for tests and tools.
#pragma once

#include <cstddef>

namespace kvn::os {

// A file that bytes are written to, unbuffered: every Write reaches the file before it
// returns. Closing happens in the destructor.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Returns false when the bytes could not all be written.
  virtual bool Write(const char* bytes, std::size_t count) = 0;
};

// Converts `count` bytes in the system's ANSI code page to UTF-16, like MultiByteToWideChar
// with CP_ACP and no flags: the count is explicit, a zero byte becomes a zero unit and bytes
// without a mapping do not fail. With `dest` null returns the number of units needed;
// otherwise converts into at most `destCount` units and returns the number written.
// Returns 0 on failure. On POSIX the ANSI code page is Windows-1252.
int AnsiToUtf16(const char* bytes, int count, char16_t* dest, int destCount);

}  // namespace kvn::os
