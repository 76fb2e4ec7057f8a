// CheckConfig: loads kvn.ini from one drive, settles the three paths and the drive letter of
// the mount, and says whether the mount can be made.
#include <string>
#include <string_view>

#include "common/strings.h"
#include "config/config_file.h"
#include "token/program_rule.h"
#include "token/secure_token.h"

namespace kvn {

namespace {

// Longest Key value: the drive root (3 units) and the value fill a 260-unit path.
constexpr std::size_t kKeyCapacity = 257;  // 256 units and the terminator
constexpr std::size_t kRootLength = 3;     // "E:\"

// A path exists when a search for it finds an entry, a file or a folder; wildcards match as
// in a listing. A path ending in a backslash, a bare drive root included, never exists: the
// search would look for an empty name.
bool Exists(os::TokenPlatform& platform, const char16_t* path) {
  const std::size_t length = Length(path);
  if (length > 0 && path[length - 1] == u'\\') return false;
  return platform.FindFile(path).found;
}

// The first character of `value` (absent counts as empty) into a one-letter field.
void CopyFirstCharacter(char16_t (&dest)[2], const char16_t* value) {
  const std::size_t count = (value != nullptr && value[0] != u'\0') ? 1 : 0;
  CopyBounded(dest, std::u16string_view(value != nullptr ? value : u"", count));
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

int SecureToken::CheckConfig(const char16_t* path) {
  ConfigFile config;
  TraceLine("Loading file: ", path);
  if (config.LoadFile(platform_, path) != 0) {
    TraceText("Failed to open file.\n");
    return ConfigUnreadable;
  }

  // The program. The value as written is judged before it is looked for, the resolved
  // program after: see token/program_rule.h.
  TraceText("GetValue for TrueCrypt\n");
  const char16_t* value = config.GetValue(u"Truecrypt", u"Truecrypt");
  if (value == nullptr) {
    TraceLine("TrueCrypt not found. No value Truecrypt in section Truecrypt");
    return TrueCryptNotFound;
  }
  if (!CopyBounded(trueCryptPath, value)) {
    TraceLine("TrueCrypt not found. Value longer than 259 characters: ", trueCryptPath);
    return TrueCryptNotFound;
  }
  if (const char* why = ProgramSyntaxRefusal(trueCryptPath)) {
    TraceLine("TrueCrypt refused, not an installed TrueCrypt or VeraCrypt: ", why, ": ",
              trueCryptPath);
    return TrueCryptNotFound;
  }
  if (!Exists(platform_, trueCryptPath)) {
    TraceLine("TrueCrypt not found. Search string: ", trueCryptPath);
    return TrueCryptNotFound;
  }
  {
    const std::u16string fullPath = platform_.FullPathName(trueCryptPath);
    const std::u16string longPath =
        fullPath.empty() ? std::u16string() : platform_.LongPathName(fullPath.c_str());
    if (const char* why =
            InstalledProgramRefusal(fullPath, longPath, platform_.ProgramFilesFolders())) {
      const std::u16string& shown = !longPath.empty() ? longPath : fullPath;
      TraceLine("TrueCrypt refused, not an installed TrueCrypt or VeraCrypt: ", why, ": ",
                shown.empty() ? trueCryptPath : shown.c_str());
      return TrueCryptNotFound;
    }
  }
  TraceLine("TrueCryptPath: ", trueCryptPath);
  TraceText("GetValue for Key\n");

  // The key file, relative to the root of the token's drive.
  CopyBounded(keyFilePath, std::u16string_view(configPath).substr(0, kRootLength));
  TraceText("SetValue Key Drive\n");
  value = config.GetValue(u"Config", u"Key");
  if (value == nullptr) {
    TraceLine("Keyfile not found. No value Key in section Config");
    return KeyFileNotFound;
  }
  const std::size_t root = Length(keyFilePath);
  if (!CopyBounded(keyFilePath + root, kKeyCapacity, value)) {
    TraceLine("Keyfile not found. Value longer than 256 characters: ", keyFilePath);
    return KeyFileNotFound;
  }
  TraceText("SetValue Key file\n");
  if (!Exists(platform_, keyFilePath)) {
    TraceLine("Keyfile not found. Search string: ", keyFilePath);
    return KeyFileNotFound;
  }
  TraceLine("Keyfile found: ", keyFilePath);
  TraceText("GetValue for Container\n");

  // The container.
  value = config.GetValue(u"Config", u"Container");
  if (value == nullptr) {
    TraceLine("Container not found. No value Container in section Config");
    return ContainerNotFound;
  }
  if (!CopyBounded(containerPath, value)) {
    TraceLine("Container not found. Value longer than 259 characters: ", containerPath);
    return ContainerNotFound;
  }
  if (!Exists(platform_, containerPath)) {
    TraceLine("Container not found. Search string: ", containerPath);
    return ContainerNotFound;
  }
  TraceLine("Container found: ", containerPath);

  // The drive letter of the mount.
  TraceText("GetValue for TargetDrive\n");
  CopyFirstCharacter(targetDrive, config.GetValue(u"Config", u"TargetDrive"));
  TraceLine("TargetDrive: ", targetDrive);

  // FirstFreeDrive: the lowest letter whose bit is clear below the highest letter in use,
  // else the letter just above it.
  char16_t walking[2] = u"A";
  char16_t firstFreeDrive[2] = u"A";
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
  if (firstFreeDrive[0] > u'Z') {
    TraceLine("FirstFreeDrive is: ", firstFreeDrive);
    TraceText("No free drive letter available!\n");
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
  if (ifUsed[0] == u'0') {
    TraceLine("Do nothing, Targetdrive: ", targetDrive);
    return TargetDriveInUse;
  }
  if (ifUsed[0] == u'1') {
    targetDrive[0] = firstFreeDrive[0];
    TraceText("TargetDrive set to FirstFreeDrive.\n");
  }
  // Any other policy keeps the letter that is in use; the mount then fails in the tool.
  return ConfigOk;
}

}  // namespace kvn
