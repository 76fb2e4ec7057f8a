// The service host against the fake Windows: status records and checkpoints, the control
// handler, event-log entries, each call of a service's life failing, the command-line modes
// and the console control handler.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/process_state.h"
#include "fake/fake_windows.h"
#include "service/service_host.h"
#include "service/service_state.h"

namespace kvn {
namespace {

using service::kServiceStartPending;
using service::kServiceStopPending;
using Strings = std::vector<std::string>;
using Entries = std::vector<std::vector<std::u16string>>;

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
constexpr char kStopping[] = "Stopping Kelvarn.\n";

// The records handed over, each as its state and then every field that differs from a
// record of an own-process service that accepts nothing, has exit code, checkpoint and
// wait hint 0 and was made at time 0: "stop-pending accepts1 cp3 @5000".
Strings Statuses(const fake::FakeWindows& os) {
  static const char* const kStates[] = {"?", "stopped", "start-pending", "stop-pending", "running"};
  Strings lines;
  for (const fake::StatusReport& report : os.service.statuses) {
    const os::ServiceStatus& s = report.status;
    std::string line =
        s.currentState <= 4 ? kStates[s.currentState] : "state" + std::to_string(s.currentState);
    const auto add = [&line](const char* name, std::uint64_t value, std::uint64_t usual) {
      if (value != usual) line += " " + std::string(name) + std::to_string(value);
    };
    add("type", s.serviceType, 0x10);
    add("accepts", s.controlsAccepted, 0);
    add("exit", s.win32ExitCode, 0);
    add("specific", s.serviceSpecificExitCode, 0);
    add("cp", s.checkPoint, 0);
    add("hint", s.waitHint, 0);
    add("@", report.time, 0);
    lines.push_back(line);
  }
  return lines;
}

// The strings of every event-log entry; each must be an error of category and ID 0, and
// every event source must have been closed.
Entries LoggedStrings(const fake::FakeWindows& os) {
  EXPECT_EQ(os.service.openEventSources, 0);
  Entries entries;
  for (const fake::EventLogEntry& entry : os.service.eventLog) {
    EXPECT_EQ(entry.type, 1);
    EXPECT_EQ(entry.category, 0);
    EXPECT_EQ(entry.id, 0u);
    entries.push_back(entry.strings);
  }
  return entries;
}

// The whole process with "kelvarn.exe" and `args` as its command line.
int RunWith(std::vector<std::string> args) {
  args.insert(args.begin(), "kelvarn.exe");
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return service::RunProcess(static_cast<int>(args.size()), argv.data());
}

// Started by the service control manager, with a stop control at 5 s.
int RunService(fake::FakeWindows& os) {
  os.service.startedByServiceManager = true;
  os.kernel.At(5000, [&os] { os.service.SendControl(kStop); });
  return RunWith({});
}

// --- status records ------------------------------------------------------------------------

// Departure from an unlocked record: the two service threads report under one lock, so no
// checkpoint is handed over twice and the records reach the manager in counting order.
TEST(ServiceHost, ControlsWhileStartPendingAndTwoThreadsTakeOneCheckpointEach) {
  fake::FakeWindows os;
  process.statusHandle = reinterpret_cast<os::Handle>(fake::FakeServicePlatform::kStatusHandle);
  process.serviceStatus.serviceType = 0x10;
  ASSERT_TRUE(service::ReportStatus(kServiceStartPending, 0, 3000));
  service::ServiceControlHandler(kInterrogate);
  service::ServiceControlHandler(kStop);  // before the stop event exists
  EXPECT_EQ(Statuses(os), (Strings{"start-pending cp1 hint3000", "start-pending cp2",
                                   "stop-pending accepts1 cp3"}));
  EXPECT_EQ(os.service.Calls("SetEvent"), 0u);

  auto reporter = [] {
    for (int i = 0; i < 2000; ++i) service::ReportStatus(kServiceStopPending, 0, 0);
  };
  std::thread first(reporter);
  std::thread second(reporter);
  first.join();
  second.join();
  ASSERT_EQ(os.service.statuses.size(), 4003u);
  for (std::size_t i = 0; i < os.service.statuses.size(); ++i) {
    ASSERT_EQ(os.service.statuses[i].status.checkPoint, i + 1) << "record " << i;
  }
}

// A life with an interrogation at 1 s and a stop at 5 s, without a failure and with each
// call failing in turn. Only a failed status report is logged (as "SetServiceStatus"); the
// stop event exists from between the watcher's two start-pending reports to its end; the
// cycle runs only once running has been reported.
TEST(ServiceHost, ALifeHandsOverItsRecordsInOrderAndEachFailingCallEndsItCleanly) {
  const std::string start1 = "start-pending cp1 hint3000", start2 = "start-pending cp2 hint3000",
                    running = "running accepts1", asked = "running accepts1 @1000";
  const struct {
    const char* call;
    std::uint32_t error;
    unsigned occurrence;
    unsigned eventsCreated;
    Strings statuses;
  } kLives[] = {
      // clang-format off
      {"", 0, 0, 1, {start1, start2, running, asked, "stop-pending accepts1 cp3 @5000",
                     "stopped accepts1 @5000"}},
      {"RegisterServiceCtrlHandler", 1063, 1, 0, {}},
      {"SetServiceStatus", 6, 1, 0, {"stopped accepts1 exit6"}},
      {"SetServiceStatus", 6, 2, 0, {start1, "stopped accepts1 exit6"}},
      {"CreateEvent", 8, 1, 1, {start1, start2, "stopped accepts1"}},
      {"SetServiceStatus", 6, 3, 1, {start1, start2, "stopped accepts1 exit6"}},
      {"SetServiceStatus", 8, 5, 1, {start1, start2, running, asked,
                                     "stopped accepts1 exit8 @5000"}},
      {"SetServiceStatus", 1, 6, 1, {start1, start2, running, asked,
                                     "stop-pending accepts1 cp3 @5000"}},
      // clang-format on
  };
  for (const auto& c : kLives) {
    SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.occurrence));
    fake::FakeWindows os;
    if (*c.call != '\0') os.service.FailCall(c.call, c.error, c.occurrence);
    os.kernel.At(1000, [&os] { os.service.SendControl(kInterrogate); });
    EXPECT_EQ(RunService(os), 0);
    EXPECT_EQ(Statuses(os), c.statuses);
    EXPECT_EQ(os.service.dispatchedName, u"Kelvarn");
    EXPECT_EQ(os.service.registeredName, c.statuses.empty() ? u"" : u"Kelvarn");
    EXPECT_EQ(os.service.Transcript(), kDispatcherLines);
    const std::string code = "Kelvarn error: " + std::to_string(c.error);
    const Entries logged = {{std::u16string(code.begin(), code.end()), u"SetServiceStatus"}};
    EXPECT_EQ(LoggedStrings(os), (std::string(c.call) == "SetServiceStatus" ? logged : Entries{}));
    EXPECT_EQ(os.service.Calls("CreateEvent"), c.eventsCreated);
    const bool ranCycle = std::count(c.statuses.begin(), c.statuses.end(), running) != 0;
    EXPECT_EQ(os.token.getDrivesCalls() > 0, ranCycle);
    EXPECT_EQ(os.kernel.openEvents(), 0u);
    EXPECT_EQ(process.stopEvent.load(), nullptr);
    // Stop pending, the fifth report, is handed over before the event is set, never after.
    const auto& log = os.service.callLog;
    const auto setEvent = std::find(log.begin(), log.end(), "SetEvent");
    EXPECT_TRUE(setEvent == log.end() ||
                std::count(log.begin(), setEvent, "SetServiceStatus") == 5);
    // A stop control that comes after the end finds no event to signal.
    const unsigned signalled = os.service.Calls("SetEvent");
    os.service.SendControl(kStop);
    EXPECT_EQ(os.service.Calls("SetEvent"), signalled);
  }
}

