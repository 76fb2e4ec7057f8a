// The -install and -remove commands and LastErrorText against the fake service control
// manager: every message byte for byte, narrow or wide, and every call failing.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "fake/fake_windows.h"
#include "service/service_install.h"
#include "service/service_state.h"

namespace kvn {
namespace {

using namespace std::literals;

using Keys = std::map<std::u16string, std::u16string>;
constexpr char16_t kPath[] = u"C:\\Kelvarn\\kelvarn.exe";
constexpr char16_t kDescription[] =
    u"Kelvarn checks, if an USB stick with a key file is attached to the system. Finding one "
    u"with a valid config will mount and open an encrypted TrueCrypt container.";

// Every handle opened was closed, the service's before the manager's.
void ExpectHandlesClosed(const fake::FakeWindows& os) {
  const auto& closed = os.service.closedServiceHandles;
  EXPECT_EQ(os.service.openServiceHandles(), 0u);
  EXPECT_TRUE(closed.empty() || closed.back() == u"manager");
}

// --- install -------------------------------------------------------------------------------

// The two ChangeServiceConfig2 lines are narrow, every other message is wide. The path is
// registered quoted when it holds a blank, the message file never is; a path that fills the
// buffer has been cut and is not registered.
TEST(ServiceInstall, InstallRegistersTheServiceOrPrintsWhatFailed) {
  const std::u16string cut = u"C:\\" + std::u16string(505, u'k') + u".exe";  // 512 units
  const std::u16string blank = u"C:\\Program Files\\Kelvarn\\kelvarn.exe";
  const std::string installed = "ChangeServiceConfig2 succeeded\nKelvarn installed.\n";
  const struct {
    const char* call;  // made to fail with `error`; "exists": the service is there already
    std::uint32_t error;
    std::u16string modulePath;
    std::u16string registered;  // the binary path; empty: nothing new is installed
    std::string transcript;
  } kInstalls[] = {
      {"", 0, kPath, kPath, installed},
      {"", 0, blank, u"\"" + blank + u"\"", installed},
      {"", 0, cut.substr(0, 511), cut.substr(0, 511), installed},  // fits with its terminator
      {"", 0, cut, u"",
       "Unable to install Kelvarn - The data area passed to a system call is too small. "
       "(Error code: 0x7a)\n"},
      {"GetModuleFileName", 5, kPath, u"",
       "Unable to install Kelvarn - Access is denied. (Error code: 0x5)\n"},
      {"OpenSCManager", 5, kPath, u"",
       "OpenSCManager failed - Access is denied. (Error code: 0x5)\n"},
      {"CreateService", 1078, kPath, u"", "CreateService failed - \n"},  // no system text
      {"exists", 0, kPath, u"",
       "CreateService failed - The specified service already exists. (Error code: 0x431)\n"},
      {"ChangeServiceDescription", 87, kPath, kPath,
       "ChangeServiceConfig2 failed\nKelvarn installed.\n"},
      {"RegisterEventSourceKey", 5, kPath, kPath, installed},
  };
  for (const auto& c : kInstalls) {
    const std::string call = c.call;
    SCOPED_TRACE(call + " " + std::to_string(c.modulePath.size()));
    fake::FakeWindows os;
    os.service.modulePath = c.modulePath;
    if (call == "exists") {
      os.service.services[u"kelvarn"].description = u"as it was";
    } else if (!call.empty()) {
      os.service.FailCall(call, c.error);
    }
    service::InstallService();
    EXPECT_EQ(os.service.Transcript(), c.transcript);
    for (const auto& write : os.service.console) {
      EXPECT_EQ(write.wide, write.text.rfind(u"ChangeServiceConfig2", 0) != 0);
    }
    ExpectHandlesClosed(os);
    const fake::InstalledService* service = os.service.Service(u"Kelvarn");
    if (c.registered.empty()) {
      EXPECT_EQ(service != nullptr, call == "exists");
      EXPECT_TRUE(service == nullptr || service->description == u"as it was");
      EXPECT_TRUE(os.service.eventSourceKeys.empty());
      continue;
    }
    ASSERT_NE(service, nullptr);
    // Name, display name, all access, own process, automatic start, normal error control.
    EXPECT_EQ(std::tie(service->name, service->displayName, service->desiredAccess,
                       service->serviceType, service->startType, service->errorControl),
              std::make_tuple(u"Kelvarn"s, u"Kelvarn"s, 0xF01FFu, 0x10u, 2u, 1u));
    EXPECT_EQ(service->binaryPath, c.registered);
    EXPECT_EQ(service->description, call == "ChangeServiceDescription" ? u"" : kDescription);
    EXPECT_EQ(os.service.eventSourceKeys,
              (call == "RegisterEventSourceKey" ? Keys{} : Keys{{u"Kelvarn", c.modulePath}}));
  }
}

// --- remove --------------------------------------------------------------------------------

// Every message of a removal is wide; each dot of "Stopping Kelvarn." stands for a poll,
// after a second's wait.
TEST(ServiceInstall, RemovePrintsTheStopAndTheRemovalOfEachCase) {
  constexpr std::uint32_t kNone = 0, kStopped = service::kServiceStopped,
                          kRunning = service::kServiceRunning;
  const std::string stopping = "Stopping Kelvarn";
  const struct {
    std::uint32_t state;      // of the installed service, if any
    std::int64_t stopsAfter;  // ms of stop pending after a stop control (negative: for ever)
    std::uint32_t then;       // the state after that
    const char* call;         // made to fail with `error` at its `occurrence`
    std::uint32_t error;
    unsigned occurrence;
    std::string transcript;
  } kRemovals[] = {
      // clang-format off
      {kStopped, 0, kStopped, "", 0, 0, "Kelvarn removed.\n"},
      {kNone, 0, kStopped, "", 0, 0, "OpenService failed - The specified service does not exist "
       "as an installed service. (Error code: 0x424)\n"},
      {kStopped, 0, kStopped, "OpenSCManager", 5, 1,
       "OpenSCManager failed - Access is denied. (Error code: 0x5)\n"},
      {kRunning, 500, kStopped, "", 0, 0,
       "Stopping Kelvarn.\nKelvarn stopped.\nKelvarn removed.\n"},
      {kRunning, 3000, kStopped, "", 0, 0,
       "Stopping Kelvarn...\nKelvarn stopped.\nKelvarn removed.\n"},
      {kRunning, 2000, kRunning, "", 0, 0,
       "Stopping Kelvarn..\nKelvarn failed to stop.\nKelvarn removed.\n"},
      {kRunning, 500, kStopped, "QueryServiceStatus", 6, 1,  // tests the stop's answer
       "Stopping Kelvarn.\nKelvarn failed to stop.\nKelvarn removed.\n"},
      {kRunning, -1, kStopped, "QueryServiceStatus", 6, 3,
       "Stopping Kelvarn...\nKelvarn failed to stop.\nKelvarn removed.\n"},
      {kRunning, 0, kStopped, "ControlService", 1061, 1, "Kelvarn removed.\n"},
      {kStopped, 0, kStopped, "DeleteService", 1072, 1, "DeleteService failed - The specified "
       "service has been marked for deletion. (Error code: 0x430)\n"},
      // clang-format on
  };
  for (const auto& c : kRemovals) {
    SCOPED_TRACE(c.transcript);
    fake::FakeWindows os;
    if (c.state != kNone) {
      fake::InstalledService& service = os.service.services[u"kelvarn"];
      service.currentState = c.state;
      service.stopsAfter = c.stopsAfter;
      service.stateAfterStop = c.then;
      os.service.eventSourceKeys[u"Kelvarn"] = kPath;
    }
    if (*c.call != '\0') os.service.FailCall(c.call, c.error, c.occurrence);
    service::RemoveService();
    EXPECT_EQ(os.service.Transcript(), c.transcript);
    for (const auto& write : os.service.console) EXPECT_TRUE(write.wide);
    std::size_t polls = 0;
    if (c.transcript.compare(0, stopping.size(), stopping) == 0) {
      polls = c.transcript.find('\n') - stopping.size();
      EXPECT_EQ(os.service.console[0].text, u"Stopping Kelvarn.");  // shown before the wait
    }
    EXPECT_EQ(os.service.sleeps, std::vector<std::uint32_t>(polls, 1000));
    const bool removed = c.transcript.find("removed") != std::string::npos;
    const bool remains = c.state != kNone && !removed;
    EXPECT_EQ(os.service.Service(u"Kelvarn") != nullptr, remains);
    EXPECT_EQ(os.service.eventSourceKeys.count(u"Kelvarn"), remains ? 1u : 0u);
    if (removed) {  // the event source's key goes after the service
      const auto& log = os.service.callLog;
      EXPECT_LT(std::find(log.begin(), log.end(), "DeleteService"),
                std::find(log.begin(), log.end(), "DeleteEventSourceKey"));
    }
    ExpectHandlesClosed(os);
  }
}

// --- LastErrorText -------------------------------------------------------------------------

// The system's sentence without its CR LF, then the code in hex (as in every failure message
// above); up to 231 characters of sentence fit, a longer one or none at all gives an empty
// text; insertion points are kept as written.
TEST(ServiceInstall, LastErrorTextIsTheSystemSentenceAndTheCodeInHex) {
  const std::u16string fits(229, u'x'), fitsLine = fits + u"\r\n", longLine = fits + u"x\r\n";
  const struct {
    std::uint32_t code;
    const char16_t* message;
    std::u16string text;
  } kTexts[] = {
      {193, u"%1 is not a valid Win32 application.\r\n",
       u"%1 is not a valid Win32 application. (Error code: 0xc1)"},
      {0xFFFFFFFF, fitsLine.c_str(), fits + u" (Error code: 0xffffffff)"},
      {0xFFFFFFFF, longLine.c_str(), u""},
      {9000, u"X", u"X (Error code: 0x2328)"},  // too short to have a line end
      {9000, u"", u" (Error code: 0x2328)"},
  };
  for (const auto& c : kTexts) {
    SCOPED_TRACE(c.code);
    fake::FakeWindows os;
    os.service.systemMessages[c.code] = c.message;
    os.kernel.lastError = c.code;
    EXPECT_EQ(std::u16string(service::LastErrorText()), c.text);
  }
  fake::FakeWindows os;
  os.kernel.lastError = 5;
  const char16_t* first = service::LastErrorText();
  os.service.FailCall("FormatSystemMessage", 87, 2);
  EXPECT_EQ(service::LastErrorText(), first);  // one buffer, overwritten by every call
  EXPECT_EQ(std::u16string(first), u"");
}

}  // namespace
}  // namespace kvn
