// The token watcher's seam on Win32: the C runtime's drive mask, kernel32's drive type,
// file search, child processes and waits, path resolution, and the Program Files folders
// of the shell, the environment and the registry.
#pragma once

#include "os/token_platform.h"

namespace kvn::win32 {

// Stateless; used by the thread of the watch cycle.
class Win32TokenPlatform final : public os::TokenPlatform {
 public:
  std::FILE* OpenForRead(const char16_t* path) override;
  std::unique_ptr<os::ByteSink> OpenTrace(const char16_t* path) override;
  std::uint32_t GetDrives() override;
  std::uint32_t GetLastError() override;
  std::uint32_t GetDriveType(const char16_t* root) override;
  os::SearchResult FindFile(const char16_t* path) override;
  os::Handle StartProcess(const char16_t* program, const char16_t* commandLine) override;
  os::WaitResult Wait(os::Handle child, os::Handle stop, std::uint32_t milliseconds) override;
  void CloseProcess(os::Handle child) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::u16string FullPathName(const char16_t* path) override;
  std::u16string LongPathName(const char16_t* path) override;
  std::vector<std::u16string> ProgramFilesFolders() override;
};

}  // namespace kvn::win32
