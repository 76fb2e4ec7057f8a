// The token watcher's view of the fake Windows: drive letters with types, files and
// folders, the trace log, and a record of every child process started.
//
// Paths behave as Win32 paths do: case-insensitive, "/" read as "\", "." and ".." removed,
// relative paths taken from the current folder of a service (C:\Windows\system32). A file
// or folder is visible only while its drive is present (plugged) and ready; pulling a drive
// keeps its files, so plugging it back brings them back.
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

// Bytes of a file the fake holds; shared so that an open trace sink keeps writing into the
// file the test reads.
using FileBytes = std::shared_ptr<std::string>;

using os::kDriveCdRom;
using os::kDriveFixed;
using os::kDriveNoRootDir;
using os::kDriveRamDisk;
using os::kDriveRemote;
using os::kDriveRemovable;

// Win32 error codes the fake sets.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorNotReady = 21;
inline constexpr std::uint32_t kErrorBadNetPath = 53;
inline constexpr std::uint32_t kErrorInvalidName = 123;

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

  // --- drives (letters A..Z, upper case) -----------------------------------------------
  // Defines the drive and plugs it in.
  void AddDrive(char16_t letter, std::uint32_t type);
  // Pulls / plugs back a defined drive; its files stay with it.
  void Unplug(char16_t letter);
  void Plug(char16_t letter);
  void UnplugAt(std::uint64_t time, char16_t letter);
  void PlugAt(std::uint64_t time, char16_t letter);
  // A present drive that is not ready (a card reader without a card) fails every access
  // with ERROR_NOT_READY.
  void SetReady(char16_t letter, bool ready);
  // Makes GetDrives return 0 with `error` as the last error; 0 makes it work again.
  void FailGetDrives(std::uint32_t error) { getDrivesError_ = error; }
  // Called after every reading of the drive mask with the number of that reading (from 1),
  // to change the drives between two readings that no pause separates.
  std::function<void(int)> afterGetDrives;
  int getDrivesCalls() const { return getDrivesCalls_; }

  // --- files and folders, by full Windows path ------------------------------------------
  // Adding a file or folder adds its parent folders.
  void AddFolder(const std::u16string& path);
  void AddFile(const std::u16string& path, const std::string& bytes = {});
  void RemoveFile(const std::u16string& path);
  // Marks an existing file or folder as a reparse point (a link, junction or mount point).
  void MakeLink(const std::u16string& path);
  // The size a search reports for a file, without holding its bytes.
  void SetFileSize(const std::u16string& path, std::uint64_t size);
  bool HasFile(const std::u16string& path) const;
  // The bytes of a file, empty when absent.
  std::string FileContents(const std::u16string& path) const;

  // Every path handed to FindFile, in order.
  std::vector<std::u16string> searches;
  // Searches and opens that went through a link on a removable drive (a folder on the way
  // that is one, or for an open the file itself), as Windows would follow it.
  int followedLinks = 0;

  // --- child processes ------------------------------------------------------------------
  std::vector<ProcessStart> starts;
  // Makes every start fail with ERROR_FILE_NOT_FOUND (still recorded).
  bool failStart = false;
  // Virtual ms that each child runs, by the number of its start (from 0); 0 when absent.
  std::map<std::size_t, std::uint64_t> runTimes;
  // Virtual ms that a child runs when runTimes does not name it.
  std::uint64_t childRunTime = 0;
  // Makes every Wait fail.
  bool failWait = false;
  // Sleep calls, in ms.
  std::vector<std::uint32_t> sleeps;
  // Process handles not yet closed.
  std::size_t openProcesses() const;

  // --- path resolution ------------------------------------------------------------------
  // GetLongPathNameW replaces `shortPath` (a full path, such as C:\PROGRA~1) by `longPath`.
  void AddShortName(const std::u16string& shortPath, const std::u16string& longPath);
  std::u16string currentDirectory = u"C:\\Windows\\system32";
  std::vector<std::u16string> programFilesFolders = {u"C:\\Program Files",
                                                     u"C:\\Program Files (x86)"};

  // --- TokenPlatform -------------------------------------------------------------------
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
  std::u16string FullPathName(const char16_t* path) override;
  std::u16string LongPathName(const char16_t* path) override;
  std::vector<std::u16string> ProgramFilesFolders() override { return programFilesFolders; }

  // GetFullPathNameW's rules; empty for an empty path.
  std::u16string Normalize(const std::u16string& path) const;

 protected:
  struct Drive {
    std::uint32_t type = kDriveNoRootDir;
    bool present = false;
    bool ready = true;
  };

  static std::u16string Key(const std::u16string& path);  // lowered, for look-ups
  // The drive of a normalized "X:\..." path when it is present; null otherwise.
  const Drive* PresentDrive(const std::u16string& normalized) const;
  bool FolderExists(const std::u16string& key) const;  // key of a normalized path
  bool EntryExists(const std::u16string& key) const;   // a file or a folder
  // Replaces the short names that AddShortName knows by their long forms.
  std::u16string ExpandShortNames(const std::u16string& path) const;
  os::SearchResult Fail(std::uint32_t error);
  // Counts in followedLinks when a folder on the way to `full` (or, with `self`, the entry
  // itself) is a link.
  void NoteLinks(const std::u16string& full, bool self);

  FakeKernel& kernel_;
  std::map<char16_t, Drive> drives_;
  std::map<std::u16string, FileBytes> files_;            // key: lowered path
  std::set<std::u16string> folders_;                     // key: lowered path
  std::set<std::u16string> links_;                       // key: lowered path
  std::map<std::u16string, std::uint64_t> sizes_;        // key: lowered path
  std::map<std::u16string, std::u16string> shortNames_;  // lowered short -> long
  std::uint32_t getDrivesError_ = 0;
  int getDrivesCalls_ = 0;
};

}  // namespace kvn::fake
