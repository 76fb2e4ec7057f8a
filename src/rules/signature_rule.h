// Who made the program the service runs as SYSTEM. Rights show who may change a file, not who
// made it: an installer that places administrators' files on a user's request, or an
// administrator who copies some other program under the tool's name, passes every rights rule.
// So the program must also carry a valid Authenticode signature (WinVerifyTrust) of its maker,
// or of a signer that administrators name in policy. The rule decides from plain data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvn {

// WinVerifyTrust's answer for a file with no embedded signature (TRUST_E_NOSIGNATURE).
inline constexpr std::uint32_t kTrustNoSignature = 0x800B0100;

// A signer as the refusals and the policy TrustedSigners write it: "<organization> (<country>)",
// the organisation (O) and the country (C) that the signer's certificate states.
std::u16string SignerName(const std::u16string& organization, const std::u16string& country);

// The makers, as their certificates state them: VeraCrypt's IDRIX (France) and TrueCrypt's
// TrueCrypt Foundation (United States).
const std::vector<std::u16string>& Makers();

// Why a program whose signature WinVerifyTrust answered with `verdict` (0: valid), signed by
// `organization` and `country`, is not to run: "not signed", "signature not valid, error
// 0x<verdict>", or "signed by <signer>, not by its maker" when the signer is neither a maker
// nor one of `trustedSigners` (the policy's entries, compared exactly). Empty when it may run.
std::u16string SignatureRefusal(std::uint32_t verdict, const std::u16string& organization,
                                const std::u16string& country,
                                const std::vector<std::u16string>& trustedSigners);

}  // namespace kvn
