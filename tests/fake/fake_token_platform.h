// The token watcher's view of the fake Windows: drive letters with types and volume serials,
// files and folders (some of them links) with owners and DACLs, handles to them that keep
// them from being replaced, the trace log, the mount record, and a record of every search
// and child process.
//
// Paths are drive-absolute ("X:\..."), case-insensitive, with "/" read as "\" and "." and
// ".." removed, as far as the core's paths need it. A file or folder is visible only while
// its drive is present and ready; pulling a drive keeps its files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/strings.h"
#include "fake/fake_kernel.h"
#include "os/token_platform.h"

namespace kvn::fake {

using os::kDriveCdRom;
using os::kDriveFixed;
using os::kDriveNoRootDir;
using os::kDriveRamDisk;
using os::kDriveRemote;
using os::kDriveRemovable;
using os::kDriveUnknown;

// A child that never ends by itself.
inline constexpr std::uint64_t kNeverEnds = ~std::uint64_t{0};
inline constexpr std::uint64_t kVirtualHour = 3600000;

// One child start, as the platform was asked for it.
struct ProcessStart {
  std::u16string program;
  std::u16string commandLine;
  std::uint64_t time = 0;  // virtual ms when it was started
  std::uint64_t end = 0;   // virtual ms when it ends, kNeverEnds for a hung child
  bool closed = false;     // its handle has been closed
  bool recorded = false;   // a mount record existed when it started
  std::uint32_t exitCode = 0;
  // Whether it is a dismount (" /d" among its arguments).
  bool dismount() const { return commandLine.find(u" /d") != std::u16string::npos; }
};

namespace detail {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorInvalidFunction = 1;
constexpr std::uint32_t kErrorNotReady = 21;

// Where a file or folder lies unless a test says otherwise: owned by SYSTEM, changed only by
// SYSTEM and Administrators, read and run by Users.
inline os::Security DefaultSecurity() {
  return {u"S-1-5-18",
          true,
          {{false, 0, 0x1f01ff, u"S-1-5-18"},
           {false, 0, 0x1f01ff, u"S-1-5-32-544"},
           {false, 0, 0x1200a9, u"S-1-5-32-545"}}};
}

// A sink that appends to bytes the fake holds, so that the test reads what was written.
class Sink final : public os::ByteSink {
 public:
  explicit Sink(std::shared_ptr<std::string> bytes) : bytes_(std::move(bytes)) {}
  bool Write(const char* bytes, std::size_t count) override {
    bytes_->append(bytes, count);
    return true;
  }

 private:
  std::shared_ptr<std::string> bytes_;
};

inline std::u16string Parent(const std::u16string& key) { return key.substr(0, key.rfind(u'\\')); }

}  // namespace detail

class FakeTokenPlatform : public os::TokenPlatform {
 public:
  static constexpr std::uint32_t kNameOnly = 1;
  // The machine starts with a fixed drive C: and nothing else.
  explicit FakeTokenPlatform(FakeKernel& kernel) : kernel_(kernel) { AddDrive(u'C', kDriveFixed); }

  // --- drives (letters A..Z) ---------------------------------------------------------------
  // The file systems a drive may have, and what each can hold (GetVolumeInformationW's flags):
  // FAT32 and exFAT, the file systems of most sticks, hold no owners or DACLs, no reparse
  // points, no streams and no hard links; exFAT holds no short names either.
  enum class FileSystem { kNtfs, kFat32, kExFat };
  // Defines the drive and plugs it in.
  void AddDrive(char16_t letter, std::uint32_t type, FileSystem fs = FileSystem::kNtfs) {
    drives_[Upper(letter)] = {type, true, true, 0x1000u + Upper(letter), fs};
  }
  // Another volume at the same letter, with the same files; kNoSerial: none can be read.
  void SetSerial(char16_t letter, std::uint64_t serial) { drives_[Upper(letter)].serial = serial; }
  static constexpr std::uint64_t kNoSerial = 1ull << 32;
  void Unplug(char16_t letter) { drives_[Upper(letter)].present = false; }
  void Plug(char16_t letter) { drives_[Upper(letter)].present = true; }
  // A present drive that is not ready (a card reader without a card) fails every access
  // with ERROR_NOT_READY.
  void SetReady(char16_t letter, bool ready) { drives_[Upper(letter)].ready = ready; }
  // Makes GetDrives return 0 with `error` as the last error; 0 makes it work again.
  void FailGetDrives(std::uint32_t error) { getDrivesError_ = error; }
  // Called after every reading of the drive mask with the number of that reading (from 1).
  std::function<void(int)> afterGetDrives;

