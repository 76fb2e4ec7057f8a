#include "rules/signature_rule.h"

#include <algorithm>

namespace kvn {

std::u16string SignerName(const std::u16string& organization, const std::u16string& country) {
  return organization + u" (" + country + u")";
}

const std::vector<std::u16string>& Makers() {
  static const std::vector<std::u16string> makers = {u"IDRIX (FR)", u"TrueCrypt Foundation (US)"};
  return makers;
}

std::u16string SignatureRefusal(std::uint32_t verdict, const std::u16string& organization,
                                const std::u16string& country,
                                const std::vector<std::u16string>& trustedSigners) {
  if (verdict == kTrustNoSignature) return u"not signed";
  if (verdict != 0) {
    static constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string hex = u"signature not valid, error 0x";
    for (int shift = 28; shift >= 0; shift -= 4) hex += kDigits[(verdict >> shift) & 0xF];
    return hex;
  }
  const std::u16string signer = SignerName(organization, country);
  const auto named = [&](const std::vector<std::u16string>& list) {
    return std::find(list.begin(), list.end(), signer) != list.end();
  };
  if (!organization.empty() && (named(Makers()) || named(trustedSigners))) return {};
  return u"signed by " + (organization.empty() ? u"no organisation (" + country + u")" : signer) +
         u", not by its maker";
}

}  // namespace kvn