// --- the event log ---------------------------------------------------------------------------

TEST(ServiceHost, AnEntryShowsTheCodeSignedAndAnUnopenableSourceOrDebugModeWriteNone) {
  fake::FakeWindows os;
  for (const std::uint32_t code : {1062u, 0x80070005u, 0x80000000u}) {
    os.kernel.lastError = code;
    service::LogServiceError(u"SetServiceStatus");
  }
  EXPECT_EQ(LoggedStrings(os), (Entries{{u"Kelvarn error: 1062", u"SetServiceStatus"},
                                        {u"Kelvarn error: -2147024891", u"SetServiceStatus"},
                                        {u"Kelvarn error: -2147483648", u"SetServiceStatus"}}));
  EXPECT_EQ(os.service.eventSourcesOpened, std::vector<std::u16string>(3, u"Kelvarn"));
  EXPECT_EQ(process.lastServiceError, 0x80000000u);

  os.service.FailCall("RegisterEventSource", 5, 4);
  os.kernel.lastError = 6;
  service::LogServiceError(u"SetServiceStatus");
  EXPECT_EQ(os.service.eventLog.size(), 3u);
  EXPECT_EQ(process.lastServiceError, 6u);

  // Debug mode reports nothing and logs nothing.
  process.debugMode = true;
  os.service.callLog.clear();
  os.kernel.lastError = 5;
  EXPECT_TRUE(service::ReportStatus(kServiceStopPending, 0, 0));
  service::LogServiceError(u"SetServiceStatus");
  EXPECT_TRUE(os.service.callLog.empty());
  EXPECT_EQ(process.checkPoint, 1u);
  EXPECT_EQ(process.lastServiceError, 6u);
}

