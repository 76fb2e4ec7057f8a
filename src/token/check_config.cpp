// CheckConfig: loads kvn.ini from one drive, settles the three paths and the drive letter of
// the mount, and says whether the mount can be made.
//
// The stick is written by whoever holds it, and the service runs with full rights: nothing
// it names may make the service reach the network, a device or a link. Each value is judged
// on its text first and touched only once it passed.
#include <string>
#include <string_view>

#include "common/strings.h"
#include "config/config_file.h"
#include "token/held_entry.h"
#include "token/program_rule.h"
#include "token/secure_token.h"

namespace kvn {

namespace {

// Longest Key value: the drive root (3 units) and the value fill a 260-unit path.
constexpr std::size_t kKeyCapacity = 257;  // 256 units and the terminator
constexpr std::size_t kRootLength = 3;     // "E:\"

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// A reparse point that stands for another name: a symbolic link, a junction or a volume mount
// point (the tags Windows marks as name surrogates), or one whose tag is unknown. Reparse
// points that only keep data (deduplication, cloud placeholders, compression) are not links.
bool IsLink(std::uint32_t attributes, std::uint32_t tag) {
  constexpr std::uint32_t kNameSurrogate = 0x20000000;
  return (attributes & os::kAttributeReparsePoint) != 0 &&
         (tag == 0 || (tag & kNameSurrogate) != 0);
}
bool IsLink(const os::SearchResult& entry) { return IsLink(entry.attributes, entry.reparseTag); }

// A path exists when a search for it finds an entry, a file or a folder; wildcards match as
// in a listing. A path ending in a backslash, a bare drive root included, never exists: the
// search would look for an empty name.
bool Exists(os::TokenPlatform& platform, const char16_t* path) {
  const std::size_t length = Length(path);
  if (length > 0 && path[length - 1] == u'\\') return false;
  return platform.FindFile(path).found;
}

// "X:\" of a path that DriveAbsoluteRefusal let pass.
std::u16string DriveRoot(const char16_t* path) { return {path[0], u':', u'\\'}; }

// Why a container on a drive of `type` is refused, or null for a local drive.
const char* DriveTypeRefusal(std::uint32_t type) {
  switch (type) {
    case os::kDriveRemovable:
    case os::kDriveFixed:
    case os::kDriveCdRom:
    case os::kDriveRamDisk:
      return nullptr;
    case os::kDriveRemote:
      return "remote drive";
    case os::kDriveNoRootDir:
      return "no such drive";
    default:
      return "unknown drive type";
  }
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
  if (const int result = LoadConfig(config, path); result != ConfigOk) return result;
  TraceText("GetValue for TrueCrypt\n");
  if (const int result = SettleProgram(config); result != ConfigOk) return result;
  TraceLine("TrueCryptPath: ", trueCryptPath);
  TraceText("GetValue for Key\n");
  if (const int result = SettleKeyFile(config); result != ConfigOk) return result;
  TraceLine("Keyfile found: ", keyFilePath);
  TraceText("GetValue for Container\n");
  if (const int result = SettleContainer(config); result != ConfigOk) return result;
  TraceLine("Container found: ", containerPath);
  return SettleTargetDrive(config);
}

// kvn.ini is read once, through the one handle whose kind and size were checked: a directory
// entry found a moment earlier proves nothing about the file opened now. It lies in the root
// of its drive, so its own entry is the only one on its way.
int SecureToken::LoadConfig(ConfigFile& config, const char16_t* path) {
  const HeldEntry entry(platform_, path != nullptr ? path : u"");
  os::EntryInfo info;
  if (path != nullptr && entry.get() != nullptr && platform_.ReadEntryInfo(entry.get(), info)) {
    if (IsLink(info.attributes, info.reparseTag)) {
      TraceLine("Configuration refused, link: ", path);
      return ConfigUnreadable;
    }
    std::string bytes;
    if ((info.attributes & os::kAttributeDirectory) == 0 && info.size <= kMaxConfigBytes &&
        platform_.ReadEntry(entry.get(), static_cast<std::size_t>(kMaxConfigBytes) + 1, bytes)) {
      if (bytes.size() > kMaxConfigBytes) info.size = bytes.size();
    }
    if (info.size > kMaxConfigBytes) {
      TraceLine("Configuration refused, larger than 65536 bytes: ", info.size, " bytes: ", path);
      return ConfigUnreadable;
    }
    if (!bytes.empty() && config.LoadText(bytes.data(), bytes.size()) == 0) return ConfigOk;
  }
  TraceText("Failed to open file.\n");
  return ConfigUnreadable;
}

// The program. The value as written and its full path are judged before anything is looked
// up for it, the long path after: see token/program_rule.h.
int SecureToken::SettleProgram(const ConfigFile& config) {
  const char16_t* value = config.GetValue(u"Truecrypt", u"Truecrypt");
  if (value == nullptr) {
    TraceLine("TrueCrypt not found. No value Truecrypt in section Truecrypt");
    return TrueCryptNotFound;
  }
  if (!CopyBounded(trueCryptPath, value)) {
    TraceLine("TrueCrypt not found. Value longer than 259 characters: ", trueCryptPath);
    return TrueCryptNotFound;
  }
  const auto refuse = [this](const char* why, const std::u16string& shown) {
    TraceLine("TrueCrypt refused, not an installed TrueCrypt or VeraCrypt: ", why, ": ",
              shown.empty() ? trueCryptPath : shown.c_str());
    return TrueCryptNotFound;
  };
  if (const char* why = ProgramSyntaxRefusal(trueCryptPath)) return refuse(why, {});
  const std::vector<std::u16string> folders = platform_.ProgramFilesFolders();
  std::u16string fullPath;
  if (trueCryptPath[0] != u'\0') {  // an empty value is never found
    fullPath = platform_.FullPathName(trueCryptPath);
    if (const char* why = InstalledProgramRefusal(fullPath, fullPath, folders)) {
      return refuse(why, fullPath);
    }
  }
  if (!Exists(platform_, trueCryptPath)) {
    TraceLine("TrueCrypt not found. Search string: ", trueCryptPath);
    return TrueCryptNotFound;
  }
  const std::u16string longPath = platform_.LongPathName(fullPath.c_str());
  if (const char* why = InstalledProgramRefusal(fullPath, longPath, folders)) {
    return refuse(why, !longPath.empty() ? longPath : fullPath);
  }
  return ConfigOk;
}

// The key file, relative to the root of the token's drive.
int SecureToken::SettleKeyFile(const ConfigFile& config) {
  CopyBounded(keyFilePath, std::u16string_view(configPath).substr(0, kRootLength));
  TraceText("SetValue Key Drive\n");
  const char16_t* value = config.GetValue(u"Config", u"Key");
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
  if (const std::u16string link = LinkOnRemovableDrive(keyFilePath); !link.empty()) {
    TraceLine("Keyfile refused, link on a removable drive: ", link.c_str());
    return KeyFileNotFound;
  }
  if (!Exists(platform_, keyFilePath)) {
    TraceLine("Keyfile not found. Search string: ", keyFilePath);
    return KeyFileNotFound;
  }
  return ConfigOk;
}

// The container: a drive-absolute path on a local drive, reached through no link.
int SecureToken::SettleContainer(const ConfigFile& config) {
  const char16_t* value = config.GetValue(u"Config", u"Container");
  if (value == nullptr) {
    TraceLine("Container not found. No value Container in section Config");
    return ContainerNotFound;
  }
  if (!CopyBounded(containerPath, value)) {
    TraceLine("Container not found. Value longer than 259 characters: ", containerPath);
    return ContainerNotFound;
  }
  if (containerPath[0] != u'\0') {
    const char* why = DriveAbsoluteRefusal(containerPath);
    if (why == nullptr)
      why = DriveTypeRefusal(platform_.GetDriveType(DriveRoot(containerPath).c_str()));
    if (why != nullptr) {
      TraceLine("Container refused, not on a local drive: ", why, ": ", containerPath);
      return ContainerNotFound;
    }
    if (const std::u16string link = LinkOnRemovableDrive(containerPath); !link.empty()) {
      TraceLine("Container refused, link on a removable drive: ", link.c_str());
      return ContainerNotFound;
    }
  }
  if (!Exists(platform_, containerPath)) {
    TraceLine("Container not found. Search string: ", containerPath);
    return ContainerNotFound;
  }
  return ConfigOk;
}

// The drive letter of the mount.
int SecureToken::SettleTargetDrive(const ConfigFile& config) {
  TraceText("GetValue for TargetDrive\n");
  CopyFirstCharacter(targetDrive, config.GetValue(u"Config", u"TargetDrive"));
  TraceLine("TargetDrive: ", targetDrive);

  const char16_t firstFreeDrive[2] = {FirstFreeDrive(), u'\0'};
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

// The lowest letter whose bit is clear below the highest letter in use, else the letter just
// above it (past "Z" when every letter is in use).
char16_t SecureToken::FirstFreeDrive() {
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
  return firstFreeDrive[0];
}

// `path` is drive-absolute ("X:\..."): the key file on its stick, or a container that
// passed DriveAbsoluteRefusal.
std::u16string SecureToken::LinkOnRemovableDrive(const char16_t* path) {
  const std::u16string_view text(path);
  if (platform_.GetDriveType(DriveRoot(path).c_str()) != os::kDriveRemovable) return {};
  for (std::size_t start = kRootLength; start < text.size();) {
    std::size_t end = start;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    const std::u16string_view name = text.substr(start, end - start);
    // "." and ".." are resolved on the text and never opened; empty names are skipped.
    if (!name.empty() && name != u"." && name != u"..") {
      const std::u16string component(text.substr(0, end));
      const os::SearchResult entry = platform_.FindFile(component.c_str());
      if (!entry.found) return {};  // the existence test reports it
      if (IsLink(entry)) return component;
    }
    start = end + 1;
  }
  return {};
}

}  // namespace kvn
