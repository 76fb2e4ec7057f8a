// What the token watcher needs of the OS. Every method stands for one platform call and
// stays as thin as that call, so that all decisions live in the core.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "os/handle.h"
#include "os/host.h"

namespace kvn::os {

// GetDriveTypeW results.
inline constexpr std::uint32_t kDriveUnknown = 0;
inline constexpr std::uint32_t kDriveNoRootDir = 1;
inline constexpr std::uint32_t kDriveRemovable = 2;
inline constexpr std::uint32_t kDriveFixed = 3;
inline constexpr std::uint32_t kDriveRemote = 4;
inline constexpr std::uint32_t kDriveCdRom = 5;
inline constexpr std::uint32_t kDriveRamDisk = 6;

// FILE_ATTRIBUTE_* bits the watcher looks at.
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;  // a link, or data a filter keeps

// GetVolumeInformationW's file system flags that tell what a volume can hold. FAT32 and exFAT,
// the file systems of most sticks, hold none of these.
inline constexpr std::uint32_t kVolumePersistentAcls = 0x8;    // owners and DACLs that hold
inline constexpr std::uint32_t kVolumeReparsePoints = 0x80;    // links and other reparse points
inline constexpr std::uint32_t kVolumeNamedStreams = 0x40000;  // alternate data streams
inline constexpr std::uint32_t kVolumeHardLinks = 0x400000;    // a file under several names

// The outcome of one existence test (FindFirstFileW, closed at once with FindClose).
struct SearchResult {
  bool found = false;
  std::uint32_t error = 0;       // GetLastError() after a search that found nothing
  std::uint32_t attributes = 0;  // the entry's own attributes: a link's, not its target's
  std::uint64_t size = 0;        // the entry's size in bytes
  std::uint32_t reparseTag = 0;  // the entry's reparse tag when it is a reparse point
};

// What the system reports for an entry opened as itself (GetFileInformationByHandle, and
// the reparse tag only for a reparse point).
struct EntryInfo {
  std::uint32_t attributes = 0;
  // When attributes holds kAttributeReparsePoint: its tag, 0 when the tag cannot be read.
  std::uint32_t reparseTag = 0;
  std::uint64_t size = 0;
  std::uint64_t lastWrite = 0;  // FILETIME of the last write
};

// What WinVerifyTrust says of a file's embedded Authenticode signature, and who signed it.
struct Signature {
  std::uint32_t verdict = 0;    // 0: valid; else its TRUST_E_* or CERT_E_* code
  std::u16string organization;  // of the signer's certificate (O), when valid
  std::u16string country;       // (C)
};

// One entry of a DACL, as plain data.
struct Ace {
  bool deny = false;       // an access-denied type; every other type counts as a grant
  std::uint8_t flags = 0;  // ACE flags: 0x08 is INHERIT_ONLY_ACE
  std::uint32_t mask = 0;  // the access mask as stored (generic bits not mapped)
  std::u16string sid;      // "S-1-5-32-545"
};

// What GetVolumeInformationW reports of the volume at a drive root.
struct VolumeFacts {
  std::uint32_t serial = 0;
  std::uint32_t flags = 0;  // kVolume* bits
};

// The owner and DACL of an object (GetSecurityInfo with OWNER and DACL), as plain data.
struct Security {
  std::u16string owner;  // a SID string
  bool hasDacl = true;   // false: a NULL DACL, which grants everyone everything
  std::vector<Ace> dacl;
};

// How long a child's start may take before StartProcess gives up on it.
inline constexpr std::uint32_t kStartLimit = 10000;  // ms
// The exit code of a child that EndProcess ended.
inline constexpr std::uint32_t kEndedExitCode = 1460;  // ERROR_TIMEOUT
// The last error of a start that was held up.
inline constexpr std::uint32_t kErrorTimeout = 1460;  // ERROR_TIMEOUT

// How a wait for a child or the stop event ended.
enum class WaitResult {
  kChildEnded,  // the child has ended (also when it had ended before the wait)
  kStopped,     // the stop event is signalled and the child, if any, still runs
  kTimedOut,
  kFailed,  // the wait itself failed
};

class TokenPlatform {
 public:
  virtual ~TokenPlatform() = default;

