// The watch cycle against the fake Windows: its start reports and exits, and how a stop ends
// it — at the pause that sees the stop event, after dismounting what this turn mounted.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/process_state.h"
#include "fake/fake_windows.h"
#include "service/service_host.h"
#include "service/service_state.h"
#include "token/watch_cycle.h"

namespace kvn {
namespace {

constexpr std::uint32_t kStop = 1;
constexpr char16_t kLog[] = u"C:\\Trace\\kvn.log";
constexpr char kIni[] =
    "[Truecrypt]\r\n"
    "Truecrypt=C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\r\n"
    "[Config]\r\n"
    "Key=keys\\vault.key\r\n"
    "Container=C:\\Private\\vault.tc\r\n"
    "TargetDrive=T\r\n"
    "IfUsed=1\r\n";

class WatchCycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os.token.AddFolder(u"C:\\Trace");
    os.token.AddFile(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe");
    os.token.AddFile(u"C:\\Private\\vault.tc");
  }

  // The stick as drive E:, plugged in.
  void AttachStick() {
    os.token.AddDrive(u'E', fake::kDriveRemovable);
    os.token.AddFile(u"E:\\kvn.ini", kIni);
    os.token.AddFile(u"E:\\keys\\vault.key", "key");
  }

  // As a service started by the manager, with a stop control at `stopAt`.
  void RunService(std::uint64_t stopAt) {
    os.service.startedByServiceManager = true;
    os.kernel.At(stopAt, [this] { os.service.SendControl(kStop); });
    char name[] = "kelvarn.exe";
    char* argv[] = {name, nullptr};
    service::RunProcess(1, argv);
  }

  // In debug mode, with Ctrl+C at `stopAt`.
  void RunDebug(std::uint64_t stopAt) {
    debugMode = true;
    os.service.SetConsoleCtrlHandler(&service::ConsoleControlHandler);
    os.kernel.At(stopAt, [this] { os.service.SendConsoleEvent(0); });
    RunWatcher();
  }

  const fake::StatusReport& Last() const { return os.service.statuses.back(); }
  std::string Trace() const { return os.token.FileContents(kLog); }
  static bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
  }
  static bool Dismounts(const fake::ProcessStart& start) {
    return start.wait && start.commandLine.find(u" /d") != std::u16string::npos;
  }

  fake::FakeWindows os;
};

// --- how the cycle ends ----------------------------------------------------------------------

TEST_F(WatchCycleTest, AnIdleStopEndsAtTheCurrentPauseNotAfterIt) {
  RunService(4321);
  ASSERT_GE(os.service.statuses.size(), 2u);
  EXPECT_EQ(Last().status.currentState, service::kServiceStopped);
  EXPECT_EQ(Last().time, 4321u);
  EXPECT_EQ(os.kernel.now(), 4321u);
  EXPECT_TRUE(os.token.starts.empty());
  EXPECT_EQ(os.kernel.openEvents(), 0u);
  EXPECT_EQ(service::stopEvent.load(), nullptr);
}

TEST_F(WatchCycleTest, AStopWhileMountedDismountsFirstAndWaitsForIt) {
  AttachStick();
  os.token.childRunTime = 1500;
  RunService(6000);
  ASSERT_EQ(os.token.starts.size(), 2u);
  EXPECT_FALSE(os.token.starts[0].wait);  // the mount, once the accepting pass paused
  EXPECT_EQ(os.token.starts[0].time, 2000u);
  EXPECT_TRUE(Dismounts(os.token.starts[1]));
  EXPECT_EQ(os.token.starts[1].time, 6000u);
  const auto& statuses = os.service.statuses;
  ASSERT_EQ(statuses.size(), 5u);
  EXPECT_EQ(statuses[3].status.currentState, service::kServiceStopPending);
  EXPECT_EQ(statuses[3].time, 6000u);
  EXPECT_EQ(Last().status.currentState, service::kServiceStopped);
  EXPECT_EQ(Last().time, 7500u);
}

TEST_F(WatchCycleTest, CtrlCWhileMountedDismountsBeforeTheDestructorLine) {
  AttachStick();
  RunDebug(6000);
  ASSERT_EQ(os.token.starts.size(), 2u);
  EXPECT_TRUE(Dismounts(os.token.starts[1]));
  const std::string trace = Trace();
  EXPECT_TRUE(EndsWith(trace, "CloseContainer!\r\nSecureToken implicite destructor!\r\n")) << trace;
  EXPECT_EQ(os.service.Transcript(), "Stopping Kelvarn.\n");
  EXPECT_EQ(os.kernel.openEvents(), 0u);
}

TEST_F(WatchCycleTest, AStopInTheAcceptingPassMountsNothing) {
  AttachStick();
  RunService(1000);
  EXPECT_TRUE(os.token.starts.empty());
  EXPECT_EQ(Last().time, 1000u);
}

