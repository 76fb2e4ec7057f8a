#include "token/program_chain.h"

#include <vector>

#include "common/strings.h"
#include "rules/path_rule.h"
#include "rules/rights_rule.h"
#include "token/held_entry.h"

namespace kvn {

ChainVerdict JudgeProgramChain(os::TokenPlatform& platform,
                               const std::vector<std::u16string>& trusted,
                               std::u16string_view program, SignatureCheck* signatures) {
  // "C:\", "C:\Program Files", ..., the program itself: the root keeps its backslash, every
  // folder below ends before its own.
  const std::size_t root = program.find(u'\\') + 1;
  std::vector<std::u16string> chain = {std::u16string(program.substr(0, root))};
  for (std::size_t end = root; (end = program.find(u'\\', end)) != program.npos; ++end) {
    chain.emplace_back(program.substr(0, end));
  }
  chain.emplace_back(program);
  // Held until the verdict: nothing judged can be renamed or replaced while the walk goes on.
  std::vector<HeldEntry> held;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const std::u16string& path = chain[i];
    const ChainPlace place = i + 1 == chain.size()   ? ChainPlace::kProgram
                             : i + 2 == chain.size() ? ChainPlace::kProgramFolder
                                                     : ChainPlace::kAbove;
    const EntryLook look = LookAt(platform, path, held);
    if (look.outcome == EntryLook::kNotThere) return {ChainVerdict::kNotThere, nullptr, path};
    if (look.outcome == EntryLook::kUnreadable) {
      return {ChainVerdict::kUnreadable, "cannot be read", path, look.error};
    }
    if (i == 0) {
      // On a volume that keeps no owners and DACLs, anyone may change anything.
      os::VolumeFacts volume;
      if (!platform.VolumeInfo(path.c_str(), volume)) {
        return {ChainVerdict::kUnreadable, "cannot be read", path, platform.GetLastError()};
      }
      if (!VolumeKeepsRights(volume.flags)) {
        return {ChainVerdict::kRefused, "no access control on its volume", path};
      }
    }
    if ((look.info.attributes & os::kAttributeReparsePoint) != 0 &&
        !KeepsItsData(look.info.reparseTag)) {
      return {ChainVerdict::kRefused,
              IsLink(look.info.attributes, look.info.reparseTag) ? "link" : "reparse point", path};
    }
    os::Security security;
    if (!platform.ReadEntrySecurity(held.back().get(), security)) {
      return {ChainVerdict::kUnreadable, "rights cannot be read", path, platform.GetLastError()};
    }
    if (OthersMayChange(security, place, trusted)) {
      return {ChainVerdict::kRefused, "writable by non-administrators", path};
    }
    if (place == ChainPlace::kProgram && signatures != nullptr) {
      std::u16string why = signatures->Refusal(held.back().get(), path, look.info);
      if (!why.empty()) return {ChainVerdict::kRefused, "signature", path, 0, std::move(why)};
    }
  }
  return {};
}

std::u16string Reason(const ChainVerdict& verdict) {
  if (!verdict.detail.empty()) return verdict.detail;
  std::u16string text;
  for (const char* why = verdict.why; why != nullptr && *why != '\0'; ++why) {
    text += static_cast<char16_t>(static_cast<unsigned char>(*why));
  }
  if (verdict.error != 0) text += u", error " + Decimal(verdict.error);
  return text;
}

}  // namespace kvn
