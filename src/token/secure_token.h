// The token watcher: finds the USB stick that carries kvn.ini, checks its configuration,
// mounts the container, watches the stick and dismounts once it is gone. In debug mode every
// step writes one line to the trace log C:\Trace\kvn.log.
//
// One object lives for the whole run of the watch cycle and is used by that thread alone.
#pragma once

#include <cstdint>

#include "os/token_platform.h"
#include "token/trace_log.h"

namespace kvn {

// The result of CheckConfig. No other value is ever returned.
enum ConfigResult : int {
  ConfigOk = 0,           // accepted: the paths and targetDrive are settled
  ConfigUnreadable = 1,   // the configuration file cannot be opened or loaded
  TrueCryptNotFound = 2,  // nothing (acceptable) at trueCryptPath
  KeyFileNotFound = 3,    // nothing at keyFilePath
  ContainerNotFound = 4,  // nothing at containerPath
  TargetDriveInUse = 5,   // the target letter is taken and IfUsed is "0"
  NoFreeDriveLetter = 6,  // every letter from A to Z is in use
};

inline constexpr std::size_t kPathCapacity = 260;  // units, terminator included

class SecureToken {
 public:
  // Copies the process-wide debugMode; in debug mode empties the trace log and writes its
  // first line.
  explicit SecureToken(os::TokenPlatform& platform);
  // In debug mode writes the last line and closes the trace log.
  ~SecureToken();
  SecureToken(const SecureToken&) = delete;
  SecureToken& operator=(const SecureToken&) = delete;

  // Loads the configuration file at `path` and settles trueCryptPath, keyFilePath,
  // containerPath and targetDrive (and ifUsed when the target letter is taken).
  int CheckConfig(const char16_t* path);
  // Scans the drives in passes 2000 ms apart until a removable drive holds a configuration
  // that CheckConfig accepts. Returns the result of the last check made (0 once accepted),
  // -1 when none was made. Also returns, with tokenPresent clear, when the first reading of
  // the drive mask is zero; and, with tokenPresent as the last pass left it and
  // stopRequested set, when a stop was requested during a pause.
  int FindToken();
  // Starts the mount and returns without waiting for it.
  void OpenContainer();
  // Tests every 3000 ms that the configuration file is still there; returns one pause after
  // the test that misses it, or early when a stop is requested.
  void CheckToken();
  // Starts the dismount and waits for it to end.
  void CloseContainer();

  // Plain data: read by the operations and by tests.
  char16_t configPath[kPathCapacity] = {};
  char16_t keyFilePath[kPathCapacity] = {};
  char16_t containerPath[kPathCapacity] = {};
  char16_t trueCryptPath[kPathCapacity] = {};
  char16_t targetDrive[2] = {};
  char16_t ifUsed[2] = {};
  bool tokenPresent = false;
  bool traceEnabled = false;
  // Set when a pause of FindToken or CheckToken ended because a stop was requested.
  bool stopRequested = false;
  TraceLog trace;
  char16_t tracePath[32] = {};

 private:
  // A line ended by end-of-line (written and flushed at once). Nothing is formatted while
  // tracing is off.
  template <typename... Pieces>
  void TraceLine(const Pieces&... pieces) {
    if (!traceEnabled) return;
    (trace << ... << pieces);
    trace.EndLine();
  }
  // Text whose literal closes the line itself with "\n": it stays unflushed until the next
  // line ended by end-of-line, or the close.
  template <typename... Pieces>
  void TraceText(const Pieces&... pieces) {
    if (!traceEnabled) return;
    (trace << ... << pieces);
  }

  os::TokenPlatform& platform_;
};

}  // namespace kvn