  // --- files and folders ---------------------------------------------------------------------
  // Adding a file or folder adds its parent folders.
  void AddFolder(const std::u16string& path) {
    for (std::u16string key = Key(path); key.size() > 2; key = detail::Parent(key))
      folders_.insert(key);
  }
  void AddFile(const std::u16string& path, const std::string& bytes = {}) {
    const std::u16string key = Key(path);
    AddFolder(detail::Parent(key));
    files_[key] = std::make_shared<std::string>(bytes);
    stamps_[key] = ++writes_;
  }
  void RemoveFile(const std::u16string& path) { files_.erase(Key(path)); }
  // The bytes of a file, empty when absent.
  std::string FileContents(const std::u16string& path) const {
    auto it = files_.find(Key(path));
    return it == files_.end() ? std::string() : *it->second;
  }
  // Replaces a file or folder by a reparse point with `tag` (a symbolic link by default;
  // kNameOnly: a link that only a search shows, with no tag, as Wine shows a linked folder).
  // Fails, changing nothing, while a handle holds the entry.
  bool MakeLink(const std::u16string& path, std::uint32_t tag = 0xA000000C) {
    const std::u16string key = Key(path);
    const Drive* drive = PresentDrive(key);
    EXPECT_TRUE(drive == nullptr || drive->fs == FileSystem::kNtfs)
        << Narrow(path) << ": FAT32 and exFAT hold no reparse points";
    for (const auto& [handle, held] : entries_) {
      if (held == key) return false;
    }
    links_[key] = tag;
    return true;
  }
  // The size the system reports for a file, without holding its bytes.
  void SetFileSize(const std::u16string& path, std::uint64_t size) { sizes_[Key(path)] = size; }
  // What the directory entry alone says of a file: a size, and no reparse point.
  void LieInEntry(const std::u16string& path, std::uint64_t size) { lies_[Key(path)] = size; }
  os::Security& Security(const std::u16string& path) {
    return security_.try_emplace(Key(path), detail::DefaultSecurity()).first->second;
  }
  // The accounts a policy names as trusted, as the registry holds them.
  std::vector<std::u16string> policyTrusted;
  // A 32-bit process on 64-bit Windows, and where Windows lies.
  bool wow64 = false;
  std::u16string windowsFolder = u"C:\\Windows";
  // Makes `call` (OpenEntry, ReadEntryInfo, ReadEntrySecurity, ReadEntry, VolumeInfo, FindFile)
  // fail with `error` for `path`, as a sharing violation or access denied would; 0 lets it
  // answer as before.
  void FailOn(const std::string& call, const std::u16string& path, std::uint32_t error) {
    if (error == 0) {
      failures_.erase({call, Key(path)});
    } else {
      failures_[{call, Key(path)}] = error;
    }
  }
  // The mount record: absent, a string, or a value of another type; every change is logged.
  std::optional<std::u16string> mountRecord;
  bool mountRecordWrongType = false;
  bool failRecord = false;
  std::vector<std::string> recordLog;
  // Entry handles not yet closed.
  std::size_t openEntries() const { return entries_.size(); }
  // GetLongPathNameW replaces `shortPath` (a full path, such as C:\PROGRA~1) by `longPath`.
  void AddShortName(const std::u16string& shortPath, const std::u16string& longPath) {
    const Drive* drive = PresentDrive(Key(shortPath));
    EXPECT_TRUE(drive == nullptr || drive->fs != FileSystem::kExFat)
        << Narrow(shortPath) << ": exFAT holds no short names";
    shortNames_[Key(shortPath)] = longPath;
  }
  // GetFullPathNameW of a value, where the system forms more than "." and ".." removed.
  std::map<std::u16string, std::u16string> fullPaths;
  std::vector<std::u16string> programFilesFolders = {u"C:\\Program Files",
                                                     u"C:\\Program Files (x86)"};
  // Every path handed to FindFile or OpenEntry, in order, with the type of its drive.
  std::vector<std::pair<std::u16string, std::uint32_t>> touched;
  // Searches and opens that went through a link (a folder on the way that is one), as
  // Windows would follow it.
  int followedLinks = 0;

