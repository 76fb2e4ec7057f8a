// The token watcher's view of the fake Windows: drives with types, file systems and serials;
// files and folders, one record per path with all a test may say of it; handles that keep
// what they hold from being replaced; the trace log, the mount record, children on the
// virtual clock; and a check of every path searched or opened. Paths are drive-absolute,
// case-insensitive, "/" read as "\", "." and ".." removed. An entry is visible only while its
// drive is present and ready; pulling a drive keeps its files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "common/strings.h"
#include "fake/fake_kernel.h"
#include "os/token_platform.h"

namespace kvn::fake {

inline constexpr std::uint64_t kNeverEnds = ~std::uint64_t{0};  // a child that never ends
inline constexpr std::uint64_t kVirtualHour = 3600000;

// One child start, as the platform was asked for it.
struct ProcessStart {
  std::u16string commandLine;
  int number = -1;                  // in the order children begin to run (or fail to start)
  std::uint64_t made = 0;           // virtual ms when it was made
  std::uint64_t time = kNeverEnds;  // when it began to run: at once, or once resumed; or never
  std::uint64_t end = kNeverEnds;   // when it ends, kNeverEnds while hung or suspended
  std::uint64_t runTime = 0;        // how long it runs, kNeverEnds for a hung child
  bool closed = false;              // its handle has been closed (or it never had one)
  bool failed = false;              // it could not be started
  bool recorded = false;            // a mount record existed when it was made
  bool suspended = false;           // made suspended
  bool endedByService = false;      // EndProcess ended it
  bool resists = false;             // EndProcess cannot end it
  std::uint32_t exitCode = 0;
  bool dismount() const { return commandLine.find(u" /d") != std::u16string::npos; }
  bool ran() const { return time != kNeverEnds; }
};

class FakeTokenPlatform : public os::TokenPlatform {
 public:
  enum class FileSystem { kNtfs, kFat32, kExFat };  // FAT32 and exFAT: most sticks
  // A link only a search shows, with no tag, as Wine lists a linked folder.
  static constexpr std::uint32_t kNameOnly = 1;
  static constexpr std::uint64_t kNoSerial = 1ull << 32;
  // The answer of a call that does not return (a driver that keeps it waiting): it blocks
  // until the process ends, or fails the case after a virtual hour.
  static constexpr std::uint32_t kHang = 0xFFFFFFFF;

  struct Drive {
    std::uint32_t type = os::kDriveNoRootDir;
    FileSystem fs = FileSystem::kNtfs;
    std::uint64_t serial = 0;  // kNoSerial: none can be read
    bool present = false;
    bool ready = true;  // not ready (a card reader without a card): every access fails with 21
    std::u16string volumeName;  // as the mount manager names the volume
    std::u16string device;      // where the letter leads
  };
  // Everything a test may say of one path. It exists while it is a folder or holds bytes.
  struct Entry {
    bool folder = false;
    std::shared_ptr<std::string> bytes;  // a file's contents; null: no file
    std::uint32_t link = 0;              // a reparse point's tag, or kNameOnly; 0: none
    std::optional<std::uint64_t> size;   // the size the system reports, when not the bytes'
    std::optional<std::uint64_t> lie;    // what the directory entry alone says: a plain file
    std::uint64_t lastWrite = 0;
    // Owned by SYSTEM, changed only by SYSTEM and Administrators, read and run by Users.
    os::Security security{u"S-1-5-18",
                          true,
                          {{false, 0, 0x1f01ff, u"S-1-5-18"},
                           {false, 0, 0x1f01ff, u"S-1-5-32-544"},
                           {false, 0, 0x1200a9, u"S-1-5-32-545"}}};
    // The error each call named (FindFile, OpenEntry, ReadEntry*, VolumeInfo) gives here.
    std::map<std::string, std::uint32_t> answers;
    std::u16string longName;  // for a short name: what GetLongPathNameW makes of it
    // What WinVerifyTrust says of it: signed by TrueCrypt's maker unless a test says otherwise.
    os::Signature signature{0, u"TrueCrypt Foundation", u"US"};
  };

