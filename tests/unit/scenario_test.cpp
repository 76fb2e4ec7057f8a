// Scenario files: a machine, a timeline and the operations to run, read from
// tests/data/scenarios/*.scn; the real core runs them on the fake Windows and its virtual
// clock, and everything it did is written as one transcript that must equal the checked-in
// <name>.out beside the scenario. KVN_REWRITE_BASELINES=1 writes the transcripts instead;
// their diffs are reviewed like code. Every scenario is also held to the invariants in
// CheckInvariants. The language is described in tests/data/scenarios/README.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "common/process_state.h"
#include "common/strings.h"
#include "fake/fake_windows.h"
#include "service/service_host.h"
#include "service/service_install.h"
#include "service/service_state.h"
#include "token/secure_token.h"

namespace kvn {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

const fs::path kScenarios = fs::path(KVN_TEST_DATA_DIR) / "scenarios";

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::uint32_t U32(const std::string& text) { return static_cast<std::uint32_t>(std::stoul(text)); }

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string Narrow(const std::u16string& text) { return fake::Show(text); }

// The kvn.ini a stick carries: the standard values, each of which a scenario may change or
// leave out.
struct StickIni {
  std::u16string path;
  std::vector<std::pair<std::string, std::string>> values = {
      {"Truecrypt", "C:\\Program Files\\TrueCrypt\\TrueCrypt.exe"},
      {"Key", "key.dat"},
      {"Container", "D:\\vault.tc"},
      {"TargetDrive", "T"},
      {"IfUsed", "0"}};
  std::string Text() const {
    std::string text = "; written by the scenario\r\n[Truecrypt]\r\n";
    for (const auto& [name, value] : values) {
      if (name == "Key") text += "[Config]\r\n";
      text += name + "=" + value + "\r\n";
    }
    return text;
  }
};

class Scenario {
 public:
  explicit Scenario(std::string name) : name_(std::move(name)) {
    process.debugMode = true;
    os_.token.AddFolder(u"C:\\Trace");
    os_.token.AddFile(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", "MZ");
    os_.token.AddDrive(u'D', fake::kDriveFixed);
    os_.token.AddFile(u"D:\\vault.tc", "container");
  }

  // Runs the scenario text and returns its transcript.
  std::string Run(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("| ", 0) == 0 || line == "|") {  // a content line of the last file
        content_ += (line.size() > 2 ? line.substr(2) : "") + "\r\n";
        os_.token.AddFile(contentPath_, content_);
        continue;
      }
      const std::size_t start = line.find_first_not_of(" \t");
      if (start == std::string::npos || line[start] == '#') continue;
      Do(line.substr(start));
    }
    Finish();
    return out_.str();
  }

