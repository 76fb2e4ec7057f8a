// The token watcher: finds the USB stick that carries kvn.ini, checks its configuration,
// mounts the container, watches the stick and dismounts once it is gone. In debug mode every
// step writes one line to the trace log C:\Trace\kvn.log.
//
// One object lives for the whole run of the watch cycle and is used by that thread alone.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/events.h"
#include "os/token_platform.h"
#include "token/child_waits.h"
#include "token/dismount.h"
#include "token/held_entry.h"
#include "token/refusal_log.h"
#include "token/signature_check.h"
#include "token/trace_log.h"
#include "token/trust_policy.h"
#include "token/volume_identity.h"

namespace kvn {

class ConfigFile;

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
// A kvn.ini larger than this is refused unread: a real one holds a few hundred bytes.
inline constexpr std::uint64_t kMaxConfigBytes = std::uint64_t{64} * 1024;
// How long the dismount waits for a mount that is still running; then the mount is ended.
inline constexpr std::uint32_t kMountWaitLimit = 120000;  // ms

class SecureToken {
 public:
  // Copies the process-wide debugMode; in debug mode empties the trace log and writes its
  // first line.
  explicit SecureToken(os::TokenPlatform& platform);
  // In debug mode writes the last line and closes the trace log. A mount child still held is
  // left to itself; a dismount armed and never resumed is ended.
  ~SecureToken();
  SecureToken(const SecureToken&) = delete;
  SecureToken& operator=(const SecureToken&) = delete;

  // Loads the configuration file at `path` and settles trueCryptPath, keyFilePath,
  // containerPath and targetDrive (and ifUsed when the target letter is taken).
  int CheckConfig(const char16_t* path);
  // Scans the drives in passes 2000 ms apart until a removable drive holds a configuration
  // that CheckConfig accepts; a mount record read by ReadMountRecord is settled after the
  // first pass. Returns the result of the last check made (0 once accepted),
  // -1 when none was made. Also returns, with tokenPresent clear, when the first reading of
  // the drive mask is zero; and, with tokenPresent as the last pass left it and
  // waits.stopRequested set, when a stop was requested during a pause.
  int FindToken();
  // Records the mount, arms its dismount (see token/dismount.h), starts the mount and returns
  // without waiting for it; its child is kept so that its end is seen (its exit code reported,
  // what the check held released) and the dismount can wait for it. False when either child
  // could not be made: tokenPresent is then cleared, so that the next scan judges the stick
  // afresh and tries again.
  bool OpenContainer();
  // Whether a mount was started in this turn and its dismount has not begun.
  bool mountStarted() const { return mountStarted_; }
  // Tests every 3000 ms that the configuration file is still there, on the volume that was
  // accepted (VolumeIdentity); returns one pause after the test that misses it, or early when a
  // stop is requested.
  void CheckToken();
  // Waits until the mount has ended, ending one that outlasts kMountWaitLimit ms (or, once a
  // stop is requested, the stop's budget), then dismounts (token/dismount.h): once a dismount
  // that started after the mount had ended has ended with 0, the mount record is cleared, else
  // it is kept and the dismount tried again (RetryDismount).
  void CloseContainer();
  // Reads the record of a mount that an earlier run may have left open (the process ended
  // before its dismount). One that can stand for a mount is dismounted after the first scan
  // pass that accepts no stick; one that cannot is cleared.
  void ReadMountRecord();
  // After a scan pass that accepted no stick: tries the dismount of a volume that may still
  // be open (a record read at start, or a dismount that could not start or failed), when its
  // turn has come. Its program is judged afresh first.
  void RetryDismount();

  // Plain data: read by the operations and by tests.
  char16_t configPath[kPathCapacity] = {};
  char16_t keyFilePath[kPathCapacity] = {};
  char16_t containerPath[kPathCapacity] = {};
  char16_t trueCryptPath[kPathCapacity] = {};
  char16_t targetDrive[2] = {};
  char16_t ifUsed[2] = {};
  bool tokenPresent = false;
  bool traceEnabled = false;
  // The pauses and the waits for children, with whether a stop ended one.
  ChildWaits waits;
  // Receives what happened, for the event log. May be empty (debug mode).
  std::function<void(const Event&)> reportEvent;
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

