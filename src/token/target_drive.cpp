// The drive letter of the mount: TargetDrive as given, the first free letter for "0", and
// the IfUsed policy for a letter that is taken.
#include "config/config_file.h"
#include "token/secure_token.h"

namespace kvn {

namespace {

// The first character of `value` (absent counts as empty) into a one-letter field.
void CopyFirstCharacter(char16_t (&dest)[2], const char16_t* value) {
  dest[0] = value != nullptr ? value[0] : u'\0';
  dest[1] = u'\0';
}

// Whether `letter` is in use in `mask`. Upper case alone names drive letters: anything below
// "A" is free, and any unit above the 32 bits of the mask (lower case included) reads as a
// clear bit.
bool LetterInUse(char16_t letter, std::uint32_t mask) {
  if (letter < u'A') return false;
  const unsigned bit = static_cast<unsigned>(letter - u'A');
  return bit < 32 && ((mask >> bit) & 1u) != 0;
}

}  // namespace

// The drive letter of the mount.
int SecureToken::SettleTargetDrive(const ConfigFile& config) {
  TraceText("GetValue for TargetDrive\n");
  CopyFirstCharacter(targetDrive, config.GetValue(u"Config", u"TargetDrive"));
  TraceLine("TargetDrive: ", targetDrive);

  const char16_t firstFreeDrive[] = {FirstFreeDrive(), u'\0'};
  if (firstFreeDrive[0] > u'Z') {
    TraceLine("FirstFreeDrive is: ", firstFreeDrive);
    TraceText("No free drive letter available!\n");
    refusal_ = u"No free drive letter available!";
    return NoFreeDriveLetter;
  }

  // The in-use test reads the mask afresh: a drive that came or went since the first
  // reading is seen differently by the two.
  const std::uint32_t inUseMask = platform_.GetDrives();
  if (targetDrive[0] == u'0') {
    targetDrive[0] = firstFreeDrive[0];
    TraceText("TargetDrive set to FirstFreeDrive.\n");
    return ConfigOk;
  }
  if (!LetterInUse(targetDrive[0], inUseMask)) {
    TraceText("TargetDrive is free.\n");
    return ConfigOk;
  }

  TraceLine("TargetDrive already in use, Targetdrive: ", targetDrive);
  CopyFirstCharacter(ifUsed, config.GetValue(u"Config", u"IfUsed"));
  TraceLine("After GetValue for IfUsed: ", ifUsed, " :");
  if (ifUsed[0] == u'0') return Refuse(TargetDriveInUse, "Do nothing, Targetdrive: ", targetDrive);
  if (ifUsed[0] == u'1') {
    targetDrive[0] = firstFreeDrive[0];
    TraceText("TargetDrive set to FirstFreeDrive.\n");
  }
  // Any other policy keeps the letter that is in use; the mount then fails in the tool.
  return ConfigOk;
}

// The lowest letter whose bit is clear below the highest letter in use, else the letter just
// above it (past "Z" when every letter is in use).
char16_t SecureToken::FirstFreeDrive() {
  char16_t walking[] = u"A";
  char16_t firstFreeDrive[] = u"A";
  bool searching = true;
  for (std::uint32_t mask = platform_.GetDrives(); mask != 0; mask >>= 1) {
    if ((mask & 1u) == 0 && searching) {
      firstFreeDrive[0] = walking[0];
      searching = false;
      TraceLine("FirstFreeDrive is: ", firstFreeDrive);
    }
    ++walking[0];
  }
  if (searching) {
    firstFreeDrive[0] = walking[0];
    TraceLine("FirstFreeDrive: ", firstFreeDrive);
  }
  return firstFreeDrive[0];
}

}  // namespace kvn
