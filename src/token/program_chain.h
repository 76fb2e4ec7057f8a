// Who may change the program the service starts, decided on the objects themselves: the file
// and every folder from its drive root down are opened as themselves (no link followed) and
// judged by their owner and DACL (rules/rights_rule.h). Used for the program a stick names,
// for the program of a mount record, and by -install for kelvarn.exe itself.
#pragma once

#include <string>
#include <string_view>

#include "os/token_platform.h"

namespace kvn {

struct ChainVerdict {
  // Null when the chain passes; else "link", "writable by non-administrators" or "rights
  // cannot be read".
  const char* why = nullptr;
  std::u16string path;  // the object that failed
  // False when the walk ended at an object that does not exist (why is then null): nothing
  // was judged past it.
  bool complete = true;
};

// `program` is a resolved, drive-absolute path with backslashes. Nothing below a link is
// touched.
ChainVerdict JudgeProgramChain(os::TokenPlatform& platform, std::u16string_view program);

}  // namespace kvn
