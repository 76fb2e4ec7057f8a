#include "fake/fake_token_platform.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "common/strings.h"

namespace kvn::fake {

namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorNotReady = 21;

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

// A search pattern's * (any run) and ? (one unit), and " for a dot, as FindFirstFileW reads it.
bool Matches(const char16_t* pattern, const char16_t* name) {
  if (*pattern == u'\0') return *name == u'\0';
  if (*pattern == u'*') {
    for (const char16_t* rest = name;; ++rest) {
      if (Matches(pattern + 1, rest)) return true;
      if (*rest == u'\0') return false;
    }
  }
  const bool one = *name != u'\0' &&
                   (*pattern == u'?' || *pattern == *name || (*pattern == u'"' && *name == u'.'));
  return one && Matches(pattern + 1, name + 1);
}

std::u16string Parent(const std::u16string& key) { return key.substr(0, key.rfind(u'\\')); }

}  // namespace

FakeTokenPlatform::FakeTokenPlatform(FakeKernel& kernel) : kernel_(kernel) {
  AddDrive(u'C', kDriveFixed);
}

char16_t FakeTokenPlatform::Upper(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

std::u16string FakeTokenPlatform::Normalize(const std::u16string& path) {
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

std::u16string FakeTokenPlatform::Key(const std::u16string& path) {
  std::u16string key = Normalize(path);
  for (auto& unit : key) unit = AsciiLower(unit);
  if (key.size() == 3) key.pop_back();  // a drive root: "x:"
  return key;
}

void FakeTokenPlatform::AddDrive(char16_t letter, std::uint32_t type) {
  Drive& drive = drives_[Upper(letter)];
  drive.type = type;
  drive.present = true;
}

const FakeTokenPlatform::Drive* FakeTokenPlatform::PresentDrive(const std::u16string& full) const {
  if (full.size() < 2) return nullptr;
  auto it = drives_.find(Upper(full[0]));
  return (it == drives_.end() || !it->second.present) ? nullptr : &it->second;
}

std::uint32_t FakeTokenPlatform::GetDrives() {
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

std::uint32_t FakeTokenPlatform::GetDriveType(const char16_t* root) {
  const Drive* drive = PresentDrive(root);
  return drive == nullptr || root[1] != u':' ? kDriveNoRootDir : drive->type;
}

void FakeTokenPlatform::AddFolder(const std::u16string& path) {
  for (std::u16string key = Key(path); key.size() > 2; key = Parent(key)) folders_.insert(key);
}

void FakeTokenPlatform::AddFile(const std::u16string& path, const std::string& bytes) {
  const std::u16string key = Key(path);
  AddFolder(Parent(key));
  files_[key] = std::make_shared<std::string>(bytes);
}

std::string FakeTokenPlatform::FileContents(const std::u16string& path) const {
  auto it = files_.find(Key(path));
  return it == files_.end() ? std::string() : *it->second;
}

void FakeTokenPlatform::AddShortName(const std::u16string& shortPath,
                                     const std::u16string& longPath) {
  shortNames_[Key(shortPath)] = longPath;
}

void FakeTokenPlatform::NoteLinks(const std::u16string& key, bool self) {
  const Drive* drive = PresentDrive(key);
  if (drive == nullptr || drive->type != kDriveRemovable) return;
  for (std::u16string folder = Parent(key); folder.size() > 2; folder = Parent(folder)) {
    if (links_.count(folder) != 0) ++followedLinks;
  }
  if (self && links_.count(key) != 0) ++followedLinks;
}

std::uint32_t FakeTokenPlatform::Lookup(const std::u16string& key) const {
  const Drive* drive = PresentDrive(key);
  if (drive == nullptr || key.size() < 2) return kErrorPathNotFound;
  if (!drive->ready) return kErrorNotReady;
  const std::u16string parent = Parent(key);
  if (parent.size() > 2 && folders_.count(parent) == 0) return kErrorPathNotFound;
  const std::u16string name = key.substr(parent.size() + 1);
  if (key.size() <= 3) return kErrorFileNotFound;  // a root names no entry
  auto matches = [&](const std::u16string& entry) {
    return entry.size() > parent.size() + 1 && Parent(entry) == parent &&
           Matches(name.c_str(), entry.c_str() + parent.size() + 1);
  };
  for (const auto& [entry, bytes] : files_) {
    if (matches(entry)) return 0;
  }
  for (const auto& entry : folders_) {
    if (matches(entry)) return 0;
  }
  return kErrorFileNotFound;
}

os::SearchResult FakeTokenPlatform::FindFile(const char16_t* path) {
  searches.push_back(path);
  const std::u16string given = path;
  // A trailing separator searches for an empty name.
  const std::u16string key = (!given.empty() && given.back() == u'\\') ? u"" : Key(Expand(given));
  NoteLinks(key, false);
  const std::uint32_t error = Lookup(key);
  kernel_.lastError = error;
  if (error != 0) return {false, error, 0, 0};
  os::SearchResult result{true, 0, links_.count(key) != 0 ? os::kAttributeReparsePoint : 0, 0};
  if (auto size = sizes_.find(key); size != sizes_.end()) {
    result.size = size->second;
  } else if (auto file = files_.find(key); file != files_.end()) {
    result.size = file->second->size();
  }
  return result;
}

std::FILE* FakeTokenPlatform::OpenForRead(const char16_t* path) {
  const std::u16string key = Key(path);
  NoteLinks(key, true);
  auto it = files_.find(key);
  if (Lookup(key) != 0 || it == files_.end()) {
    errno = folders_.count(key) != 0 ? EACCES : ENOENT;
    return nullptr;
  }
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return nullptr;
  std::fwrite(it->second->data(), 1, it->second->size(), file);
  std::rewind(file);
  return file;
}

std::unique_ptr<os::ByteSink> FakeTokenPlatform::OpenTrace(const char16_t* path) {
  const std::u16string key = Key(path);
  if (PresentDrive(key) == nullptr || folders_.count(Parent(key)) == 0) return nullptr;
  auto bytes = std::make_shared<std::string>();
  files_[key] = bytes;
  return std::make_unique<Sink>(bytes);
}

std::u16string FakeTokenPlatform::Expand(const std::u16string& path) const {
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

std::u16string FakeTokenPlatform::LongPathName(const char16_t* path) {
  const std::u16string result = Expand(path);
  if (Lookup(Key(result)) != 0) {
    kernel_.lastError = kErrorFileNotFound;
    return {};
  }
  return result;
}

// --- processes: a child's handle is its start's number plus one ------------------------------

ProcessStart& FakeTokenPlatform::Child(os::Handle child) {
  const auto number = reinterpret_cast<std::uintptr_t>(child) - 1;
  EXPECT_LT(number, starts.size());
  EXPECT_FALSE(starts[number].closed) << "a closed child's handle used";
  return starts[number];
}

os::Handle FakeTokenPlatform::StartProcess(const char16_t* program, const char16_t* commandLine) {
  const std::size_t number = starts.size();
  auto runTime = runTimes.find(number);
  const std::uint64_t run = runTime != runTimes.end() ? runTime->second : childRunTime;
  starts.push_back({program, commandLine, kernel_.now(),
                    run == kNeverEnds ? kNeverEnds : kernel_.now() + run, failStart});
  if (failStart) {
    kernel_.lastError = kErrorFileNotFound;
    return nullptr;
  }
  return reinterpret_cast<os::Handle>(number + 1);
}

os::WaitResult FakeTokenPlatform::Wait(os::Handle child, os::Handle stop,
                                       std::uint32_t milliseconds) {
  if (failWait) return os::WaitResult::kFailed;
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

void FakeTokenPlatform::CloseProcess(os::Handle child) { Child(child).closed = true; }

void FakeTokenPlatform::Sleep(std::uint32_t milliseconds) {
  sleeps.push_back(milliseconds);
  kernel_.Advance(milliseconds);
}

std::size_t FakeTokenPlatform::openProcesses() const {
  std::size_t open = 0;
  for (const ProcessStart& start : starts) open += start.closed ? 0 : 1;
  return open;
}

}  // namespace kvn::fake
