#include "token/secure_token.h"

#include "common/process_state.h"
#include "common/strings.h"

namespace kvn {

namespace {
constexpr char16_t kInitialConfigPath[] = u"A:\\kvn.ini";
constexpr char16_t kTracePath[] = u"C:\\Trace\\kvn.log";
}  // namespace

SecureToken::SecureToken(os::TokenPlatform& platform)
    : waits(platform),
      platform_(platform),
      serviceMode_(!process.debugMode),
      dismount_(platform, waits, serviceMode_,
                [this](EventKind kind, std::vector<std::u16string> strings) {
                  Report(kind, std::move(strings));
                }),
      trust_(platform,
             [this](const std::u16string& entry, const std::u16string& why) {
               TraceLine("TrustedAccounts entry ignored, ", why.c_str(), ": ", entry.c_str());
               Report(events::kPolicyEntryIgnored, {entry, why});
             }),
      signatures_(platform) {
  CopyBounded(configPath, kInitialConfigPath);
  tokenPresent = false;
  traceEnabled = process.debugMode;
  if (traceEnabled) {
    CopyBounded(tracePath, kTracePath);
    trace.Attach(platform_.OpenTrace(tracePath));
    TraceLine("SecureToken construktor!");
  }
}

SecureToken::~SecureToken() {
  if (mountChild_ != nullptr) platform_.CloseProcess(mountChild_);
  // The trace log closes itself.
  TraceLine("SecureToken implicite destructor!");
}

void SecureToken::Append(std::u16string& line, const char* text) {
  for (; *text != '\0'; ++text) line += static_cast<char16_t>(static_cast<unsigned char>(*text));
}
void SecureToken::Append(std::u16string& line, const char16_t* text) { line += text; }
void SecureToken::Append(std::u16string& line, const std::u16string& text) { line += text; }
void SecureToken::Append(std::u16string& line, std::uint64_t number) { line += Decimal(number); }

void SecureToken::Report(EventKind kind, std::vector<std::u16string> strings) {
  if (reportEvent) reportEvent(Event{kind, std::move(strings)});
}

}  // namespace kvn