  // --- child processes ---------------------------------------------------------------------
  std::vector<ProcessStart> starts;
  // Makes every start fail with ERROR_FILE_NOT_FOUND, or the starts numbered in `failStarts`
  // with `startError` (still recorded).
  bool failStart = false;
  std::set<std::size_t> failStarts;
  std::uint32_t startError = detail::kErrorFileNotFound;
  // Called after every start that succeeded, with its number.
  std::function<void(std::size_t)> afterStart;
  // Virtual ms that each child runs, by the number of its start (from 0).
  std::map<std::size_t, std::uint64_t> runTimes;
  // Virtual ms that a child runs when runTimes does not name it.
  std::uint64_t childRunTime = 0;
  // Exit codes by the number of the start; every other child ends with 0.
  std::map<std::size_t, std::uint32_t> exitCodes;
  // Makes every Wait fail.
  bool failWait = false;
  std::vector<std::uint32_t> sleeps;
  // Process handles not yet closed.
  std::size_t openProcesses() const {
    std::size_t open = 0;
    for (const ProcessStart& start : starts) open += start.closed ? 0 : 1;
    return open;
  }

  // --- TokenPlatform ---------------------------------------------------------------------------
  std::unique_ptr<os::ByteSink> OpenTrace(const char16_t* path) override {
    const std::u16string key = Key(path);
    const std::u16string folder = detail::Parent(key);
    if (PresentDrive(key) == nullptr || folders_.count(folder) == 0 || links_.count(folder) != 0 ||
        links_.count(key) != 0) {
      return nullptr;  // as the adapter refuses a trace folder that is a link
    }
    auto bytes = std::make_shared<std::string>();
    files_[key] = bytes;
    return std::make_unique<detail::Sink>(bytes);
  }
  std::uint32_t GetDrives() override {
    const int call = ++getDrivesCalls_;
    std::uint32_t mask = 0;
    if (getDrivesError_ != 0) {
      kernel_.lastError = getDrivesError_;
    } else {
      for (const auto& [letter, drive] : drives_) {
        if (drive.present) mask |= 1u << (letter - u'A');
      }
    }
    if (afterGetDrives) afterGetDrives(call);
    return mask;
  }
  std::uint32_t GetLastError() override { return kernel_.lastError; }
  std::uint32_t GetDriveType(const char16_t* root) override {
    const Drive* drive = PresentDrive(root);
    return drive == nullptr || root[1] != u':' ? kDriveNoRootDir : drive->type;
  }
  os::SearchResult FindFile(const char16_t* path) override {
    Touch(path);
    const std::u16string given = path;
    // A trailing separator searches for an empty name.
    const std::u16string key = (!given.empty() && given.back() == u'\\') ? u"" : Key(Expand(given));
    NoteLinks(key);
    const std::uint32_t error = Answer("FindFile", key, Lookup(key));
    kernel_.lastError = error;
    if (error != 0) return {false, error, 0, 0};
    os::EntryInfo info = Info(key);
    if (auto lie = lies_.find(key); lie != lies_.end()) info = {0, 0, lie->second, 0};
    if (auto link = links_.find(key); link != links_.end() && link->second == kNameOnly) {
      info.attributes |= os::kAttributeReparsePoint;  // as Wine lists a linked folder
    }
    return {true, 0, info.attributes, info.size, info.reparseTag};
  }
  os::Handle OpenEntry(const char16_t* path) override {
    Touch(path);
    const std::u16string key = Key(Expand(path));
    NoteLinks(key);
    const std::uint32_t error = Answer(
        "OpenEntry", key,
        key.size() == 2 ? (PresentDrive(key) ? 0 : detail::kErrorPathNotFound) : Lookup(key));
    kernel_.lastError = error;
    if (error != 0) return nullptr;
    entries_[++lastEntry_] = key;
    return reinterpret_cast<os::Handle>(lastEntry_ << 8);
  }
  bool ReadEntryInfo(os::Handle entry, os::EntryInfo& info) override {
    if (Fails("ReadEntryInfo", Entry(entry))) return false;
    info = Info(Entry(entry));
    return true;
  }
  bool ReadEntrySecurity(os::Handle entry, os::Security& security) override {
    if (Fails("ReadEntrySecurity", Entry(entry))) return false;
    const Drive* drive = PresentDrive(Entry(entry));
    if (drive != nullptr && drive->fs != FileSystem::kNtfs) {
      // What the system makes up for a file system without security: everyone may do anything.
      security = {u"S-1-1-0", true, {{false, 0, 0x10000000, u"S-1-1-0"}}};
      return true;
    }
    auto it = security_.find(Entry(entry));
    security = it != security_.end() ? it->second : detail::DefaultSecurity();
    return true;
  }
  bool ReadEntry(os::Handle entry, std::size_t maxBytes, std::string& bytes) override {
    if (Fails("ReadEntry", Entry(entry))) return false;
    if (links_.count(Entry(entry)) != 0) ++followedLinks;  // reading a link reads its target
    auto it = files_.find(Entry(entry));
    bytes = it == files_.end() ? std::string() : it->second->substr(0, maxBytes);
    return it != files_.end();
  }
  void CloseEntry(os::Handle entry) override {
    EXPECT_EQ(entries_.erase(reinterpret_cast<std::uintptr_t>(entry) >> 8), 1u);
  }
  bool VolumeInfo(const char16_t* root, os::VolumeFacts& volume) override {
    const Drive* drive = PresentDrive(Key(root));
    kernel_.lastError = drive == nullptr             ? detail::kErrorPathNotFound
                        : !drive->ready              ? detail::kErrorNotReady
                        : drive->serial == kNoSerial ? detail::kErrorInvalidFunction
                                                     : 0;
    if (kernel_.lastError != 0 || Fails("VolumeInfo", Key(root))) return false;
    constexpr std::uint32_t kCasePreservedUnicode = 0x6;
    volume.serial = static_cast<std::uint32_t>(drive->serial);
    volume.flags = kCasePreservedUnicode;
    if (drive->fs == FileSystem::kNtfs) {
      volume.flags |= os::kVolumePersistentAcls | os::kVolumeReparsePoints |
                      os::kVolumeNamedStreams | os::kVolumeHardLinks;
    }
    return true;
  }
  std::vector<std::u16string> PolicyTrustedAccounts() override { return policyTrusted; }
  bool Wow64() override { return wow64; }
  std::u16string WindowsFolder() override { return windowsFolder; }
  os::Handle StartProcess(const char16_t* program, const char16_t* commandLine) override {
    const std::size_t number = starts.size();
    auto runTime = runTimes.find(number);
    const std::uint64_t run = runTime != runTimes.end() ? runTime->second : childRunTime;
    const bool fails = failStart || failStarts.count(number) != 0;
    starts.push_back({program, commandLine, kernel_.now(),
                      run == kNeverEnds ? kNeverEnds : kernel_.now() + run, fails,
                      mountRecord.has_value(), exitCodes.count(number) ? exitCodes[number] : 0});
    if (fails) {
      kernel_.lastError = startError;
      return nullptr;
    }
    if (afterStart) afterStart(number);
    return reinterpret_cast<os::Handle>(number + 1);
  }
  os::WaitResult Wait(os::Handle child, os::Handle stop, std::uint32_t milliseconds) override {
    if (failWait) return os::WaitResult::kFailed;
    if (kernel_.now() >= kVirtualHour) {  // a case that would never end: stop it, named
      ADD_FAILURE() << "still waiting after a virtual hour";
      return os::WaitResult::kStopped;
    }
    const std::uint64_t end = child != nullptr ? Child(child).end : kNeverEnds;
    const auto ended = [&] { return end <= kernel_.now(); };
    if (ended()) return os::WaitResult::kChildEnded;
    if (stop != nullptr && kernel_.IsSignalled(stop)) return os::WaitResult::kStopped;
    std::uint64_t until = milliseconds == 0xFFFFFFFF ? kNeverEnds : kernel_.now() + milliseconds;
    if (end < until) until = end;
    if (until == kNeverEnds && kernel_.idle()) {
      ADD_FAILURE() << "a wait that nothing can end";
      return os::WaitResult::kFailed;
    }
    const bool stopped = kernel_.WaitUntil(until, stop);
    if (ended()) return os::WaitResult::kChildEnded;
    return stopped ? os::WaitResult::kStopped : os::WaitResult::kTimedOut;
  }
  void CloseProcess(os::Handle child) override { Child(child).closed = true; }
  bool ChildExitCode(os::Handle child, std::uint32_t& code) override {
    code = Child(child).exitCode;
    return Child(child).end <= kernel_.now();
  }
  void Sleep(std::uint32_t milliseconds) override {
    sleeps.push_back(milliseconds);
    kernel_.Advance(milliseconds);
  }
  std::u16string FullPathName(const char16_t* path) override {
    auto it = fullPaths.find(path);
    return it != fullPaths.end() ? it->second : Normalize(path);
  }
  std::u16string LongPathName(const char16_t* path) override {
    const std::u16string result = Expand(path);
    if (Lookup(Key(result)) != 0) {
      kernel_.lastError = detail::kErrorFileNotFound;
      return {};
    }
    return result;
  }
  std::vector<std::u16string> ProgramFilesFolders() override { return programFilesFolders; }
  RecordRead ReadMountRecord(std::u16string& value) override {
    if (failRecord) return RecordRead::kFailed;
    if (!mountRecord) return RecordRead::kAbsent;
    value = *mountRecord;
    return mountRecordWrongType ? RecordRead::kWrongType : RecordRead::kPresent;
  }
  bool WriteMountRecord(const char16_t* value) override {
    recordLog.push_back("@" + std::to_string(kernel_.now()) + " record " + Narrow(value) +
                        (failRecord ? " -> fails" : ""));
    if (!failRecord) mountRecord = value, mountRecordWrongType = false;
    return !failRecord;
  }
  bool DeleteMountRecord() override {
    recordLog.push_back("@" + std::to_string(kernel_.now()) + " record cleared" +
                        (failRecord ? " -> fails" : ""));
    if (!failRecord) mountRecord.reset();
    return !failRecord;
  }