 private:
  // One command: its first word, the rest split at blanks, and the rest as written.
  void Do(const std::string& line) {
    std::istringstream in(line);
    Words w;
    for (std::string word; in >> word;) w.push_back(word);
    const std::size_t cut = line.find(' ');
    std::string rest =
        cut == std::string::npos ? "" : line.substr(line.find_first_not_of(' ', cut));
    if (w[0] == "at") {
      const std::uint64_t time = std::stoull(w[1]);
      const std::string command = rest.substr(rest.find(' ') + 1);
      os_.kernel.At(time, [this, command] { Do(command); });
      return;
    }
    fake::FakeTokenPlatform& t = os_.token;
    fake::FakeServicePlatform& s = os_.service;
    const std::string& c = w[0];
    const auto path = [&rest](std::size_t skip) {
      std::string p = rest;
      for (std::size_t i = 0; i < skip; ++i) p = p.substr(p.find(' ') + 1);
      return Wide(p);
    };
    // --- the machine -----------------------------------------------------------------
    if (c == "drive") {  // drive <letters> <type>
      for (const char letter : w[1]) t.AddDrive(static_cast<char16_t>(letter), DriveType(w[2]));
    } else if (c == "stick") {
      const char16_t letter = static_cast<char16_t>(w[1][0]);
      t.AddDrive(letter, fake::kDriveRemovable);
      ini_ = StickIni{std::u16string(1, letter) + u":\\kvn.ini"};
      t.AddFile(ini_.path, ini_.Text());
      t.AddFile(std::u16string(1, letter) + u":\\key.dat", "key");
    } else if (c == "value" || c == "novalue") {
      auto& values = ini_.values;
      for (auto it = values.begin(); it != values.end(); ++it) {
        if (it->first != w[1]) continue;
        if (c == "novalue") {
          values.erase(it);
        } else {
          it->second = rest.size() > w[1].size() ? rest.substr(w[1].size() + 1) : "";
        }
        break;
      }
      t.AddFile(ini_.path, ini_.Text());
    } else if (c == "file") {
      contentPath_ = path(0);
      content_.clear();
      const std::size_t from = rest.find(" < ");
      if (from != std::string::npos) {
        contentPath_ = Wide(rest.substr(0, from));
        content_ = ReadFile(fs::path(KVN_TEST_DATA_DIR) / "../.." / rest.substr(from + 3));
      }
      t.AddFile(contentPath_, content_);
    } else if (c == "folder") {
      t.AddFolder(path(0));
    } else if (c == "link") {
      t.MakeLink(path(0));
    } else if (c == "size") {
      t.SetFileSize(path(1), std::stoull(w[1]));
    } else if (c == "remove") {
      t.RemoveFile(path(0));
    } else if (c == "short") {  // short <short path> = <long path>
      const std::size_t is = rest.find(" = ");
      t.AddShortName(Wide(rest.substr(0, is)), Wide(rest.substr(is + 3)));
    } else if (c == "unplug") {
      t.Unplug(static_cast<char16_t>(w[1][0]));
    } else if (c == "plug") {
      t.Plug(static_cast<char16_t>(w[1][0]));
    } else if (c == "notready") {
      t.SetReady(static_cast<char16_t>(w[1][0]), false);
    } else if (c == "programfiles") {  // the sources, separated by "|"
      t.programFilesFolders.clear();
      std::string folders = rest + "|";
      for (std::size_t bar; (bar = folders.find('|')) != std::string::npos;) {
        t.programFilesFolders.push_back(Wide(folders.substr(0, bar)));
        folders.erase(0, bar + 1);
      }
    } else if (c == "faildrives") {
      t.FailGetDrives(U32(w[1]));
    } else if (c == "afterdrives") {  // a command run right after reading N of the mask
      afterDrives_.emplace(std::stoi(w[1]), rest.substr(rest.find(' ') + 1));
      t.afterGetDrives = [this](int reading) {
        const auto [first, last] = afterDrives_.equal_range(reading);
        for (auto it = first; it != last; ++it) Do(it->second);
      };
    } else if (c == "failstart") {
      t.failStart = true;
    } else if (c == "failwait") {
      t.failWait = true;
    } else if (c == "runtime") {  // runtime <start number|*> <ms|hung>
      const std::uint64_t ms = w[2] == "hung" ? fake::kNeverEnds : std::stoull(w[2]);
      if (w[1] == "*") {
        t.childRunTime = ms;
      } else {
        t.runTimes[std::stoul(w[1])] = ms;
      }
    } else if (c == "debug") {  // debug on|off: the switch the watcher takes its trace from
      process.debugMode = w[1] == "on";
      // --- the service side ------------------------------------------------------------
    } else if (c == "fail") {
      s.FailCall(w[1], U32(w[2]), w.size() > 3 ? static_cast<unsigned>(std::stoul(w[3])) : 1u);
    } else if (c == "throw") {  // throw [lock]: this action fails; throw <call>: that call
      if (w.size() == 1) throw std::bad_alloc();
      if (w[1] == "lock") {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
      }
      s.throwOnce = w[1];
    } else if (c == "scm") {
      s.startedByServiceManager = true;
    } else if (c == "module") {
      s.modulePath = path(0);
    } else if (c == "installed") {  // installed <state reported by each query, in turn>...
      s.serviceExists = true;
      s.serviceStates.clear();
      for (std::size_t i = 1; i < w.size(); ++i) s.serviceStates.push_back(U32(w[i]));
    } else if (c == "message") {  // message <code> [text, where \r and \n stand for CR and LF]
      std::string text = rest.size() > w[1].size() ? rest.substr(w[1].size() + 1) : "";
      for (const auto& [escape, unit] : {std::pair{"\\r", "\r"}, std::pair{"\\n", "\n"}}) {
        for (std::size_t at; (at = text.find(escape)) != std::string::npos;) {
          text.replace(at, 2, unit);
        }
      }
      s.systemMessages[U32(w[1])] = Wide(text);
    } else if (c == "stop") {
      s.SendControl(service::kServiceControlStop);
    } else if (c == "control") {
      s.SendControl(U32(w[1]));
    } else if (c == "console") {  // through the registered handler, else the core's own
      const auto event = U32(w[1]);
      const int handled = s.consoleHandler != nullptr ? s.consoleHandler(event)
                                                      : service::ConsoleControlHandler(event);
      Say("console " + w[1] + " -> " + std::to_string(handled));
      // --- operations ------------------------------------------------------------------
    } else if (c == "check") {
      SecureToken& token = Token();
      token.configPath[0] = static_cast<char16_t>(w[1][0]);
      const int result = token.CheckConfig(token.configPath);
      Say("check " + w[1] + " -> " + std::to_string(result) + Fields());
    } else if (c == "find") {
      const int result = Token().FindToken();
      Say("find -> " + std::to_string(result) + Fields());
    } else if (c == "accept") {  // the token accepted on a drive, as FindToken leaves it
      SecureToken& token = Token();
      token.configPath[0] = static_cast<char16_t>(w[1][0]);
      token.tokenPresent = true;
    } else if (c == "open") {
      Token().OpenContainer();
    } else if (c == "watch") {
      Token().CheckToken();
      Say("watch" + Fields());
    } else if (c == "close") {
      Token().CloseContainer();
    } else if (c == "pause") {
      Say("pause -> " + std::to_string(Token().Pause(U32(w[1]))));
    } else if (c == "stopevent") {  // the process's stop event, signalled at <ms>
      const os::Handle event = os_.kernel.CreateEvent();
      process.stopEvent = event;
      os_.kernel.At(std::stoull(w[1]), [this, event] { os_.kernel.SetEvent(event); });
    } else if (c == "run") {
      token_.reset();
      std::vector<std::string> args(w.begin(), w.end());
      args[0] = "kelvarn.exe";
      std::vector<char*> argv;
      for (auto& a : args) {
        if (a == "\"\"") a.clear();
        argv.push_back(a.data());
      }
      argv.push_back(nullptr);
      ran_ = true;
      const int code = service::RunProcess(static_cast<int>(args.size()), argv.data());
      // A service's last report is "stopped", unless the report itself was made to fail.
      const auto& reports = os_.service.statuses;
      if (!reports.empty() && os_.service.Calls("SetServiceStatus") == reports.size()) {
        EXPECT_EQ(reports.back().status.currentState, service::kServiceStopped);
      }
      // Each stop-pending report with a hint reaches past the next report.
      for (std::size_t i = 1; i < reports.size(); ++i) {
        const fake::StatusReport& last = reports[i - 1];
        if (last.status.currentState != service::kServiceStopPending) continue;
        if (last.status.waitHint == 0) continue;
        EXPECT_LE(reports[i].time, last.time + last.status.waitHint);
        EXPECT_EQ(reports[i].status.checkPoint,
                  reports[i].status.currentState == 3 ? last.status.checkPoint + 1 : 0u);
      }
      Say(line + " -> " + std::to_string(code) + (process.debugMode ? " (debug mode)" : ""));
    } else if (c == "install") {
      service::InstallService();
    } else if (c == "uninstall") {
      service::RemoveService();
    } else if (c == "errortext") {  // LastErrorText with the last error <code>
      os_.kernel.lastError = U32(w[1]);
      Say("errortext " + w[1] + " -> " + Narrow(service::LastErrorText()));
    } else if (c == "logerror") {  // logerror <code> <operation>
      os_.kernel.lastError = U32(w[1]);
      service::LogServiceError(Wide(rest.substr(w[1].size() + 1)).c_str());
    } else {
      ADD_FAILURE() << name_ << ": unknown command: " << line;
    }
  }