  // The machine starts with a fixed drive C: and nothing else.
  explicit FakeTokenPlatform(FakeKernel& kernel) : kernel_(kernel) {
    AddDrive(u'C', os::kDriveFixed);
  }

  // --- drives and entries, as a test sets them up ------------------------------------------
  // Defines the drive and plugs it in.
  void AddDrive(char16_t letter, std::uint32_t type, FileSystem fs = FileSystem::kNtfs) {
    const std::u16string number = Wide(std::to_string(Upper(letter) - u'A' + 1));
    drive(letter) = {type,
                     fs,
                     0x1000u + Upper(letter),
                     true,
                     true,
                     u"\\\\?\\Volume{" + number + u"-0000-0000-0000-000000000000}\\",
                     u"\\Device\\HarddiskVolume" + number};
  }
  Drive& drive(char16_t letter) { return drives_[Upper(letter)]; }
  Entry& At(const std::u16string& path) { return entries_[Key(path)]; }  // made when needed
  // Adding a file or folder adds its parent folders.
  void AddFolder(const std::u16string& path) {
    for (std::u16string key = Key(path); key.size() > 2; key = Parent(key)) At(key).folder = true;
  }
  void AddFile(const std::u16string& path, const std::string& bytes = {}) {
    AddFolder(Parent(Key(path)));
    At(path).bytes = std::make_shared<std::string>(bytes);
    At(path).lastWrite = ++writes_;
  }
  std::string FileContents(const std::u16string& path) const {
    const Entry& entry = Of(Key(path));
    return entry.bytes ? *entry.bytes : std::string();
  }
  // Makes the entry a reparse point with `tag`; while a handle holds it, notes it in `blocked`.
  void MakeLink(const std::u16string& path, std::uint32_t tag) {
    const Drive* drive = PresentDrive(Key(path));
    EXPECT_TRUE(drive == nullptr || drive->fs == FileSystem::kNtfs)
        << Show(path) << ": FAT32 and exFAT hold no reparse points";
    const auto holds = [&](const auto& held) { return held.second == Key(path); };
    if (std::any_of(held_.begin(), held_.end(), holds)) {
      blocked.push_back(path);
    } else {
      At(path).link = tag;
    }
  }
  std::vector<std::u16string> blocked;  // paths a link could not replace while held
  // GetLongPathNameW replaces `shortPath` (a full path, such as C:\PROGRA~1) by `longPath`.
  void AddShortName(const std::u16string& shortPath, const std::u16string& longPath) {
    const Drive* drive = PresentDrive(Key(shortPath));
    EXPECT_TRUE(drive == nullptr || drive->fs != FileSystem::kExFat)
        << Show(shortPath) << ": exFAT holds no short names";
    At(shortPath).longName = longPath;
  }
  std::size_t openEntries() const { return held_.size(); }
  int openTraces = 0;  // trace files opened and not yet closed

  // --- what the system answers besides, and what it saw --------------------------------------
  std::uint32_t getDrivesError = 0;           // GetDrives returns 0 with this last error
  std::function<void(int)> afterGetDrives;    // after each reading of the mask, its number (from 1)
  std::vector<std::u16string> policyTrusted;  // the accounts a policy trusts, as stored
  // What a lookup says a SID names (SID_NAME_USE), or its error when above 0xFFFF; a SID of
  // this machine or domain not named here is a user, any other is known to nobody (1332).
  std::map<std::u16string, std::uint32_t> accounts;
  static constexpr std::uint32_t kLookupFails = 0x10000;
  std::vector<std::u16string> policySigners;           // the signers a policy trusts, as stored
  int verifications = 0;                               // VerifySignature calls
  bool wow64 = false;                                  // a 32-bit process on 64-bit Windows
  std::map<std::u16string, std::u16string> fullPaths;  // GetFullPathNameW where it does more
  // GetFinalPathNameByHandleW where it leads elsewhere (a subst or mapped letter), by path.
  std::map<std::u16string, std::u16string> finalPaths;
  std::vector<std::u16string> programFilesFolders = {u"C:\\Program Files",
                                                     u"C:\\Program Files (x86)"};
  // The mount record: absent, a string, or a value of another type; or none can be had.
  std::optional<std::u16string> mountRecord;
  bool mountRecordWrongType = false;
  bool failRecord = false;

