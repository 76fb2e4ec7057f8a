// The token watcher's view of the fake Windows: drive letters with types, files and
// folders, the trace log, and a record of every child process started.
#pragma once

#include <cstdint>
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

class FakeTokenPlatform : public os::TokenPlatform {
 public:
  explicit FakeTokenPlatform(FakeKernel& kernel) : kernel_(kernel) {}

  // --- set-up --------------------------------------------------------------------------
  // Files and folders by full Windows path; matching is case-insensitive like NTFS.
  void AddFolder(const std::u16string& path);
  void AddFile(const std::u16string& path, const std::string& bytes = {});
  void RemoveFile(const std::u16string& path);
  bool HasFile(const std::u16string& path) const;
  // The bytes of a file, empty when absent.
  std::string FileContents(const std::u16string& path) const;

  // --- TokenPlatform -------------------------------------------------------------------
  std::FILE* OpenForRead(const char16_t* path) override;
  std::unique_ptr<os::ByteSink> OpenTrace(const char16_t* path) override;
  std::uint32_t GetDrives() override;
  std::uint32_t GetLastError() override { return kernel_.lastError; }
  std::uint32_t GetDriveType(const char16_t* root) override;
  os::SearchResult FindFile(const char16_t* path) override;
  bool StartProcess(const char16_t* program, const char16_t* commandLine, bool wait) override;
  bool Pause(std::uint32_t milliseconds) override;
  std::u16string FullPathName(const char16_t* path) override;
  std::u16string LongPathName(const char16_t* path) override;
  std::vector<std::u16string> ProgramFilesFolders() override;

 protected:
  static std::u16string Key(const std::u16string& path);  // lowered, for look-ups

  FakeKernel& kernel_;
  std::map<std::u16string, FileBytes> files_;  // key: lowered path
  std::set<std::u16string> folders_;           // key: lowered path
};

}  // namespace kvn::fake
