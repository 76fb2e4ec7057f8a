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

// The numbers of "S-1-a-b-c..." after the revision's 1, as ConvertSidToStringSidW writes it:
// digits (ten at most) separated by single dashes. Empty when `text` is no SID string.
std::vector<std::uint64_t> SidNumbers(std::u16string_view text) {
  if (text.substr(0, 4) != u"S-1-") return {};
  std::vector<std::uint64_t> numbers;
  for (std::size_t start = 4;;) {
    std::size_t end = start;
    std::uint64_t number = 0;
    for (; end < text.size() && text[end] >= u'0' && text[end] <= u'9' && end - start < 10; ++end) {
      number = number * 10 + static_cast<std::uint64_t>(text[end] - u'0');
    }
    if (end == start) return {};
    numbers.push_back(number);
    if (end == text.size()) return numbers;
    if (text[end] != u'-') return {};
    start = end + 1;
  }
}

bool Trusted(const std::vector<std::u16string>& trusted, const std::u16string& sid) {
  return !sid.empty() && std::find(trusted.begin(), trusted.end(), sid) != trusted.end();
}

}  // namespace

std::vector<std::u16string> TrustedAccounts(const std::vector<std::u16string>& accounts) {
  std::vector<std::u16string> trusted = {
      u"S-1-5-18",                                                        // SYSTEM
      u"S-1-5-32-544",                                                    // Administrators
      u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
  };
  trusted.insert(trusted.end(), accounts.begin(), accounts.end());
  return trusted;
}

const char* PolicyEntryTextRefusal(std::u16string_view entry) {
  constexpr std::uint64_t kAdministrator = 500;
  constexpr std::uint64_t kFirstMadeLater = 1000;
  const std::vector<std::uint64_t> numbers = SidNumbers(entry);
  if (numbers.empty()) return "not a SID";
  const bool account = numbers.size() == 6 && numbers[0] == 5 && numbers[1] == 21 &&
                       (numbers[5] == kAdministrator || numbers[5] >= kFirstMadeLater);
  return account ? nullptr : "a well-known group or shared identity, not an account";
}

const char* AccountKindRefusal(std::uint32_t use) {
  constexpr std::uint32_t kGroup = 2, kAlias = 4, kWellKnownGroup = 5, kComputer = 9;
  switch (use) {
    case kSidTypeUser:
      return nullptr;
    case kGroup:
    case kAlias:
    case kWellKnownGroup:
      return "a group, not an account";
    case kComputer:
      return "a computer, not an account";
    default:
      return "not an account Windows knows";
  }
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
