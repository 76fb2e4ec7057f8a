#include "service/service_install.h"

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "common/process_state.h"
#include "common/strings.h"
#include "rules/path_rule.h"
#include "service/scoped_handle.h"
#include "service/service_state.h"
#include "token/held_entry.h"
#include "token/program_chain.h"
#include "token/trust_policy.h"

namespace kvn::service {

namespace {

constexpr std::uint32_t kServiceAllAccess = 0xF01FF;
constexpr std::uint32_t kServiceAutoStart = 2;
constexpr std::uint32_t kServiceErrorNormal = 1;
constexpr std::uint32_t kModulePathCapacity = 512;
constexpr std::uint32_t kStopPollMilliseconds = 1000;
constexpr char16_t kDescription[] =
    u"Kelvarn checks, if an USB stick with a key file is attached to the system. Finding one "
    u"with a valid config will mount and open an encrypted TrueCrypt container.";

// Restart after 5 s, 5 s, then 60 s; the count of failures starts again after a day.
constexpr std::uint32_t kFailureCountReset = 86400;              // s
constexpr std::uint32_t kRestartDelays[] = {5000, 5000, 60000};  // ms

// Room for the error text, terminator included; with the suffix's 25 characters a system
// text of up to 231 characters always fits.
constexpr std::size_t kErrorSuffixLength = 25;

void PrintWide(std::u16string_view text) { ServiceOs().WriteWide(text); }

// "<what> - <error text>\n". Reads the last error, so it must follow the failed call at once.
void PrintFailure(std::u16string_view what) {
  std::u16string line(what);
  line += u" - ";
  line += LastErrorText();
  line += u"\n";
  PrintWide(line);
}

std::u16string Hex(std::uint32_t value) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  std::u16string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return digits;
}

// Windows starts the first blank-separated prefix of an unquoted path that names a file
// ("C:\Program.exe" for "C:\Program Files\..."), so a path with a blank is registered quoted.
std::u16string RegisteredPath(std::u16string_view path) {
  if (path.find(u' ') == std::u16string_view::npos) return std::u16string(path);
  std::u16string quoted(u"\"");
  quoted += path;
  quoted += u"\"";
  return quoted;
}

// A verdict on `path` that names no file to judge: not there, or an answer that says neither.
ChainVerdict Missing(os::TokenPlatform& files, const std::u16string& path) {
  const std::uint32_t error = files.GetLastError();
  return NotThere(error) ? ChainVerdict{ChainVerdict::kNotThere, "not found", path}
                         : ChainVerdict{ChainVerdict::kUnreadable, "cannot be read", path, error};
}

// Whether only trusted accounts may change this exe, where it really is: judged on the path it
// was started by (no link on the way), then on the final path of the file opened, which a subst
// or mapped letter leads elsewhere. That final path, set in `exePath`, is the one registered:
// the letter the installer used may be one the service's session does not have.
ChainVerdict JudgeExe(os::TokenPlatform& files, const char16_t* modulePath,
                      std::u16string& exePath) {
  const std::u16string longPath = files.LongPathName(files.FullPathName(modulePath).c_str());
  if (longPath.empty()) return Missing(files, modulePath);
  if (const char* why = DriveAbsoluteRefusal(longPath)) {
    return {ChainVerdict::kRefused, why, longPath};
  }
  // Each policy entry that is no account is named, once.
  TrustPolicy trust(files, [](const std::u16string& entry, const std::u16string& reason) {
    PrintWide(u"TrustedAccounts entry ignored: " + entry + u": " + reason + u".\n");
  });
  const std::vector<std::u16string> trusted = trust.Trusted();
  for (std::u16string path = longPath;;) {
    ChainVerdict chain = JudgeProgramChain(files, trusted, path);
    if (chain.outcome == ChainVerdict::kNotThere) chain.why = "not found";
    if (chain.why != nullptr || !exePath.empty()) return chain;
    // "\\?\C:\..." or "\\?\UNC\server\share\...".
    const HeldEntry exe(files, path.c_str());
    exePath = exe.get() != nullptr ? files.FinalPath(exe.get()) : std::u16string();
    if (exePath.empty()) return Missing(files, path);
    if (exePath.rfind(u"\\\\?\\UNC\\", 0) == 0) {
      exePath = u"\\\\" + exePath.substr(8);
    } else if (exePath.rfind(u"\\\\?\\", 0) == 0) {
      exePath.erase(0, 4);
    }
    const char* why = DriveAbsoluteRefusal(exePath);
    if (why == nullptr) why = DriveTypeRefusal(files.GetDriveType(exePath.substr(0, 3).c_str()));
    if (why != nullptr) return {ChainVerdict::kRefused, why, exePath};
    if (exePath == path) return chain;
    path = exePath;
  }
}

}  // namespace

const char16_t* LastErrorText() {
  os::ServicePlatform& os = ServiceOs();
  std::u16string text;
  if (!os.FormatSystemMessage(os.GetLastError(), text) ||
      text.size() + kErrorSuffixLength > kErrorTextCapacity) {
    process.errorText[0] = u'\0';
    return process.errorText;
  }
  // System texts end with CR LF; a text too short to have one is used as it is.
  std::u16string_view body(text.c_str());
  if (body.size() >= 2) body.remove_suffix(2);
  std::u16string result(body);
  result += u" (Error code: 0x";
  result += Hex(os.GetLastError());
  result += u")";
  CopyBounded(process.errorText, result);
  return process.errorText;
}

