#include "fake/fake_token_platform.h"

#include <cerrno>

#include "common/strings.h"

namespace kvn::fake {

namespace {

class FakeSink final : public os::ByteSink {
 public:
  explicit FakeSink(FileBytes bytes) : bytes_(std::move(bytes)) {}
  bool Write(const char* bytes, std::size_t count) override {
    bytes_->append(bytes, count);
    return true;
  }

 private:
  FileBytes bytes_;
};

std::u16string ParentOf(const std::u16string& path) {
  const auto slash = path.find_last_of(u'\\');
  return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

}  // namespace

std::u16string FakeTokenPlatform::Key(const std::u16string& path) {
  std::u16string key = path;
  for (auto& unit : key) unit = AsciiLower(unit);
  return key;
}

void FakeTokenPlatform::AddFolder(const std::u16string& path) { folders_.insert(Key(path)); }

void FakeTokenPlatform::AddFile(const std::u16string& path, const std::string& bytes) {
  files_[Key(path)] = std::make_shared<std::string>(bytes);
}

void FakeTokenPlatform::RemoveFile(const std::u16string& path) { files_.erase(Key(path)); }

bool FakeTokenPlatform::HasFile(const std::u16string& path) const {
  return files_.count(Key(path)) != 0;
}

std::string FakeTokenPlatform::FileContents(const std::u16string& path) const {
  auto it = files_.find(Key(path));
  return it == files_.end() ? std::string() : *it->second;
}

std::FILE* FakeTokenPlatform::OpenForRead(const char16_t* path) {
  auto it = files_.find(Key(path));
  if (it == files_.end()) {
    errno = ENOENT;
    return nullptr;
  }
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return nullptr;
  const std::string& bytes = *it->second;
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    std::fclose(file);
    errno = EIO;
    return nullptr;
  }
  std::rewind(file);
  return file;
}

std::unique_ptr<os::ByteSink> FakeTokenPlatform::OpenTrace(const char16_t* path) {
  const std::u16string full = path;
  if (folders_.count(Key(ParentOf(full))) == 0) return nullptr;
  auto bytes = std::make_shared<std::string>();
  files_[Key(full)] = bytes;
  return std::make_unique<FakeSink>(bytes);
}

// The drive-related calls grow with the token watcher; until then the fake has no drives.
std::uint32_t FakeTokenPlatform::GetDrives() { return 0; }
std::uint32_t FakeTokenPlatform::GetDriveType(const char16_t*) { return 1; }
os::SearchResult FakeTokenPlatform::FindFile(const char16_t*) { return {false, 2}; }
bool FakeTokenPlatform::StartProcess(const char16_t*, const char16_t*, bool) { return false; }
bool FakeTokenPlatform::Pause(std::uint32_t milliseconds) { return kernel_.Pause(milliseconds); }
std::u16string FakeTokenPlatform::FullPathName(const char16_t* path) { return path; }
std::u16string FakeTokenPlatform::LongPathName(const char16_t* path) { return path; }
std::vector<std::u16string> FakeTokenPlatform::ProgramFilesFolders() { return {}; }

}  // namespace kvn::fake