  // The line that ends a failed check, traced and kept as the reason of the refusal.
  template <typename... Pieces>
  int Refuse(int result, const Pieces&... pieces) {
    refusal_.clear();
    (Append(refusal_, pieces), ...);
    TraceLine(refusal_.c_str());
    return result;
  }
  static void Append(std::u16string& line, const char* text);
  static void Append(std::u16string& line, const char16_t* text);
  static void Append(std::u16string& line, const std::u16string& text);
  static void Append(std::u16string& line, std::uint64_t number);
  void Report(EventKind kind, std::vector<std::u16string> strings);

  // The steps of CheckConfig; each returns ConfigOk or the result that ends the check.
  int CheckSteps(const char16_t* path);
  int LoadConfig(ConfigFile& config, const char16_t* path);
  int SettleProgram(const ConfigFile& config);
  int SettleKeyFile(const ConfigFile& config);
  int SettleContainer(const ConfigFile& config);
  int SettleTargetDrive(const ConfigFile& config);
  char16_t FirstFreeDrive();
  // The line that closes a check made during a scan.
  void TraceCheckResult(int result);
  // Writes the refusal of the stick at `letter` to the event log, as refusals_ lets it.
  void ReportRefusal(int result, char16_t letter);
  // How a walk down a path ended, and where.
  struct Walk {
    enum Outcome { kComplete, kNotThere, kLink, kUnreadable };
    Outcome outcome = kNotThere;
    std::u16string path;      // the component it ended at
    std::uint32_t error = 0;  // the system's code, with kUnreadable
    os::EntryInfo info;       // of that component, when it was read
  };
  // Opens every component of the resolved, drive-absolute `path` below its root as itself,
  // from the root down, into `held` (the entry itself last, when it exists). Ends at the
  // first component that is a link (by its handle or by its search), that is not there, or
  // that gives any other answer.
  Walk HoldPath(const std::u16string& path, std::vector<HeldEntry>& held);
  // Why a 32-bit process on 64-bit Windows may not judge `fullPath` for the 64-bit tool, or
  // null.
  const char* Redirected(const std::u16string& fullPath);

  // Sees whether the mount has ended; if so, reports its exit code (or, when the service
  // ended it after waiting `endedAfter` s, that), closes it and releases what the check held.
  void PollMount(std::uint32_t endedAfter = 0);
  // Waits for the mount to end, and ends one that outlasts its limit or a stop's budget.
  void EndMount();

  os::TokenPlatform& platform_;
  // Not debug mode: the children are told to show nothing (see OpenContainer).
  const bool serviceMode_;
  os::Handle mountChild_ = nullptr;  // the mount while it may still run
  bool mountStarted_ = false;        // from the mount's start to its dismount
  // The key file and the folders on its way (and a container's folders on a removable drive),
  // held from the accepting check until the mount has ended, so that nothing the check
  // looked at can be swapped before the tool opens it.
  std::vector<HeldEntry> held_;
  std::u16string refusal_;  // the line that ended the last failed check
  // Of the last check: the accepted stick's while it is watched, the scan stopping there.
  ConfigStamp stamp_;
  RefusalLog refusals_;  // which refusals are written
  // The dismount: armed with each mount, and a volume that may still be open until it is
  // closed.
  Dismounter dismount_;
  // Who besides the built-in accounts may change the program: an entry ignored is traced and
  // written once.
  TrustPolicy trust_;
  // Whether the program is its maker's, each file checked once.
  SignatureCheck signatures_;
  // The stick whose mount could not start, while it is tried again: written once for it.
  bool mountFailed_ = false;
  ConfigStamp mountFailure_;
};

}  // namespace kvn
