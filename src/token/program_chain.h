// Who may change the program the service starts, decided on the objects themselves: the file
// and every folder from its drive root down are opened as themselves (no link followed), held
// while the walk goes on, and judged by their volume, their reparse points, their owner and
// their DACL (rules/rights_rule.h). Used for the program a stick names, for the program of a
// mount record, and by -install for kelvarn.exe itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/token_platform.h"

namespace kvn {

struct ChainVerdict {
  enum Outcome {
    kPasses,      // only trusted accounts may change the program and the folders above it
    kRefused,     // `why` says what on the way refuses it
    kNotThere,    // the walk ended at an object that is not there; nothing past it was judged
    kUnreadable,  // the system gave another answer (`why`, `error`): it cannot be judged now
  };
  Outcome outcome = kPasses;
  // Null when the chain passes or ends where nothing is; else "link", "reparse point", "no
  // access control on its volume", "writable by non-administrators", "cannot be read" or
  // "rights cannot be read".
  const char* why = nullptr;
  std::u16string path;      // the object that failed
  std::uint32_t error = 0;  // the system's code, when unreadable
};

// `program` is a resolved, drive-absolute path with backslashes; `trusted` the accounts that
// may change it (token/trust_policy.h). Nothing below a link is touched.
ChainVerdict JudgeProgramChain(os::TokenPlatform& platform,
                               const std::vector<std::u16string>& trusted,
                               std::u16string_view program);

// The reason: "<why>", or "<why>, error <code>" when the system gave a code.
std::u16string Reason(const ChainVerdict& verdict);

}  // namespace kvn
