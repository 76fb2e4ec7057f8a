#include "token/signature_check.h"

#include "rules/signature_rule.h"

namespace kvn {

std::u16string SignatureCheck::Refusal(os::Handle entry, const std::u16string& path,
                                       const os::EntryInfo& info) {
  const auto it = seen_.find(path);
  if (it == seen_.end() || it->second.size != info.size || it->second.lastWrite != info.lastWrite) {
    seen_[path] = {info.size, info.lastWrite, platform_.VerifySignature(entry, path.c_str())};
  }
  const os::Signature& signature = seen_[path].signature;
  return SignatureRefusal(signature.verdict, signature.organization, signature.country,
                          platform_.PolicyTrustedSigners());
}

}  // namespace kvn
