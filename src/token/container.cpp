// The rest of one turn: OpenContainer starts the mount, CheckToken watches the stick,
// CloseContainer dismounts; and the waits they share with FindToken.
#include <algorithm>
#include <string>

#include "common/process_state.h"
#include "token/command_line.h"
#include "token/secure_token.h"

namespace kvn {

namespace {
constexpr std::uint32_t kWatchPause = 3000;  // ms after every presence test
constexpr std::uint32_t kForever = 0xFFFFFFFF;
}  // namespace

void SecureToken::OpenContainer() {
  TraceLine("OpenContainer!");
  // Every value stays one argument, whatever blanks or quotes the stick put into it.
  const std::u16string commandLine = BuildCommandLine(
      trueCryptPath,
      {u"/a", u"/q", u"/l", targetDrive, u"/m", u"rm", u"/v", containerPath, u"/k", keyFilePath});
  TraceLine("_P_NOWAIT,TruecryptPath, KeyPath: ", commandLine.c_str());
  // A child that cannot be started is not noticed: the watch begins all the same. One that
  // started is kept, so that the dismount can wait for it to end.
  if (mountChild_ != nullptr) platform_.CloseProcess(mountChild_);
  mountChild_ = platform_.StartProcess(trueCryptPath, commandLine.c_str());
}

void SecureToken::CheckToken() {
  TraceLine("SecureToken::CheckToken!");
  TraceLine("ConfigPath: ", configPath);
  while (tokenPresent) {
    // Any failure of the search counts as removal: the file gone, the stick pulled, the
    // drive not ready.
    if (!platform_.FindFile(configPath).found) {
      TraceLine("Token removed!");
      tokenPresent = false;
    } else {
      TraceLine("SecureToken: Token available!");
    }
    if (Pause(kWatchPause)) {
      stopRequested = true;
      return;
    }
  }
}

void SecureToken::CloseContainer() {
  TraceLine("CloseContainer!");
  // A mount that ends after the dismount would leave the volume open with the stick gone.
  if (mountChild_ != nullptr) {
    WaitForChild(mountChild_, kMountWaitLimit);
    platform_.CloseProcess(mountChild_);
    mountChild_ = nullptr;
  }
  const std::u16string commandLine = BuildCommandLine(trueCryptPath, {u"/a", u"/q", u"/d", u"/f"});
  if (const os::Handle dismount = platform_.StartProcess(trueCryptPath, commandLine.c_str())) {
    WaitForChild(dismount, kForever);
    platform_.CloseProcess(dismount);
  }
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
// the budget is spent is left to itself so that the stop can finish.
void SecureToken::WaitForChild(os::Handle child, std::uint32_t limit) {
  if (!stopRequested) {
    if (platform_.Wait(child, process.stopEvent.load(), limit) != os::WaitResult::kStopped) return;
    stopRequested = true;
  }
  for (std::uint32_t slice = 0;;) {  // the first look does not wait
    if (platform_.Wait(child, nullptr, slice) != os::WaitResult::kTimedOut) return;
    if (stopWaitLeft_ == 0) return;
    slice = std::min(stopWaitLeft_, kStopReportInterval);
    stopWaitLeft_ -= slice;
    if (reportStopProgress) reportStopProgress(2 * kStopReportInterval);
  }
}

}  // namespace kvn
