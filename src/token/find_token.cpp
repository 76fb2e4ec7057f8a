// FindToken: scans the drive letters in passes 2000 ms apart until a removable drive holds a
// configuration that CheckConfig accepts.
#include "common/strings.h"
#include "token/secure_token.h"

namespace kvn {

namespace {
constexpr std::uint32_t kPassPause = 2000;  // ms after every pass
constexpr int kNoCheckMade = -1;
}  // namespace

// The line that closes a check made during a scan.
void SecureToken::TraceCheckResult(int result) {
  switch (result) {
    case ConfigOk:
      TraceText("configfile found and OK!\n");
      break;
    case ConfigUnreadable:
      TraceText("cannot open configfile!\n");
      break;
    case TrueCryptNotFound:
      TraceLine("TrueCrypt not found!: ", trueCryptPath);
      break;
    case KeyFileNotFound:
      TraceLine("Keyfile not found!: ", keyFilePath);
      break;
    case ContainerNotFound:
      TraceLine("Container not found!: ", containerPath);
      break;
    case TargetDriveInUse:
      TraceLine("Target Drive already used! ", targetDrive);
      break;
    case NoFreeDriveLetter:
      TraceText("No free drive letter available!\n");
      break;
    default:
      break;
  }
}

// A refused stick is checked again on every pass; the event log hears of it as refusals_ lets
// it, the count of those left out before it appended.
void SecureToken::ReportRefusal(int result, char16_t letter) {
  std::uint64_t leftOut = 0;
  if (!refusals_.Admit(letter, stamp_, refusal_, platform_.TickCount(), leftOut)) return;
  const std::u16string stick = {letter, u':'};
  const std::u16string more =
      leftOut == 0
          ? u""
          : u" (" + Decimal(leftOut) + u" more at this letter in the minute before, not written)";
  if (result == TargetDriveInUse) {
    Report(events::kTargetInUse, {stick, targetDrive, more});
  } else {
    Report(events::kStickRefused, {stick, refusal_, more});
  }
}

int SecureToken::FindToken() {
  int result = kNoCheckMade;
  const std::uint32_t firstMask = platform_.GetDrives();
  // Taken before any trace write can disturb it; it means something only when the mask is 0.
  const std::uint32_t maskError = platform_.GetLastError();
  TraceLine("SecureToken::FindToken!");
  // No drives at all, or a token already present: nothing to scan.
  if (firstMask == 0) TraceLine("_getdrives() failed with failure code: ", maskError);

  while (firstMask != 0 && !tokenPresent) {
    char16_t root[] = u"A:\\";
    configPath[0] = root[0];
    TraceLine("Waiting, looking for config: ", configPath);
    refusals_.StartPass();
    for (std::uint32_t mask = platform_.GetDrives(); mask != 0 && !tokenPresent;) {
      if ((mask & 1u) != 0) {
        configPath[0] = root[0];
        const std::uint32_t type = platform_.GetDriveType(root);
        TraceLine("DriveType:  ", root, " ", type);
        TraceLine("ConfigPath: ", configPath);
        // A and B are floppy letters; only removable drives can be the token.
        if (root[0] != u'A' && root[0] != u'B' && type == os::kDriveRemovable) {
          const os::SearchResult search = platform_.FindFile(configPath);
          if (!search.found) {
            TraceLine("Invalid File Handle. GetLastError reports: ", search.error);
          } else {
            result = CheckConfig(configPath);
            TraceCheckResult(result);
            tokenPresent = (result == ConfigOk);
            if (!tokenPresent) {
              ReportRefusal(result, root[0]);
            }
          }
        }
      }
      if (tokenPresent) break;  // root and configPath stay on the accepted drive
      ++root[0];
      mask >>= 1;
    }
    // A volume that may still be open (left by an earlier run, or by a dismount that could
    // not start or failed) is closed as after a pull, unless a stick was accepted: its mount
    // carries the record on.
    if (!tokenPresent) RetryDismount();
    // Every pass ends with the pause, the accepting one included. A stop ends the scan at
    // once, with tokenPresent as it stands.
    if (waits.Pause(kPassPause)) break;
  }
  TraceLine("ConfigPath at end of FindToken: ", configPath);
  return result;
}

}  // namespace kvn