 private:
  struct Drive {
    std::uint32_t type = kDriveNoRootDir;
    bool present = false;
    bool ready = true;
    std::uint64_t serial = 0;
    FileSystem fs = FileSystem::kNtfs;
  };

  static std::string Narrow(const std::u16string& text) { return {text.begin(), text.end()}; }
  // `error`, unless the test made `call` fail for `key`.
  std::uint32_t Answer(const std::string& call, const std::u16string& key, std::uint32_t error) {
    auto it = failures_.find({call, key});
    return it != failures_.end() ? it->second : error;
  }
  // Whether the test made `call` fail for `key`; then the last error is its code.
  bool Fails(const std::string& call, const std::u16string& key) {
    const std::uint32_t error = Answer(call, key, 0);
    if (error != 0) kernel_.lastError = error;
    return error != 0;
  }
  void Touch(const char16_t* path) {
    auto drive = drives_.find(Upper(path[0]));
    touched.emplace_back(path, drive == drives_.end() ? kDriveNoRootDir : drive->second.type);
  }
  os::EntryInfo Info(const std::u16string& key) const {
    os::EntryInfo info;
    if (folders_.count(key) != 0 || key.size() == 2) info.attributes = os::kAttributeDirectory;
    if (auto link = links_.find(key); link != links_.end() && link->second != kNameOnly) {
      info.attributes |= os::kAttributeReparsePoint;
      info.reparseTag = link->second;
    }
    if (auto size = sizes_.find(key); size != sizes_.end()) {
      info.size = size->second;
    } else if (auto file = files_.find(key); file != files_.end()) {
      info.size = file->second->size();
    }
    if (auto stamp = stamps_.find(key); stamp != stamps_.end()) info.lastWrite = stamp->second;
    return info;
  }
  const std::u16string& Entry(os::Handle entry) {
    static const std::u16string kNone;
    auto it = entries_.find(reinterpret_cast<std::uintptr_t>(entry) >> 8);
    EXPECT_NE(it, entries_.end()) << "a closed entry's handle used";
    return it == entries_.end() ? kNone : it->second;
  }