TEST_F(WatchCycleTest, AStopDuringARemovalsDismountEndsTheCycleAtTheNextPause) {
  AttachStick();
  os.token.childRunTime = 3000;
  os.token.UnplugAt(6000, u'E');
  // Tests at 2000, 5000 and 8000 (missed); the dismount starts at 11000 and runs until 14000.
  RunService(12000);
  ASSERT_EQ(os.token.starts.size(), 2u);
  EXPECT_EQ(os.token.starts[1].time, 11000u);
  EXPECT_EQ(Last().status.currentState, service::kServiceStopped);
  EXPECT_EQ(Last().time, 14000u);
}

TEST_F(WatchCycleTest, AScanWithNoDrivesMountsNothingAndPausesBeforeTheNextTurn) {
  os.token.FailGetDrives(21);
  RunService(5000);
  EXPECT_TRUE(os.token.starts.empty());
  EXPECT_EQ(os.token.getDrivesCalls(), 3);  // at 0, 2000 and 4000
  EXPECT_EQ(Last().time, 5000u);
}

TEST_F(WatchCycleTest, EachAttachmentGivesOneFullTurn) {
  AttachStick();
  os.token.UnplugAt(6000, u'E');
  os.token.PlugAt(12000, u'E');
  RunService(16000);
  std::vector<std::pair<bool, std::uint64_t>> starts;  // (waited for, time)
  for (const auto& start : os.token.starts) starts.emplace_back(start.wait, start.time);
  EXPECT_EQ(starts, (std::vector<std::pair<bool, std::uint64_t>>{
                        {false, 2000}, {true, 11000}, {false, 15000}, {true, 16000}}));
}

// --- start and its exits ---------------------------------------------------------------------

TEST_F(WatchCycleTest, DebugModeReportsNothingButCreatesTheEventAndTracesFromTheFirstLine) {
  RunDebug(3000);
  EXPECT_TRUE(os.service.statuses.empty());
  EXPECT_EQ(os.service.Calls("CreateEvent"), 1u);
  const std::string trace = Trace();
  EXPECT_EQ(trace.rfind("SecureToken construktor!\r\nSecureToken::FindToken!\r\n", 0), 0u) << trace;
  EXPECT_TRUE(EndsWith(trace, "SecureToken implicite destructor!\r\n")) << trace;
  EXPECT_EQ(os.kernel.now(), 3000u);
}

TEST_F(WatchCycleTest, NoStopEventMeansNoRunningReportAndNothingLogged) {
  os.service.FailCall("CreateEvent", 8);
  RunService(5000);
  ASSERT_EQ(os.service.statuses.size(), 3u);
  EXPECT_EQ(os.service.statuses[1].status.currentState, service::kServiceStartPending);
  EXPECT_EQ(Last().status.currentState, service::kServiceStopped);
  EXPECT_EQ(Last().status.win32ExitCode, 0u);
  EXPECT_TRUE(os.service.eventLog.empty());
  EXPECT_EQ(os.token.getDrivesCalls(), 0);
  EXPECT_EQ(os.kernel.now(), 0u);
}

TEST_F(WatchCycleTest, NoStopEventInDebugModeEndsTheRunWithTheDestructorLine) {
  os.service.FailCall("CreateEvent", 8);
  RunDebug(5000);
  EXPECT_EQ(Trace(), "SecureToken construktor!\r\nSecureToken implicite destructor!\r\n");
}

TEST_F(WatchCycleTest, AFailedStartPendingReportCreatesNoEvent) {
  os.service.FailCall("SetServiceStatus", 6, 2);
  RunService(5000);
  EXPECT_EQ(os.service.Calls("CreateEvent"), 0u);
  ASSERT_EQ(os.service.eventLog.size(), 1u);
  EXPECT_EQ(os.service.eventLog[0].strings,
            (std::vector<std::u16string>{u"Kelvarn error: 6", u"SetServiceStatus"}));
  ASSERT_EQ(os.service.statuses.size(), 2u);
  EXPECT_EQ(Last().status.currentState, service::kServiceStopped);
  EXPECT_EQ(Last().status.win32ExitCode, 6u);
}

TEST_F(WatchCycleTest, AFailedRunningReportClosesAndClearsTheEvent) {
  os.service.FailCall("SetServiceStatus", 6, 3);
  RunService(5000);
  EXPECT_EQ(os.service.Calls("CreateEvent"), 1u);
  EXPECT_EQ(os.service.Calls("CloseHandle"), 1u);
  EXPECT_EQ(os.kernel.openEvents(), 0u);
  EXPECT_EQ(service::stopEvent.load(), nullptr);
  EXPECT_EQ(os.token.getDrivesCalls(), 0);
  ASSERT_EQ(os.service.eventLog.size(), 1u);
  ASSERT_EQ(os.service.statuses.size(), 3u);
  EXPECT_EQ(Last().status.win32ExitCode, 6u);
  // A stop control that comes now finds no event to signal.
  os.service.SendControl(kStop);
  EXPECT_EQ(os.service.Calls("SetEvent"), 0u);
}

}  // namespace
}  // namespace kvn
