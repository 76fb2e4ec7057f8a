#include "token/program_chain.h"

#include <vector>

#include "rules/path_rule.h"
#include "rules/rights_rule.h"
#include "token/held_entry.h"

namespace kvn {

namespace {
constexpr std::uint32_t kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
constexpr std::uint32_t kPathNotFound = 3;  // ERROR_PATH_NOT_FOUND
}  // namespace

ChainVerdict JudgeProgramChain(os::TokenPlatform& platform, std::u16string_view program) {
  const std::vector<std::u16string> trusted = TrustedAccounts(platform.ProcessUserSid());
  // "C:\", "C:\Program Files", ..., the program itself: the root keeps its backslash, every
  // folder below ends before its own.
  const std::size_t root = program.find(u'\\') + 1;
  std::vector<std::u16string> chain = {std::u16string(program.substr(0, root))};
  for (std::size_t end = root; (end = program.find(u'\\', end)) != program.npos; ++end) {
    chain.emplace_back(program.substr(0, end));
  }
  chain.emplace_back(program);
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const std::u16string& path = chain[i];
    const ChainPlace place = i + 1 == chain.size()   ? ChainPlace::kProgram
                             : i + 2 == chain.size() ? ChainPlace::kProgramFolder
                                                     : ChainPlace::kAbove;
    const HeldEntry entry(platform, path.c_str());
    os::EntryInfo info;
    os::Security security;
    if (entry.get() == nullptr) {
      const std::uint32_t error = platform.GetLastError();
      if (error == kFileNotFound || error == kPathNotFound) return {nullptr, path, false};
      return {"rights cannot be read", path};
    }
    if (!platform.ReadEntryInfo(entry.get(), info) ||
        !platform.ReadEntrySecurity(entry.get(), security)) {
      return {"rights cannot be read", path};
    }
    // The search sees what a handle may not (Wine shows a link only by name); the root has
    // no entry of its own to search for.
    const os::SearchResult listed = i == 0 ? os::SearchResult{} : platform.FindFile(path.c_str());
    if (IsLink(info.attributes, info.reparseTag) || IsLink(listed.attributes, listed.reparseTag)) {
      return {"link", path};
    }
    if (OthersMayChange(security, place, trusted)) return {"writable by non-administrators", path};
  }
  return {};
}

}  // namespace kvn