  // --- child processes ---------------------------------------------------------------------
  // Every child made, in order. Each takes a number when it is started, or, made suspended, when
  // it is resumed: the numbers that follow are those.
  std::vector<ProcessStart> starts;
  // Every start fails with 2 (file not found), or those numbered in `failStarts` (from 0) with
  // `startError`, or each one made suspended with `failArm` (0: none); each is recorded all the
  // same.
  bool failStart = false;
  std::set<std::size_t> failStarts;
  std::uint32_t startError = 2;
  std::uint32_t failArm = 0;
  std::function<void(std::size_t)> afterStart;  // after each start that worked, its number
  // Virtual ms that each child runs, and its exit code, by its number.
  std::map<std::size_t, std::uint64_t> runTimes;
  std::uint64_t childRunTime = 0;   // for the children runTimes does not name
  std::set<std::size_t> resisting;  // the children EndProcess cannot end
  std::map<std::size_t, std::uint32_t> exitCodes;
  bool failWait = false;    // every Wait fails
  bool failResume = false;  // every ResumeProcess fails with 5

  // --- TokenPlatform -----------------------------------------------------------------------
  std::unique_ptr<os::ByteSink> OpenTrace(const char16_t* path) override {
    kernel_.Alive();
    const std::u16string key = Key(path);
    const Entry& folder = Of(Parent(key));
    // Refused, as by the adapter, when the folder or the file is a link.
    if (!PresentDrive(key) || !folder.folder || folder.link || Of(key).link) return nullptr;
    return std::make_unique<Sink>(At(path).bytes = std::make_shared<std::string>(), openTraces,
                                  kernel_);
  }
  std::uint32_t GetDrives() override {
    kernel_.Alive();
    std::uint32_t mask = 0;
    for (const auto& [letter, drive] : drives_) mask |= drive.present ? 1u << (letter - u'A') : 0;
    if (getDrivesError != 0) mask = kernel_.Fail(getDrivesError, 0u);
    const int reading = ++getDrivesCalls_;
    if (afterGetDrives) afterGetDrives(reading);
    return mask;
  }
  std::uint32_t GetLastError() override { return kernel_.lastError; }
  std::uint64_t TickCount() override { return kernel_.now(); }
  std::uint32_t GetDriveType(const char16_t* root) override {
    kernel_.Alive();
    const Drive* drive = PresentDrive(root);
    return drive == nullptr || root[1] != u':' ? os::kDriveNoRootDir : drive->type;
  }
  os::SearchResult FindFile(const char16_t* path) override {
    kernel_.Alive();
    const std::u16string key = Reach(path, true);
    const std::uint32_t error = kernel_.lastError = Answer("FindFile", key, Lookup(key));
    if (error != 0) return {false, error};
    os::EntryInfo info = Of(key).lie ? os::EntryInfo{0, 0, *Of(key).lie, 0} : Info(key);
    if (Of(key).link == kNameOnly) info.attributes |= os::kAttributeReparsePoint;
    return {true, 0, info.attributes, info.size, info.reparseTag};
  }
  os::Handle OpenEntry(const char16_t* path) override {
    kernel_.Alive();
    const std::u16string key = Reach(path, false);
    const bool root = key.size() == 2;
    kernel_.lastError = Answer("OpenEntry", key, root && PresentDrive(key) ? 0 : Lookup(key));
    if (kernel_.lastError != 0) return nullptr;
    held_[++lastHandle_] = key;
    heldPaths_[lastHandle_] = Normalize(path);
    return reinterpret_cast<os::Handle>(lastHandle_ << 8);
  }
  bool ReadEntryInfo(os::Handle handle, os::EntryInfo& info) override {
    if (Fails("ReadEntryInfo", Held(handle))) return false;
    info = Info(Held(handle));
    return true;
  }
  bool ReadEntrySecurity(os::Handle handle, os::Security& security) override {
    if (Fails("ReadEntrySecurity", Held(handle))) return false;
    const Drive* drive = PresentDrive(Held(handle));
    // What the system makes up for a file system without security: everyone may do anything.
    security = drive != nullptr && drive->fs != FileSystem::kNtfs
                   ? os::Security{u"S-1-1-0", true, {{false, 0, 0x10000000, u"S-1-1-0"}}}
                   : Of(Held(handle)).security;
    return true;
  }
  std::u16string FinalPath(os::Handle handle) override {
    if (Fails("FinalPath", Held(handle))) return {};
    const auto it = finalPaths.find(Held(handle));
    return it != finalPaths.end() ? it->second : u"\\\\?\\" + heldPaths_[Id(handle)];
  }
  bool ReadEntry(os::Handle handle, std::size_t maxBytes, std::string& bytes) override {
    const Entry& entry = Of(Held(handle));
    if (Fails("ReadEntry", Held(handle))) return false;
    EXPECT_EQ(entry.link, 0u) << "a link was followed";  // reading a link reads its target
    bytes = entry.bytes ? entry.bytes->substr(0, maxBytes) : std::string();
    return entry.bytes != nullptr;
  }
  void CloseEntry(os::Handle handle) override {
    heldPaths_.erase(Id(handle));
    EXPECT_TRUE(held_.erase(Id(handle)) == 1 || kernel_.ended);
  }
  bool VolumeInfo(const char16_t* root, os::VolumeFacts& volume) override {
    const Drive* drive = PresentDrive(Key(root));
    const bool noSerial = drive != nullptr && drive->serial == kNoSerial;
    kernel_.lastError = DriveError(Key(root), noSerial ? 1 : 0);  // 1: invalid function
    if (kernel_.lastError != 0 || Fails("VolumeInfo", Key(root))) return false;
    volume.serial = static_cast<std::uint32_t>(drive->serial);
    volume.flags = 0x6;  // case preserved, Unicode
    if (drive->fs == FileSystem::kNtfs) {
      volume.flags |= os::kVolumePersistentAcls | os::kVolumeReparsePoints |
                      os::kVolumeNamedStreams | os::kVolumeHardLinks;
    }
    return true;
  }
  bool VolumeName(const char16_t* root, std::u16string& name) override {
    kernel_.lastError = DriveError(Key(root));
    if (kernel_.lastError != 0 || Fails("VolumeName", Key(root))) return false;
    name = PresentDrive(Key(root))->volumeName;
    return true;
  }
  // The object manager's: a drive that is not ready answers all the same.
  bool DosDevice(const char16_t* drive, std::u16string& device) override {
    const std::u16string key = Key(std::u16string(drive) + u"\\");
    if (Fails("DosDevice", key)) return false;
    if (PresentDrive(key) == nullptr) return kernel_.Fail(2, false);
    device = PresentDrive(key)->device;
    return true;
  }
  std::vector<std::u16string> PolicyTrustedAccounts() override {
    kernel_.Alive();
    return policyTrusted;
  }
  bool LookupAccount(const char16_t* sid, std::uint32_t& use) override {
    kernel_.Alive();
    ++lookups;
    const auto it = accounts.find(sid);
    const bool domain = std::u16string_view(sid).substr(0, 9) == u"S-1-5-21-";
    const std::uint32_t answer = it != accounts.end() ? it->second
                                 : domain             ? 1
                                                      : kLookupFails + 1332;
    if (answer >= kLookupFails) return kernel_.Fail(answer - kLookupFails, false);
    use = answer;
    return true;
  }
  int lookups = 0;  // LookupAccount calls
  std::vector<std::u16string> PolicyTrustedSigners() override {
    kernel_.Alive();
    return policySigners;
  }
  os::Signature VerifySignature(os::Handle handle, const char16_t* path) override {
    kernel_.Alive();
    ++verifications;
    EXPECT_EQ(Held(handle), Key(Expand(path))) << "verified another file than the one held";
    return Of(Held(handle)).signature;
  }
  bool Wow64() override { return wow64; }
  std::u16string WindowsFolder() override { return u"C:\\Windows"; }
  // A start held up (ERROR_TIMEOUT) costs the platform's limit first.
  os::Handle StartProcess(const char16_t*, const char16_t* commandLine, bool suspended) override {
    kernel_.Alive();
    const std::size_t made = starts.size();
    ProcessStart& start = starts.emplace_back();
    start.commandLine = commandLine;
    start.made = kernel_.now();
    start.recorded = mountRecord.has_value();
    start.suspended = suspended;
    if (!suspended) Number(start);
    const std::uint32_t error =
        suspended                                                                    ? failArm
        : failStart || failStarts.count(static_cast<std::size_t>(start.number)) != 0 ? startError
                                                                                     : 0;
    start.closed = start.failed = error != 0;
    if (error == os::kErrorTimeout) kernel_.WaitUntil(kernel_.now() + os::kStartLimit, nullptr);
    if (error != 0) return kernel_.Fail<os::Handle>(error, nullptr);
    if (!suspended) Run(starts.back());
    if (!suspended && afterStart) afterStart(static_cast<std::size_t>(starts.back().number));
    return reinterpret_cast<os::Handle>(made + 1);
  }
  bool ResumeProcess(os::Handle child) override {
    kernel_.Alive();
    ProcessStart& start = Child(child);
    EXPECT_TRUE(start.suspended && !start.ran()) << "resumed what was not suspended";
    if (failResume) return kernel_.Fail(5, false);
    Number(start);
    Run(start);
    return true;
  }
  bool EndProcess(os::Handle child) override {
    ProcessStart& start = Child(child);
    if (kernel_.ended || start.resists || start.end <= kernel_.now()) return true;
    start.end = kernel_.now();
    start.exitCode = os::kEndedExitCode;
    start.endedByService = true;
    return true;
  }
  os::WaitResult Wait(os::Handle child, os::Handle stop, std::uint32_t milliseconds) override {
    kernel_.Alive();
    if (failWait) return os::WaitResult::kFailed;
    // A case that would never end is stopped, and named.
    EXPECT_LT(kernel_.now(), kVirtualHour) << "still waiting after a virtual hour";
    if (kernel_.now() >= kVirtualHour) return os::WaitResult::kStopped;
    const std::uint64_t end = child != nullptr ? Child(child).end : kNeverEnds;
    if (end <= kernel_.now()) return os::WaitResult::kChildEnded;
    if (stop != nullptr && kernel_.IsSignalled(stop)) return os::WaitResult::kStopped;
    const std::uint64_t until =
        std::min(end, milliseconds == 0xFFFFFFFF ? kNeverEnds : kernel_.now() + milliseconds);
    const bool endless = until == kNeverEnds && kernel_.idle();
    EXPECT_FALSE(endless) << "a wait that nothing can end";
    if (endless) return os::WaitResult::kFailed;
    const bool stopped = kernel_.WaitUntil(until, stop);
    if (end <= kernel_.now()) return os::WaitResult::kChildEnded;
    return stopped ? os::WaitResult::kStopped : os::WaitResult::kTimedOut;
  }
  void CloseProcess(os::Handle child) override { Child(child).closed = true; }
  bool ChildExitCode(os::Handle child, std::uint32_t& code) override {
    kernel_.Alive();
    code = Child(child).exitCode;
    return Child(child).end <= kernel_.now();
  }
  void Sleep(std::uint32_t milliseconds) override { kernel_.Advance(milliseconds); }
  std::u16string FullPathName(const char16_t* path) override {
    kernel_.Alive();
    return fullPaths.count(path) ? fullPaths[path] : Normalize(path);
  }
  std::u16string LongPathName(const char16_t* path) override {
    const std::u16string result = Expand(path);
    return Lookup(Key(result)) == 0 ? result : kernel_.Fail(2, std::u16string());  // not found
  }
  std::vector<std::u16string> ProgramFilesFolders() override { return programFilesFolders; }
  RecordRead ReadMountRecord(std::u16string& value) override {
    kernel_.Alive();
    if (failRecord || !mountRecord) return failRecord ? RecordRead::kFailed : RecordRead::kAbsent;
    value = *mountRecord;
    return mountRecordWrongType ? RecordRead::kWrongType : RecordRead::kPresent;
  }
  bool WriteMountRecord(const char16_t* value) override {
    kernel_.Alive();
    if (failRecord) return false;
    mountRecord = value;
    mountRecordWrongType = false;
    return true;
  }
  bool DeleteMountRecord() override {
    kernel_.Alive();
    if (!failRecord) mountRecord.reset();
    return !failRecord;
  }

