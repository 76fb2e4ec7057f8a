#include "token/trust_policy.h"

#include "common/strings.h"
#include "rules/rights_rule.h"

namespace kvn {

namespace {
std::u16string Text(const char* why) {
  std::u16string text;
  for (; why != nullptr && *why != '\0'; ++why) text += static_cast<char16_t>(*why);
  return text;
}
}  // namespace

std::u16string TrustPolicy::Why(const std::u16string& entry) {
  if (const char* why = PolicyEntryTextRefusal(entry)) return Text(why);
  Lookup& lookup = lookups_[entry];
  const std::uint64_t now = platform_.TickCount();
  if (!lookup.asked || (lookup.error != 0 && now - lookup.at >= kLookupRetry)) {
    lookup.asked = true;
    lookup.at = now;
    lookup.error =
        platform_.LookupAccount(entry.c_str(), lookup.use) ? 0 : platform_.GetLastError();
  }
  if (lookup.error != 0) return u"cannot be looked up, error " + Decimal(lookup.error);
  return Text(AccountKindRefusal(lookup.use));
}

std::vector<std::u16string> TrustPolicy::Trusted() {
  std::vector<std::u16string> accounts;
  for (const std::u16string& entry : platform_.PolicyTrustedAccounts()) {
    const std::u16string why = Why(entry);
    if (why.empty()) {
      accounts.push_back(entry);
    } else if (told_.insert(std::u16string(entry).append(u"|").append(why)).second && ignored_) {
      ignored_(entry, why);
    }
  }
  return TrustedAccounts(accounts);
}

}  // namespace kvn
