// The rest of one turn: OpenContainer arms the dismount and starts the mount, CheckToken
// watches the stick, CloseContainer ends the mount and dismounts (token/dismount.h).
#include <string>
#include <utility>

#include "common/strings.h"
#include "rules/command_line.h"
#include "token/secure_token.h"

namespace kvn {

namespace {
constexpr std::uint32_t kWatchPause = 3000;  // ms after every presence test
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
  // The dismount is made first, suspended: no mount runs without a dismount that needs nothing
  // at the pull, and should another program hold the tool's file (an oplock, an open that shares
  // nothing), the mount does not start either. The mount's child is kept, so that its end is
  // seen and the dismount can wait for it.
  if (mountChild_ != nullptr) platform_.CloseProcess(mountChild_);
  mountChild_ = nullptr;
  if (dismount_.Arm(trueCryptPath)) {
    mountChild_ = platform_.StartProcess(trueCryptPath, commandLine.c_str(), false);
  }
  if (mountChild_ == nullptr) {
    // Nothing was mounted: the next pass judges the stick afresh and tries again, for as long
    // as it stays in (the failure is written once for it). The record goes back to what it
    // was: none, or a volume that is still to be closed.
    const std::uint32_t error = platform_.GetLastError();
    dismount_.Disarm();
    TraceLine("TrueCrypt not started, error ", error);
    held_.clear();
    tokenPresent = false;
    dismount_.RestoreRecord();
    if (!mountFailed_ || mountFailure_ != stamp_) {
      mountFailed_ = true;
      mountFailure_ = stamp_;
      Report(events::kMountNotStarted, {trueCryptPath, Decimal(error)});
    }
    return false;
  }
  mountStarted_ = true;
  // This mount's own dismount closes every volume: nothing earlier is left to retry.
  dismount_.TakeOver();
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
    // drive not ready. So does another volume at the stick's letter, or one that cannot say
    // which it is: the stick that was accepted is the one that keeps the volume open.
    VolumeIdentity volume;
    std::uint32_t error = 0;
    const char* unread = nullptr;
    if (!platform_.FindFile(configPath).found) {
      TraceLine("Token removed!");
      tokenPresent = false;
    } else if ((unread = ReadVolumeIdentity(platform_, configPath[0], volume, error)) != nullptr) {
      TraceLine("Token removed: ", unread, ", error ", error, ": ", root.c_str());
      tokenPresent = false;
    } else if (volume != stamp_.volume) {
      TraceLine("Token removed: another volume at ", root.c_str());
      tokenPresent = false;
    } else {
      TraceLine("SecureToken: Token available!");
    }
    if (!tokenPresent) Report(events::kStickPulled, {root.substr(0, 2), containerPath});
    if (waits.Pause(kWatchPause)) return;
  }
}

void SecureToken::CloseContainer() {
  TraceLine("CloseContainer!");
  mountStarted_ = false;
  EndMount();
  held_.clear();
  dismount_.AfterPull({targetDrive, containerPath, trueCryptPath},
                      std::exchange(mountChild_, nullptr));
}

// A mount that ends after the dismount would leave the volume open with the stick gone: it is
// waited for, and one that outlasts its limit (or, once a stop is requested, the stop's budget)
// is ended and given a moment to go. One that still runs is handed to the dismount, which
// keeps the record until it has ended.
void SecureToken::EndMount() {
  if (mountChild_ == nullptr) return;
  const ChildWaits::End end = waits.WaitFor(mountChild_, kMountWaitLimit);
  if (end == ChildWaits::End::kEnded) {
    PollMount();
    return;
  }
  platform_.EndProcess(mountChild_);
  platform_.Wait(mountChild_, nullptr, kEndWaitLimit);
  PollMount(end == ChildWaits::End::kLimit ? kMountWaitLimit / 1000 : waits.secondsWaited());
}

void SecureToken::PollMount(std::uint32_t endedAfter) {
  if (mountChild_ == nullptr ||
      platform_.Wait(mountChild_, nullptr, 0) != os::WaitResult::kChildEnded) {
    return;
  }
  const ChildEnd end = EndOf(platform_, mountChild_);
  platform_.CloseProcess(std::exchange(mountChild_, nullptr));
  held_.clear();
  if (endedAfter != 0) {
    Report(events::kMountEndedByService, {containerPath, targetDrive, Decimal(endedAfter)});
  } else {
    Report(end.success ? events::kMountEnded : events::kMountFailed,
           {containerPath, targetDrive, end.code});
  }
}

void SecureToken::ReadMountRecord() { dismount_.ReadRecord(); }

void SecureToken::RetryDismount() {
  if (!dismount_.Due(trust_.Trusted(), signatures_)) return;
  TraceLine("CloseContainer!");
  dismount_.RunDue();
}

}  // namespace kvn
