// The token watcher's view of the fake Windows: drive letters with types, files and folders
// (some of them links), the trace log, and a record of every search and child process.
//
// Paths are drive-absolute ("X:\..."), case-insensitive, with "/" read as "\" and "." and
// ".." removed, as far as the core's paths need it. A file or folder is visible only while
// its drive is present and ready; pulling a drive keeps its files.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fake/fake_kernel.h"
#include "os/token_platform.h"

namespace kvn::fake {

using os::kDriveCdRom;
using os::kDriveFixed;
using os::kDriveNoRootDir;
using os::kDriveRamDisk;
using os::kDriveRemote;
using os::kDriveRemovable;

// A child that never ends by itself.
inline constexpr std::uint64_t kNeverEnds = ~std::uint64_t{0};

// One child start, as the platform was asked for it.
struct ProcessStart {
  std::u16string program;
  std::u16string commandLine;
  std::uint64_t time = 0;  // virtual ms when it was started
  std::uint64_t end = 0;   // virtual ms when it ends, kNeverEnds for a hung child
  bool closed = false;     // its handle has been closed
  // Whether it is a dismount (" /d" among its arguments).
  bool dismount() const { return commandLine.find(u" /d") != std::u16string::npos; }
};

class FakeTokenPlatform : public os::TokenPlatform {
 public:
  // The machine starts with a fixed drive C: and nothing else.
  explicit FakeTokenPlatform(FakeKernel& kernel);

  // --- drives (letters A..Z) ---------------------------------------------------------------
  // Defines the drive and plugs it in.
  void AddDrive(char16_t letter, std::uint32_t type);
  void Unplug(char16_t letter) { drives_[Upper(letter)].present = false; }
  void Plug(char16_t letter) { drives_[Upper(letter)].present = true; }
  // A present drive that is not ready (a card reader without a card) fails every access
  // with ERROR_NOT_READY.
  void SetReady(char16_t letter, bool ready) { drives_[Upper(letter)].ready = ready; }
  // Makes GetDrives return 0 with `error` as the last error; 0 makes it work again.
  void FailGetDrives(std::uint32_t error) { getDrivesError_ = error; }
  // Called after every reading of the drive mask with the number of that reading (from 1).
  std::function<void(int)> afterGetDrives;
  int getDrivesCalls() const { return getDrivesCalls_; }

  // --- files and folders ---------------------------------------------------------------------
  // Adding a file or folder adds its parent folders.
  void AddFolder(const std::u16string& path);
  void AddFile(const std::u16string& path, const std::string& bytes = {});
  void RemoveFile(const std::u16string& path) { files_.erase(Key(path)); }
  bool HasFile(const std::u16string& path) const { return files_.count(Key(path)) != 0; }
  // The bytes of a file, empty when absent.
  std::string FileContents(const std::u16string& path) const;
  // Marks a file or folder as a reparse point (a link, junction or mount point).
  void MakeLink(const std::u16string& path) { links_.insert(Key(path)); }
  // The size a search reports for a file, without holding its bytes.
  void SetFileSize(const std::u16string& path, std::uint64_t size) { sizes_[Key(path)] = size; }
  // GetLongPathNameW replaces `shortPath` (a full path, such as C:\PROGRA~1) by `longPath`.
  void AddShortName(const std::u16string& shortPath, const std::u16string& longPath);
  std::vector<std::u16string> programFilesFolders = {u"C:\\Program Files",
                                                     u"C:\\Program Files (x86)"};
  // Every path handed to FindFile, in order.
  std::vector<std::u16string> searches;
  // Searches and opens that went through a link on a removable drive (a folder on the way
  // that is one, or for an open the file itself), as Windows would follow it.
  int followedLinks = 0;

  // --- child processes ---------------------------------------------------------------------
  std::vector<ProcessStart> starts;
  // Makes every start fail with ERROR_FILE_NOT_FOUND (still recorded).
  bool failStart = false;
  // Virtual ms that each child runs, by the number of its start (from 0).
  std::map<std::size_t, std::uint64_t> runTimes;
  // Virtual ms that a child runs when runTimes does not name it.
  std::uint64_t childRunTime = 0;
  // Makes every Wait fail.
  bool failWait = false;
  std::vector<std::uint32_t> sleeps;
  // Process handles not yet closed.
  std::size_t openProcesses() const;

  // --- TokenPlatform ---------------------------------------------------------------------------
  std::FILE* OpenForRead(const char16_t* path) override;
  std::unique_ptr<os::ByteSink> OpenTrace(const char16_t* path) override;
  std::uint32_t GetDrives() override;
  std::uint32_t GetLastError() override { return kernel_.lastError; }
  std::uint32_t GetDriveType(const char16_t* root) override;
  os::SearchResult FindFile(const char16_t* path) override;
  os::Handle StartProcess(const char16_t* program, const char16_t* commandLine) override;
  os::WaitResult Wait(os::Handle child, os::Handle stop, std::uint32_t milliseconds) override;
  void CloseProcess(os::Handle child) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::u16string FullPathName(const char16_t* path) override { return Normalize(path); }
  std::u16string LongPathName(const char16_t* path) override;
  std::vector<std::u16string> ProgramFilesFolders() override { return programFilesFolders; }

 private:
  struct Drive {
    std::uint32_t type = kDriveNoRootDir;
    bool present = false;
    bool ready = true;
  };

  static char16_t Upper(char16_t unit);
  // "X:\a\b" with "/" as "\" and "." and ".." removed; empty unless drive-absolute.
  static std::u16string Normalize(const std::u16string& path);
  static std::u16string Key(const std::u16string& path);  // normalized and lowered
  // `path` with the short names AddShortName knows replaced by their long forms.
  std::u16string Expand(const std::u16string& path) const;
  // The drive of a normalized path when it is present; null otherwise.
  const Drive* PresentDrive(const std::u16string& full) const;
  // The search's error for `key` (0 when an entry matches).
  std::uint32_t Lookup(const std::u16string& key) const;
  void NoteLinks(const std::u16string& key, bool self);
  ProcessStart& Child(os::Handle child);

  FakeKernel& kernel_;
  std::map<char16_t, Drive> drives_;
  std::map<std::u16string, std::shared_ptr<std::string>> files_;  // key: Key(path)
  std::set<std::u16string> folders_;
  std::set<std::u16string> links_;
  std::map<std::u16string, std::uint64_t> sizes_;
  std::map<std::u16string, std::u16string> shortNames_;  // lowered short -> long
  std::uint32_t getDrivesError_ = 0;
  int getDrivesCalls_ = 0;
};

}  // namespace kvn::fake
