// Who may change the program the service starts, decided on the objects themselves: the file
// and every folder from its drive root down are opened as themselves (no link followed), held
// while the walk goes on, and judged by their volume, their reparse points, their owner and
// their DACL (rules/rights_rule.h). Used for the program a stick names, for the program of a
// mount record, and by -install for kelvarn.exe itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/token_platform.h"
#include "token/signature_check.h"

namespace kvn {

struct ChainVerdict {
  enum Outcome {
    kPasses,      // only trusted accounts may change the program and the folders above it
    kRefused,     // `why` says what on the way refuses it
    kNotThere,    // the walk ended at an object that is not there; nothing past it was judged
    kUnreadable,  // the system gave another answer (`why`, `error`): it cannot be judged now
  };
  ChainVerdict(Outcome outcome_ = kPasses, const char* why_ = nullptr, std::u16string path_ = {},
               std::uint32_t error_ = 0, std::u16string detail_ = {})
      : outcome(outcome_),
        why(why_),
        path(std::move(path_)),
        error(error_),
        detail(std::move(detail_)) {}

  Outcome outcome;
  // Null when the chain passes or ends where nothing is; else "link", "reparse point", "no
  // access control on its volume", "writable by non-administrators", "cannot be read",
  // "rights cannot be read" or "signature".
  const char* why;
  std::u16string path;    // the object that failed
  std::uint32_t error;    // the system's code, when unreadable
  std::u16string detail;  // the whole reason, when it is the program's signature
};

// `program` is a resolved, drive-absolute path with backslashes; `trusted` the accounts that
// may change it (token/trust_policy.h). Nothing below a link is touched. With `signatures`, a
// program that passes is also judged by its signature, through the handle the walk holds
// (refused with why "signature" and the reason in `detail`).
ChainVerdict JudgeProgramChain(os::TokenPlatform& platform,
                               const std::vector<std::u16string>& trusted,
                               std::u16string_view program, SignatureCheck* signatures = nullptr);

// The reason: the detail, "<why>", or "<why>, error <code>" when the system gave a code.
std::u16string Reason(const ChainVerdict& verdict);

}  // namespace kvn