  // The trace log: opened, checked and only then emptied, shared deny-none. Null when it
  // cannot be opened, or when the folder or the file is a link or the file has more than one
  // name (a hard link): the log is never written through something another user placed.
  virtual std::unique_ptr<ByteSink> OpenTrace(const char16_t* path) = 0;

  // _getdrives(): bit 0 is A: ... bit 25 is Z:. Zero on failure.
  virtual std::uint32_t GetDrives() = 0;
  // The calling thread's last-error code (GetLastError).
  virtual std::uint32_t GetLastError() = 0;
  // GetTickCount64: ms since the system started.
  virtual std::uint64_t TickCount() = 0;
  // GetDriveTypeW on a drive root such as "E:\".
  virtual std::uint32_t GetDriveType(const char16_t* root) = 0;
  // FindFirstFileW on `path`; a search that finds an entry is closed at once. The entry is
  // reported as listed in its folder, so a link is not followed.
  virtual SearchResult FindFile(const char16_t* path) = 0;

  // Opens the file or folder at `path` as itself (CreateFileW with FILE_FLAG_OPEN_REPARSE_POINT
  // and FILE_FLAG_BACKUP_SEMANTICS): a final link is not followed. The handle may read the
  // attributes, the security and the data, and shares reading and writing but not deletion,
  // so that while it is open the entry cannot be renamed, deleted or replaced. Null on
  // failure, with the reason in the last error: only ERROR_FILE_NOT_FOUND and
  // ERROR_PATH_NOT_FOUND say the entry is not there; a sharing violation or access denied
  // says nothing of it. Closed with CloseEntry.
  virtual Handle OpenEntry(const char16_t* path) = 0;
  // Each false on failure, with the reason in the last error.
  virtual bool ReadEntryInfo(Handle entry, EntryInfo& info) = 0;
  virtual bool ReadEntrySecurity(Handle entry, Security& security) = 0;
  // GetFinalPathNameByHandleW (normalized, with the drive letter): where the opened entry really
  // is, whatever subst or mapped letter, short name or link the path went through
  // ("\\?\C:\...", "\\?\UNC\server\share\..."). Empty on failure.
  virtual std::u16string FinalPath(Handle entry) = 0;
  // Reads from the start of the file, at most `maxBytes`, into `bytes`.
  virtual bool ReadEntry(Handle entry, std::size_t maxBytes, std::string& bytes) = 0;
  virtual void CloseEntry(Handle entry) = 0;
  // GetVolumeInformationW on a drive root such as "E:\"; false on failure.
  virtual bool VolumeInfo(const char16_t* root, VolumeFacts& volume) = 0;
  // GetVolumeNameForVolumeMountPointW on a drive root: the unique name the mount manager gives
  // the volume ("\\?\Volume{GUID}\"), which no user can set. False on failure, with the reason
  // in the last error (a subst or network letter has none).
  virtual bool VolumeName(const char16_t* root, std::u16string& name) = 0;
  // QueryDosDeviceW on a drive such as "E:": the device the letter leads to
  // ("\Device\HarddiskVolume7", "\Device\VeraCryptVolumeE", "\??\C:\dir" for a subst
  // letter), the first of its targets. False on failure.
  virtual bool DosDevice(const char16_t* drive, std::u16string& device) = 0;
  // The accounts that administrators trust besides SYSTEM, Administrators and TrustedInstaller:
  // the REG_MULTI_SZ value TrustedAccounts of HKLM\SOFTWARE\Policies\Kelvarn (64-bit view),
  // where Group Policy writes and only administrators may. Each string as stored; none when
  // the value is absent, of another type or cannot be read.
  virtual std::vector<std::u16string> PolicyTrustedAccounts() = 0;
  // ConvertStringSidToSidW and LookupAccountSidW on the local computer: what `sid` names
  // (SID_NAME_USE: 1 a user, 2 a group, 4 an alias, 5 a well-known group, 9 a computer, ...).
  // False when it cannot say, with the reason in the last error (ERROR_NONE_MAPPED when nobody
  // is known by it, or a domain controller is out of reach).
  virtual bool LookupAccount(const char16_t* sid, std::uint32_t& use) = 0;
  // The signers administrators trust besides the tools' makers: the REG_MULTI_SZ value
  // TrustedSigners beside TrustedAccounts, each string as stored.
  virtual std::vector<std::u16string> PolicyTrustedSigners() = 0;
  // WinVerifyTrust (WINTRUST_ACTION_GENERIC_VERIFY_V2) on the file `entry` holds, `path` naming
  // it: no user interface, no revocation check, nothing fetched over the network; then, when it
  // is valid, the organisation and country of the signer's certificate.
  virtual Signature VerifySignature(Handle entry, const char16_t* path) = 0;
  // Whether this is a 32-bit process on 64-bit Windows (IsWow64Process), whose file system
  // calls are redirected where a 64-bit program's are not. True also when it cannot be told.
  virtual bool Wow64() = 0;
  // GetSystemWindowsDirectoryW ("C:\Windows"); empty on failure.
  virtual std::u16string WindowsFolder() = 0;

