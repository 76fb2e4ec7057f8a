// The -install and -remove commands and LastErrorText against the fake service control
// manager: every message byte for byte, narrow or wide, and every call failing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake/fake_windows.h"
#include "service/service_install.h"
#include "service/service_state.h"

namespace kvn {
namespace {

constexpr char16_t kDescription[] =
    u"Kelvarn checks, if an USB stick with a key file is attached to the system. Finding one "
    u"with a valid config will mount and open an encrypted TrueCrypt container.";

class ServiceInstallTest : public ::testing::Test {
 protected:
  // Console writes as (wide?, text) pairs, so that each message's outlet is checked.
  std::vector<std::pair<bool, std::u16string>> Writes() const {
    std::vector<std::pair<bool, std::u16string>> writes;
    for (const auto& write : os.service.console) writes.emplace_back(write.wide, write.text);
    return writes;
  }
  std::string Text() const { return os.service.Transcript(); }

  // A running Kelvarn service that leaves stop pending `stopsAfter` ms after a stop.
  fake::InstalledService& Running(std::int64_t stopsAfter) {
    fake::InstalledService& service = os.service.services[u"kelvarn"];
    service.name = u"Kelvarn";
    service.serviceType = 0x10;
    service.currentState = service::kServiceRunning;
    service.stopsAfter = stopsAfter;
    return service;
  }
  void Stopped() {
    Running(0).currentState = service::kServiceStopped;
    os.service.eventSourceKeys[u"Kelvarn"] = u"C:\\Kelvarn\\kelvarn.exe";
  }
  bool Called(const std::string& call) const { return os.service.Calls(call) != 0; }
  std::size_t IndexOf(const std::string& call) const {
    const auto& log = os.service.callLog;
    return static_cast<std::size_t>(std::find(log.begin(), log.end(), call) - log.begin());
  }

