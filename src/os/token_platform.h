// What the token watcher needs of the OS. Every method stands for one platform call and
// stays as thin as that call, so that all decisions live in the core.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/host.h"

namespace kvn::os {

// GetDriveTypeW results the watcher tells apart.
inline constexpr std::uint32_t kDriveRemovable = 2;

// The outcome of one existence test (FindFirstFileW, closed at once with FindClose).
struct SearchResult {
  bool found = false;
  std::uint32_t error = 0;  // GetLastError() after a search that found nothing
};

class TokenPlatform : public FileOpener {
 public:
  // The trace log: created or emptied, shared deny-none. Null when it cannot be opened.
  virtual std::unique_ptr<ByteSink> OpenTrace(const char16_t* path) = 0;

  // _getdrives(): bit 0 is A: ... bit 25 is Z:. Zero on failure.
  virtual std::uint32_t GetDrives() = 0;
  // The calling thread's last-error code (GetLastError).
  virtual std::uint32_t GetLastError() = 0;
  // GetDriveTypeW on a drive root such as "E:\".
  virtual std::uint32_t GetDriveType(const char16_t* root) = 0;
  // FindFirstFileW on `path`; a search that finds an entry is closed at once.
  virtual SearchResult FindFile(const char16_t* path) = 0;

  // Starts `program` with exactly `commandLine` as the child's command line (CreateProcessW).
  // With `wait` it returns once the child has ended; without, it returns at once and keeps
  // no handle of the child. Returns false when the child could not be started.
  virtual bool StartProcess(const char16_t* program, const char16_t* commandLine, bool wait) = 0;

  // Pauses the calling thread for `milliseconds`, or less if the stop event is signalled.
  // Returns true when the pause ended because a stop was requested.
  virtual bool Pause(std::uint32_t milliseconds) = 0;

  // GetFullPathNameW: the absolute path with "." and ".." removed; empty on failure.
  virtual std::u16string FullPathName(const char16_t* path) = 0;
  // GetLongPathNameW: every component in its long form; empty on failure (for instance
  // when the path does not exist).
  virtual std::u16string LongPathName(const char16_t* path) = 0;
  // The machine's Program Files folders (ProgramFiles, ProgramFiles(x86), ProgramW6432),
  // as absolute paths without a trailing backslash; duplicates allowed.
  virtual std::vector<std::u16string> ProgramFilesFolders() = 0;
};

}  // namespace kvn::os