  // Starts `program` with exactly `commandLine` as the child's command line (CreateProcessW,
  // made on a thread of its own and waited for at most kStartLimit ms: the start opens the
  // program's file, which an oplock of another program or a drive that does not answer can
  // hold). A suspended child runs only once ResumeProcess is called, and is ended with this
  // process should that end first. Returns the child, to be closed with CloseProcess, or null
  // when it could not be started, with the reason in the last error: ERROR_TIMEOUT when the
  // start was held up (a child it makes later is ended at once).
  virtual Handle StartProcess(const char16_t* program, const char16_t* commandLine,
                              bool suspended) = 0;
  // ResumeThread of a suspended child's first thread; false on failure.
  virtual bool ResumeProcess(Handle child) = 0;
  // TerminateProcess with kEndedExitCode; false on failure. The child may take a moment to
  // end: wait for it.
  virtual bool EndProcess(Handle child) = 0;
  // Waits at most `milliseconds` until `child` has ended or `stop` is signalled, the child
  // looked at first; either may be null, and with both null this is a plain sleep.
  virtual WaitResult Wait(Handle child, Handle stop, std::uint32_t milliseconds) = 0;
  virtual void CloseProcess(Handle child) = 0;
  // GetExitCodeProcess of a child that has ended.
  virtual bool ChildExitCode(Handle child, std::uint32_t& code) = 0;
  // Sleep(): a pause that nothing interrupts.
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // GetFullPathNameW: the absolute path with "." and ".." removed; empty on failure. Works
  // on the text alone and touches no file system.
  virtual std::u16string FullPathName(const char16_t* path) = 0;
  // GetLongPathNameW: every component in its long form; empty on failure (for instance
  // when the path does not exist).
  virtual std::u16string LongPathName(const char16_t* path) = 0;
  // The machine's Program Files folders from the sources administrators set, each as it
  // reads: the known folders ProgramFiles and ProgramFilesX86 (both the x86 folder for a
  // 32-bit process on 64-bit Windows) and ProgramFilesDir of the 64-bit registry view (the
  // native folder). Never the environment, which the user sets. A source that is missing
  // gives an empty entry.
  virtual std::vector<std::u16string> ProgramFilesFolders() = 0;

  // The record of a mount that may still be open: the REG_SZ value Mounted of
  // HKLM\SOFTWARE\Kelvarn in the 64-bit view of the registry, where only administrators and
  // SYSTEM may write.
  enum class RecordRead { kAbsent, kPresent, kWrongType, kFailed };
  virtual RecordRead ReadMountRecord(std::u16string& value) = 0;
  virtual bool WriteMountRecord(const char16_t* value) = 0;
  // Deletes the key HKLM\SOFTWARE\Kelvarn with the record. True also when it was absent.
  virtual bool DeleteMountRecord() = 0;
};

}  // namespace kvn::os
