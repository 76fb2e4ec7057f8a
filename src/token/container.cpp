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
  std::uint32_t code = 0;
  if (!platform.ChildExitCode(child, code)) return {};
  return {Decimal(code), code == 0};
}
}  // namespace

void SecureToken::OpenContainer() {
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
  // A child that cannot be started is not noticed by the watch, which begins all the same.
  // One that started is kept, so that its end is seen and the dismount can wait for it.
  if (mountChild_ != nullptr) platform_.CloseProcess(mountChild_);
  mountChild_ = platform_.StartProcess(trueCryptPath, commandLine.c_str());
  if (mountChild_ == nullptr) {
    const std::uint32_t error = platform_.GetLastError();
    held_.clear();
    Report(events::kMountNotStarted, {trueCryptPath, Decimal(error)});
    return;
  }
  Report(events::kStickAccepted,
         {{configPath[0], u':'}, containerPath, targetDrive, trueCryptPath});
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
  // A mount that ends after the dismount would leave the volume open with the stick gone.
  if (mountChild_ != nullptr && WaitForChild(mountChild_, kMountWaitLimit, trueCryptPath)) {
    PollMount();
  }
  if (mountChild_ != nullptr) platform_.CloseProcess(mountChild_);
  mountChild_ = nullptr;
  held_.clear();
  Dismount(trueCryptPath);
}

void SecureToken::Dismount(const char16_t* program) {
  const std::u16string commandLine =
      serviceMode_ ? BuildCommandLine(program, {u"/a", u"/q", u"/s", u"/d", u"/f"})
                   : BuildCommandLine(program, {u"/a", u"/q", u"/d", u"/f"});
  const os::Handle dismount = platform_.StartProcess(program, commandLine.c_str());
  if (dismount == nullptr) {
    Report(events::kDismountNotStarted, {program, Decimal(platform_.GetLastError())});
    return;
  }
  if (WaitForChild(dismount, kForever, program)) {
    const ChildEnd end = EndOf(platform_, dismount);
    // Ended: nothing is left for a later start to close, whatever the tool made of it.
    platform_.DeleteMountRecord();
    Report(end.success ? events::kDismountEnded : events::kDismountFailed, {end.code});
  }
  platform_.CloseProcess(dismount);
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
    if (stopWaitLeft_ == 0) {
      Report(events::kStopLeftTool, {program, Decimal(kStopWaitLimit / 1000)});
      return false;
    }
    slice = std::min(stopWaitLeft_, kStopReportInterval);
    stopWaitLeft_ -= slice;
    if (reportStopProgress) reportStopProgress(2 * kStopReportInterval);
  }
}

}  // namespace kvn
