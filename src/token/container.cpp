// The rest of one turn: OpenContainer starts the mount, CheckToken watches the stick,
// CloseContainer dismounts; the waits they share with FindToken; and the record that lets a
// later start close a volume this process could not.
#include <algorithm>
#include <string>

#include "common/process_state.h"
#include "common/strings.h"
#include "rules/command_line.h"
#include "token/secure_token.h"

namespace kvn {

namespace {
constexpr std::uint32_t kWatchPause = 3000;  // ms after every presence test
constexpr std::uint32_t kForever = 0xFFFFFFFF;

// How a child that has ended ended: its exit code as text, and whether that is 0.
struct ChildEnd {
  std::u16string code = u"unknown";
  bool success = false;
};
ChildEnd EndOf(os::TokenPlatform& platform, os::Handle child) {
  std::uint32_t code{};  // meaningful only once the call has answered
  if (!platform.ChildExitCode(child, code)) return {};
  return {Decimal(code), code == 0};
}
}  // namespace

bool SecureToken::OpenContainer() {
  TraceLine("OpenContainer!");
  // Every value stays one argument, whatever blanks or quotes the stick put into it. A service
  // runs where nobody sees a window (session 0): there the tool is told to show none (/s) and
  // that the key file is the whole key (/p with an empty password), so that it never waits on
  // a prompt. In debug mode a user sees and answers whatever it asks.
  const std::u16string commandLine =
      serviceMode_
          ? BuildCommandLine(trueCryptPath, {u"/a", u"/q", u"/s", u"/l", targetDrive, u"/m", u"rm",
                                             u"/v", containerPath, u"/k", keyFilePath, u"/p", u""})
          : BuildCommandLine(trueCryptPath, {u"/a", u"/q", u"/l", targetDrive, u"/m", u"rm", u"/v",
                                             containerPath, u"/k", keyFilePath});
  TraceLine("_P_NOWAIT,TruecryptPath, KeyPath: ", commandLine.c_str());
  // Recorded before the mount starts, so that a volume this process cannot close (it dies
  // while mounted) is closed by the next start. A record that cannot be written stops
  // nothing.
  const std::u16string record =
      std::u16string(targetDrive) + u"|" + containerPath + u"|" + trueCryptPath;
  platform_.WriteMountRecord(record.c_str());
  // The child is kept, so that its end is seen and the dismount can wait for it.
  if (mountChild_ != nullptr) platform_.CloseProcess(mountChild_);
  mountChild_ = platform_.StartProcess(trueCryptPath, commandLine.c_str());
  if (mountChild_ == nullptr) {
    // Nothing was mounted: the next pass judges the stick afresh and tries again, for as long
    // as it stays in (the failure is written once for it). The record goes back to what it
    // was: none, or a volume that is still to be closed.
    const std::uint32_t error = platform_.GetLastError();
    TraceLine("TrueCrypt not started, error ", error);
    held_.clear();
    tokenPresent = false;
    if (pending_.empty()) {
      platform_.DeleteMountRecord();
    } else {
      platform_.WriteMountRecord((pending_[0] + u"|" + pending_[1] + u"|" + pending_[2]).c_str());
    }
    if (!mountFailed_ || mountFailure_ != stamp_) {
      mountFailed_ = true;
      mountFailure_ = stamp_;
      Report(events::kMountNotStarted, {trueCryptPath, Decimal(error)});
    }
    return false;
  }
  mountStarted_ = true;
  // This mount's own dismount closes every volume: nothing earlier is left to retry.
  pending_.clear();
  mountFailed_ = false;
  Report(events::kStickAccepted,
         {{configPath[0], u':'}, containerPath, targetDrive, trueCryptPath});
  return true;
}

void SecureToken::CheckToken() {
  TraceLine("SecureToken::CheckToken!");
  TraceLine("ConfigPath: ", configPath);
  const std::u16string root = {configPath[0], u':', u'\\'};
  while (tokenPresent) {
    PollMount();
    // Any failure of the search counts as removal: the file gone, the stick pulled, the
    // drive not ready. So does another volume at the stick's letter: the stick that was
    // accepted is the one that keeps the volume open.
    os::VolumeFacts volume;
    if (!platform_.FindFile(configPath).found) {
      TraceLine("Token removed!");
      tokenPresent = false;
    } else if (!platform_.VolumeInfo(root.c_str(), volume) || volume.serial != stamp_.volume) {
      TraceLine("Token removed: another volume at ", root.c_str());
      tokenPresent = false;
    } else {
      TraceLine("SecureToken: Token available!");
    }
    if (!tokenPresent) Report(events::kStickPulled, {root.substr(0, 2), containerPath});
    if (Pause(kWatchPause)) {
      stopRequested = true;
      return;
    }
  }
}

void SecureToken::CloseContainer() {
  TraceLine("CloseContainer!");
  mountStarted_ = false;
  // A mount that ends after the dismount would leave the volume open with the stick gone.
  if (mountChild_ != nullptr && WaitForChild(mountChild_, kMountWaitLimit, trueCryptPath)) {
    PollMount();
  }
  if (mountChild_ != nullptr) platform_.CloseProcess(mountChild_);
  mountChild_ = nullptr;
  held_.clear();
  // One that could not start is tried again after the next pass's pause, one that failed a few
  // passes later, until one ends with 0: the record is kept until then. The first pass
  // follows at once, hence one pass more. Its failures are written afresh.
  const std::vector<std::u16string> record = {targetDrive, containerPath, trueCryptPath};
  lastFailure_.clear();
  switch (Dismount(trueCryptPath)) {
    case DismountEnd::kNotStarted:
      KeepForDismount(record, 2, 0);
      break;
    case DismountEnd::kFailed:
      KeepForDismount(record, kPassesBetweenFailedRuns + 1, 1);
      break;
    default:
      break;
  }
}

SecureToken::DismountEnd SecureToken::Dismount(const char16_t* program) {
  const std::u16string commandLine =
      serviceMode_ ? BuildCommandLine(program, {u"/a", u"/q", u"/s", u"/d", u"/f"})
                   : BuildCommandLine(program, {u"/a", u"/q", u"/d", u"/f"});
  const os::Handle dismount = platform_.StartProcess(program, commandLine.c_str());
  if (dismount == nullptr) {
    ReportOnce(events::kDismountNotStarted, {program, Decimal(platform_.GetLastError())});
    return DismountEnd::kNotStarted;
  }
  DismountEnd result = DismountEnd::kStillRunning;
  if (WaitForChild(dismount, kForever, program)) {
    const ChildEnd end = EndOf(platform_, dismount);
    if (end.success) {
      // Nothing is left for a later start to close.
      platform_.DeleteMountRecord();
      Report(events::kDismountEnded, {end.code});
      result = DismountEnd::kDone;
    } else {
      ReportOnce(events::kDismountFailed, {end.code});
      result = DismountEnd::kFailed;
    }
  }
  platform_.CloseProcess(dismount);
  return result;
}

void SecureToken::PollMount() {
  if (mountChild_ == nullptr ||
      platform_.Wait(mountChild_, nullptr, 0) != os::WaitResult::kChildEnded) {
    return;
  }
  const ChildEnd end = EndOf(platform_, mountChild_);
  platform_.CloseProcess(mountChild_);
  mountChild_ = nullptr;
  held_.clear();
  Report(end.success ? events::kMountEnded : events::kMountFailed,
         {containerPath, targetDrive, end.code});
}

bool SecureToken::Pause(std::uint32_t milliseconds) {
  switch (platform_.Wait(nullptr, process.stopEvent.load(), milliseconds)) {
    case os::WaitResult::kStopped:
      return true;
    case os::WaitResult::kFailed:
      // Still a pause: a watch cycle that stopped pausing would spin at full speed.
      platform_.Sleep(milliseconds);
      return false;
    default:
      return false;
  }
}

// Until a stop is requested the child is waited for up to `limit`. After that, the stop's
// own budget applies to every child together: while the child still runs, the wait goes on
// in slices, each announced to the service control manager, and a child still running when
// the budget is spent is left to itself so that the stop can finish. A wait that fails counts
// as the child's end, so that nothing hangs on it.
bool SecureToken::WaitForChild(os::Handle child, std::uint32_t limit, const char16_t* program) {
  if (!stopRequested) {
    switch (platform_.Wait(child, process.stopEvent.load(), limit)) {
      case os::WaitResult::kStopped:
        stopRequested = true;
        break;
      case os::WaitResult::kTimedOut:
        return false;
      default:
        return true;
    }
  }
  for (std::uint32_t slice = 0;;) {  // the first look does not wait
    if (platform_.Wait(child, nullptr, slice) != os::WaitResult::kTimedOut) return true;
    const std::uint32_t budget = process.stopWaitLimit.load();
    if (stopWaited_ >= budget) {
      Report(events::kStopLeftTool, {program, Decimal(stopWaited_ / 1000)});
      return false;
    }
    slice = std::min(budget - stopWaited_, kStopReportInterval);
    stopWaited_ += slice;
    if (reportStopProgress) reportStopProgress(2 * kStopReportInterval);
  }
}

}  // namespace kvn
