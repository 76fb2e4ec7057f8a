// The watch cycle against the fake Windows: how a stop ends it — at the pause that sees the
// stop event, after dismounting what this turn mounted — and the debug run's trace. How its
// start fails is tested with the service host.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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

using Starts = std::vector<std::pair<bool, std::uint64_t>>;  // (waited for, time)

// Every child start; a waited-for one must be a dismount.
Starts ChildStarts(const fake::FakeWindows& os) {
  Starts starts;
  for (const fake::ProcessStart& start : os.token.starts) {
    EXPECT_TRUE(!start.wait || start.commandLine.find(u" /d") != std::u16string::npos);
    starts.emplace_back(start.wait, start.time);
  }
  return starts;
}

// The first scan accepts the stick and pauses 2 s before mounting; a waited-for dismount
// runs `childRunTime` ms. Stopped is reported when the cycle has ended.
TEST(WatchCycle, AStopEndsTheCycleAtThePauseThatSeesItAfterDismounting) {
  const struct {
    const char* name;
    bool stick, drivesFail;
    std::uint64_t childRunTime, unplugAt, plugAt, stopAt;
    Starts starts;
    std::uint64_t stoppedAt;
  } kStops[] = {
      // clang-format off
      {"idle", false, false, 0, 0, 0, 4321, {}, 4321},  // ends at once, mid-pause
      {"no drives", false, true, 0, 0, 0, 5000, {}, 5000},
      {"accepting pass", true, false, 0, 0, 0, 1000, {}, 1000},
      {"mounted", true, false, 1500, 0, 0, 6000, {{false, 2000}, {true, 6000}}, 7500},
      // Tests at 2000, 5000 and 8000 (missed); the dismount runs from 11000 until 14000.
      {"removal's dismount", true, false, 3000, 6000, 0, 12000, {{false, 2000}, {true, 11000}},
       14000},
      {"two attachments", true, false, 0, 6000, 12000, 16000,
       {{false, 2000}, {true, 11000}, {false, 15000}, {true, 16000}}, 16000},
      // clang-format on
  };
  for (const auto& c : kStops) {
    SCOPED_TRACE(c.name);
    fake::FakeWindows os;
    Prepare(os, c.stick);
    if (c.drivesFail) os.token.FailGetDrives(fake::kErrorNotReady);
    os.token.childRunTime = c.childRunTime;
    if (c.unplugAt != 0) os.token.UnplugAt(c.unplugAt, u'E');
    if (c.plugAt != 0) os.token.PlugAt(c.plugAt, u'E');
    os.service.startedByServiceManager = true;
    os.kernel.At(c.stopAt, [&os] { os.service.SendControl(1); });
    char name[] = "kelvarn.exe";
    char* argv[] = {name, nullptr};
    service::RunProcess(1, argv);

    EXPECT_EQ(ChildStarts(os), c.starts);
    std::vector<std::pair<std::uint32_t, std::uint64_t>> ends;  // (state, time) of each record
    for (const auto& r : os.service.statuses) ends.emplace_back(r.status.currentState, r.time);
    ASSERT_EQ(ends.size(), 5u);
    EXPECT_EQ(ends[3], std::make_pair(service::kServiceStopPending, c.stopAt));
    EXPECT_EQ(ends[4], std::make_pair(service::kServiceStopped, c.stoppedAt));
    EXPECT_EQ(os.kernel.now(), c.stoppedAt);
    // A scan that finds no drives accepts nothing, and the next comes 2 s later.
    if (c.drivesFail) {
      EXPECT_EQ(os.token.getDrivesCalls(), static_cast<int>(1 + c.stopAt / 2000));
    }
    EXPECT_EQ(os.kernel.openEvents(), 0u);
    EXPECT_EQ(service::stopEvent.load(), nullptr);
  }
}

// Debug mode: no reports and the trace from its first line; Ctrl+C while mounted dismounts
// before the destructor's line; without a stop event the run ends at once.
TEST(WatchCycle, DebugRunTracesFromTheFirstLineAndCtrlCDismountsFirst) {
  for (const bool eventFails : {false, true}) {
    fake::FakeWindows os;
    Prepare(os, true);
    if (eventFails) os.service.FailCall("CreateEvent", 8);
    debugMode = true;
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
