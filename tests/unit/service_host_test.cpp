// The service host against the fake Windows: status records and checkpoints, the control
// handler, event-log entries, the command-line modes and the console control handler.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "common/process_state.h"
#include "fake/fake_windows.h"
#include "service/service_host.h"
#include "service/service_state.h"

namespace kvn {
namespace {

using service::kServiceRunning;
using service::kServiceStartPending;
using service::kServiceStopped;
using service::kServiceStopPending;

constexpr std::uint32_t kStop = 1;
constexpr std::uint32_t kInterrogate = 4;

constexpr char kUsage[] =
    "Kelvarn -help or -?       to display this list\n"
    "Kelvarn -install          to install the service\n"
    "Kelvarn -remove           to remove the service\n"
    "Kelvarn -debug <params>   to run as a console app for debugging\n"
    "Kelvarn (no parameter)    starts the service if installed\n";

constexpr char kDispatcherLines[] =
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

// One status record as handed over, in a form that reads well in a failure.
std::string Describe(const fake::StatusReport& report) {
  const os::ServiceStatus& s = report.status;
  return "t=" + std::to_string(report.time) + " type=" + std::to_string(s.serviceType) +
         " state=" + std::to_string(s.currentState) +
         " accepts=" + std::to_string(s.controlsAccepted) +
         " exit=" + std::to_string(s.win32ExitCode) +
         " specific=" + std::to_string(s.serviceSpecificExitCode) +
         " cp=" + std::to_string(s.checkPoint) + " hint=" + std::to_string(s.waitHint);
}

std::string Record(std::uint64_t time, std::uint32_t state, std::uint32_t accepts,
                   std::uint32_t exitCode, std::uint32_t checkPoint, std::uint32_t waitHint) {
  fake::StatusReport report;
  report.time = time;
  report.status = {0x10, state, accepts, exitCode, 0, checkPoint, waitHint};
  return Describe(report);
}

std::vector<std::string> Describe(const std::vector<fake::StatusReport>& reports) {
  std::vector<std::string> lines;
  for (const auto& report : reports) lines.push_back(Describe(report));
  return lines;
}

class ServiceHostTest : public ::testing::Test {
 protected:
  // The whole process with "kelvarn.exe" and `args` as its command line.
  int Run(std::initializer_list<const char*> args) {
    std::vector<std::string> storage{"kelvarn.exe"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return service::RunProcess(static_cast<int>(storage.size()), argv.data());
  }

  // Started by the service control manager, with a stop control at `stopAt`.
  int RunService(std::uint64_t stopAt) {
    os.service.startedByServiceManager = true;
    os.kernel.At(stopAt, [this] { os.service.SendControl(kStop); });
    return Run({});
  }

  const std::vector<fake::EventLogEntry>& Entries() const { return os.service.eventLog; }

  fake::FakeWindows os;
};

// --- status records ------------------------------------------------------------------------

TEST_F(ServiceHostTest, StartRunAndStopHandOverTheRecordsInOrder) {
  EXPECT_EQ(RunService(5000), 0);
  EXPECT_EQ(Describe(os.service.statuses), (std::vector<std::string>{
                                               Record(0, kServiceStartPending, 0, 0, 1, 3000),
                                               Record(0, kServiceStartPending, 0, 0, 2, 3000),
                                               Record(0, kServiceRunning, 1, 0, 0, 0),
                                               Record(5000, kServiceStopPending, 1, 0, 3, 0),
                                               Record(5000, kServiceStopped, 1, 0, 0, 0),
                                           }));
  EXPECT_EQ(os.service.registeredName, u"Kelvarn");
  EXPECT_EQ(os.service.dispatchedName, u"Kelvarn");
  EXPECT_EQ(os.service.Transcript(), kDispatcherLines);
  EXPECT_TRUE(Entries().empty());
  EXPECT_EQ(os.kernel.openEvents(), 0u);
  EXPECT_EQ(service::stopEvent.load(), nullptr);
}

TEST_F(ServiceHostTest, InterrogateWhileRunningRepeatsRunningWithoutTakingACheckpoint) {
  os.kernel.At(1000, [this] { os.service.SendControl(kInterrogate); });
  RunService(5000);
  ASSERT_EQ(os.service.statuses.size(), 6u);
  EXPECT_EQ(Describe(os.service.statuses[3]), Record(1000, kServiceRunning, 1, 0, 0, 0));
  EXPECT_EQ(Describe(os.service.statuses[4]), Record(5000, kServiceStopPending, 1, 0, 3, 0));
}

TEST_F(ServiceHostTest, InterrogateWhileStartPendingTakesTheNextCheckpointAndAcceptsNothing) {
  service::statusHandle = reinterpret_cast<os::Handle>(fake::FakeServicePlatform::kStatusHandle);
  service::serviceStatus.serviceType = 0x10;
  ASSERT_TRUE(service::ReportStatus(kServiceStartPending, 0, 3000));
  service::ServiceControlHandler(kInterrogate);
  EXPECT_EQ(Describe(os.service.statuses),
            (std::vector<std::string>{Record(0, kServiceStartPending, 0, 0, 1, 3000),
                                      Record(0, kServiceStartPending, 0, 0, 2, 0)}));
  EXPECT_EQ(service::checkPoint, 3u);
}

TEST_F(ServiceHostTest, StopBeforeTheEventExistsIsReportedAndSignalsNothing) {
  service::statusHandle = reinterpret_cast<os::Handle>(fake::FakeServicePlatform::kStatusHandle);
  service::ServiceControlHandler(kStop);
  ASSERT_EQ(os.service.statuses.size(), 1u);
  EXPECT_EQ(os.service.statuses[0].status.currentState, kServiceStopPending);
  EXPECT_EQ(os.service.statuses[0].status.checkPoint, 1u);
  EXPECT_EQ(os.service.Calls("SetEvent"), 0u);
}

TEST_F(ServiceHostTest, StopIsReportedPendingBeforeTheEventIsSignalled) {
  RunService(5000);
  const auto& log = os.service.callLog;
  const auto setEvent = std::find(log.begin(), log.end(), "SetEvent");
  ASSERT_NE(setEvent, log.end());
  // The SetServiceStatus just before SetEvent is the stop-pending one.
  EXPECT_EQ(*(setEvent - 1), "SetServiceStatus");
  EXPECT_EQ(os.service.statuses[3].status.currentState, kServiceStopPending);
}

// --- failures of the service calls ---------------------------------------------------------

TEST_F(ServiceHostTest, FailedHandlerRegistrationEndsServiceMainSilently) {
  os.service.FailCall("RegisterServiceCtrlHandler", 1063);
  EXPECT_EQ(RunService(5000), 0);
  EXPECT_TRUE(os.service.statuses.empty());
  EXPECT_TRUE(Entries().empty());
  EXPECT_EQ(os.service.Calls("CreateEvent"), 0u);
  EXPECT_EQ(os.token.getDrivesCalls(), 0);
}

TEST_F(ServiceHostTest, FailedFirstStartReportSkipsTheWatcherAndStopsWithItsCode) {
  os.service.FailCall("SetServiceStatus", 6, 1);
  RunService(5000);
  EXPECT_EQ(Describe(os.service.statuses),
            (std::vector<std::string>{Record(0, kServiceStopped, 1, 6, 0, 0)}));
  ASSERT_EQ(Entries().size(), 1u);
  EXPECT_EQ(Entries()[0].strings,
            (std::vector<std::u16string>{u"Kelvarn error: 6", u"SetServiceStatus"}));
  EXPECT_EQ(os.service.Calls("CreateEvent"), 0u);
  EXPECT_EQ(os.token.getDrivesCalls(), 0);
}

TEST_F(ServiceHostTest, FailedStoppedReportIsLoggedAndServiceMainStillReturns) {
  os.service.FailCall("SetServiceStatus", 1, 5);
  EXPECT_EQ(RunService(5000), 0);
  EXPECT_EQ(os.service.statuses.size(), 4u);
  ASSERT_EQ(Entries().size(), 1u);
  EXPECT_EQ(Entries()[0].strings,
            (std::vector<std::u16string>{u"Kelvarn error: 1", u"SetServiceStatus"}));
  EXPECT_EQ(service::lastServiceError, 1u);
}

TEST_F(ServiceHostTest, FailedStopPendingReportStillSignalsAndTheCodeBecomesTheExitCode) {
  os.service.FailCall("SetServiceStatus", 8, 4);
  RunService(5000);
  EXPECT_EQ(Describe(os.service.statuses), (std::vector<std::string>{
                                               Record(0, kServiceStartPending, 0, 0, 1, 3000),
                                               Record(0, kServiceStartPending, 0, 0, 2, 3000),
                                               Record(0, kServiceRunning, 1, 0, 0, 0),
                                               Record(5000, kServiceStopped, 1, 8, 0, 0),
                                           }));
  ASSERT_EQ(Entries().size(), 1u);
}

TEST_F(ServiceHostTest, UnopenableEventSourceWritesNothingButKeepsTheCode) {
  os.service.FailCall("SetServiceStatus", 6, 3);
  os.service.FailCall("RegisterEventSource", 5);
  RunService(5000);
  EXPECT_TRUE(Entries().empty());
  EXPECT_EQ(service::lastServiceError, 6u);
  ASSERT_FALSE(os.service.statuses.empty());
  EXPECT_EQ(os.service.statuses.back().status.win32ExitCode, 6u);
}

// --- the event log ---------------------------------------------------------------------------

TEST_F(ServiceHostTest, AnEntryIsOneErrorWithTwoStringsFromTheKelvarnSource) {
  os.kernel.lastError = 1062;
  service::LogServiceError(u"SetServiceStatus");
  ASSERT_EQ(Entries().size(), 1u);
  const fake::EventLogEntry& entry = Entries()[0];
  EXPECT_EQ(entry.type, 1);
  EXPECT_EQ(entry.category, 0);
  EXPECT_EQ(entry.id, 0u);
  EXPECT_EQ(entry.strings,
            (std::vector<std::u16string>{u"Kelvarn error: 1062", u"SetServiceStatus"}));
  EXPECT_EQ(os.service.eventSourcesOpened, (std::vector<std::u16string>{u"Kelvarn"}));
  EXPECT_EQ(os.service.openEventSources, 0);
  EXPECT_EQ(service::lastServiceError, 1062u);
}

TEST_F(ServiceHostTest, CodesFromTwoToTheThirtyFirstAreShownAsNegativeNumbers) {
  os.kernel.lastError = 0x80070005;
  service::LogServiceError(u"SetServiceStatus");
  ASSERT_EQ(Entries().size(), 1u);
  EXPECT_EQ(Entries()[0].strings[0], u"Kelvarn error: -2147024891");
  os.kernel.lastError = 0x80000000;
  service::LogServiceError(u"x");
  EXPECT_EQ(Entries()[1].strings[0], u"Kelvarn error: -2147483648");
  EXPECT_EQ(service::lastServiceError, 0x80000000u);
}

TEST_F(ServiceHostTest, DebugModeReportsNothingAndLogsNothing) {
  debugMode = true;
  service::serviceStatus.currentState = kServiceRunning;
  service::lastServiceError = 7;
  os.kernel.lastError = 5;
  EXPECT_TRUE(service::ReportStatus(kServiceStopPending, 0, 0));
  service::LogServiceError(u"SetServiceStatus");
  EXPECT_EQ(service::serviceStatus.currentState, kServiceRunning);
  EXPECT_EQ(service::checkPoint, 1u);
  EXPECT_EQ(service::lastServiceError, 7u);
  EXPECT_TRUE(os.service.statuses.empty());
  EXPECT_TRUE(Entries().empty());
  EXPECT_TRUE(os.service.callLog.empty());
}

// Departure from an unlocked record: the two service threads report under one lock, so no
// checkpoint is handed over twice and the records reach the manager in counting order.
TEST_F(ServiceHostTest, ReportsFromTwoThreadsNeverShareACheckpoint) {
  service::statusHandle = reinterpret_cast<os::Handle>(fake::FakeServicePlatform::kStatusHandle);
  constexpr int kPerThread = 2000;
  auto reporter = [] {
    for (int i = 0; i < kPerThread; ++i) service::ReportStatus(kServiceStopPending, 0, 0);
  };
  std::thread first(reporter);
  std::thread second(reporter);
  first.join();
  second.join();
  ASSERT_EQ(os.service.statuses.size(), 2u * kPerThread);
  for (std::size_t i = 0; i < os.service.statuses.size(); ++i) {
    ASSERT_EQ(os.service.statuses[i].status.checkPoint, i + 1) << "record " << i;
  }
}

// --- the command line ------------------------------------------------------------------------

TEST_F(ServiceHostTest, HelpAndQuestionMarkPrintTheUsageListNarrow) {
  debugMode = true;  // cleared for every mode but -debug
  for (const char* word : {"-help", "-HELP", "/?", "-?", "/Help"}) {
    os.service.console.clear();
    EXPECT_EQ(Run({word}), 0) << word;
    EXPECT_EQ(os.service.Transcript(), kUsage) << word;
    EXPECT_FALSE(debugMode);
    for (const auto& write : os.service.console) EXPECT_FALSE(write.wide) << word;
  }
}

TEST_F(ServiceHostTest, OnlyTheFirstArgumentCounts) {
  EXPECT_EQ(Run({"-help", "-install"}), 0);
  EXPECT_EQ(os.service.Transcript(), kUsage);
  EXPECT_EQ(os.service.Calls("OpenSCManager"), 0u);
}

TEST_F(ServiceHostTest, InstallSwitchIgnoresCaseAndPrefix) {
  for (const char* word : {"-INSTALL", "/Install", "-install"}) {
    os.service.services.clear();
    EXPECT_EQ(Run({word}), 0) << word;
    EXPECT_NE(os.service.Service(u"Kelvarn"), nullptr) << word;
  }
}

TEST_F(ServiceHostTest, RemoveSwitchIgnoresCase) {
  EXPECT_EQ(Run({"-Remove"}), 0);
  EXPECT_EQ(os.service.Calls("OpenService"), 1u);
  EXPECT_EQ(os.service.Calls("CreateService"), 0u);
}

TEST_F(ServiceHostTest, DebugSwitchRunsTheWatcherOnThisThreadWithoutReports) {
  os.kernel.At(2500, [this] { os.service.SendConsoleEvent(0); });
  EXPECT_EQ(Run({"/DEBUG", "a", "b", "c"}), 0);
  EXPECT_TRUE(debugMode);
  EXPECT_NE(os.service.consoleHandler, nullptr);
  EXPECT_EQ(os.service.Calls("CreateEvent"), 1u);
  EXPECT_EQ(os.service.Calls("StartServiceCtrlDispatcher"), 0u);
  EXPECT_TRUE(os.service.statuses.empty());
  EXPECT_EQ(os.kernel.now(), 2500u);
  EXPECT_EQ(os.service.Transcript(), "Stopping Kelvarn.\n");
}

TEST_F(ServiceHostTest, UnknownWordsEndTheProcessSilently) {
  for (const char* word : {"-inst", "-installx", "--install", "-", "/", "-debugx", "-h"}) {
    os.service.callLog.clear();
    os.service.console.clear();
    EXPECT_EQ(Run({word}), 0) << word;
    EXPECT_TRUE(os.service.callLog.empty()) << word;
    EXPECT_TRUE(os.service.console.empty()) << word;
  }
}

TEST_F(ServiceHostTest, NoArgumentOrANonSwitchTakesTheServicePath) {
  for (std::initializer_list<const char*> args :
       {std::initializer_list<const char*>{}, {"install"}, {""}, {"+debug"}}) {
    os.service.console.clear();
    os.service.eventLog.clear();
    os.service.callLog.clear();
    const unsigned before = os.service.Calls("StartServiceCtrlDispatcher");
    EXPECT_EQ(Run(args), 0);
    EXPECT_EQ(os.service.Calls("StartServiceCtrlDispatcher"), before + 1);
    EXPECT_EQ(os.service.Transcript(), std::string(kDispatcherLines) +
                                           "Service couldn't be started. Perhaps not installed.\n");
  }
}

TEST_F(ServiceHostTest, FailedDispatcherLogsOneEntryAndPrintsItsLineAfterIt) {
  EXPECT_EQ(Run({}), 0);
  ASSERT_EQ(Entries().size(), 1u);
  EXPECT_EQ(Entries()[0].type, 1);
  EXPECT_EQ(
      Entries()[0].strings,
      (std::vector<std::u16string>{u"Kelvarn error: 1063", u"StartServiceCtrlDispatcher failed."}));
  ASSERT_EQ(os.service.console.size(), 3u);
  for (const auto& write : os.service.console) EXPECT_FALSE(write.wide);
  EXPECT_EQ(os.service.callLog.back(), "DeregisterEventSource");
}

// --- the console control handler --------------------------------------------------------------

TEST_F(ServiceHostTest, CtrlCBeforeTheEventExistsPrintsAndSignalsNothing) {
  EXPECT_NE(service::ConsoleControlHandler(0), 0);
  EXPECT_EQ(os.service.Transcript(), "Stopping Kelvarn.\n");
  ASSERT_EQ(os.service.console.size(), 1u);
  EXPECT_TRUE(os.service.console[0].wide);
  EXPECT_EQ(os.service.Calls("SetEvent"), 0u);
}

TEST_F(ServiceHostTest, CtrlCAndCtrlBreakSignalTheEvent) {
  for (std::uint32_t event : {0u, 1u}) {
    const os::Handle stop = os.kernel.CreateEvent();
    service::PublishStopEvent(stop);
    EXPECT_NE(service::ConsoleControlHandler(event), 0) << event;
    EXPECT_TRUE(os.kernel.IsSignalled(stop)) << event;
    service::CloseStopEvent();
  }
  EXPECT_EQ(os.service.Transcript(), "Stopping Kelvarn.\nStopping Kelvarn.\n");
}

TEST_F(ServiceHostTest, OtherConsoleEventsArePassedOn) {
  const os::Handle stop = os.kernel.CreateEvent();
  service::PublishStopEvent(stop);
  for (std::uint32_t event : {2u, 5u, 6u}) {
    EXPECT_EQ(service::ConsoleControlHandler(event), 0) << event;
  }
  EXPECT_FALSE(os.kernel.IsSignalled(stop));
  EXPECT_TRUE(os.service.console.empty());
  service::CloseStopEvent();
}

}  // namespace
}  // namespace kvn