  static std::uint32_t DriveType(const std::string& name) {
    const std::vector<std::string> types = {"unknown", "none",  "removable", "fixed",
                                            "remote",  "cdrom", "ramdisk"};
    const auto found = std::find(types.begin(), types.end(), name);
    EXPECT_NE(found, types.end()) << name;
    return static_cast<std::uint32_t>(found - types.begin());
  }

  SecureToken& Token() {
    if (!token_) token_ = std::make_unique<SecureToken>(os_.token);
    return *token_;
  }

  // The watcher's fields after an operation.
  std::string Fields() {
    const SecureToken& t = Token();
    return " [tool " + Narrow(t.trueCryptPath) + "] [key " + Narrow(t.keyFilePath) +
           "] [container " + Narrow(t.containerPath) + "] [drive " + Narrow(t.targetDrive) +
           "] [ifused " + Narrow(t.ifUsed) + "] [config " + Narrow(t.configPath) + "]" +
           (t.tokenPresent ? " present" : "") + (t.stopRequested ? " stop" : "");
  }

  void Say(const std::string& line) { out_ << "@" << os_.kernel.now() << " " << line << "\n"; }

  // The transcript's record of everything else, and the invariants.
  void Finish() {
    token_.reset();
    const fake::FakeTokenPlatform& t = os_.token;
    const fake::FakeServicePlatform& s = os_.service;
    out_ << "== end @" << os_.kernel.now() << ", " << t.getDrivesCalls()
         << " drive mask readings, checkpoint " << process.checkPoint << ", last error "
         << process.lastServiceError << "\n";
    for (const auto& search : t.searches) out_ << "search " << Narrow(search) << "\n";
    for (const auto& start : t.starts) {
      out_ << "child @" << start.time << " " << Narrow(start.commandLine) << "\n";
    }
    for (const auto& call : s.calls) out_ << "call " << call << "\n";
    for (const std::uint32_t ms : t.sleeps) out_ << "watcher sleep " << ms << "\n";
    std::string trace = t.FileContents(u"C:\\Trace\\kvn.log");
    if (!trace.empty()) out_ << "== trace\n";
    for (std::size_t end; (end = trace.find("\r\n")) != std::string::npos;) {
      out_ << trace.substr(0, end) << "\n";
      trace.erase(0, end + 2);
    }
    if (!trace.empty()) out_ << "(no line end) " << trace << "\n";
    CheckInvariants();
  }

