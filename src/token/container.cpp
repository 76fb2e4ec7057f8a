// The rest of one turn: OpenContainer starts the mount, CheckToken watches the stick,
// CloseContainer dismounts.
#include <string>

#include "token/command_line.h"
#include "token/secure_token.h"

namespace kvn {

namespace {
constexpr std::uint32_t kWatchPause = 3000;  // ms after every presence test
}  // namespace

void SecureToken::OpenContainer() {
  TraceLine("OpenContainer!");
  // Every value stays one argument, whatever blanks or quotes the stick put into it.
  const std::u16string commandLine = BuildCommandLine(
      trueCryptPath,
      {u"/a", u"/q", u"/l", targetDrive, u"/m", u"rm", u"/v", containerPath, u"/k", keyFilePath});
  TraceLine("_P_NOWAIT,TruecryptPath, KeyPath: ", commandLine.c_str());
  // A child that cannot be started is not noticed: the watch begins all the same.
  platform_.StartProcess(trueCryptPath, commandLine.c_str(), false);
}

void SecureToken::CheckToken() {
  TraceLine("SecureToken::CheckToken!");
  TraceLine("ConfigPath: ", configPath);
  while (tokenPresent) {
    // Any failure of the search counts as removal: the file gone, the stick pulled, the
    // drive not ready.
    if (!platform_.FindFile(configPath).found) {
      TraceLine("Token removed!");
      tokenPresent = false;
    } else {
      TraceLine("SecureToken: Token available!");
    }
    if (platform_.Pause(kWatchPause)) {
      stopRequested = true;
      return;
    }
  }
}

void SecureToken::CloseContainer() {
  TraceLine("CloseContainer!");
  const std::u16string commandLine = BuildCommandLine(trueCryptPath, {u"/a", u"/q", u"/d", u"/f"});
  platform_.StartProcess(trueCryptPath, commandLine.c_str(), true);
}

}  // namespace kvn
