// Whether the program is its maker's (rules/signature_rule.h), read through the handle that the
// program's chain holds, never by path after the fact. WinVerifyTrust hashes the whole file, so
// its answer is kept for the file as its handle describes it (size and last write): a stick
// refused pass after pass costs one check, and a file replaced is checked again. The policy of
// signers is read afresh every time. Used by the thread of the watch cycle alone.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "os/token_platform.h"

namespace kvn {

class SignatureCheck {
 public:
  explicit SignatureCheck(os::TokenPlatform& platform) : platform_(platform) {}

  // Why the program opened as `entry`, at `path`, as `info` describes it, is not to run; empty
  // when it may.
  std::u16string Refusal(os::Handle entry, const std::u16string& path, const os::EntryInfo& info);

 private:
  struct Seen {
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;
    os::Signature signature;
  };
  os::TokenPlatform& platform_;
  std::map<std::u16string, Seen> seen_;  // by path
};

}  // namespace kvn