  // What must hold after every scenario.
  void CheckInvariants() {
    const fake::FakeTokenPlatform& t = os_.token;
    const fake::FakeServicePlatform& s = os_.service;
    for (const auto& search : t.searches) {  // only drive-rooted paths are looked for
      EXPECT_TRUE(search.empty() || (search.size() >= 3 && search[1] == u':' &&
                                     (search[2] == u'\\' || search[2] == u'/')))
          << Narrow(search);
    }
    EXPECT_EQ(t.followedLinks, 0) << "a link on a removable drive was followed";
    EXPECT_EQ(t.openProcesses(), 0u) << "a child's handle was left open";
    EXPECT_EQ(s.openServiceHandles(), 0u);
    EXPECT_EQ(s.openEventSources, 0);
    if (!ran_) return;
    EXPECT_EQ(os_.kernel.openEvents(), 0u);
    EXPECT_EQ(process.stopEvent.load(), nullptr);
    bool mounted = false;  // a dismount only ever follows a mount
    for (const auto& start : t.starts) {
      EXPECT_TRUE(!start.dismount() || mounted) << Narrow(start.commandLine);
      mounted = !start.dismount();
    }
  }

  std::string name_;
  fake::FakeWindows os_;
  std::unique_ptr<SecureToken> token_;
  StickIni ini_;
  std::multimap<int, std::string> afterDrives_;
  std::u16string contentPath_;
  std::string content_;
  bool ran_ = false;
  std::ostringstream out_;
};

std::vector<std::string> ScenarioNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kScenarios)) {
    if (entry.path().extension() == ".scn") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class ScenarioTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ScenarioTest, TranscriptMatchesBaseline) {
  const std::string& name = GetParam();
  const std::string text = ReadFile(kScenarios / (name + ".scn"));
  ASSERT_FALSE(text.empty());
  // Cases separated by a line "---" each start on a fresh machine.
  std::string transcript;
  std::size_t from = 0;
  for (std::size_t cut; from <= text.size(); from = cut + 5) {
    cut = text.find("\n---\n", from);
    if (cut == std::string::npos) cut = text.size();
    if (from > 0) transcript += "---\n";
    transcript += Scenario(name).Run(text.substr(from, cut - from));
  }
  const fs::path baseline = kScenarios / (name + ".out");
  if (const char* rewrite = std::getenv("KVN_REWRITE_BASELINES"); rewrite && *rewrite == '1') {
    std::FILE* file = std::fopen(baseline.string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(transcript.data(), 1, transcript.size(), file);
    std::fclose(file);
    return;
  }
  EXPECT_EQ(transcript, ReadFile(baseline));
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioTest, ::testing::ValuesIn(ScenarioNames()),
                         [](const auto& row) {
                           std::string name = row.param;
                           for (char& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace kvn