void InstallService() {
  os::ServicePlatform& os = ServiceOs();
  char16_t modulePath[kModulePathCapacity];
  // A path that fills the buffer has been cut by the system (which then reports
  // ERROR_INSUFFICIENT_BUFFER); registering it would name some other file.
  const std::uint32_t length = os.GetModuleFileName(modulePath, kModulePathCapacity);
  if (length == 0 || length >= kModulePathCapacity) {
    PrintFailure(std::u16string(u"Unable to install ") + kServiceName);
    return;
  }
  // A 32-bit service on 64-bit Windows would judge other files than the 64-bit tool it
  // starts opens (file-system redirection): there the x64 build is the one to install.
  os::TokenPlatform& files = TokenOs();
  if (files.Wow64()) {
    PrintWide(std::u16string(kServiceName) +
              u" not installed: this kelvarn.exe is the 32-bit one, and this Windows is 64-bit.\n"
              u"Install the x64 package instead: kelvarn-" +
              kVersion + u"-x64.msi or .zip.\n");
    return;
  }
  // The service runs this file as SYSTEM: whoever may change it, or a folder above it, could
  // run their code so.
  std::u16string exePath;
  const ChainVerdict chain = JudgeExe(files, modulePath, exePath);
  if (chain.why != nullptr) {
    PrintWide(std::u16string(kServiceName) + u" not installed: " + chain.path + u": " +
              Reason(chain) +
              u".\nCopy kelvarn.exe into a folder under Program Files, which only administrators"
              u" can change, and run \"kelvarn -install\" from there.\n");
    return;
  }

  const ScopedServiceHandle manager(os.OpenSCManager());
  if (manager.get() == nullptr) {
    PrintFailure(u"OpenSCManager failed");
    return;
  }

  const std::u16string binaryPath = RegisteredPath(exePath);
  const ScopedServiceHandle service(os.CreateService(
      manager.get(), kServiceName, kServiceName, kServiceAllAccess, kServiceWin32OwnProcess,
      kServiceAutoStart, kServiceErrorNormal, binaryPath.c_str()));
  if (service.get() == nullptr) {
    PrintFailure(u"CreateService failed");
    return;
  }

  if (os.ChangeServiceDescription(service.get(), kDescription)) {
    os.WriteNarrow("ChangeServiceConfig2 succeeded\n");
  } else {
    os.WriteNarrow("ChangeServiceConfig2 failed\n");
  }
  // A service process that dies, or stops with an error, is started again, so that a volume
  // it left mounted is closed by the new one (see the mount record).
  if (!os.ChangeServiceFailureActions(
          service.get(), kFailureCountReset,
          std::vector<std::uint32_t>(std::begin(kRestartDelays), std::end(kRestartDelays)))) {
    PrintFailure(u"Restart on failure not set");
  } else if (!os.ChangeServiceFailureActionsFlag(service.get())) {
    PrintFailure(u"Restart after an error stop not set");
  }
  // So that the event viewer finds the texts of the service's entries in this executable.
  // Not reported: the service works without it.
  os.RegisterEventSourceKey(kServiceName, exePath.c_str());

  PrintWide(std::u16string(kServiceName) + u" installed.\n");
}

void RemoveService() {
  os::ServicePlatform& os = ServiceOs();
  const ScopedServiceHandle manager(os.OpenSCManager());
  if (manager.get() == nullptr) {
    PrintFailure(u"OpenSCManager failed");
    return;
  }
  const ScopedServiceHandle service(os.OpenService(manager.get(), kServiceName, kServiceAllAccess));
  if (service.get() == nullptr) {
    PrintFailure(u"OpenService failed");
    return;
  }

  // Not delivered when the service does not run; removal goes on all the same.
  if (os.ControlService(service.get(), kServiceControlStop, process.serviceStatus)) {
    PrintWide(std::u16string(u"Stopping ") + kServiceName + u".");
    os.Sleep(kStopPollMilliseconds);
    // No upper bound: the service decides how long it stays stop pending. After a failed
    // query the state tested is the last one received.
    while (os.QueryServiceStatus(service.get(), process.serviceStatus) &&
           process.serviceStatus.currentState == kServiceStopPending) {
      PrintWide(u".");
      os.Sleep(kStopPollMilliseconds);
    }
    if (process.serviceStatus.currentState == kServiceStopped) {
      PrintWide(std::u16string(u"\n") + kServiceName + u" stopped.\n");
    } else {
      PrintWide(std::u16string(u"\n") + kServiceName + u" failed to stop.\n");
    }
  }

  if (os.DeleteService(service.get())) {
    PrintWide(std::u16string(kServiceName) + u" removed.\n");
    os.DeleteEventSourceKey(kServiceName);
    TokenOs().DeleteMountRecord();
  } else {
    PrintFailure(u"DeleteService failed");
  }
}

}  // namespace kvn::service