  fake::FakeWindows os;
};

using Expected = std::vector<std::pair<bool, std::u16string>>;
constexpr bool kWide = true;
constexpr bool kNarrow = false;

// --- install -------------------------------------------------------------------------------

TEST_F(ServiceInstallTest, InstallRegistersAnAutoStartOwnProcessServiceWithItsDescription) {
  service::InstallService();
  EXPECT_EQ(Writes(), (Expected{{kNarrow, u"ChangeServiceConfig2 succeeded\n"},
                                {kWide, u"Kelvarn installed.\n"}}));
  const fake::InstalledService* installed = os.service.Service(u"Kelvarn");
  ASSERT_NE(installed, nullptr);
  EXPECT_EQ(installed->name, u"Kelvarn");
  EXPECT_EQ(installed->displayName, u"Kelvarn");
  EXPECT_EQ(installed->desiredAccess, 0xF01FFu);
  EXPECT_EQ(installed->serviceType, 0x10u);
  EXPECT_EQ(installed->startType, 2u);
  EXPECT_EQ(installed->errorControl, 1u);
  EXPECT_EQ(installed->binaryPath, u"C:\\Kelvarn\\kelvarn.exe");
  EXPECT_EQ(installed->description, kDescription);
  EXPECT_EQ(os.service.eventSourceKeys,
            (std::map<std::u16string, std::u16string>{{u"Kelvarn", u"C:\\Kelvarn\\kelvarn.exe"}}));
  EXPECT_EQ(os.service.closedServiceHandles, (std::vector<std::u16string>{u"kelvarn", u"manager"}));
  EXPECT_EQ(os.service.openServiceHandles(), 0u);
}

TEST_F(ServiceInstallTest, APathWithABlankIsRegisteredInQuotes) {
  os.service.modulePath = u"C:\\Program Files\\Kelvarn\\kelvarn.exe";
  service::InstallService();
  ASSERT_NE(os.service.Service(u"Kelvarn"), nullptr);
  EXPECT_EQ(os.service.Service(u"Kelvarn")->binaryPath,
            u"\"C:\\Program Files\\Kelvarn\\kelvarn.exe\"");
  // The message file is a plain path, never quoted.
  EXPECT_EQ(os.service.eventSourceKeys[u"Kelvarn"], u"C:\\Program Files\\Kelvarn\\kelvarn.exe");
  EXPECT_EQ(Text(), "ChangeServiceConfig2 succeeded\nKelvarn installed.\n");
}

TEST_F(ServiceInstallTest, InstallingTwiceFailsWithTheSystemTextAndLeavesTheServiceAlone) {
  service::InstallService();
  os.service.Service(u"Kelvarn")->description = u"as it was";
  os.service.console.clear();
  os.service.closedServiceHandles.clear();
  service::InstallService();
  EXPECT_EQ(Writes(), (Expected{{kWide,
                                 u"CreateService failed - The specified service already exists. "
                                 u"(Error code: 0x431)\n"}}));
  EXPECT_EQ(os.service.Calls("ChangeServiceDescription"), 1u);
  EXPECT_EQ(os.service.Service(u"Kelvarn")->description, u"as it was");
  EXPECT_EQ(os.service.closedServiceHandles, (std::vector<std::u16string>{u"manager"}));
}

TEST_F(ServiceInstallTest, UnknownModulePathEndsTheInstallBeforeTheManager) {
  os.service.FailCall("GetModuleFileName", 5);
  service::InstallService();
  EXPECT_EQ(
      Writes(),
      (Expected{{kWide, u"Unable to install Kelvarn - Access is denied. (Error code: 0x5)\n"}}));
  EXPECT_FALSE(Called("OpenSCManager"));
}

TEST_F(ServiceInstallTest, AModulePathCutByItsBufferIsNotRegistered) {
  os.service.modulePath = u"C:\\" + std::u16string(505, u'k') + u".exe";  // 512 characters
  service::InstallService();
  EXPECT_EQ(Text(),
            "Unable to install Kelvarn - The data area passed to a system call is too small. "
            "(Error code: 0x7a)\n");
  EXPECT_FALSE(Called("OpenSCManager"));
  EXPECT_TRUE(os.service.services.empty());

  os.service.modulePath.pop_back();  // 511 characters fit with their terminator
  os.service.console.clear();
  service::InstallService();
  ASSERT_NE(os.service.Service(u"Kelvarn"), nullptr);
  EXPECT_EQ(os.service.Service(u"Kelvarn")->binaryPath, os.service.modulePath);
}

TEST_F(ServiceInstallTest, InstallWithoutTheManagerPrintsItsText) {
  os.service.FailCall("OpenSCManager", 5);
  service::InstallService();
  EXPECT_EQ(Writes(),
            (Expected{{kWide, u"OpenSCManager failed - Access is denied. (Error code: 0x5)\n"}}));
  EXPECT_FALSE(Called("CreateService"));
  EXPECT_TRUE(os.service.closedServiceHandles.empty());
}

TEST_F(ServiceInstallTest, AnErrorWithoutSystemTextEndsTheMessageAfterTheDash) {
  os.service.FailCall("CreateService", 1078);  // no text in the fake's table
  service::InstallService();
  EXPECT_EQ(Writes(), (Expected{{kWide, u"CreateService failed - \n"}}));
  EXPECT_EQ(os.service.closedServiceHandles, (std::vector<std::u16string>{u"manager"}));
}

TEST_F(ServiceInstallTest, AMissingDescriptionStillInstalls) {
  os.service.FailCall("ChangeServiceDescription", 87);
  service::InstallService();
  EXPECT_EQ(Writes(), (Expected{{kNarrow, u"ChangeServiceConfig2 failed\n"},
                                {kWide, u"Kelvarn installed.\n"}}));
  EXPECT_NE(os.service.Service(u"Kelvarn"), nullptr);
  EXPECT_EQ(os.service.closedServiceHandles, (std::vector<std::u16string>{u"kelvarn", u"manager"}));
}

TEST_F(ServiceInstallTest, AMissingEventSourceKeyChangesNoMessage) {
  os.service.FailCall("RegisterEventSourceKey", 5);
  service::InstallService();
  EXPECT_EQ(Text(), "ChangeServiceConfig2 succeeded\nKelvarn installed.\n");
  EXPECT_TRUE(os.service.eventSourceKeys.empty());
}

// --- remove --------------------------------------------------------------------------------

TEST_F(ServiceInstallTest, RemovingAStoppedServiceDeletesItWithoutStopping) {
  Stopped();
  service::RemoveService();
  EXPECT_EQ(Writes(), (Expected{{kWide, u"Kelvarn removed.\n"}}));
  EXPECT_TRUE(os.service.services.empty());
  EXPECT_TRUE(os.service.sleeps.empty());
  EXPECT_TRUE(os.service.eventSourceKeys.empty());
  EXPECT_LT(IndexOf("DeleteService"), IndexOf("DeleteEventSourceKey"));
  EXPECT_EQ(os.service.closedServiceHandles, (std::vector<std::u16string>{u"kelvarn", u"manager"}));
}

TEST_F(ServiceInstallTest, RemovingAMissingServicePrintsOpenServiceFailedOnly) {
  service::RemoveService();
  EXPECT_EQ(Writes(), (Expected{{kWide,
                                 u"OpenService failed - The specified service does not exist as an "
                                 u"installed service. (Error code: 0x424)\n"}}));
  EXPECT_FALSE(Called("ControlService"));
  EXPECT_FALSE(Called("DeleteService"));
  EXPECT_EQ(os.service.closedServiceHandles, (std::vector<std::u16string>{u"manager"}));
}

TEST_F(ServiceInstallTest, RemoveWithoutTheManagerPrintsItsText) {
  os.service.FailCall("OpenSCManager", 5);
  service::RemoveService();
  EXPECT_EQ(Text(), "OpenSCManager failed - Access is denied. (Error code: 0x5)\n");
  EXPECT_FALSE(Called("OpenService"));
}

TEST_F(ServiceInstallTest, AServiceStoppingWithinTheFirstSecondPrintsNoDots) {
  Running(500);
  service::RemoveService();
  EXPECT_EQ(Writes(), (Expected{{kWide, u"Stopping Kelvarn."},
                                {kWide, u"\nKelvarn stopped.\n"},
                                {kWide, u"Kelvarn removed.\n"}}));
  EXPECT_EQ(os.service.sleeps, (std::vector<std::uint32_t>{1000}));
}

TEST_F(ServiceInstallTest, OneDotPerSecondWhileTheServiceStaysStopPending) {
  Running(3000);
  service::RemoveService();
  EXPECT_EQ(Text(), "Stopping Kelvarn...\nKelvarn stopped.\nKelvarn removed.\n");
  EXPECT_EQ(os.service.sleeps, (std::vector<std::uint32_t>{1000, 1000, 1000}));
  EXPECT_EQ(os.kernel.now(), 3000u);
}

TEST_F(ServiceInstallTest, LeavingStopPendingForAnotherStateFailsToStop) {
  Running(2000).stateAfterStop = service::kServiceRunning;
  service::RemoveService();
  EXPECT_EQ(Text(), "Stopping Kelvarn..\nKelvarn failed to stop.\nKelvarn removed.\n");
}

TEST_F(ServiceInstallTest, AFailedQueryTestsTheStateLastReceived) {
  Running(500);
  os.service.FailCall("QueryServiceStatus", 6);
  service::RemoveService();
  // The stop control left stop pending in the record.
  EXPECT_EQ(Text(), "Stopping Kelvarn.\nKelvarn failed to stop.\nKelvarn removed.\n");
  EXPECT_EQ(service::serviceStatus.currentState, service::kServiceStopPending);
}

TEST_F(ServiceInstallTest, AFailedLaterQueryKeepsTheStateOfTheEarlierOne) {
  Running(-1);
  os.service.FailCall("QueryServiceStatus", 6, 3);
  service::RemoveService();
  EXPECT_EQ(Text(), "Stopping Kelvarn...\nKelvarn failed to stop.\nKelvarn removed.\n");
}

TEST_F(ServiceInstallTest, AStopThatIsNotDeliveredLetsTheRemovalGoOn) {
  Running(0);
  os.service.FailCall("ControlService", 1061);
  service::RemoveService();
  EXPECT_EQ(Writes(), (Expected{{kWide, u"Kelvarn removed.\n"}}));
  EXPECT_FALSE(Called("QueryServiceStatus"));
}

TEST_F(ServiceInstallTest, AFailedDeletionKeepsTheEventSourceKey) {
  Stopped();
  os.service.FailCall("DeleteService", 1072);
  service::RemoveService();
  EXPECT_EQ(Writes(),
            (Expected{{kWide,
                       u"DeleteService failed - The specified service has been marked for "
                       u"deletion. (Error code: 0x430)\n"}}));
  EXPECT_EQ(os.service.eventSourceKeys.count(u"Kelvarn"), 1u);
  EXPECT_EQ(os.service.closedServiceHandles, (std::vector<std::u16string>{u"kelvarn", u"manager"}));
}

// --- LastErrorText -------------------------------------------------------------------------

TEST_F(ServiceInstallTest, ErrorTextIsTheSentenceWithoutItsLineEndAndTheCodeInHex) {
  os.kernel.lastError = 5;
  EXPECT_EQ(std::u16string(service::LastErrorText()), u"Access is denied. (Error code: 0x5)");
  os.service.systemMessages[0xDEADBEEF] = u"Odd.\r\n";
  os.kernel.lastError = 0xDEADBEEF;
  EXPECT_EQ(std::u16string(service::LastErrorText()), u"Odd. (Error code: 0xdeadbeef)");
}

TEST_F(ServiceInstallTest, ErrorTextKeepsInsertionPointsAsWritten) {
  os.service.systemMessages[193] = u"%1 is not a valid Win32 application.\r\n";
  os.kernel.lastError = 193;
  EXPECT_EQ(std::u16string(service::LastErrorText()),
            u"%1 is not a valid Win32 application. (Error code: 0xc1)");
}

TEST_F(ServiceInstallTest, SystemTextsUpTo231CharactersFitAndLongerOnesGiveNothing) {
  os.kernel.lastError = 0xFFFFFFFF;
  os.service.systemMessages[0xFFFFFFFF] = std::u16string(229, u'x') + u"\r\n";
  const std::u16string fits = service::LastErrorText();
  EXPECT_EQ(fits, std::u16string(229, u'x') + u" (Error code: 0xffffffff)");
  EXPECT_EQ(fits.size(), 254u);

  os.service.systemMessages[0xFFFFFFFF] = std::u16string(230, u'x') + u"\r\n";
  EXPECT_EQ(std::u16string(service::LastErrorText()), u"");
}

TEST_F(ServiceInstallTest, ATextShorterThanTwoCharactersIsUsedAsItIs) {
  os.kernel.lastError = 9000;
  os.service.systemMessages[9000] = u"X";
  EXPECT_EQ(std::u16string(service::LastErrorText()), u"X (Error code: 0x2328)");
  os.service.systemMessages[9000] = u"";
  EXPECT_EQ(std::u16string(service::LastErrorText()), u" (Error code: 0x2328)");
}

TEST_F(ServiceInstallTest, ATextTheSystemCannotSupplyIsEmpty) {
  os.kernel.lastError = 9001;
  EXPECT_EQ(std::u16string(service::LastErrorText()), u"");
  os.kernel.lastError = 5;
  os.service.FailCall("FormatSystemMessage", 87, 0);
  EXPECT_EQ(std::u16string(service::LastErrorText()), u"");
}

TEST_F(ServiceInstallTest, EveryCallOverwritesTheOneBuffer) {
  os.kernel.lastError = 5;
  const char16_t* first = service::LastErrorText();
  os.kernel.lastError = 2;
  const char16_t* second = service::LastErrorText();
  EXPECT_EQ(first, second);
  EXPECT_EQ(std::u16string(second),
            u"The system cannot find the file specified. (Error code: 0x2)");
}

}  // namespace
}  // namespace kvn