 private:
  // Appends to bytes the fake holds, so that the test reads what was written.
  // Nothing reaches it once the process has ended.
  struct Sink final : os::ByteSink {
    Sink(std::shared_ptr<std::string> to, int& open, const FakeKernel& kernel)
        : bytes(std::move(to)), opened(++open), kernel_(kernel) {}
    ~Sink() override { --opened; }
    bool Write(const char* data, std::size_t count) override {
      if (!kernel_.ended) bytes->append(data, count);
      return !kernel_.ended;
    }
    std::shared_ptr<std::string> bytes;
    int& opened;
    const FakeKernel& kernel_;
  };
  // A child takes the next number, and what the test gave that number.
  void Number(ProcessStart& start) {
    const auto number = static_cast<std::size_t>(start.number = nextNumber_++);
    start.runTime = runTimes.count(number) ? runTimes[number] : childRunTime;
    start.resists = resisting.count(number) != 0;
    start.exitCode = exitCodes[number];
  }
  // A child begins to run now.
  void Run(ProcessStart& start) const {
    start.time = kernel_.now();
    start.end = start.runTime == kNeverEnds ? kNeverEnds : kernel_.now() + start.runTime;
  }

  static std::u16string Wide(const std::string& text) { return {text.begin(), text.end()}; }
  static char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - 32) : c; }
  static std::u16string Parent(const std::u16string& key) {
    return key.substr(0, key.rfind(u'\\'));
  }
  // "X:\a\b" with "/" as "\" and "." and ".." removed; empty unless drive-absolute.
  static std::u16string Normalize(const std::u16string& path) {
    if (path.size() < 3 || path[1] != u':' || (path[2] != u'\\' && path[2] != u'/')) return {};
    std::u16string full = path.substr(0, 2);
    for (std::size_t from = 3, to; from <= path.size(); from = to + 1) {
      to = std::min(path.find_first_of(u"\\/", from), path.size());
      const std::u16string part = path.substr(from, to - from);
      if (part == u".." && full.size() > 2) full.erase(full.rfind(u'\\'));
      if (!part.empty() && part != u"." && part != u"..") full += u"\\" + part;
    }
    return full.size() == 2 ? full + u"\\" : full;
  }
  // The map's key of a path: normalized, lower-case, a drive root as "x:".
  static std::u16string Key(const std::u16string& path) {
    std::u16string key = Normalize(path);
    for (auto& unit : key) unit = AsciiLower(unit);
    if (key.size() == 3) key.pop_back();
    return key;
  }
  const Entry& Of(const std::u16string& key) const {
    static const Entry kNone;
    const auto it = entries_.find(key);
    return it == entries_.end() ? kNone : it->second;
  }
  // `path` with its short names replaced by their long forms.
  std::u16string Expand(const std::u16string& path) const {
    std::u16string result;
    for (std::size_t from = 0, to; from <= path.size(); from = to + 1) {
      to = std::min(path.find(u'\\', from), path.size());
      result += path.substr(from, to - from);
      if (!Of(Key(result)).longName.empty()) result = Of(Key(result)).longName;
      if (to < path.size()) result += u'\\';
    }
    return result;
  }
  // The drive of a normalized path when it is present; null otherwise.
  const Drive* PresentDrive(const std::u16string& full) const {
    const auto it = full.size() < 2 ? drives_.end() : drives_.find(Upper(full[0]));
    return it == drives_.end() || !it->second.present ? nullptr : &it->second;
  }
  // What any access to the drive of `key` gives: 3 not there, 21 not ready, else `error`.
  std::uint32_t DriveError(const std::u16string& key, std::uint32_t error = 0) const {
    const Drive* drive = PresentDrive(key);
    return drive == nullptr ? 3 : !drive->ready ? 21 : error;
  }
  // The key a search or an open reaches. The path must be drive-rooted, free of wildcards,
  // streams and device names, on a drive of known type that is not remote, and pass no link
  // (Windows would go through it). A search for a trailing separator names no entry.
  std::u16string Reach(const std::u16string& path, bool search) {
    static const std::regex plain(R"([^*?<>"]:[\\/][^*?<>":]*)");
    static const std::regex device(
        R"(...(.*\\)?(con|prn|aux|nul|com[1-9]|lpt[1-9]) *(\.[^\\]*)?(\\.*)?)", std::regex::icase);
    const std::string shown = Show(path);
    EXPECT_TRUE(std::regex_match(shown, plain) && !std::regex_match(shown, device))
        << "touched " << shown;
    const auto drive = drives_.find(Upper(path[0]));
    const std::uint32_t type = drive == drives_.end() ? os::kDriveNoRootDir : drive->second.type;
    EXPECT_TRUE(type != os::kDriveUnknown && type != os::kDriveRemote)
        << "touched " << shown << " on a drive of type " << type;
    const bool nameless = search && !path.empty() && path.back() == u'\\';
    const std::u16string key = nameless ? u"" : Key(Expand(path));
    for (std::u16string folder = Parent(key); folder.size() > 2; folder = Parent(folder))
      EXPECT_EQ(Of(folder).link, 0u) << "a link was followed";
    return key;
  }
  // The search's error for `key` (0 when an entry matches; a root names none).
  std::uint32_t Lookup(const std::u16string& key) const {
    if (const std::uint32_t error = DriveError(key)) return error;
    if (Parent(key).size() > 2 && !Of(Parent(key)).folder) return 3;
    return key.size() > 3 && (Of(key).folder || Of(key).bytes) ? 0 : 2;
  }
  os::EntryInfo Info(const std::u16string& key) const {
    const Entry& entry = Of(key);
    const bool tagged = entry.link != 0 && entry.link != kNameOnly;
    const std::uint32_t folder = entry.folder || key.size() == 2 ? os::kAttributeDirectory : 0;
    return {folder | (tagged ? os::kAttributeReparsePoint : 0), tagged ? entry.link : 0,
            entry.size.value_or(entry.bytes ? entry.bytes->size() : 0), entry.lastWrite};
  }
  // `error`, unless the test set another answer to `call` for `key`. A call that hangs waits
  // until the process ends (ProcessEnded); one still waiting after a virtual hour fails.
  std::uint32_t Answer(const char* call, const std::u16string& key, std::uint32_t error) {
    const auto it = Of(key).answers.find(call);
    if (it == Of(key).answers.end() || it->second == 0) return error;
    if (it->second == kHang) {
      kernel_.WaitUntil(kVirtualHour, nullptr);
      ADD_FAILURE() << call << " hung for a virtual hour";
    }
    return it->second;
  }
  // Whether the test made `call` fail for `key`; then the last error is its answer.
  bool Fails(const char* call, const std::u16string& key) {
    kernel_.Alive();
    const std::uint32_t error = Answer(call, key, 0);
    return error != 0 && kernel_.Fail(error, true);
  }
  static std::uintptr_t Id(os::Handle handle) {
    return reinterpret_cast<std::uintptr_t>(handle) >> 8;
  }
  const std::u16string& Held(os::Handle handle) {
    static const std::u16string kNone;
    const auto it = held_.find(Id(handle));
    EXPECT_NE(it, held_.end()) << "a closed entry's handle used";
    return it == held_.end() ? kNone : it->second;
  }
  ProcessStart& Child(os::Handle child) {
    const auto number = reinterpret_cast<std::uintptr_t>(child) - 1;
    EXPECT_LT(number, starts.size());
    EXPECT_TRUE(!starts[number].closed || kernel_.ended) << "a closed child's handle used";
    return starts[number];
  }

  FakeKernel& kernel_;
  std::map<char16_t, Drive> drives_;                    // by upper-case letter
  std::map<std::u16string, Entry> entries_;             // by Key(path)
  std::map<std::uintptr_t, std::u16string> held_;       // open entry handles: the key each holds
  std::map<std::uintptr_t, std::u16string> heldPaths_;  // and the path each was opened by
  std::uintptr_t lastHandle_ = 0;
  std::uint64_t writes_ = 0;
  int getDrivesCalls_ = 0;
  int nextNumber_ = 0;
};

}  // namespace kvn::fake
