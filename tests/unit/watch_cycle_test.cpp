// The watch cycle against the fake Windows: how a stop ends it — at the pause that sees the
// stop event, after dismounting what this turn mounted — and the debug run's trace. How its
// start fails is tested with the service host.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "common/process_state.h"
#include "fake/fake_windows.h"
#include "service/service_host.h"
#include "service/service_state.h"
#include "token/watch_cycle.h"

namespace kvn {
namespace {

constexpr char16_t kLog[] = u"C:\\Trace\\kvn.log";
constexpr char kIni[] =
    "[Truecrypt]\r\nTruecrypt=C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\r\n"
    "[Config]\r\nKey=keys\\vault.key\r\nContainer=C:\\Private\\vault.tc\r\n"
    "TargetDrive=T\r\nIfUsed=1\r\n";

// A machine with the trace folder, the encryption tool and the container; `stick` plugs in
// drive E: with the key file and a valid kvn.ini.
void Prepare(fake::FakeWindows& os, bool stick) {
  os.token.AddFolder(u"C:\\Trace");
  os.token.AddFile(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe");
  os.token.AddFile(u"C:\\Private\\vault.tc");
  if (!stick) return;
  os.token.AddDrive(u'E', fake::kDriveRemovable);
  os.token.AddFile(u"E:\\kvn.ini", kIni);
  os.token.AddFile(u"E:\\keys\\vault.key", "key");
}

using Starts = std::vector<std::pair<bool, std::uint64_t>>;  // (dismount, time)

// Every child start, each of whose handles has been closed.
Starts ChildStarts(const fake::FakeWindows& os) {
  Starts starts;
  for (const fake::ProcessStart& start : os.token.starts) {
    EXPECT_TRUE(start.closed);
    starts.emplace_back(start.dismount(), start.time);
  }
  return starts;
}

// The first scan accepts the stick and pauses 2 s before mounting; children run
// `childRunTime` ms unless `runTimes` names them. Stopped is reported when the cycle has
// ended; while a stop waits for a child still running, stop-pending is reported again.
TEST(WatchCycle, AStopEndsTheCycleAtThePauseThatSeesItAfterDismounting) {
  constexpr std::uint64_t kHung = fake::kNeverEnds;
  const struct {
    const char* name;
    bool stick, drivesFail;
    std::uint64_t childRunTime;
    std::map<std::size_t, std::uint64_t> runTimes;
    std::uint64_t unplugAt, plugAt, stopAt;
    Starts starts;
    std::uint64_t stoppedAt;
    std::size_t progressReports;  // stop-pending reports after the control handler's
  } kStops[] = {
      // clang-format off
      {"idle", false, false, 0, {}, 0, 0, 4321, {}, 4321, 0},  // ends at once, mid-pause
      {"no drives", false, true, 0, {}, 0, 0, 5000, {}, 5000, 0},
      {"accepting pass", true, false, 0, {}, 0, 0, 1000, {}, 1000, 0},
      {"mounted", true, false, 1500, {}, 0, 0, 6000, {{false, 2000}, {true, 6000}}, 7500, 1},
      // Tests at 2000, 5000 and 8000 (missed); the dismount runs from 11000 until 14000.
      {"removal's dismount", true, false, 3000, {}, 6000, 0, 12000,
       {{false, 2000}, {true, 11000}}, 14000, 1},
      {"two attachments", true, false, 0, {}, 6000, 12000, 16000,
       {{false, 2000}, {true, 11000}, {false, 15000}, {true, 16000}}, 16000, 0},
      // The stick is pulled 1 s into a 10 s mount: the dismount waits for the mount's end.
      {"pull during the mount", true, false, 0, {{0, 10000}}, 3000, 0, 13000,
       {{false, 2000}, {true, 12000}}, 13000, 0},
      {"mount beyond its limit", true, false, 0, {{0, kHung}}, 3000, 0, 129000,
       {{false, 2000}, {true, 128000}}, 129000, 0},
      // A stop during a slow mount waits for it, then dismounts.
      {"stop during the mount", true, false, 0, {{0, 10000}}, 0, 0, 4000,
       {{false, 2000}, {true, 12000}}, 12000, 4},
      // A hung tool holds a stop for 60 s at most, however many children hang.
      {"hung dismount", true, false, 0, {{1, kHung}}, 3000, 0, 9000,
       {{false, 2000}, {true, 8000}}, 69000, 30},
      {"hung mount and dismount", true, false, 0, {{0, kHung}, {1, kHung}}, 0, 0, 4000,
       {{false, 2000}, {true, 64000}}, 64000, 30},
      // clang-format on
  };
  for (const auto& c : kStops) {
    SCOPED_TRACE(c.name);
    fake::FakeWindows os;
    Prepare(os, c.stick);
    if (c.drivesFail) os.token.FailGetDrives(fake::kErrorNotReady);
    os.token.childRunTime = c.childRunTime;
    os.token.runTimes = c.runTimes;
    if (c.unplugAt != 0) os.token.UnplugAt(c.unplugAt, u'E');
    if (c.plugAt != 0) os.token.PlugAt(c.plugAt, u'E');
    os.service.startedByServiceManager = true;
    os.kernel.At(c.stopAt, [&os] { os.service.SendControl(1); });
    char name[] = "kelvarn.exe";
    char* argv[] = {name, nullptr};
    service::RunProcess(1, argv);

    EXPECT_EQ(ChildStarts(os), c.starts);
    const auto& records = os.service.statuses;
    ASSERT_EQ(records.size(), 5 + c.progressReports);
    const auto& handlers = records[3];
    EXPECT_EQ(handlers.status.currentState, service::kServiceStopPending);
    EXPECT_EQ(handlers.time, c.stopAt);
    for (std::size_t i = 4; i < records.size() - 1; ++i) {  // progress: rising, announced
      EXPECT_EQ(records[i].status.currentState, service::kServiceStopPending);
      EXPECT_EQ(records[i].status.checkPoint, records[i - 1].status.checkPoint + 1);
      EXPECT_GE(records[i].time + records[i].status.waitHint, records[i + 1].time);
    }
    EXPECT_EQ(records.back().status.currentState, service::kServiceStopped);
    EXPECT_EQ(records.back().time, c.stoppedAt);
    EXPECT_EQ(os.kernel.now(), c.stoppedAt);
    // A scan that finds no drives accepts nothing, and the next comes 2 s later.
    if (c.drivesFail) {
      EXPECT_EQ(os.token.getDrivesCalls(), static_cast<int>(1 + c.stopAt / 2000));
    }
    EXPECT_EQ(os.kernel.openEvents(), 0u);
    EXPECT_EQ(process.stopEvent.load(), nullptr);
  }
}

// A failure that escapes the work (out of memory, a failing lock) is caught at the entries
// the system calls: the container mounted in this turn is still dismounted, the failure is
// logged and stopped reported with its code; a handler that fails answers as for an unknown
// event.
TEST(WatchCycle, NoFailureEscapesTheEntriesTheSystemCalls) {
  for (const bool outOfMemory : {true, false}) {
    SCOPED_TRACE(outOfMemory);
    fake::FakeWindows os;
    Prepare(os, true);
    os.service.startedByServiceManager = true;
    os.kernel.At(4000, [&os, outOfMemory] {
      os.service.throwOnce = "SetServiceStatus";
      os.service.SendControl(4);  // its report throws
      if (outOfMemory) throw std::bad_alloc();
      throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    });
    char name[] = "kelvarn.exe";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(service::RunProcess(1, argv), 0);
    EXPECT_EQ(ChildStarts(os), (Starts{{false, 2000}, {true, 4000}}));
    const std::u16string code = outOfMemory ? u"8" : u"1359";
    ASSERT_EQ(os.service.eventLog.size(), 1u);
    EXPECT_EQ(os.service.eventLog[0].strings,
              (std::vector<std::u16string>{u"Kelvarn error: " + code, u"ServiceMain"}));
    EXPECT_EQ(os.service.statuses.back().status.currentState, service::kServiceStopped);
    EXPECT_EQ(os.service.statuses.back().status.win32ExitCode, outOfMemory ? 8u : 1359u);
    EXPECT_EQ(os.kernel.openEvents(), 0u);

    process.debugMode = true;
    os.service.SetConsoleCtrlHandler(&service::ConsoleControlHandler);
    os.service.throwOnce = "WriteWide";
    EXPECT_EQ(os.service.SendConsoleEvent(0), 0);
    process.debugMode = false;
  }
}

// Debug mode: no reports and the trace from its first line; Ctrl+C while mounted dismounts
// before the destructor's line; without a stop event the run ends at once.
TEST(WatchCycle, DebugRunTracesFromTheFirstLineAndCtrlCDismountsFirst) {
  for (const bool eventFails : {false, true}) {
    fake::FakeWindows os;
    Prepare(os, true);
    if (eventFails) os.service.FailCall("CreateEvent", 8);
    process.debugMode = true;
    os.service.SetConsoleCtrlHandler(&service::ConsoleControlHandler);
    os.kernel.At(6000, [&os] { os.service.SendConsoleEvent(0); });
    RunWatcher();

    EXPECT_TRUE(os.service.statuses.empty());
    EXPECT_EQ(os.kernel.openEvents(), 0u);
    const std::string trace = os.token.FileContents(kLog);
    const std::string tail = "CloseContainer!\r\nSecureToken implicite destructor!\r\n";
    if (eventFails) {
      EXPECT_EQ(trace, "SecureToken construktor!\r\nSecureToken implicite destructor!\r\n");
    } else {
      EXPECT_EQ(trace.rfind("SecureToken construktor!\r\nSecureToken::FindToken!\r\n", 0), 0u)
          << trace;
      EXPECT_EQ(trace.substr(trace.size() - std::min(trace.size(), tail.size())), tail);
      EXPECT_EQ(ChildStarts(os), (Starts{{false, 2000}, {true, 6000}}));
      EXPECT_EQ(os.kernel.now(), 6000u);
      EXPECT_EQ(os.service.Transcript(), "Stopping Kelvarn.\n");
    }
  }
}

}  // namespace
}  // namespace kvn
