// Scenario files: a machine, a timeline, the operations to run and the verdicts that must
// hold, read from tests/data/scenarios/*.scn; the real core runs them on the fake Windows and
// its virtual clock. Every case states its verdict in "expect" lines, checked in every mode,
// and is held after every command to the invariants of CheckInvariants. What happened is also
// written as one transcript that must equal the checked-in <name>.out beside the scenario;
// KVN_REWRITE_BASELINES=1 writes the transcripts instead (verdicts and invariants still hold
// the line), and their diffs are reviewed like code. The language is described in
// tests/data/scenarios/README.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "common/process_state.h"
#include "common/strings.h"
#include "fake/failing_allocation.h"
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

std::uint32_t U32(const std::string& text) {
  return static_cast<std::uint32_t>(std::stoul(text, nullptr, 0));
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// A path a search or an open may be given: drive-rooted, no wildcard, no stream, no device.
bool PlainDrivePath(const std::string& path) {
  static const std::regex device("(con|prn|aux|nul|com[1-9]|lpt[1-9]) *(\\..*)?",
                                 std::regex::icase);
  if (path.size() < 3 || path[1] != ':' || (path[2] != '\\' && path[2] != '/') ||
      path.find_first_of("*?<>\"") != std::string::npos || path.find(':', 2) != std::string::npos) {
    return false;
  }
  std::istringstream parts(path.substr(3));
  for (std::string part; std::getline(parts, part, '\\');) {
    if (std::regex_match(part, device)) return false;
  }
  return true;
}

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
  // `row`: the whole text is one row of a table, and every failure names the row's line.
  Scenario(std::string file, int firstLine, bool fullTrace, bool row = false)
      : file_(std::move(file)), line_(firstLine), fullTrace_(fullTrace), row_(row) {
    process.debugMode = true;
    os_.token.AddFolder(u"C:\\Trace");
    os_.token.AddFile(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", "MZ");
    os_.token.AddDrive(u'D', fake::kDriveFixed);
    os_.token.AddFile(u"D:\\vault.tc", "container");
    os_.token.AddFile(os_.service.modulePath, "MZ");
  }

  // Runs the case's text and returns its transcript.
  std::string Run(const std::string& text) {
    std::istringstream lines(text);
    int verdicts = 0;
    const int first = line_;
    for (std::string line; std::getline(lines, line); line_ += row_ ? 0 : 1) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("| ", 0) == 0 || line == "|") {  // a content line of the last file
        content_ += (line.size() > 2 ? line.substr(2) : "") + "\r\n";
        os_.token.AddFile(contentPath_, content_);
        continue;
      }
      const std::size_t start = line.find_first_not_of(" \t");
      if (start == std::string::npos || line[start] == '#') continue;
      verdicts += line.find("expect ", start) != std::string::npos ? 1 : 0;
      Do(line.substr(start), line_);
      CheckInvariants();
    }
    if (verdicts == 0) ADD_FAILURE_AT(file_.c_str(), first) << "a case without a verdict";
    return Finish();
  }

 private:
  // One command: its words, split at blanks; after(n) is the line after its first n words.
  void Do(const std::string& line, int number) {
    std::istringstream in(line);
    Words w;
    for (std::string word; in >> word;) w.push_back(word);
    const Words given = w;
    w.resize(std::max<std::size_t>(w.size(), 4));  // a missing word reads as empty
    const auto after = [&line](std::size_t n) {
      std::size_t at = 0;
      for (std::size_t i = 0; i < n && at != std::string::npos; ++i) at = line.find(' ', at + 1);
      return at == std::string::npos ? std::string() : line.substr(at + 1);
    };
    fake::FakeTokenPlatform& t = os_.token;
    fake::FakeServicePlatform& s = os_.service;
    const std::string& c = w[0];
    const char16_t letter = static_cast<char16_t>(w[1][0]);
    try {
      if (c == "expect") {
        Expect(Words(given.begin() + 1, given.end()), after(2), number);
      } else if (c == "at") {
        os_.kernel.At(std::stoull(w[1]),
                      [this, command = after(2), number] { Do(command, number); });
      } else if (c == "drive") {  // drive <letters> <type> [ntfs|fat32|exfat]
        for (const char l : w[1]) t.AddDrive(static_cast<char16_t>(l), DriveType(w[2]), Fs(w[3]));
      } else if (c == "stick") {  // stick <L> [ntfs|fat32|exfat]
        t.AddDrive(letter, fake::kDriveRemovable, Fs(w[2]));
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
        content_ =
            from == std::string::npos ? "" : ReadFile(kRepository / after(1).substr(from + 3));
        t.AddFile(contentPath_, content_);
      } else if (c == "bytes") {  // bytes <n> <path>: a file of n bytes
        t.AddFile(Wide(after(2)), std::string(std::stoul(w[1]), ' '));
      } else if (c == "folder") {
        t.AddFolder(Wide(after(1)));
      } else if (c == "link" || c == "namelink" || c == "reparse") {  // reparse <tag> <path>
        const std::uint32_t tag = c == "reparse"    ? U32(w[1])
                                  : c == "namelink" ? fake::FakeTokenPlatform::kNameOnly
                                                    : 0xA000000C;
        if (!t.MakeLink(Wide(after(c == "reparse" ? 2 : 1)), tag)) {
          blocked_.push_back(after(1));
        }
      } else if (c == "size" || c == "lie") {  // what the system, or the entry alone, reports
        (c == "size" ? t.SetFileSize(Wide(after(2)), std::stoull(w[1]))
                     : t.LieInEntry(Wide(after(2)), std::stoull(w[1])));
      } else if (c == "owner") {
        t.Security(Wide(after(2))).owner = Account(w[1]);
      } else if (c == "grant") {  // grant <account> <mask>[/io] <path>
        const bool io = w[2].size() > 3 && w[2].substr(w[2].size() - 3) == "/io";
        t.Security(Wide(after(3)))
            .dacl.push_back(
                {false, static_cast<std::uint8_t>(io ? 0x0b : 0), U32(w[2]), Account(w[1])});
      } else if (c == "nodacl") {
        t.Security(Wide(after(1))).hasDacl = false;
      } else if (c == "policy") {  // policy <account>...: the accounts administrators trust
        for (std::size_t i = 1; i < given.size(); ++i) t.policyTrusted.push_back(Account(w[i]));
      } else if (c == "answer") {  // answer <call> <code> <path>: the system's answer there
        t.FailOn(w[1], Wide(after(3)), U32(w[2]));
      } else if (c == "wow64") {  // a 32-bit process on 64-bit Windows
        t.wow64 = true;
      } else if (c == "serial") {  // serial <L> <hex>|none: another volume at the letter
        t.SetSerial(letter, w[2] == "none" ? fake::FakeTokenPlatform::kNoSerial : U32("0x" + w[2]));
      } else if (c == "remove") {
        t.RemoveFile(Wide(after(1)));
      } else if (c == "short" || c == "fullpath") {  // short|fullpath <path> = <what it gives>
        const std::size_t is = after(1).find(" = ");
        const std::u16string from = Wide(after(1).substr(0, is)),
                             to = Wide(after(1).substr(is + 3));
        (c == "short" ? t.AddShortName(from, to) : void(t.fullPaths[from] = to));
      } else if (c == "unplug" || c == "plug") {
        (c == "plug" ? t.Plug(letter) : t.Unplug(letter));
      } else if (c == "notready") {
        t.SetReady(letter, false);
      } else if (c == "programfiles") {  // the sources, separated by ";"
        t.programFilesFolders.clear();
        std::istringstream folders(after(1) + ";");
        for (std::string folder; std::getline(folders, folder, ';');) {
          t.programFilesFolders.push_back(Wide(folder));
        }
      } else if (c == "faildrives") {
        t.FailGetDrives(U32(w[1]));
      } else if (c == "afterdrives") {  // a command run right after reading n of the mask
        afterDrives_.emplace(std::stoi(w[1]), std::make_pair(after(2), number));
        t.afterGetDrives = [this](int reading) {
          const auto [first, last] = afterDrives_.equal_range(reading);
          for (auto it = first; it != last; ++it) Do(it->second.first, it->second.second);
        };
      } else if (c == "failstart") {  // failstart [<code> <start number>...]: all, or these
        t.failStart = given.size() == 1;
        if (given.size() > 1) t.startError = U32(w[1]);
        for (std::size_t i = 2; i < given.size(); ++i) t.failStarts.insert(std::stoul(w[i]));
      } else if (c == "failwait") {
        t.failWait = true;
      } else if (c == "failalloc") {  // failalloc <start number>: the next allocation after it
        t.afterStart = [n = std::stoul(w[1])](std::size_t started) {
          if (started == n) fake::failNextAllocation = true;
        };
      } else if (c == "runtime") {  // runtime <start number|*> <ms|hung>
        const std::uint64_t ms = w[2] == "hung" ? fake::kNeverEnds : std::stoull(w[2]);
        (w[1] == "*" ? t.childRunTime : t.runTimes[std::stoul(w[1])]) = ms;
      } else if (c == "exitcode") {  // exitcode <start number> <code>
        t.exitCodes[std::stoul(w[1])] = U32(w[2]);
      } else if (c == "record") {  // record <value> | record wrongtype | record fails
        if (w[1] == "fails") {
          t.failRecord = true;
        } else {
          t.mountRecord = Wide(w[1] == "wrongtype" ? "" : after(1));
          t.mountRecordWrongType = w[1] == "wrongtype";
          recordSeeded_ = true;
        }
      } else if (c == "debug") {  // debug on|off: the switch the watcher takes its trace from
        process.debugMode = w[1] == "on";
      } else if (c == "fail") {
        s.FailCall(w[1], U32(w[2]), given.size() > 3 ? U32(w[3]) : 1u);
      } else if (c == "throw") {  // throw [lock]: this action fails; throw <call>: that call
        if (given.size() == 1) throw std::bad_alloc();
        if (w[1] == "lock") {
          throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
        }
        s.throwOnce = w[1];
      } else if (c == "scm") {
        s.startedByServiceManager = true;
      } else if (c == "module") {  // the executable's path, and the file
        s.modulePath = Wide(after(1));
        t.AddFile(s.modulePath, "MZ");
      } else if (c == "installed") {  // installed <state reported by each query, in turn>...
        s.serviceExists = true;
        s.serviceStates.clear();
        for (std::size_t i = 1; i < given.size(); ++i) s.serviceStates.push_back(U32(w[i]));
      } else if (c == "message") {  // message <code> [text, where \r and \n stand for CR and LF]
        std::string text = after(2);
        for (std::size_t at; (at = text.find("\\r")) != std::string::npos;)
          text.replace(at, 2, "\r");
        for (std::size_t at; (at = text.find("\\n")) != std::string::npos;)
          text.replace(at, 2, "\n");
        s.systemMessages[U32(w[1])] = Wide(text);
      } else if (c == "stop" || c == "control") {
        NoteStop(c == "stop");
        s.SendControl(c == "stop" ? service::kServiceControlStop : U32(w[1]));
      } else if (c == "console") {  // through the registered handler, else the core's own
        const auto event = U32(w[1]);
        NoteStop(event <= 2 || event == 5 || event == 6);
        Result(line, s.consoleHandler != nullptr ? s.consoleHandler(event)
                                                 : service::ConsoleControlHandler(event));
      } else if (c == "check") {
        Token().configPath[0] = letter;
        const int result = Token().CheckConfig(Token().configPath);
        Result(line, result, Fields());
      } else if (c == "find") {
        const int result = Token().FindToken();
        Result(line, result, Fields());
      } else if (c == "accept") {  // the token checked and accepted, as FindToken leaves it
        Token().configPath[0] = letter;
        Token().CheckConfig(Token().configPath);
        Token().tokenPresent = true;
      } else if (c == "open") {
        Token().OpenContainer();
      } else if (c == "watch") {
        Token().CheckToken();
        Say(line + Fields());
      } else if (c == "close") {
        Token().CloseContainer();
      } else if (c == "records") {  // the watcher reads the mount record, as at a start
        Token().ReadMountRecord();
      } else if (c == "pause") {
        Result(line, Token().Pause(U32(w[1])));
      } else if (c == "stopevent") {  // the process's stop event, signalled at <ms>
        const os::Handle event = os_.kernel.CreateEvent();
        process.stopEvent = event;
        os_.kernel.At(std::stoull(w[1]), [this, event] {
          NoteStop(true);
          os_.kernel.SetEvent(event);
        });
      } else if (c == "run") {
        RunProcess(given, line);
      } else if (c == "install" || c == "uninstall") {
        (c == "install" ? service::InstallService : service::RemoveService)();
      } else if (c == "errortext") {  // LastErrorText with the last error <code>
        os_.kernel.lastError = U32(w[1]);
        Result(line, 0, " [" + fake::Show(service::LastErrorText()) + "]");
      } else if (c == "logerror") {  // logerror <code> <operation>
        os_.kernel.lastError = U32(w[1]);
        service::LogServiceError(Wide(after(2)).c_str());
      } else {
        ADD_FAILURE_AT(file_.c_str(), number) << "unknown command: " << line;
      }
    } catch (const std::invalid_argument&) {
      ADD_FAILURE_AT(file_.c_str(), number) << "cannot read: " << line;
    } catch (const std::out_of_range&) {
      ADD_FAILURE_AT(file_.c_str(), number) << "cannot read: " << line;
    }
  }

  // One verdict: "expect <what> ..."; `rest` is the text after <what>.
  void Expect(const Words& w, const std::string& rest, int number) {
    const auto fail = [&]() { return ::testing::AssertionFailure(); };
    ::testing::AssertionResult ok = ::testing::AssertionSuccess();
    const std::string& what = w.empty() ? std::string() : w[0];
    const fake::FakeTokenPlatform& t = os_.token;
    if (what == "result" && w.size() >= 2) {  // result <n> [text the fields hold]
      const std::string text = w.size() > 2 ? rest.substr(rest.find(' ') + 1) : "";
      if (std::to_string(result_) != w[1] || lastFields_.find(text) == std::string::npos) {
        ok = fail() << "result " << result_ << lastFields_;
      }
    } else if (what == "line" || what == "noline" || what == "lines") {  // whole trace lines
      if (!finished_) {  // judged once the watcher is gone and the log is complete
        lineVerdicts_.emplace_back(w, rest, number);
        return;
      }
      const std::vector<std::string> lines = TraceLines();
      const std::string text = what == "lines" ? rest.substr(rest.find(' ') + 1) : rest;
      const auto count = std::count(lines.begin(), lines.end(), text);
      const bool good =
          what == "lines" ? std::to_string(count) == w[1] : (count > 0) == (what == "line");
      if (!good) ok = fail() << count << " times: " << text;
    } else if (what == "child" && w.size() >= 3) {  // child <n> <its exact command line>
      const std::size_t n = std::stoul(w[1]);
      const std::string got = n < t.starts.size() ? fake::Show(t.starts[n].commandLine) : "none";
      if (got != rest.substr(rest.find(' ') + 1)) ok = fail() << "child " << n << ": " << got;
    } else if (what == "children") {  // none | mount | dismount, in order
      std::string got;
      for (const auto& start : t.starts) got += start.dismount() ? " dismount" : " mount";
      if ((got.empty() ? " none" : got) != " " + rest) ok = fail() << "children:" << got;
    } else if (what == "stopped" && w.size() == 3 && w[1] == "within") {
      if (stopAt_ < 0 || endAt_ < stopAt_ || endAt_ - stopAt_ > std::stoll(w[2])) {
        ok = fail() << "stop requested @" << stopAt_ << ", ended @" << endAt_;
      }
    } else if (what == "event" || what == "events" || what == "call" || what == "nocall" ||
               what == "calls") {
      // event <info|warning|error> <id> [| <strings>]; events <id> <count>; [no]call <text>;
      // calls <count> <text>
      static const std::map<std::string, std::string> kLevels = {
          {"info", "4"}, {"warning", "2"}, {"error", "1"}};
      const std::size_t bar = rest.find(" | ");
      std::string pattern = ".*" + Escape(rest) + ".*";
      if (what == "event" && w.size() >= 3 && kLevels.count(w[1]) != 0) {  // [@<ms>] after the id
        const bool timed = w.size() > 3 && w[3][0] == '@';
        pattern = "ReportEvent @" + (timed ? w[3].substr(1) : "\\d+") + " " + kLevels.at(w[1]) +
                  "/0/" + Escape(w[2]) +
                  (bar == std::string::npos ? "( \\|.*)?" : Escape(rest.substr(bar)));
      } else if (what == "events" && w.size() == 3) {
        pattern = "ReportEvent @\\d+ \\d/0/" + Escape(w[1]) + "( \\|.*)?";
      } else if (what == "calls" && w.size() >= 3) {
        pattern = ".*" + Escape(rest.substr(rest.find(' ') + 1)) + ".*";
      } else if (what != "call" && what != "nocall") {
        ADD_FAILURE_AT(file_.c_str(), number)
            << "cannot read the verdict: expect " << what << " " << rest;
        return;
      }
      const std::regex matching(pattern);
      const auto count =
          std::count_if(os_.service.calls.begin(), os_.service.calls.end(),
                        [&](const std::string& call) { return std::regex_match(call, matching); });
      const bool good = what == "events"  ? std::to_string(count) == w[2]
                        : what == "calls" ? std::to_string(count) == w[1]
                                          : (count > 0) == (what != "nocall");
      if (!good) ok = fail() << count << " matching calls";
    } else if ((what == "at" || what == "lasterror") && w.size() == 2) {  // clock; code kept
      const std::uint64_t got = what == "at" ? os_.kernel.now() : process.lastServiceError.load();
      if (std::to_string(got) != w[1]) ok = fail() << what << " " << got;
    } else if (what == "record" && w.size() >= 2) {
      const std::string got =
          t.mountRecord ? std::string(t.mountRecord->begin(), t.mountRecord->end()) : "none";
      if (got != rest) ok = fail() << "record " << got;
    } else if (what == "held" && w.size() == 2) {
      if (std::to_string(t.openEntries()) != w[1]) ok = fail() << t.openEntries() << " held";
    } else if (what == "blocked" || what == "noblocked") {
      if ((std::count(blocked_.begin(), blocked_.end(), rest) != 0) != (what == "blocked")) {
        ok = fail() << what;
      }
    } else if (what == "output") {  // console output so far holds the text
      std::string output;
      for (const auto& call : os_.service.calls) {
        if (call.rfind("Write", 0) == 0) output += call.substr(call.find(' ') + 1);
      }
      if (output.find(rest) == std::string::npos) ok = fail() << "output: " << output;
    } else {
      ADD_FAILURE_AT(file_.c_str(), number) << "cannot read the verdict: expect " << rest;
      return;
    }
    if (!ok)
      ADD_FAILURE_AT(file_.c_str(), number)
          << "expect " << w[0] << " " << rest << ": " << ok.message();
  }

  static std::string Escape(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
  }

  // The whole process with `w` as its command line ("" for an empty argument).
  void RunProcess(Words args, const std::string& line) {
    token_.reset();
    args[0] = "kelvarn.exe";
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back((arg == "\"\"" ? arg.erase() : arg).data());
    argv.push_back(nullptr);
    ran_ = true;
    const int code = service::RunProcess(static_cast<int>(args.size()), argv.data());
    endAt_ = static_cast<long long>(os_.kernel.now());
    Result(line + (process.debugMode ? " (debug mode)" : ""), code);
  }

  static fake::FakeTokenPlatform::FileSystem Fs(const std::string& name) {
    using Fs = fake::FakeTokenPlatform::FileSystem;
    if (name == "fat32") return Fs::kFat32;
    if (name == "exfat") return Fs::kExFat;
    if (name.empty() || name == "ntfs") return Fs::kNtfs;
    throw std::invalid_argument(name);
  }

  static std::uint32_t DriveType(const std::string& name) {
    const std::string types = " unknown none removable fixed remote cdrom ramdisk ";
    const std::size_t at = types.find(" " + name + " ");
    if (at == std::string::npos) throw std::invalid_argument(name);
    return static_cast<std::uint32_t>(std::count(types.begin(), types.begin() + at, ' '));
  }

  std::u16string Account(const std::string& name) const {
    const std::map<std::string, std::string> known = {
        {"SYSTEM", "S-1-5-18"},
        {"Administrators", "S-1-5-32-544"},
        {"TrustedInstaller", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"},
        {"Users", "S-1-5-32-545"},
        {"Everyone", "S-1-1-0"},
        {"AuthenticatedUsers", "S-1-5-11"}};
    if (name == "me") return u"S-1-5-21-7-7-7-1001";  // the administrator who runs it
    return Wide(known.count(name) ? known.at(name) : name);
  }

  // The first stop request: a stop control, Ctrl+C or Ctrl+Break, the stop event set.
  void NoteStop(bool stop) {
    if (stop && stopAt_ < 0) stopAt_ = static_cast<long long>(os_.kernel.now());
  }

  SecureToken& Token() {
    if (!token_) {
      token_ = std::make_unique<SecureToken>(os_.token);
      token_->reportEvent = service::WriteEvent;
    }
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

  void Result(const std::string& line, int result, const std::string& more = {}) {
    result_ = result;
    lastFields_ = more;
    Say(line + " -> " + std::to_string(result) + more);
  }
  void Say(const std::string& line) { out_ << "@" << os_.kernel.now() << " " << line << "\n"; }

  std::vector<std::string> TraceLines() const {
    std::vector<std::string> lines;
    std::istringstream trace(os_.token.FileContents(u"C:\\Trace\\kvn.log"));
    for (std::string line; std::getline(trace, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
    return lines;
  }

  // The transcript of everything else, and what must hold once the case is over.
  std::string Finish() {
    token_.reset();
    finished_ = true;
    for (const auto& [w, rest, number] : lineVerdicts_) Expect(w, rest, number);
    const fake::FakeTokenPlatform& t = os_.token;
    for (const auto& start : t.starts) {
      out_ << "child @" << start.time << " " << fake::Show(start.commandLine) << "\n";
    }
    for (const auto& call : os_.service.calls) out_ << "call " << call << "\n";
    for (const auto& change : t.recordLog) out_ << change << "\n";
    for (const auto& path : blocked_) out_ << "blocked " << path << "\n";
    for (const std::uint32_t ms : t.sleeps) out_ << "watcher sleep " << ms << "\n";
    for (const std::string& line : TraceLines()) {
      if (fullTrace_ ||
          (line != "SecureToken construktor!" && line != "SecureToken implicite destructor!")) {
        out_ << "| " << line << "\n";
      }
    }
    EXPECT_EQ(unheardVerdicts_, 0) << file_ << ": a verdict's time never came";
    EXPECT_EQ(t.openProcesses(), 0u) << file_ << ": a child's handle was left open";
    EXPECT_EQ(t.openEntries(), 0u) << file_ << ": an entry was left open";
    EXPECT_EQ(os_.service.openServiceHandles(), 0u) << file_;
    EXPECT_EQ(os_.service.openEventSources, 0) << file_;
    if (ran_) {
      EXPECT_EQ(os_.kernel.openEvents(), 0u) << file_;
      EXPECT_EQ(process.stopEvent.load(), nullptr) << file_;
    }
    return out_.str();
  }

  // What must hold after every command.
  void CheckInvariants() {
    const fake::FakeTokenPlatform& t = os_.token;
    const auto fail = [this]() { return ::testing::Message() << file_ << ":" << line_ << ": "; };
    for (const auto& [path, type] : t.touched) {  // searched or opened
      EXPECT_TRUE(PlainDrivePath(fake::Show(path))) << fail() << "touched " << fake::Show(path);
      EXPECT_TRUE(type != fake::kDriveUnknown && type != fake::kDriveRemote)
          << fail() << "touched " << fake::Show(path) << " on a drive of type " << type;
    }
    EXPECT_EQ(t.followedLinks, 0) << fail() << "a link was followed";
    // The service's reports: nothing after stopped, pending checkpoints rising, each
    // stop-pending hint reaching the next report, and the stop event set only after the stop
    // was reported pending.
    const auto& reports = os_.service.statuses;
    for (std::size_t i = 1; i < reports.size(); ++i) {
      const fake::StatusReport& last = reports[i - 1];
      const os::ServiceStatus& now = reports[i].status;
      EXPECT_NE(last.status.currentState, service::kServiceStopped)
          << fail() << "a report after stopped";
      if (now.checkPoint != 0) {
        for (std::size_t j = i; j-- > 0;) {
          if (reports[j].status.checkPoint != 0) {
            EXPECT_GT(now.checkPoint, reports[j].status.checkPoint) << fail() << "checkpoint";
            break;
          }
        }
      }
      if (last.status.currentState == service::kServiceStopPending && last.status.waitHint != 0) {
        EXPECT_LE(reports[i].time, last.time + last.status.waitHint) << fail() << "hint too short";
      }
    }
    std::string lastReport;
    for (const auto& call : os_.service.calls) {
      if (call.rfind("SetServiceStatus ", 0) == 0) lastReport = call;
      if (call.rfind("SetEvent", 0) == 0 && !lastReport.empty()) {
        EXPECT_NE(lastReport.find(" state 3 "), std::string::npos)
            << fail() << "set before " << lastReport;
      }
    }
    // Children: a mount is recorded before it starts; a dismount follows a mount (or a mount
    // an earlier run recorded) once that has ended, has run 120 s, or a stop has waited 60 s
    // for it (a wait that fails counts as the end).
    const fake::ProcessStart* mount = nullptr;
    for (const auto& start : t.starts) {
      if (!start.dismount()) {
        mount = &start;
        EXPECT_TRUE(start.recorded || t.failRecord) << fail() << "a mount that was not recorded";
        continue;
      }
      EXPECT_TRUE(mount != nullptr || recordSeeded_) << fail() << "a dismount without a mount";
      if (mount == nullptr || t.failWait) continue;
      std::uint64_t allowed = std::min(mount->end, mount->time + 120000);
      if (stopAt_ >= 0) {
        allowed = std::min(allowed, static_cast<std::uint64_t>(stopAt_) + process.stopWaitLimit);
      }
      EXPECT_GE(start.time, allowed) << fail() << "dismounted while mounting";
    }
  }

  std::string file_;
  int line_;
  bool fullTrace_;
  bool row_;
  fake::FakeWindows os_;
  std::unique_ptr<SecureToken> token_;
  StickIni ini_;
  std::multimap<int, std::pair<std::string, int>> afterDrives_;
  std::u16string contentPath_;
  std::string content_;
  std::vector<std::string> blocked_;
  std::vector<std::tuple<Words, std::string, int>> lineVerdicts_;
  bool finished_ = false;
  int unheardVerdicts_ = 0;
  bool ran_ = false;
  bool recordSeeded_ = false;
  int result_ = 0;
  std::string lastFields_;
  long long stopAt_ = -1, endAt_ = -1;
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

TEST_P(ScenarioTest, VerdictsHoldAndTranscriptMatchesBaseline) {
  const std::string& name = GetParam();
  const fs::path path = kScenarios / (name + ".scn");
  const std::string text = ReadFile(path);
  ASSERT_FALSE(text.empty()) << path;
  // Cases separated by a line "---" each start on a fresh machine; a line "full trace" keeps
  // the trace's first and last line in the transcript.
  const bool fullTrace =
      text.find("\nfull trace\n") != std::string::npos || text.rfind("full trace\n", 0) == 0;
  std::string transcript;
  int line = 1;
  for (std::size_t from = 0, cut; from <= text.size(); from = cut + 5) {
    cut = text.find("\n---\n", from);
    if (cut == std::string::npos) cut = text.size();
    std::string part = text.substr(from, cut - from);
    if (fullTrace) {
      part = std::regex_replace(part, std::regex("^full trace$", std::regex::multiline), "");
    }
    // A case "table <commands, separated by ' ; ', with {1}, {2}... for the cells>" followed
    // by lines "row <cell> || <cell> || ..." stands for one case per row; a cell may hold
    // several commands, separated the same way, or none.
    std::smatch table;
    std::vector<std::pair<std::string, int>> cases = {{part, line}};
    if (std::regex_search(part, table, std::regex("^table (.*)$", std::regex::multiline))) {
      cases.clear();
      std::istringstream rows(part);
      int at = line;
      for (std::string row; std::getline(rows, row); ++at) {
        if (row.rfind("row ", 0) != 0) continue;
        std::string expanded = table.str(1);
        const std::string cells = row.substr(4) + " || ";
        int number = 0;
        for (std::size_t next = 0, bar; (bar = cells.find(" || ", next)) != std::string::npos;
             next = bar + 4) {
          const std::string cell = cells.substr(next, bar - next);
          const std::string slot = "{" + std::to_string(++number) + "}";
          for (std::size_t p; (p = expanded.find(slot)) != std::string::npos;) {
            expanded.replace(p, slot.size(), cell);
          }
        }
        expanded = std::regex_replace(expanded, std::regex("\\{[0-9]+\\}"), "");  // cells not given
        cases.emplace_back(std::regex_replace(expanded, std::regex(" ; "), "\n"), -at);
      }
    }
    for (const auto& [body, first] : cases) {
      if (!transcript.empty()) transcript += "---\n";
      transcript += Scenario(path.string(), std::abs(first), fullTrace, first < 0).Run(body);
    }
    line += static_cast<int>(std::count(part.begin(), part.end(), '\n')) + 2;
  }
  if (!fullTrace) return;  // its verdicts are all it states
  const fs::path baseline = kScenarios / (name + ".out");
  if (const char* rewrite = std::getenv("KVN_REWRITE_BASELINES"); rewrite && *rewrite == '1') {
    std::ofstream(baseline, std::ios::binary) << transcript;
    return;
  }
  ASSERT_TRUE(fs::exists(baseline)) << baseline << ": no baseline";
  EXPECT_EQ(transcript, ReadFile(baseline)) << baseline;
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
