// The token watcher's seam on Win32: the C runtime's drive mask, kernel32's drive type,
// file search, entries opened as themselves with their rights, volume serials, child
// processes and waits, path resolution, the Program Files folders of the shell, the
// environment and the registry, and the mount record in the registry.
#pragma once

#include "os/token_platform.h"
#include "win32/win32.h"

// After windows.h: NtCreateFile, WinVerifyTrust.
// clang-format off
#include <winternl.h>
#include <wintrust.h>
// clang-format on

// <windows.h> maps this name onto GetDriveTypeA/W; here it is the seam's method.
#undef GetDriveType

namespace kvn::win32 {

// The calls whose answers differ by file system, by bitness or by what another program does,
// which Wine gives the same everywhere: on FAT32 and exFAT the reparse-tag query fails with
// ERROR_INVALID_PARAMETER, a volume reports no access control, an open meets an oplock, a start
// waits on the program's file, a volume has a name of its own (src/win32/README.md lists them).
// The adapter makes them through this table, so that its tests can hand it the answers of real
// Windows.
struct SystemCalls {
  decltype(&::NtCreateFile) createFile = &::NtCreateFile;
  decltype(&::GetFileInformationByHandle) fileInformation = &::GetFileInformationByHandle;
  decltype(&::GetFileInformationByHandleEx) fileInformationEx = &::GetFileInformationByHandleEx;
  decltype(&::GetVolumeInformationW) volumeInformation = &::GetVolumeInformationW;
  decltype(&::GetVolumeNameForVolumeMountPointW) volumeName = &::GetVolumeNameForVolumeMountPointW;
  decltype(&::QueryDosDeviceW) dosDevice = &::QueryDosDeviceW;
  decltype(&::IsWow64Process) isWow64Process = &::IsWow64Process;
  decltype(&::CreateProcessW) createProcess = &::CreateProcessW;
  decltype(&::GetFinalPathNameByHandleW) finalPath = &::GetFinalPathNameByHandleW;
  decltype(&::WinVerifyTrust) verifyTrust = &::WinVerifyTrust;
};

// Holds no state but its calls; used by the thread of the watch cycle. `startLimit`: how long
// a start may take (os::kStartLimit; less in tests).
class Win32TokenPlatform final : public os::TokenPlatform {
 public:
  explicit Win32TokenPlatform(const SystemCalls& calls = SystemCalls(),
                              std::uint32_t startLimit = os::kStartLimit)
      : calls_(calls), startLimit_(startLimit) {}

  std::unique_ptr<os::ByteSink> OpenTrace(const char16_t* path) override;
  std::uint32_t GetDrives() override;
  std::uint32_t GetLastError() override;
  std::uint64_t TickCount() override;
  std::uint32_t GetDriveType(const char16_t* root) override;
  os::SearchResult FindFile(const char16_t* path) override;
  os::Handle OpenEntry(const char16_t* path) override;
  bool ReadEntryInfo(os::Handle entry, os::EntryInfo& info) override;
  bool ReadEntrySecurity(os::Handle entry, os::Security& security) override;
  std::u16string FinalPath(os::Handle entry) override;
  bool ReadEntry(os::Handle entry, std::size_t maxBytes, std::string& bytes) override;
  void CloseEntry(os::Handle entry) override;
  bool VolumeInfo(const char16_t* root, os::VolumeFacts& volume) override;
  bool VolumeName(const char16_t* root, std::u16string& name) override;
  bool DosDevice(const char16_t* drive, std::u16string& device) override;
  std::vector<std::u16string> PolicyTrustedAccounts() override;
  bool LookupAccount(const char16_t* sid, std::uint32_t& use) override;
  std::vector<std::u16string> PolicyTrustedSigners() override;
  os::Signature VerifySignature(os::Handle entry, const char16_t* path) override;
  bool Wow64() override;
  std::u16string WindowsFolder() override;
  os::Handle StartProcess(const char16_t* program, const char16_t* commandLine,
                          bool suspended) override;
  bool ResumeProcess(os::Handle child) override;
  bool EndProcess(os::Handle child) override;
  os::WaitResult Wait(os::Handle child, os::Handle stop, std::uint32_t milliseconds) override;
  void CloseProcess(os::Handle child) override;
  bool ChildExitCode(os::Handle child, std::uint32_t& code) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::u16string FullPathName(const char16_t* path) override;
  std::u16string LongPathName(const char16_t* path) override;
  std::vector<std::u16string> ProgramFilesFolders() override;
  RecordRead ReadMountRecord(std::u16string& value) override;
  bool WriteMountRecord(const char16_t* value) override;
  bool DeleteMountRecord() override;

 private:
  SystemCalls calls_;
  std::uint32_t startLimit_;
};

}  // namespace kvn::win32
