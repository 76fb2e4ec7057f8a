// Scenario files (tests/data/scenarios/*.scn, language in the README there): a machine, a
// timeline, operations and the verdicts that must hold, run by the real core on the fake Windows
// and its virtual clock, held to the fakes' checks and CheckInvariants. A "full trace" file's
// transcript must also equal its <name>.out (KVN_REWRITE_BASELINES=1 rewrites them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "common/process_state.h"
#include "fake/failing_allocation.h"
#include "fake/fake_windows.h"
#include "service/service_host.h"
#include "service/service_install.h"
#include "service/service_state.h"
#include "token/secure_token.h"

namespace kvn {
namespace {

namespace fs = std::filesystem;
using fake::Show;
constexpr auto npos = std::string::npos;
const fs::path kScenarios = fs::path(KVN_TEST_DATA_DIR) / "scenarios";

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}
std::uint32_t U32(const std::string& text) {
  return static_cast<std::uint32_t>(std::stoul(text, nullptr, 0));
}
std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }
std::vector<std::string> Lines(const std::string& text, char end = '\n') {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line, end);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}
std::string Escape(const std::string& text) {  // for a regular expression
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}
// An account by name, as the cases write it ("me": the administrator who runs it), or a SID.
std::u16string Account(const std::string& name) {
  static const std::map<std::string, std::string> kKnown = {
      {"SYSTEM", "S-1-5-18"},
      {"Administrators", "S-1-5-32-544"},
      {"Users", "S-1-5-32-545"},
      {"TrustedInstaller", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"},
      {"Everyone", "S-1-1-0"},
      {"AuthenticatedUsers", "S-1-5-11"},
      {"me", "S-1-5-21-7-7-7-1001"}};
  return Wide(kKnown.count(name) ? kKnown.at(name) : name);
}
// What a word names among `names` (separated by blanks): its index.
std::uint32_t OneOf(const std::string& names, const std::string& name) {
  const std::size_t at = (" " + names + " ").find(" " + name + " ");
  if (at == npos) throw std::invalid_argument(name);
  return static_cast<std::uint32_t>(std::count(names.begin(), names.begin() + at, ' '));
}
fake::FakeTokenPlatform::FileSystem Fs(const std::string& name) {
  return static_cast<fake::FakeTokenPlatform::FileSystem>(
      OneOf("ntfs fat32 exfat", name.empty() ? "ntfs" : name));
}
// The verdicts' findings: "" when they hold, else what was found. A count may be "some" (not 0).
std::string Count(std::uint64_t got, const std::string& want) {
  const bool holds = want == "some" ? got > 0 : std::to_string(got) == want;
  return holds ? "" : std::to_string(got) + " found";
}
std::string Is(const std::string& got, const std::string& want) {
  return got == want ? "" : "is " + got;
}
template <typename Range, typename Text>
std::uint64_t Times(const Range& range, const Text& text) {
  return static_cast<std::uint64_t>(std::count(range.begin(), range.end(), text));
}

// One command of a case: its words (a word past the last reads as empty) and its line.
struct Command {
  Command(std::string text, int at) : line(std::move(text)), number(at) {
    std::istringstream in(line);
    for (std::string word; in >> word;) words.push_back(word);
  }
  const std::string& operator[](std::size_t i) const {
    static const std::string kNone;
    return i < words.size() ? words[i] : kNone;
  }
  std::size_t size() const { return words.size(); }
  // The text after n words: as it is, as a path, as a command of the same line, as one required.
  std::string Rest(std::size_t n) const {
    std::size_t at = 0;
    for (std::size_t i = 0; i < n && at != npos; ++i) at = line.find(' ', at + 1);
    return at == npos ? std::string() : line.substr(at + 1);
  }
  std::u16string Path(std::size_t n) const { return Wide(Rest(n)); }
  Command Tail(std::size_t n) const { return Command(Rest(n), number); }
  std::string Text(std::size_t n) const { return n < size() ? Rest(n) : Unreadable(); }
  // Word i as the last word, a decimal number, a code (0x for hexadecimal); word 1 as a letter.
  const std::string& Last(std::size_t i) const { return i + 1 == size() ? words[i] : Unreadable(); }
  std::uint64_t Number(std::size_t i) const { return std::stoull((*this)[i]); }
  std::uint32_t Code(std::size_t i) const { return U32((*this)[i]); }
  char16_t Letter() const { return static_cast<char16_t>((*this)[1][0]); }
  // The side of "<path> = <what it gives>": 0 the path, 1 what it gives.
  std::u16string Side(int side) const {
    const std::string text = Rest(1);
    return Wide(side == 0 ? text.substr(0, text.find(" = ")) : text.substr(text.find(" = ") + 3));
  }

  const std::string& Unreadable() const { throw std::invalid_argument(line); }

  std::string line;
  int number;  // its line in the file
  std::vector<std::string> words;
};

class Scenario {
 public:
  // `row`: the whole text is one row of a table, and every failure names the row's line.
  Scenario(std::string file, int firstLine, bool row)
      : file_(std::move(file)), line_(firstLine), row_(row) {
    process.debugMode = true;
    t_.AddFolder(u"C:\\Trace");
    t_.AddFile(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", "MZ");
    t_.AddDrive(u'D', os::kDriveFixed);
    t_.AddFile(u"D:\\vault.tc", "container");
    t_.AddFile(s_.modulePath, "MZ");
  }

  // Runs the case's text and returns its transcript.
  std::string Run(const std::string& text) {
    int verdicts = 0;
    const int first = line_;
    for (const std::string& line : Lines(text)) {
      if (line.rfind("| ", 0) == 0 || line == "|") {  // a line of the last file
        const std::string added = line.size() > 2 ? line.substr(2) : "";
        t_.AddFile(filePath_, t_.FileContents(filePath_) + added + "\r\n");
      } else if (const std::size_t start = line.find_first_not_of(" \t");
                 start != npos && line[start] != '#') {
        verdicts += line.find("expect ", start) != npos ? 1 : 0;
        const ::testing::ScopedTrace trace(file_.c_str(), line_, line);  // names it in failures
        Do(Command(line.substr(start), line_));
        CheckInvariants();
      }
      line_ += row_ ? 0 : 1;
    }
    if (verdicts == 0) ADD_FAILURE_AT(file_.c_str(), first) << "a case without a verdict";
    return Finish();
  }

 private:
  using T = fake::FakeTokenPlatform;
  using Ini = std::vector<std::pair<std::string, std::string>>;  // names and values, in order

  void Do(const Command& c) {
    try {
      commands_.at(c[0])(c);
    } catch (const std::logic_error&) {  // an unknown command, a word that is no number or name
      ADD_FAILURE_AT(file_.c_str(), c.number) << "cannot read: " << c.line;
    }
  }
  std::map<std::string, std::function<void(const Command&)>> Commands() {
    // clang-format off
    return {
      {"expect", [this](auto& c) { Expect(c.Tail(1)); }},
      {"at", [this](auto& c) {  // a timed verdict that never runs fails the case
         const bool verdict = c[2] == "expect";
         if (verdict) waiting_.push_back(c.number);
         os_.kernel.At(c.Number(1), [this, c, verdict] {
           if (verdict) waiting_.erase(std::find(waiting_.begin(), waiting_.end(), c.number));
           Do(c.Tail(2)); }); }},
      // the machine: drives, files, rights
      {"drive", [this](auto& c) {
         const auto type = OneOf("unknown none removable fixed remote cdrom ramdisk", c[2]);
         for (char16_t letter : c[1]) t_.AddDrive(letter, type, Fs(c[3])); }},
      {"stick", [this](auto& c) { Stick(c.Letter(), Fs(c[2])); }},
      {"value", [this](auto& c) { IniValue(c[1])->second = c.Rest(2); WriteIni(); }},
      {"novalue", [this](auto& c) { ini_.erase(IniValue(c[1])); WriteIni(); }},
      {"file", [this](auto& c) {  // <path> [< file of the repository]; "| " lines add to it
         const std::string text = c.Rest(1);
         const std::size_t from = text.find(" < ");
         const fs::path repo = kScenarios / "../../..";
         filePath_ = Wide(text.substr(0, from));
         t_.AddFile(filePath_, from == npos ? "" : ReadFile(repo / text.substr(from + 3))); }},
      {"bytes", [this](auto& c) { t_.AddFile(c.Path(2), std::string(std::stoul(c[1]), ' ')); }},
      {"folder", [this](auto& c) { t_.AddFolder(c.Path(1)); }},
      {"remove", [this](auto& c) { t_.At(c.Path(1)).bytes.reset(); }},
      {"link", [this](auto& c) { t_.MakeLink(c.Path(1), 0xA000000C); }},
      {"namelink", [this](auto& c) { t_.MakeLink(c.Path(1), T::kNameOnly); }},
      {"reparse", [this](auto& c) { t_.MakeLink(c.Path(2), c.Code(1)); }},
      {"size", [this](auto& c) { t_.At(c.Path(2)).size = c.Number(1); }},
      {"lie", [this](auto& c) { t_.At(c.Path(2)).lie = c.Number(1); }},
      {"owner", [this](auto& c) { t_.At(c.Path(2)).security.owner = Account(c[1]); }},
      {"grant", [this](auto& c) {  // <account> <mask>[/io] <path>: allowed, inherit-only with /io
         const std::uint8_t flags = std::regex_search(c[2], std::regex("/io$")) ? 0x0b : 0;
         t_.At(c.Path(3)).security.dacl.push_back({false, flags, c.Code(2), Account(c[1])}); }},
      {"nodacl", [this](auto& c) { t_.At(c.Path(1)).security.hasDacl = false; }},
      {"policy", [this](auto& c) {
         for (auto& account : c.Tail(1).words) t_.policyTrusted.push_back(Account(account)); }},
      {"signature", [this](auto& c) {  // <path> = <verdict> [<organization> (<country>)]
         const std::string given = Show(c.Side(1));
         const std::size_t blank = given.find(' '), open = given.rfind(" (");
         os::Signature& signature = t_.At(c.Side(0)).signature;
         signature.verdict = U32(given.substr(0, blank));
         signature.organization = blank == npos ? u"" : Wide(given.substr(blank + 1, open - blank - 1));
         signature.country = blank == npos ? u"" : Wide(given.substr(open + 2, given.size() - open - 3)); }},
      {"signers", [this](auto& c) {  // entries separated by ";"
         for (auto& entry : Lines(c.Rest(1), ';')) t_.policySigners.push_back(Wide(entry)); }},
      {"account", [this](auto& c) {  // <account> <what a lookup names it> | fails <code>
         t_.accounts[Account(c[1])] = c[2] == "fails" ? T::kLookupFails + c.Code(3) : c.Code(2); }},
      {"answer", [this](auto& c) { t_.At(c.Path(3)).answers[c[1]] = c.Code(2); }},
      {"hang", [this](auto& c) { t_.At(c.Path(2)).answers[c[1]] = T::kHang; }},
      {"wow64", [this](auto&) { t_.wow64 = true; }},
      {"short", [this](auto& c) { t_.AddShortName(c.Side(0), c.Side(1)); }},
      {"fullpath", [this](auto& c) { t_.fullPaths[c.Side(0)] = c.Side(1); }},
      {"final", [this](auto& c) {  // <path> = <final path>, the key as the fake makes it
         std::u16string key = c.Side(0);
         for (auto& unit : key) unit = AsciiLower(unit);
         t_.finalPaths[key] = c.Side(1); }},
      {"programfiles", [this](auto& c) {  // the sources, separated by ";"
         t_.programFilesFolders.clear();
         for (auto& f : Lines(c.Rest(1) + ";", ';')) t_.programFilesFolders.push_back(Wide(f)); }},
      {"unplug", [this](auto& c) { t_.drive(c.Letter()).present = false; }},
      {"plug", [this](auto& c) { t_.drive(c.Letter()).present = true; }},
      {"notready", [this](auto& c) { t_.drive(c.Letter()).ready = false; }},
      {"serial", [this](auto& c) {
         t_.drive(c.Letter()).serial = c[2] == "none" ? T::kNoSerial : U32("0x" + c[2]); }},
      {"volume", [this](auto& c) { t_.drive(c.Letter()).volumeName = c.Path(2); }},
      {"device", [this](auto& c) { t_.drive(c.Letter()).device = c.Path(2); }},
      {"faildrives", [this](auto& c) { t_.getDrivesError = c.Code(1); }},
      {"afterdrives", [this](auto& c) {  // <n> <command>: after the n-th reading of the mask
         const int n = std::stoi(c[1]);
         t_.afterGetDrives = [this, n, c, before = t_.afterGetDrives](int reading) {
           if (before) before(reading);  // those given earlier first
           if (reading == n) Do(c.Tail(2)); }; }},
      // children and the mount record
      {"failstart", [this](auto& c) {  // all, or <code> <start number>...
         t_.failStart = c.size() == 1;
         if (c.size() > 1) t_.startError = c.Code(1);
         for (auto& n : c.Tail(2).words) t_.failStarts.insert(std::stoul(n)); }},
      {"failwait", [this](auto&) { t_.failWait = true; }},
      {"failresume", [this](auto&) { t_.failResume = true; }},
      {"failarm", [this](auto& c) { t_.failArm = c.Code(1); }},
      {"failalloc", [this](auto& c) {  // the next allocation after start n
         t_.afterStart = [n = c.Number(1)](auto started) {
           if (started == n) fake::failNextAllocation = true; }; }},
      {"runtime", [this](auto& c) {  // <n|*> <ms|hung|stuck> [stuck]: stuck, not ended by us
         const bool stuck = c[2] == "stuck" || (c.size() > 3 && c[3] == "stuck");
         if (stuck) t_.resisting.insert(std::stoul(c[1]));
         const auto ms = c[2] == "hung" || c[2] == "stuck" ? fake::kNeverEnds : c.Number(2);
         (c[1] == "*" ? t_.childRunTime : t_.runTimes[std::stoul(c[1])]) = ms; }},
      {"exitcode", [this](auto& c) { t_.exitCodes[std::stoul(c[1])] = c.Code(2); }},
      {"record", [this](auto& c) {  // record <value> | wrongtype | fails
         if (c[1] == "fails") { t_.failRecord = true; return; }
         t_.mountRecordWrongType = c[1] == "wrongtype";
         t_.mountRecord = Wide(t_.mountRecordWrongType ? "" : c.Rest(1));
         recordSeeded_ = true; }},
      {"debug", [](auto& c) { process.debugMode = c[1] == "on"; }},
      // the service side
      {"fail", [this](auto& c) { s_.FailCall(c[1], c.Code(2), c.size() > 3 ? c.Code(3) : 1u); }},
      {"throw", [this](auto& c) {  // the action itself; a lock that cannot be had; a call
         if (c.size() == 1) throw std::bad_alloc();
         const auto deadlock = std::make_error_code(std::errc::resource_deadlock_would_occur);
         if (c[1] == "lock") throw std::system_error(deadlock);
         s_.throwOnce = c[1]; }},
      {"scm", [this](auto&) { s_.startedByServiceManager = true; }},
      {"preshutdown", [this](auto& c) { s_.preshutdownTimeout = c.Code(1); }},
      {"module", [this](auto& c) { s_.modulePath = c.Path(1); t_.AddFile(s_.modulePath, "MZ"); }},
      {"installed", [this](auto& c) {
         s_.serviceExists = true;
         s_.serviceStates.clear();
         for (auto& n : c.Tail(1).words) s_.serviceStates.push_back(U32(n)); }},
      {"message", [this](auto& c) {  // where \r and \n stand for CR and LF
         const std::string cr = std::regex_replace(c.Rest(2), std::regex(R"(\\r)"), "\r");
         const std::string text = std::regex_replace(cr, std::regex(R"(\\n)"), "\n");
         s_.systemMessages[c.Code(1)] = Wide(text); }},
      {"stop", [this](auto&) { NoteStop(); s_.SendControl(service::kServiceControlStop); }},
      {"control", [this](auto& c) {
         if (c.Code(1) == service::kServiceControlPreshutdown) NoteStop();
         s_.SendControl(c.Code(1)); }},
      {"console", [this](auto& c) {  // to the registered handler, else to the core's own
         const auto event = c.Code(1);
         if (event <= 2 || event == 5 || event == 6) NoteStop();
         Result(c.line, s_.consoleHandler ? s_.consoleHandler(event)
                                          : service::ConsoleControlHandler(event)); }},
      // the watcher's operations
      {"check", [this](auto& c) { Watched(c.line, Check(c.Letter())); }},
      {"find", [this](auto& c) { Watched(c.line, Token().FindToken()); }},
      {"accept", [this](auto& c) { Check(c.Letter()); Token().tokenPresent = true; }},
      {"open", [this](auto&) { Token().OpenContainer(); }},
      {"watch", [this](auto& c) { Token().CheckToken(); Say(c.line + Fields()); }},
      {"close", [this](auto&) { Token().CloseContainer(); }},
      {"records", [this](auto&) { Token().ReadMountRecord(); }},
      {"pause", [this](auto& c) { Result(c.line, Token().waits.Pause(c.Code(1))); }},
      {"stopevent", [this](auto& c) {  // signalled at <ms>
         const os::Handle event = os_.kernel.CreateEvent();
         process.stopEvent = event;
         os_.kernel.At(c.Number(1), [this, event] { NoteStop(); os_.kernel.SetEvent(event); }); }},
      // the service host's
      {"run", [this](auto& c) { RunProcess(c); }},
      {"install", [](auto&) { service::InstallService(); }},
      {"uninstall", [](auto&) { service::RemoveService(); }},
      {"errortext", [this](auto& c) {
         os_.kernel.lastError = c.Code(1);
         Result(c.line, 0, " [" + Show(service::LastErrorText()) + "]"); }},
      {"logerror", [this](auto& c) {
         os_.kernel.lastError = c.Code(1);
         service::LogServiceError(c.Path(2).c_str()); }},
    };
    // clang-format on
  }

  // The commands' helpers. A stick: a removable drive with a key and a standard kvn.ini.
  void Stick(char16_t letter, T::FileSystem fs) {
    t_.AddDrive(letter, os::kDriveRemovable, fs);
    ini_ = {{"Truecrypt", "C:\\Program Files\\TrueCrypt\\TrueCrypt.exe"},
            {"Key", "key.dat"},
            {"Container", "D:\\vault.tc"},
            {"TargetDrive", "T"},
            {"IfUsed", "0"}};
    iniPath_ = std::u16string(1, letter) + u":\\kvn.ini";
    WriteIni();
    t_.AddFile(std::u16string(1, letter) + u":\\key.dat", "key");
  }
  void WriteIni() {
    std::string text = "; written by the scenario\r\n[Truecrypt]\r\n";
    for (const auto& [name, value] : ini_)
      text += (name == "Key" ? "[Config]\r\n" : "") + name + "=" + value + "\r\n";
    t_.AddFile(iniPath_, text);
  }
  Ini::iterator IniValue(const std::string& name) {
    const auto it =
        std::find_if(ini_.begin(), ini_.end(), [&](auto& v) { return v.first == name; });
    if (it == ini_.end()) throw std::invalid_argument(name);
    return it;
  }
  int Check(char16_t letter) {
    Token().configPath[0] = letter;
    return Token().CheckConfig(Token().configPath);
  }
  // The whole process with the command's words as its command line ("" for an empty one).
  void RunProcess(const Command& c) {
    token_.reset();
    std::vector<std::string> args = c.words;
    args[0] = "kelvarn.exe";
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back((arg == "\"\"" ? arg.erase() : arg).data());
    argv.push_back(nullptr);
    int code = 0;
    try {
      code = service::RunProcess(static_cast<int>(args.size()), argv.data());
    } catch (const fake::ProcessEnded&) {  // it ended itself: with the code it gave
      code = static_cast<int>(os_.kernel.exitCode);
    }
    endAt_ = static_cast<long long>(os_.kernel.now());
    Result(c.line + (process.debugMode ? " (debug mode)" : ""), code);
  }
  // The first stop request: a stop control, Ctrl+C or Ctrl+Break, the stop event set.
  void NoteStop() {
    if (stopAt_ < 0) stopAt_ = static_cast<long long>(os_.kernel.now());
  }
  SecureToken& Token() {
    if (!token_) {
      token_ = std::make_unique<SecureToken>(os_.token);
      token_->reportEvent = service::WriteEvent;
    }
    return *token_;
  }

  // One verdict, "expect <what> ..." with `v[0]` its <what>: holds, or fails naming the line.
  // The trace's (line, noline, lines) wait until the case is over and the trace complete.
  void Expect(const Command& v) {
    if (!finished_ && v[0].find("line") != npos) return traceVerdicts_.push_back(v);
    std::string found;
    try {
      found = verdicts_.at(v[0])(v);
    } catch (const std::logic_error&) {  // an unknown verdict, or its words do not fit
      found = "cannot be read";
    }
    if (!found.empty()) ADD_FAILURE_AT(file_.c_str(), v.number) << v.line << ": " << found;
  }
  std::map<std::string, std::function<std::string(const Command&)>> Verdicts() {
    // clang-format off
    return {
      {"result", [this](auto& v) {  // result <n> [text the fields hold]
         const bool holds = std::to_string(result_) == v[1] && fields_.find(v.Rest(2)) != npos;
         return holds ? "" : "result " + std::to_string(result_) + fields_; }},
      {"line", [this](auto& v) { return Count(Times(Trace(), v.Rest(1)), "some"); }},
      {"noline", [this](auto& v) { return Count(Times(Trace(), v.Rest(1)), "0"); }},
      {"lines", [this](auto& v) { return Count(Times(Trace(), v.Rest(2)), v[1]); }},
      {"child", [this](auto& v) {  // child <n> <command line>: the child numbered n
         const auto n = std::stoi(v[1]);
         const auto it = std::find_if(t_.starts.begin(), t_.starts.end(),
                                      [n](auto& start) { return start.number == n; });
         return Is(it != t_.starts.end() ? Show(it->commandLine) : "none", v.Text(2)); }},
      {"children", [this](auto& v) {  // none | mount | dismount ..., in order
         std::string got;
         for (const auto* start : Ran(true)) got += start->dismount() ? " dismount" : " mount";
         return Is(got.empty() ? "none" : got.substr(1), v.Rest(1)); }},
      {"ended", [this](auto& v) {  // ended <code>: the process ended itself
         return os_.kernel.ended ? Is(Show(os_.kernel.exitCode), v.Last(1)) : "running"; }},
      {"stopped", [this](auto& v) {  // stopped within <ms>
         const long long ms = std::stoll(v[1] == "within" ? v.Last(2) : v.Unreadable());
         const bool holds = stopAt_ >= 0 && endAt_ >= stopAt_ && endAt_ - stopAt_ <= ms;
         const std::string asked = "asked @" + std::to_string(stopAt_);
         return holds ? "" : asked + ", ended @" + std::to_string(endAt_); }},
      {"event", [this](auto& v) { return Count(Calls(Event(v)), "some"); }},
      {"events", [this](auto& v) { return Count(Calls(Event(v)), v.Last(2)); }},
      {"call", [this](auto& v) { return Count(Calls(".*" + Escape(v.Rest(1)) + ".*"), "some"); }},
      {"nocall", [this](auto& v) { return Count(Calls(".*" + Escape(v.Rest(1)) + ".*"), "0"); }},
      {"calls", [this](auto& v) { return Count(Calls(".*" + Escape(v.Text(2)) + ".*"), v[1]); }},
      {"output", [this](auto& v) {  // what the Write calls wrote
         std::string output;
         for (const auto& call : s_.calls)
           if (call.rfind("Write", 0) == 0) output += call.substr(call.find(' ') + 1);
         return output.find(v.Rest(1)) != npos ? "" : "output " + output; }},
      {"at", [this](auto& v) { return Is(Show(os_.kernel.now()), v.Last(1)); }},
      {"lasterror", [](auto& v) { return Is(Show(process.lastServiceError), v.Last(1)); }},
      {"record", [this](auto& v) { return Is(Show(t_.mountRecord.value_or(u"none")), v.Text(1)); }},
      {"held", [this](auto& v) { return Count(t_.openEntries(), v.Last(1)); }},
      {"lookups", [this](auto& v) { return Count(static_cast<std::uint64_t>(t_.lookups), v.Last(1)); }},
      {"verifications", [this](auto& v) {
         return Count(static_cast<std::uint64_t>(t_.verifications), v.Last(1)); }},
      {"blocked", [this](auto& v) { return Count(Times(t_.blocked, v.Path(1)), "some"); }},
      {"noblocked", [this](auto& v) { return Count(Times(t_.blocked, v.Path(1)), "0"); }},
    };
    // clang-format on
  }

  // The verdicts' helpers. The service calls that write an event: "event <info|warning|error> <id>
  // [@<ms>] [| <strings>]" (no strings: any; empty strings after those given pass), "events <id>
  // <count>".
  static std::string Event(const Command& v) {
    if (v[0] == "events") return "ReportEvent @\\d+ \\d/0/" + Escape(v[1]) + "( \\|.*)?";
    const std::string level = std::to_string(4 >> OneOf("info warning error", v[1]));  // 4, 2, 1
    const std::string at = v.size() > 3 && v[3][0] == '@' ? Escape(v[3].substr(1)) : "\\d+";
    const std::size_t bar = v.Rest(1).find(" | ");
    return "ReportEvent @" + at + " " + level + "/0/" + Escape(v[2]) +
           (bar == npos ? "( \\|.*)?" : Escape(v.Rest(1).substr(bar)) + "( \\| )*");
  }
  std::uint64_t Calls(const std::string& pattern) const {
    const std::regex matching(pattern);
    return static_cast<std::uint64_t>(
        std::count_if(s_.calls.begin(), s_.calls.end(),
                      [&](const std::string& call) { return std::regex_match(call, matching); }));
  }
  std::vector<std::string> Trace() const { return Lines(t_.FileContents(u"C:\\Trace\\kvn.log")); }

  // The transcript: what an operation gave (and the watcher's fields after it).
  std::string Fields() {
    const SecureToken& t = Token();
    return " [tool " + Show(t.trueCryptPath) + "] [key " + Show(t.keyFilePath) + "] [container " +
           Show(t.containerPath) + "] [drive " + Show(t.targetDrive) + "] [ifused " +
           Show(t.ifUsed) + "] [config " + Show(t.configPath) + "]" +
           (t.tokenPresent ? " present" : "") + (t.waits.stopRequested ? " stop" : "");
  }
  void Watched(const std::string& line, int result) { Result(line, result, Fields()); }
  void Result(const std::string& line, int result, const std::string& fields = {}) {
    result_ = result;
    fields_ = fields;
    Say(line + " -> " + std::to_string(result) + fields);
  }
  void Say(const std::string& line) { out_ << "@" << os_.kernel.now() << " " << line << "\n"; }

  // The transcript's end, the children and the whole trace; and what must hold at the end.
  std::string Finish() {
    token_.reset();
    finished_ = true;
    for (const Command& v : traceVerdicts_) Expect(v);
    for (const auto* start : Ran()) {
      out_ << "child @" << start->time << " " << Show(start->commandLine) << "\n";
    }
    for (const std::string& line : Trace()) out_ << "| " << line << "\n";
    for (int line : waiting_) ADD_FAILURE_AT(file_.c_str(), line) << "a verdict's time never came";
    if (os_.kernel.ended) return out_.str();  // what it held, Windows closes
    for (const auto& start : t_.starts) {
      EXPECT_TRUE(start.closed) << file_ << ": a child's handle was left open";
      EXPECT_TRUE(start.ran() || start.endedByService || !start.suspended || start.failed)
          << file_ << ": a child was left suspended";
    }
    EXPECT_EQ(t_.openEntries(), 0u) << file_ << ": an entry was left open";
    EXPECT_EQ(t_.openTraces, 0) << file_ << ": the trace file was left open";
    EXPECT_EQ(s_.openServiceHandles(), 0u) << file_;
    EXPECT_EQ(s_.openEventSources, 0) << file_;
    EXPECT_EQ(os_.kernel.closedSignals, 0) << file_ << ": an event set that was not open";
    if (endAt_ >= 0) {  // after a run
      EXPECT_EQ(os_.kernel.openEvents(), 0u) << file_;
      EXPECT_EQ(process.stopEvent.load(), nullptr) << file_;
    }
    return out_.str();
  }
  // The children that began to run (and, `tried`, the starts that failed), in the order they
  // did: by their numbers. A child made suspended counts once it runs.
  std::vector<const fake::ProcessStart*> Ran(bool tried = false) const {
    std::vector<const fake::ProcessStart*> ran;
    for (const auto& start : t_.starts)
      if (start.ran() || (tried && start.number >= 0)) ran.push_back(&start);
    std::sort(ran.begin(), ran.end(), [](auto* a, auto* b) { return a->number < b->number; });
    return ran;
  }

  // What must hold after every command, besides what the fakes check on each call.
  void CheckInvariants() {
    // Children: a mount is recorded, and its dismount made suspended, before it starts; its
    // record stays while it runs; a dismount follows a mount (or a recorded one) once that
    // ended (or its wait failed), ran 120 s, or a stop waited 60 s for it.
    for (std::size_t i = 0; i < t_.starts.size(); ++i) {
      const fake::ProcessStart& start = t_.starts[i];
      if (start.dismount() || !start.ran()) continue;
      EXPECT_TRUE(i > 0 && t_.starts[i - 1].suspended && t_.starts[i - 1].dismount())
          << "a mount without its dismount";
      EXPECT_TRUE(start.end <= os_.kernel.now() || t_.mountRecord || t_.failRecord ||
                  os_.kernel.ended)
          << "a mount still runs, and its record is gone";
    }
    const fake::ProcessStart* mount = nullptr;
    for (const auto* ran : Ran()) {
      const fake::ProcessStart& start = *ran;
      if (!start.dismount()) {
        mount = &start;
        EXPECT_TRUE(start.recorded || t_.failRecord) << "a mount that was not recorded";
        continue;
      }
      EXPECT_TRUE(mount != nullptr || recordSeeded_) << "a dismount without a mount";
      if (mount == nullptr || t_.failWait) continue;
      const std::uint64_t stopped =
          stopAt_ < 0 ? fake::kNeverEnds
                      : static_cast<std::uint64_t>(stopAt_) + process.stopWaitLimit;
      EXPECT_GE(start.time, std::min({mount->end, mount->time + 120000, stopped}))
          << "dismounted while mounting";
    }
  }

  std::string file_;
  int line_;
  bool row_;
  fake::FakeWindows os_;
  T& t_ = os_.token;                            // the watcher's side of the machine
  fake::FakeServicePlatform& s_ = os_.service;  // the service host's
  std::map<std::string, std::function<void(const Command&)>> commands_ = Commands();
  std::map<std::string, std::function<std::string(const Command&)>> verdicts_ = Verdicts();
  std::unique_ptr<SecureToken> token_;
  Ini ini_;                            // the last stick's kvn.ini
  std::u16string iniPath_, filePath_;  // the last stick's kvn.ini, the last file
  std::vector<Command> traceVerdicts_;
  std::vector<int> waiting_;  // the lines of "at ... expect" verdicts not yet run
  bool finished_ = false, recordSeeded_ = false;
  int result_ = 0;
  std::string fields_;
  long long stopAt_ = -1, endAt_ = -1;
  std::ostringstream out_;
};

// The cases of one part of a file (a table stands for one per row), each with its first line,
// negative for a row, whose line every failure names.
std::vector<std::pair<std::string, int>> Cases(const std::string& part, int line) {
  std::smatch table;
  if (!std::regex_search(part, table, std::regex("^table (.*)$", std::regex::multiline))) {
    return {{part, line}};
  }
  std::vector<std::pair<std::string, int>> cases;
  for (const std::string& row : Lines(part)) {
    if (row.rfind("row ", 0) == 0) {
      std::string expanded = table.str(1);
      const std::string cells = row.substr(4) + " || ";
      int number = 0;
      for (std::size_t next = 0, bar; (bar = cells.find(" || ", next)) != npos; next = bar + 4) {
        const std::string slot = "{" + std::to_string(++number) + "}";
        for (std::size_t p; (p = expanded.find(slot)) != npos;)
          expanded.replace(p, slot.size(), cells.substr(next, bar - next));
      }
      expanded = std::regex_replace(expanded, std::regex("\\{[0-9]+\\}"), "");  // cells not given
      cases.emplace_back(std::regex_replace(expanded, std::regex(" ; "), "\n"), -line);
    }
    ++line;
  }
  return cases;
}

std::vector<std::string> ScenarioNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(kScenarios))
    if (entry.path().extension() == ".scn") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

class ScenarioTest : public ::testing::TestWithParam<std::string> {};

// Cases separated by a line "---" each start on a fresh machine.
TEST_P(ScenarioTest, VerdictsHoldAndTranscriptMatchesBaseline) {
  const fs::path path = kScenarios / (GetParam() + ".scn");
  const std::string text = ReadFile(path);
  ASSERT_FALSE(text.empty()) << path;
  const std::regex fullTrace("^full trace$", std::regex::multiline);
  std::string transcript;
  int line = 1;
  for (std::size_t from = 0, cut; from <= text.size(); from = cut + 5) {
    cut = std::min(text.find("\n---\n", from), text.size());
    const std::string part = std::regex_replace(text.substr(from, cut - from), fullTrace, "");
    for (const auto& [body, first] : Cases(part, line)) {
      if (!transcript.empty()) transcript += "---\n";
      transcript += Scenario(path.string(), std::abs(first), first < 0).Run(body);
    }
    line += static_cast<int>(std::count(part.begin(), part.end(), '\n')) + 2;
  }
  if (!std::regex_search(text, fullTrace)) return;  // its verdicts are all it states
  const fs::path baseline = kScenarios / (GetParam() + ".out");
  if (const char* rewrite = std::getenv("KVN_REWRITE_BASELINES"); rewrite && *rewrite == '1') {
    std::ofstream(baseline, std::ios::binary) << transcript;
    return;
  }
  ASSERT_TRUE(fs::exists(baseline)) << baseline << ": no baseline";
  EXPECT_EQ(transcript, ReadFile(baseline)) << baseline;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioTest, ::testing::ValuesIn(ScenarioNames()),
                         [](const auto& row) {
                           return std::regex_replace(row.param, std::regex("[^A-Za-z0-9]"), "_");
                         });

}  // namespace
}  // namespace kvn
