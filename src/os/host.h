// The host half of the OS seam that is chosen at build time rather than faked: opening a
// file by its wide path, the ANSI code page, and the trace file. The Win32 adapter
// implements these with the real calls; on POSIX they stand in for tests and tools.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

namespace kvn::os {

// A file that bytes are written to, unbuffered: every Write reaches the file before it
// returns. Closing happens in the destructor.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Returns false when the bytes could not all be written.
  virtual bool Write(const char* bytes, std::size_t count) = 0;
};

// Opens files for reading by their wide path.
class FileOpener {
 public:
  virtual ~FileOpener() = default;
  // Opens `path` (zero-terminated UTF-16) for binary reading, like _wfopen(path, L"rb").
  // On failure returns null and leaves the reason in errno.
  virtual std::FILE* OpenForRead(const char16_t* path) = 0;
};

// The machine's own file system.
FileOpener& HostFiles();

// Creates or empties the file at `path` for writing, shared with every other reader and
// writer (deny-none). Returns null when the file cannot be opened.
std::unique_ptr<ByteSink> OpenHostTraceFile(const char16_t* path);

// Converts `count` bytes in the system's ANSI code page to UTF-16, like MultiByteToWideChar
// with CP_ACP and no flags: the count is explicit, a zero byte becomes a zero unit and bytes
// without a mapping do not fail. With `dest` null returns the number of units needed;
// otherwise converts into at most `destCount` units and returns the number written.
// Returns 0 on failure. On POSIX the ANSI code page is Windows-1252.
int AnsiToUtf16(const char* bytes, int count, char16_t* dest, int destCount);

}  // namespace kvn::os
