// The token watcher's seam on Win32: the C runtime's drive mask, kernel32's drive type,
// file search, entries opened as themselves with their rights, volume serials, child
// processes and waits, path resolution, the Program Files folders of the shell, the
// environment and the registry, and the mount record in the registry.
#pragma once

#include "os/token_platform.h"

namespace kvn::win32 {

// Stateless; used by the thread of the watch cycle.
class Win32TokenPlatform final : public os::TokenPlatform {
 public:
  std::unique_ptr<os::ByteSink> OpenTrace(const char16_t* path) override;
  std::uint32_t GetDrives() override;
  std::uint32_t GetLastError() override;
  std::uint32_t GetDriveType(const char16_t* root) override;
  os::SearchResult FindFile(const char16_t* path) override;
  os::Handle OpenEntry(const char16_t* path) override;
  bool ReadEntryInfo(os::Handle entry, os::EntryInfo& info) override;
  bool ReadEntrySecurity(os::Handle entry, os::Security& security) override;
  bool ReadEntry(os::Handle entry, std::size_t maxBytes, std::string& bytes) override;
  void CloseEntry(os::Handle entry) override;
  bool VolumeSerial(const char16_t* root, std::uint32_t& serial) override;
  std::u16string ProcessUserSid() override;
  os::Handle StartProcess(const char16_t* program, const char16_t* commandLine) override;
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
};

}  // namespace kvn::win32
