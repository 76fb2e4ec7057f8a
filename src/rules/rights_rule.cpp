#include "rules/rights_rule.h"

#include <algorithm>

namespace kvn {

namespace {

// Access rights that change an object or what it holds.
constexpr std::uint32_t kWriteData = 0x2;       // FILE_WRITE_DATA, FILE_ADD_FILE on a folder
constexpr std::uint32_t kAppendData = 0x4;      // FILE_APPEND_DATA, FILE_ADD_SUBDIRECTORY
constexpr std::uint32_t kDeleteChild = 0x40;    // FILE_DELETE_CHILD
constexpr std::uint32_t kDelete = 0x10000;      // DELETE
constexpr std::uint32_t kWriteDac = 0x40000;    // WRITE_DAC
constexpr std::uint32_t kWriteOwner = 0x80000;  // WRITE_OWNER
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;  // for a folder: add files and folders
constexpr std::uint8_t kInheritOnly = 0x08;

constexpr std::uint32_t kChangesAbove =
    kDelete | kDeleteChild | kWriteDac | kWriteOwner | kGenericAll;
constexpr std::uint32_t kChangesProgram =
    kWriteData | kAppendData | kDelete | kWriteDac | kWriteOwner | kGenericAll | kGenericWrite;
constexpr std::uint32_t kChangesProgramFolder = kChangesProgram | kDeleteChild;

bool Trusted(const std::vector<std::u16string>& trusted, const std::u16string& sid) {
  return !sid.empty() && std::find(trusted.begin(), trusted.end(), sid) != trusted.end();
}

}  // namespace

std::vector<std::u16string> TrustedAccounts(std::u16string_view processUser) {
  std::vector<std::u16string> trusted = {
      u"S-1-5-18",                                                        // SYSTEM
      u"S-1-5-32-544",                                                    // Administrators
      u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
  };
  if (!processUser.empty()) trusted.emplace_back(processUser);
  return trusted;
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
