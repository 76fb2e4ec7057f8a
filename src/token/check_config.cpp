// CheckConfig: loads kvn.ini from one drive, settles the three paths and the drive letter of
// the mount, and says whether the mount can be made.
//
// The stick is written by whoever holds it, and the service runs with full rights: nothing
// it names may make the service reach the network, a device, a stream or a link, or start a
// program that others than administrators can change. Each value is judged on its text and
// on the full path the system forms from it first, touched only once it passed, and then
// judged on what the system reports for the objects opened as themselves.
#include <string>
#include <string_view>

#include "common/strings.h"
#include "config/config_file.h"
#include "rules/path_rule.h"
#include "rules/program_rule.h"
#include "token/held_entry.h"
#include "token/program_chain.h"
#include "token/secure_token.h"

namespace kvn {

namespace {

// Longest Key value: the drive root (3 units) and the value fill a 260-unit path.
constexpr std::size_t kKeyCapacity = 257;  // 256 units and the terminator
constexpr std::size_t kRootLength = 3;     // "E:\"

// A path exists when a search for it finds an entry, a file or a folder. One ending in a
// backslash (a bare drive root included) names no entry, so the search finds nothing. It is
// asked only of a path whose walk reached its last component, never of an empty one.
bool Exists(os::TokenPlatform& platform, const char16_t* path) {
  return platform.FindFile(path).found;
}

// "X:\" of a path that DriveAbsoluteRefusal let pass.
std::u16string DriveRoot(std::u16string_view path) { return {path[0], u':', u'\\'}; }

// Why a path is no drive-absolute path to a plain file, or null.
const char* TextRefusal(std::u16string_view path) {
  if (const char* why = DriveAbsoluteRefusal(path)) return why;
  return path.empty() ? nullptr : PlainPathRefusal(path);
}

}  // namespace

int SecureToken::CheckConfig(const char16_t* path) {
  const int result = CheckSteps(path);
  // What the check holds stays held only for the mount of an accepted stick.
  if (result != ConfigOk) held_.clear();
  return result;
}

int SecureToken::CheckSteps(const char16_t* path) {
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
// of its drive, so its own entry is the only one on its way. The volume it lies on, as its
// identity tells it from any other, is the one the presence test then asks for.
int SecureToken::LoadConfig(ConfigFile& config, const char16_t* path) {
  stamp_ = {};
  std::vector<HeldEntry> held;
  const EntryLook look = LookAt(platform_, path, held);
  if (look.outcome == EntryLook::kUnreadable) {
    return Refuse(ConfigUnreadable, "Configuration refused, cannot be read, error ", look.error,
                  ": ", path);
  }
  if (look.outcome == EntryLook::kRead) {
    os::EntryInfo info = look.info;
    stamp_.size = info.size;
    stamp_.lastWrite = info.lastWrite;
    if (IsLink(info.attributes, info.reparseTag)) {
      return Refuse(ConfigUnreadable, "Configuration refused, link: ", path);
    }
    std::string bytes;
    if ((info.attributes & os::kAttributeDirectory) == 0 && info.size <= kMaxConfigBytes) {
      if (!platform_.ReadEntry(held.back().get(), static_cast<std::size_t>(kMaxConfigBytes) + 1,
                               bytes)) {
        return Refuse(ConfigUnreadable, "Configuration refused, cannot be read, error ",
                      platform_.GetLastError(), ": ", path);
      }
      if (bytes.size() > kMaxConfigBytes) info.size = bytes.size();  // it grew, or was told wrong
    }
    if (info.size > kMaxConfigBytes) {
      return Refuse(ConfigUnreadable, "Configuration refused, larger than 65536 bytes: ", info.size,
                    " bytes: ", path);
    }
    std::uint32_t error = 0;
    if (const char* unread = ReadVolumeIdentity(platform_, path[0], stamp_.volume, error)) {
      return Refuse(ConfigUnreadable, "Configuration refused, ", unread, ", error ", error, ": ",
                    DriveRoot(path));
    }
    if (!bytes.empty() && config.LoadText(bytes.data(), bytes.size()) == 0) return ConfigOk;
  }
  TraceText("Failed to open file.\n");
  refusal_ = u"Failed to open file.";
  return ConfigUnreadable;
}

// The program: see rules/program_rule.h for the order of the steps.
int SecureToken::SettleProgram(const ConfigFile& config) {
  const char16_t* value = config.GetValue(u"Truecrypt", u"Truecrypt");
  if (value == nullptr) {
    return Refuse(TrueCryptNotFound,
                  "TrueCrypt not found. No value Truecrypt in section Truecrypt");
  }
  if (!CopyBounded(trueCryptPath, value)) {
    return Refuse(TrueCryptNotFound,
                  "TrueCrypt not found. Value longer than 259 characters: ", trueCryptPath);
  }
  const auto refuse = [this](const char* why, const std::u16string& shown) {
    return Refuse(TrueCryptNotFound,
                  "TrueCrypt refused, not an installed TrueCrypt or VeraCrypt: ", why, ": ",
                  shown.empty() ? std::u16string(trueCryptPath) : shown);
  };
  if (const char* why = TextRefusal(trueCryptPath)) return refuse(why, {});
  const std::vector<std::u16string> folders = platform_.ProgramFilesFolders();
  std::u16string fullPath;
  ChainVerdict chain{ChainVerdict::kNotThere, nullptr, {}, 0};  // an empty value is never found
  if (Length(trueCryptPath) != 0) {
    fullPath = platform_.FullPathName(trueCryptPath);
    if (const char* why = InstalledProgramRefusal(fullPath, folders)) {
      return refuse(why, fullPath);
    }
    chain = JudgeProgramChain(platform_, trust_.Trusted(), fullPath, &signatures_);
    if (chain.why != nullptr) {  // refused, or unreadable
      return Refuse(TrueCryptNotFound, "TrueCrypt refused, ", Reason(chain), ": ", chain.path);
    }
  }
  // Found only when the walk reached the program itself: a search that finds what the walk
  // did not may have gone through a link.
  if (chain.outcome == ChainVerdict::kNotThere || !Exists(platform_, trueCryptPath)) {
    return Refuse(TrueCryptNotFound, "TrueCrypt not found. Search string: ", trueCryptPath);
  }
  const std::u16string longPath = platform_.LongPathName(fullPath.c_str());
  if (const char* why = InstalledProgramRefusal(longPath, folders)) {
    return refuse(why, !longPath.empty() ? longPath : fullPath);
  }
  return ConfigOk;
}

// The key file, relative to the root of the token's drive: a plain file on the stick, reached
// through no link, and held with every folder on its way until the mount has ended.
int SecureToken::SettleKeyFile(const ConfigFile& config) {
  CopyBounded(keyFilePath, std::u16string_view(configPath).substr(0, kRootLength));
  TraceText("SetValue Key Drive\n");
  const char16_t* value = config.GetValue(u"Config", u"Key");
  if (value == nullptr) {
    return Refuse(KeyFileNotFound, "Keyfile not found. No value Key in section Config");
  }
  const std::size_t root = Length(keyFilePath);
  if (!CopyBounded(keyFilePath + root, kKeyCapacity, value)) {
    return Refuse(KeyFileNotFound,
                  "Keyfile not found. Value longer than 256 characters: ", keyFilePath);
  }
  TraceText("SetValue Key file\n");
  const std::u16string fullPath = platform_.FullPathName(keyFilePath);
  const char* why = TextRefusal(keyFilePath);
  if (why == nullptr && (TextRefusal(fullPath) != nullptr || fullPath.empty() ||
                         AsciiLower(fullPath[0]) != AsciiLower(configPath[0]))) {
    why = "not on the stick";
  }
  if (why != nullptr) {
    return Refuse(KeyFileNotFound, "Keyfile refused, not a plain path: ", why, ": ", keyFilePath);
  }
  if (const char* redirected = Redirected(fullPath)) {
    return Refuse(KeyFileNotFound, "Keyfile refused, ", redirected, ": ", fullPath);
  }
  const Walk walk = HoldPath(fullPath, held_);
  if (walk.outcome == Walk::kLink)
    return Refuse(KeyFileNotFound, "Keyfile refused, link: ", walk.path);
  if (walk.outcome == Walk::kUnreadable) {
    return Refuse(KeyFileNotFound, "Keyfile refused, cannot be read, error ", walk.error, ": ",
                  walk.path);
  }
  if (walk.outcome == Walk::kNotThere || !Exists(platform_, keyFilePath)) {
    return Refuse(KeyFileNotFound, "Keyfile not found. Search string: ", keyFilePath);
  }
  if ((walk.info.attributes & os::kAttributeDirectory) != 0) {
    return Refuse(KeyFileNotFound, "Keyfile refused, a folder: ", keyFilePath);
  }
  return ConfigOk;
}

// The container: a drive-absolute path to a plain file (not a folder) on a local drive, reached
// through no link. Its folders are held with the key's; the file itself is not, since the tool may
// want it for itself alone.
int SecureToken::SettleContainer(const ConfigFile& config) {
  const char16_t* value = config.GetValue(u"Config", u"Container");
  if (value == nullptr) {
    return Refuse(ContainerNotFound, "Container not found. No value Container in section Config");
  }
  if (!CopyBounded(containerPath, value)) {
    return Refuse(ContainerNotFound,
                  "Container not found. Value longer than 259 characters: ", containerPath);
  }
  Walk walk;
  if (Length(containerPath) != 0) {  // an empty value is never found
    const std::u16string fullPath = platform_.FullPathName(containerPath);
    for (const std::u16string& path : {std::u16string(containerPath), fullPath}) {
      const char* why = DriveAbsoluteRefusal(path.empty() ? u"?" : path);
      if (why == nullptr) why = DriveTypeRefusal(platform_.GetDriveType(DriveRoot(path).c_str()));
      if (why != nullptr) {
        return Refuse(ContainerNotFound, "Container refused, not on a local drive: ", why, ": ",
                      path);
      }
      if ((why = PlainPathRefusal(path)) != nullptr) {
        return Refuse(ContainerNotFound, "Container refused, not a plain path: ", why, ": ", path);
      }
    }
    if (const char* redirected = Redirected(fullPath)) {
      return Refuse(ContainerNotFound, "Container refused, ", redirected, ": ", fullPath);
    }
    std::vector<HeldEntry> held;
    walk = HoldPath(fullPath, held);
    if (walk.outcome == Walk::kLink) {
      return Refuse(ContainerNotFound, "Container refused, link: ", walk.path);
    }
    if (walk.outcome == Walk::kUnreadable) {
      return Refuse(ContainerNotFound, "Container refused, cannot be read, error ", walk.error,
                    ": ", walk.path);
    }
    if (walk.outcome == Walk::kComplete) held.pop_back();  // the container itself
    for (HeldEntry& entry : held) held_.push_back(std::move(entry));
  }
  if (walk.outcome != Walk::kComplete || !Exists(platform_, containerPath)) {
    return Refuse(ContainerNotFound, "Container not found. Search string: ", containerPath);
  }
  if ((walk.info.attributes & os::kAttributeDirectory) != 0) {
    return Refuse(ContainerNotFound, "Container refused, a folder: ", containerPath);
  }
  return ConfigOk;
}

// For a 32-bit process on 64-bit Windows: why the tool, a 64-bit program, would open another
// file at `fullPath` than the one judged here; null when it would not.
const char* SecureToken::Redirected(const std::u16string& fullPath) {
  return platform_.Wow64() ? RedirectedPathRefusal(fullPath, platform_.WindowsFolder()) : nullptr;
}

SecureToken::Walk SecureToken::HoldPath(const std::u16string& path, std::vector<HeldEntry>& held) {
  Walk walk;
  for (std::size_t end = kRootLength - 1; end != std::u16string::npos;) {
    end = path.find(u'\\', end + 1);
    walk.path = path.substr(0, end);
    const EntryLook look = LookAt(platform_, walk.path, held);
    walk.info = look.info;
    walk.error = look.error;
    if (look.outcome != EntryLook::kRead) {
      walk.outcome = look.outcome == EntryLook::kNotThere ? Walk::kNotThere : Walk::kUnreadable;
      return walk;
    }
    if (IsLink(look.info.attributes, look.info.reparseTag)) {
      walk.outcome = Walk::kLink;
      return walk;
    }
  }
  walk.outcome = Walk::kComplete;
  return walk;
}

}  // namespace kvn
