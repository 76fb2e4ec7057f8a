// The accounts trusted to change what the service runs: SYSTEM, Administrators,
// TrustedInstaller, and the entries of the TrustedAccounts policy that are accounts. An entry is
// judged by its text first (rules/rights_rule.h), then by what Windows names it
// (LookupAccountSidW), asked once for each SID, and again after kLookupRetry for one it could not
// look up: a domain's controller may be out of reach. An entry that is ignored is told once,
// naming it and why.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "os/token_platform.h"

namespace kvn {

inline constexpr std::uint64_t kLookupRetry = 600000;  // ms

class TrustPolicy {
 public:
  using Ignored = std::function<void(const std::u16string& entry, const std::u16string& why)>;
  TrustPolicy(os::TokenPlatform& platform, Ignored ignored)
      : platform_(platform), ignored_(std::move(ignored)) {}

  // The accounts trusted now, the policy read afresh.
  std::vector<std::u16string> Trusted();

 private:
  struct Lookup {
    bool asked = false;
    std::uint32_t use = 0;    // SID_NAME_USE, when it could be looked up
    std::uint32_t error = 0;  // when it could not
    std::uint64_t at = 0;     // ms
  };
  // Why `entry` is no account to trust, "" when it is one.
  std::u16string Why(const std::u16string& entry);

  os::TokenPlatform& platform_;
  Ignored ignored_;
  std::map<std::u16string, Lookup> lookups_;
  std::set<std::u16string> told_;  // entry and why, for each ignored entry told
};

}  // namespace kvn
