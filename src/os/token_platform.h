// What the token watcher needs of the OS. Every method stands for one platform call and
// stays as thin as that call, so that all decisions live in the core.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/handle.h"
#include "os/host.h"

namespace kvn::os {

// GetDriveTypeW results.
inline constexpr std::uint32_t kDriveUnknown = 0;
inline constexpr std::uint32_t kDriveNoRootDir = 1;
inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveFixed = 3;
inline constexpr std::uint32_t kDriveRemote = 4;
inline constexpr std::uint32_t kDriveCdRom = 5;
inline constexpr std::uint32_t kDriveRamDisk = 6;

// FILE_ATTRIBUTE_REPARSE_POINT: a symbolic link, junction or mount point.
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;

// The outcome of one existence test (FindFirstFileW, closed at once with FindClose).
struct SearchResult {
  bool found = false;
  std::uint32_t error = 0;       // GetLastError() after a search that found nothing
  std::uint32_t attributes = 0;  // the entry's own attributes: a link's, not its target's
  std::uint64_t size = 0;        // the entry's size in bytes
};

// How a wait for a child or the stop event ended.
enum class WaitResult {
  kChildEnded,  // the child has ended (also when it had ended before the wait)
  kStopped,     // the stop event is signalled and the child, if any, still runs
  kTimedOut,
  kFailed,  // the wait itself failed
};

class TokenPlatform : public FileOpener {
 public:
  // The trace log: opened, checked and only then emptied, shared deny-none. Null when it
  // cannot be opened, or when the folder or the file is a link or the file has more than one
  // name (a hard link): the log is never written through something another user placed.
  virtual std::unique_ptr<ByteSink> OpenTrace(const char16_t* path) = 0;

  // _getdrives(): bit 0 is A: ... bit 25 is Z:. Zero on failure.
  virtual std::uint32_t GetDrives() = 0;
  // The calling thread's last-error code (GetLastError).
  virtual std::uint32_t GetLastError() = 0;
  // GetDriveTypeW on a drive root such as "E:\".
  virtual std::uint32_t GetDriveType(const char16_t* root) = 0;
  // FindFirstFileW on `path`; a search that finds an entry is closed at once. The entry is
  // reported as listed in its folder, so a link is not followed.
  virtual SearchResult FindFile(const char16_t* path) = 0;

  // Starts `program` with exactly `commandLine` as the child's command line (CreateProcessW).
  // Returns the child's process handle, to be closed with CloseProcess, or null when the
  // child could not be started.
  virtual Handle StartProcess(const char16_t* program, const char16_t* commandLine) = 0;
  // Waits at most `milliseconds` until `child` has ended or `stop` is signalled, the child
  // looked at first; either may be null, and with both null this is a plain sleep.
  virtual WaitResult Wait(Handle child, Handle stop, std::uint32_t milliseconds) = 0;
  virtual void CloseProcess(Handle child) = 0;
  // Sleep(): a pause that nothing interrupts.
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // GetFullPathNameW: the absolute path with "." and ".." removed; empty on failure. Works
  // on the text alone and touches no file system.
  virtual std::u16string FullPathName(const char16_t* path) = 0;
  // GetLongPathNameW: every component in its long form; empty on failure (for instance
  // when the path does not exist).
  virtual std::u16string LongPathName(const char16_t* path) = 0;
  // Every source of the machine's Program Files folders, each as it reads: the known folders
  // ProgramFiles and ProgramFilesX86, the environment's ProgramFiles, ProgramFiles(x86) and
  // ProgramW6432, and ProgramW6432Dir of the 64-bit registry. A source that is missing gives
  // an empty entry.
  virtual std::vector<std::u16string> ProgramFilesFolders() = 0;
};

}  // namespace kvn::os