  static char16_t Upper(char16_t unit) {
    return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
  }
  // "X:\a\b" with "/" as "\" and "." and ".." removed; empty unless drive-absolute.
  static std::u16string Normalize(const std::u16string& path) {
    if (path.size() < 3 || path[1] != u':' || (path[2] != u'\\' && path[2] != u'/')) return {};
    std::vector<std::u16string> parts;
    std::u16string part;
    for (std::size_t i = 3; i <= path.size(); ++i) {
      if (i < path.size() && path[i] != u'\\' && path[i] != u'/') {
        part += path[i];
        continue;
      }
      if (part == u"..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != u".") {
        parts.push_back(part);
      }
      part.clear();
    }
    std::u16string full = path.substr(0, 2);
    for (const auto& p : parts) full += u"\\" + p;
    return parts.empty() ? full + u"\\" : full;
  }
  static std::u16string Key(const std::u16string& path) {
    std::u16string key = Normalize(path);
    for (auto& unit : key) unit = AsciiLower(unit);
    if (key.size() == 3) key.pop_back();  // a drive root: "x:"
    return key;
  }  // normalized and lowered
  // `path` with the short names AddShortName knows replaced by their long forms.
  std::u16string Expand(const std::u16string& path) const {
    std::u16string result;
    for (const char16_t unit : path + u"\\") {
      if (unit != u'\\') {
        result += unit;
        continue;
      }
      auto it = shortNames_.find(Key(result));
      if (it != shortNames_.end()) result = it->second;
      result += u'\\';
    }
    result.pop_back();
    return result;
  }
  // The drive of a normalized path when it is present; null otherwise.
  const Drive* PresentDrive(const std::u16string& full) const {
    if (full.size() < 2) return nullptr;
    auto it = drives_.find(Upper(full[0]));
    return (it == drives_.end() || !it->second.present) ? nullptr : &it->second;
  }
  // The search's error for `key` (0 when an entry matches).
  std::uint32_t Lookup(const std::u16string& key) const {
    const Drive* drive = PresentDrive(key);
    if (drive == nullptr || key.size() < 2) return detail::kErrorPathNotFound;
    if (!drive->ready) return detail::kErrorNotReady;
    const std::u16string parent = detail::Parent(key);
    if (parent.size() > 2 && folders_.count(parent) == 0) return detail::kErrorPathNotFound;
    if (key.size() <= 3) return detail::kErrorFileNotFound;  // a root names no entry
    return files_.count(key) != 0 || folders_.count(key) != 0 ? 0 : detail::kErrorFileNotFound;
  }
  void NoteLinks(const std::u16string& key) {
    for (std::u16string folder = detail::Parent(key); folder.size() > 2;
         folder = detail::Parent(folder)) {
      if (links_.count(folder) != 0) ++followedLinks;
    }
  }
  ProcessStart& Child(os::Handle child) {
    const auto number = reinterpret_cast<std::uintptr_t>(child) - 1;
    EXPECT_LT(number, starts.size());
    EXPECT_FALSE(starts[number].closed) << "a closed child's handle used";
    return starts[number];
  }

  FakeKernel& kernel_;
  std::map<char16_t, Drive> drives_;
  std::map<std::u16string, std::shared_ptr<std::string>> files_;  // key: Key(path)
  std::set<std::u16string> folders_;
  std::map<std::u16string, std::uint32_t> links_;  // key -> reparse tag
  std::map<std::u16string, std::uint64_t> sizes_;
  std::map<std::u16string, std::uint64_t> lies_;
  std::map<std::u16string, std::uint64_t> stamps_;
  std::map<std::u16string, os::Security> security_;
  std::map<std::uintptr_t, std::u16string> entries_;  // open entry handles
  std::uintptr_t lastEntry_ = 0;
  std::uint64_t writes_ = 0;
  std::map<std::u16string, std::u16string> shortNames_;  // lowered short -> long
  std::uint32_t getDrivesError_ = 0;
  int getDrivesCalls_ = 0;
  std::map<std::pair<std::string, std::u16string>, std::uint32_t> failures_;  // call, key
};

}  // namespace kvn::fake
