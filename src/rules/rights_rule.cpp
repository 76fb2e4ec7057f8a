#include "rules/rights_rule.h"

#include <algorithm>

namespace kvn {

namespace {

// Access rights that change an object or what it holds.
constexpr std::uint32_t kWriteData = 0x2;          // FILE_WRITE_DATA, FILE_ADD_FILE on a folder
constexpr std::uint32_t kAppendData = 0x4;         // FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY
constexpr std::uint32_t kWriteEa = 0x10;           // FILE_WRITE_EA
constexpr std::uint32_t kDeleteChild = 0x40;       // FILE_DELETE_CHILD
constexpr std::uint32_t kWriteAttributes = 0x100;  // FILE_WRITE_ATTRIBUTES: may set a reparse point
constexpr std::uint32_t kDelete = 0x10000;         // DELETE
constexpr std::uint32_t kWriteDac = 0x40000;       // WRITE_DAC
constexpr std::uint32_t kWriteOwner = 0x80000;     // WRITE_OWNER
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;  // for a folder: add files and folders
constexpr std::uint8_t kInheritOnly = 0x08;

constexpr std::uint32_t kChangesAbove =
    kDelete | kDeleteChild | kWriteDac | kWriteOwner | kGenericAll;
constexpr std::uint32_t kChangesProgram = kWriteData | kAppendData | kWriteEa | kWriteAttributes |
                                          kDelete | kWriteDac | kWriteOwner | kGenericAll |
                                          kGenericWrite;
constexpr std::uint32_t kChangesProgramFolder = kChangesProgram | kDeleteChild;

// "S-1-" followed by numbers separated by single dashes, as ConvertSidToStringSidW writes it.
bool IsSidText(const std::u16string& sid) {
  if (sid.compare(0, 4, u"S-1-") != 0 || sid.back() == u'-') return false;
  for (std::size_t i = 4; i < sid.size(); ++i) {
    const bool digit = sid[i] >= u'0' && sid[i] <= u'9';
    if (!digit && (sid[i] != u'-' || sid[i - 1] == u'-')) return false;
  }
  return true;
}

// Groups that every user, or every logged-on user, belongs to.
bool IsEveryoneLike(const std::u16string& sid) {
  for (const std::u16string_view group : {
           u"S-1-1-0",       // Everyone
           u"S-1-2-0",       // LOCAL
           u"S-1-2-1",       // CONSOLE LOGON
           u"S-1-3-0",       // CREATOR OWNER
           u"S-1-3-1",       // CREATOR GROUP
           u"S-1-5-4",       // INTERACTIVE
           u"S-1-5-7",       // ANONYMOUS LOGON
           u"S-1-5-11",      // Authenticated Users
           u"S-1-5-32-545",  // Users
           u"S-1-5-32-546",  // Guests
       }) {
    if (sid == group) return true;
  }
  return false;
}

bool Trusted(const std::vector<std::u16string>& trusted, const std::u16string& sid) {
  return !sid.empty() && std::find(trusted.begin(), trusted.end(), sid) != trusted.end();
}

}  // namespace

std::vector<std::u16string> TrustedAccounts(const std::vector<std::u16string>& policy) {
  std::vector<std::u16string> trusted = {
      u"S-1-5-18",                                                        // SYSTEM
      u"S-1-5-32-544",                                                    // Administrators
      u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
  };
  for (const std::u16string& sid : policy) {
    if (IsSidText(sid) && !IsEveryoneLike(sid)) trusted.push_back(sid);
  }
  return trusted;
}

bool VolumeKeepsRights(std::uint32_t volumeFlags) {
  return (volumeFlags & os::kVolumePersistentAcls) != 0;
}

bool OthersMayChange(const os::Security& security, ChainPlace place,
                     const std::vector<std::u16string>& trusted) {
  if (!Trusted(trusted, security.owner) || !security.hasDacl) return true;
  const std::uint32_t changes = place == ChainPlace::kProgram         ? kChangesProgram
                                : place == ChainPlace::kProgramFolder ? kChangesProgramFolder
                                                                      : kChangesAbove;
  for (const os::Ace& ace : security.dacl) {
    if (ace.deny || (ace.flags & kInheritOnly) != 0 || Trusted(trusted, ace.sid)) continue;
    if ((ace.mask & changes) != 0) return true;
  }
  return false;
}

}  // namespace kvn
