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
const fs::path kRepository = fs::path(KVN_TEST_DATA_DIR) / "../..";

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::uint32_t U32(const std::string& text) { return static_cast<std::uint32_t>(std::stoul(text)); }

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

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
  // One command: its words, split at blanks; after(n) is the line after its first n words.
  void Do(const std::string& line) {
    std::istringstream in(line);
    Words w;
    for (std::string word; in >> word;) w.push_back(word);
    const auto after = [&line](std::size_t n) {
      std::size_t at = 0;
      for (std::size_t i = 0; i < n && at != std::string::npos; ++i) at = line.find(' ', at + 1);
      return at == std::string::npos ? std::string() : line.substr(at + 1);
    };
    fake::FakeTokenPlatform& t = os_.token;
    fake::FakeServicePlatform& s = os_.service;
    const std::string& c = w[0];
    const char16_t letter = w.size() > 1 ? static_cast<char16_t>(w[1][0]) : u'\0';
    if (c == "at") {
      os_.kernel.At(std::stoull(w[1]), [this, command = after(2)] { Do(command); });
    } else if (c == "drive") {  // drive <letters> <type>
      for (const char l : w[1]) t.AddDrive(static_cast<char16_t>(l), DriveType(w[2]));
    } else if (c == "stick") {
      t.AddDrive(letter, fake::kDriveRemovable);
      ini_ = StickIni{std::u16string(1, letter) + u":\\kvn.ini"};
      t.AddFile(ini_.path, ini_.Text());
      t.AddFile(std::u16string(1, letter) + u":\\key.dat", "key");
    } else if (c == "value" || c == "novalue") {
      auto& values = ini_.values;
      const auto it = std::find_if(values.begin(), values.end(),
                                   [&](const auto& value) { return value.first == w[1]; });
      if (c == "novalue") values.erase(it);
      if (c == "value") it->second = after(2);
      t.AddFile(ini_.path, ini_.Text());
    } else if (c == "file") {  // file <path> [< file of the repository]
      const std::size_t from = after(1).find(" < ");
      contentPath_ = Wide(after(1).substr(0, from));
      content_ = from == std::string::npos ? "" : ReadFile(kRepository / after(1).substr(from + 3));
      t.AddFile(contentPath_, content_);
    } else if (c == "folder") {
      t.AddFolder(Wide(after(1)));
    } else if (c == "link") {
      t.MakeLink(Wide(after(1)));
    } else if (c == "size") {
      t.SetFileSize(Wide(after(2)), std::stoull(w[1]));
    } else if (c == "remove") {
      t.RemoveFile(Wide(after(1)));
    } else if (c == "short") {  // short <short path> = <long path>
      const std::size_t is = after(1).find(" = ");
      t.AddShortName(Wide(after(1).substr(0, is)), Wide(after(1).substr(is + 3)));
    } else if (c == "unplug" || c == "plug") {
      (c == "plug" ? t.Plug(letter) : t.Unplug(letter));
    } else if (c == "notready") {
      t.SetReady(letter, false);
    } else if (c == "programfiles") {  // the sources, separated by "|"
      t.programFilesFolders.clear();
      std::istringstream folders(after(1) + "|");
      for (std::string folder; std::getline(folders, folder, '|');) {
        t.programFilesFolders.push_back(Wide(folder));
      }
    } else if (c == "faildrives") {
      t.FailGetDrives(U32(w[1]));
    } else if (c == "afterdrives") {  // a command run right after reading n of the mask
      afterDrives_.emplace(std::stoi(w[1]), after(2));
      t.afterGetDrives = [this](int reading) {
        const auto [first, last] = afterDrives_.equal_range(reading);
        for (auto it = first; it != last; ++it) Do(it->second);
      };
    } else if (c == "failstart" || c == "failwait") {
      (c == "failstart" ? t.failStart : t.failWait) = true;
    } else if (c == "runtime") {  // runtime <start number|*> <ms|hung>
      const std::uint64_t ms = w[2] == "hung" ? fake::kNeverEnds : std::stoull(w[2]);
      (w[1] == "*" ? t.childRunTime : t.runTimes[std::stoul(w[1])]) = ms;
    } else if (c == "debug") {  // debug on|off: the switch the watcher takes its trace from
      process.debugMode = w[1] == "on";
    } else if (c == "fail") {
      s.FailCall(w[1], U32(w[2]), w.size() > 3 ? U32(w[3]) : 1u);
    } else if (c == "throw") {  // throw [lock]: this action fails; throw <call>: that call
      if (w.size() == 1) throw std::bad_alloc();
      if (w[1] == "lock") {
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
      }
      s.throwOnce = w[1];
    } else if (c == "scm") {
      s.startedByServiceManager = true;
    } else if (c == "module") {
      s.modulePath = Wide(after(1));
    } else if (c == "installed") {  // installed <state reported by each query, in turn>...
      s.serviceExists = true;
      s.serviceStates.clear();
      for (std::size_t i = 1; i < w.size(); ++i) s.serviceStates.push_back(U32(w[i]));
    } else if (c == "message") {  // message <code> [text, where \r and \n stand for CR and LF]
      std::string text = after(2);
      for (std::size_t at; (at = text.find("\\r")) != std::string::npos;) text.replace(at, 2, "\r");
      for (std::size_t at; (at = text.find("\\n")) != std::string::npos;) text.replace(at, 2, "\n");
      s.systemMessages[U32(w[1])] = Wide(text);
    } else if (c == "stop" || c == "control") {
      s.SendControl(c == "stop" ? service::kServiceControlStop : U32(w[1]));
    } else if (c == "console") {  // through the registered handler, else the core's own
      const auto event = U32(w[1]);
      const int handled = s.consoleHandler != nullptr ? s.consoleHandler(event)
                                                      : service::ConsoleControlHandler(event);
      Say(line + " -> " + std::to_string(handled));
    } else if (c == "check") {
      Token().configPath[0] = letter;
      const int result = Token().CheckConfig(Token().configPath);
      Say(line + " -> " + std::to_string(result) + Fields());
    } else if (c == "find") {
      const int result = Token().FindToken();
      Say(line + " -> " + std::to_string(result) + Fields());
    } else if (c == "accept") {  // the token accepted on a drive, as FindToken leaves it
      Token().configPath[0] = letter;
      Token().tokenPresent = true;
    } else if (c == "open") {
      Token().OpenContainer();
    } else if (c == "watch") {
      Token().CheckToken();
      Say(line + Fields());
    } else if (c == "close") {
      Token().CloseContainer();
    } else if (c == "pause") {
      Say(line + " -> " + std::to_string(Token().Pause(U32(w[1]))));
    } else if (c == "stopevent") {  // the process's stop event, signalled at <ms>
      const os::Handle event = os_.kernel.CreateEvent();
      process.stopEvent = event;
      os_.kernel.At(std::stoull(w[1]), [this, event] { os_.kernel.SetEvent(event); });
    } else if (c == "run") {
      Run(w, line);
    } else if (c == "install" || c == "uninstall") {
      (c == "install" ? service::InstallService : service::RemoveService)();
    } else if (c == "errortext") {  // LastErrorText with the last error <code>
      os_.kernel.lastError = U32(w[1]);
      Say(line + " -> " + fake::Show(service::LastErrorText()));
    } else if (c == "logerror") {  // logerror <code> <operation>
      os_.kernel.lastError = U32(w[1]);
      service::LogServiceError(Wide(after(2)).c_str());
    } else {
      ADD_FAILURE() << name_ << ": unknown command: " << line;
    }
  }

  // The whole process with `w` as its command line ("" for an empty argument).
  void Run(Words args, const std::string& line) {
    token_.reset();
    args[0] = "kelvarn.exe";
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back((arg == "\"\"" ? arg.erase() : arg).data());
    argv.push_back(nullptr);
    ran_ = true;
    const int code = service::RunProcess(static_cast<int>(args.size()), argv.data());
    // A service's last report is "stopped", unless the report itself was made to fail; each
    // stop-pending report with a hint reaches past the next report.
    const auto& reports = os_.service.statuses;
    if (!reports.empty() && os_.service.Calls("SetServiceStatus") == reports.size()) {
      EXPECT_EQ(reports.back().status.currentState, service::kServiceStopped);
    }
    for (std::size_t i = 1; i < reports.size(); ++i) {
      const fake::StatusReport& last = reports[i - 1];
      if (last.status.currentState != service::kServiceStopPending) continue;
      if (last.status.waitHint == 0) continue;
      EXPECT_LE(reports[i].time, last.time + last.status.waitHint);
      EXPECT_EQ(reports[i].status.checkPoint,
                reports[i].status.currentState == 3 ? last.status.checkPoint + 1 : 0u);
    }
    Say(line + " -> " + std::to_string(code) + (process.debugMode ? " (debug mode)" : ""));
  }

  static std::uint32_t DriveType(const std::string& name) {
    const std::string types = " unknown none removable fixed remote cdrom ramdisk ";
    const std::size_t at = types.find(" " + name + " ");
    EXPECT_NE(at, std::string::npos) << name;
    return static_cast<std::uint32_t>(std::count(types.begin(), types.begin() + at, ' '));
  }

  SecureToken& Token() {
    if (!token_) token_ = std::make_unique<SecureToken>(os_.token);
    return *token_;
  }

  // The watcher's fields after an operation.
  std::string Fields() {
    const SecureToken& t = Token();
    return " [tool " + fake::Show(t.trueCryptPath) + "] [key " + fake::Show(t.keyFilePath) +
           "] [container " + fake::Show(t.containerPath) + "] [drive " + fake::Show(t.targetDrive) +
           "] [ifused " + fake::Show(t.ifUsed) + "] [config " + fake::Show(t.configPath) + "]" +
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
    for (const auto& search : t.searches) out_ << "search " << fake::Show(search) << "\n";
    for (const auto& start : t.starts) {
      out_ << "child @" << start.time << " " << fake::Show(start.commandLine) << "\n";
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
          << fake::Show(search);
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
      EXPECT_TRUE(!start.dismount() || mounted) << fake::Show(start.commandLine);
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