// --- the command line and the console control handler ----------------------------------------

// The mode shows in what is printed: the usage list, the install and remove messages, the
// debug run's Ctrl+C line, the dispatcher's failure in a console, or nothing at all.
TEST(ServiceHost, TheFirstArgumentAloneChoosesTheMode) {
  const std::string service =
      std::string(kDispatcherLines) + "Service couldn't be started. Perhaps not installed.\n";
  const std::string installed = "ChangeServiceConfig2 succeeded\nKelvarn installed.\n";
  const Entries failed = {{u"Kelvarn error: 1063", u"StartServiceCtrlDispatcher failed."}};
  const std::string notInstalled =
      "OpenService failed - The specified service does not exist as an installed service. "
      "(Error code: 0x424)\n";
  const struct {
    std::string transcript;
    std::vector<Strings> commandLines;
  } kModes[] = {
      {kUsage, {{"-help"}, {"-HELP"}, {"/?"}, {"-?"}, {"/Help"}, {"-help", "-install"}}},
      {installed, {{"-INSTALL"}, {"/Install"}}},
      {notInstalled, {{"-Remove"}}},
      {kStopping, {{"/DEBUG", "a", "b", "c"}}},
      {"", {{"-inst"}, {"-installx"}, {"--install"}, {"-"}, {"/"}, {"-debugx"}, {"-h"}}},
      {service, {{}, {"install"}, {""}, {"+debug"}}},
  };
  for (const auto& mode : kModes) {
    for (const Strings& args : mode.commandLines) {
      SCOPED_TRACE(args.empty() ? "(none)" : args[0]);
      fake::FakeWindows os;
      process.debugMode = true;                                       // cleared but for -debug
      os.kernel.At(2500, [&os] { os.service.SendConsoleEvent(0); });  // Ctrl+C, for -debug
      EXPECT_EQ(RunWith(args), 0);
      EXPECT_EQ(os.service.Transcript(), mode.transcript);
      EXPECT_EQ(process.debugMode, mode.transcript == kStopping);
      EXPECT_TRUE(os.service.statuses.empty());
      EXPECT_TRUE(!mode.transcript.empty() || os.service.callLog.empty());
      EXPECT_EQ(LoggedStrings(os), (mode.transcript == service ? failed : Entries{}));
      if (mode.transcript == kUsage || mode.transcript == service) {
        for (const auto& write : os.service.console) EXPECT_FALSE(write.wide);
      }
    }
  }
}

TEST(ServiceHost, ConsoleHandlerTakesCtrlCAndCtrlBreakOnly) {
  const struct {
    std::uint32_t event;
    bool published;  // the stop event exists
    bool handled;
  } kEvents[] = {{0, false, true}, {0, true, true},  {1, true, true},
                 {2, true, false}, {5, true, false}, {6, true, false}};
  for (const auto& c : kEvents) {
    SCOPED_TRACE(std::to_string(c.event) + (c.published ? " published" : ""));
    fake::FakeWindows os;
    const os::Handle stop = os.kernel.CreateEvent();
    if (c.published) service::PublishStopEvent(stop);
    EXPECT_EQ(service::ConsoleControlHandler(c.event) != 0, c.handled);
    EXPECT_EQ(os.kernel.IsSignalled(stop), c.handled && c.published);
    EXPECT_EQ(os.service.Calls("SetEvent"), c.handled && c.published ? 1u : 0u);
    EXPECT_EQ(os.service.Transcript(), c.handled ? kStopping : "");
    for (const auto& write : os.service.console) EXPECT_TRUE(write.wide);
    service::CloseStopEvent();
  }
}

}  // namespace
}  // namespace kvn
