#include "token/secure_token.h"

#include "common/process_state.h"
#include "common/strings.h"

namespace kvn {

namespace {
constexpr char16_t kInitialConfigPath[] = u"A:\\kvn.ini";
constexpr char16_t kTracePath[] = u"C:\\Trace\\kvn.log";
}  // namespace

SecureToken::SecureToken(os::TokenPlatform& platform) : platform_(platform) {
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
  if (traceEnabled) {
    TraceLine("SecureToken implicite destructor!");
    trace.Close();
  }
}

}  // namespace kvn
