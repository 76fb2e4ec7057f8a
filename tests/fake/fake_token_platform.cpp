#include "fake/fake_token_platform.h"

#include <gtest/gtest.h>

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

char16_t AsciiUpper(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}

// FindFirstFileW's wildcards: * and ?, and the DOS forms < (star), > (question mark) and
// " (dot).
bool HasWildcard(const std::u16string& text) {
  return text.find_first_of(u"*?<>\"") != std::u16string::npos;
}

std::vector<std::u16string> Split(const std::u16string& text) {
  std::vector<std::u16string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(u'\\', start);
    parts.push_back(text.substr(start, end == std::u16string::npos ? end : end - start));
    if (end == std::u16string::npos) return parts;
    start = end + 1;
  }
}

// `*` (and `<`) match any run of units, `?` exactly one; `>` one unit, or none at the end
// of the name or before a dot; `"` a dot, or nothing at the end. Both sides already lowered.
bool Matches(const char16_t* pattern, const char16_t* name) {
  if (*pattern == u'\0') return *name == u'\0';
  if (*pattern == u'*' || *pattern == u'<') {
    for (const char16_t* rest = name;; ++rest) {
      if (Matches(pattern + 1, rest)) return true;
      if (*rest == u'\0') return false;
    }
  }
  if (*pattern == u'>' && (*name == u'\0' || *name == u'.') && Matches(pattern + 1, name)) {
    return true;
  }
  if (*pattern == u'"' && *name == u'\0') return Matches(pattern + 1, name);
  if (*name == u'\0') return false;
  const bool one = *pattern == u'?' || *pattern == u'>' || (*pattern == u'"' && *name == u'.') ||
                   *pattern == *name;
  return one && Matches(pattern + 1, name + 1);
}

}  // namespace

FakeTokenPlatform::FakeTokenPlatform(FakeKernel& kernel) : kernel_(kernel) {
  AddDrive(u'C', kDriveFixed);
}

std::u16string FakeTokenPlatform::Key(const std::u16string& path) {
  std::u16string key = path;
  for (auto& unit : key) unit = AsciiLower(unit);
  return key;
}

// --- drives ---------------------------------------------------------------------------

void FakeTokenPlatform::AddDrive(char16_t letter, std::uint32_t type) {
  Drive& drive = drives_[AsciiUpper(letter)];
  drive.type = type;
  drive.present = true;
}

void FakeTokenPlatform::Unplug(char16_t letter) { drives_[AsciiUpper(letter)].present = false; }
void FakeTokenPlatform::Plug(char16_t letter) { drives_[AsciiUpper(letter)].present = true; }

void FakeTokenPlatform::UnplugAt(std::uint64_t time, char16_t letter) {
  kernel_.At(time, [this, letter] { Unplug(letter); });
}

void FakeTokenPlatform::PlugAt(std::uint64_t time, char16_t letter) {
  kernel_.At(time, [this, letter] { Plug(letter); });
}

void FakeTokenPlatform::SetReady(char16_t letter, bool ready) {
  drives_[AsciiUpper(letter)].ready = ready;
}

const FakeTokenPlatform::Drive* FakeTokenPlatform::PresentDrive(
    const std::u16string& normalized) const {
  if (normalized.size() < 3 || normalized[1] != u':' || normalized[2] != u'\\') return nullptr;
  auto it = drives_.find(AsciiUpper(normalized[0]));
  return (it == drives_.end() || !it->second.present) ? nullptr : &it->second;
}

std::uint32_t FakeTokenPlatform::GetDrives() {
  const int call = ++getDrivesCalls_;
  std::uint32_t mask = 0;
  if (getDrivesError_ != 0) {
    kernel_.lastError = getDrivesError_;
  } else {
    for (const auto& [letter, drive] : drives_) {
      if (drive.present && letter >= u'A' && letter <= u'Z') mask |= 1u << (letter - u'A');
    }
  }
  if (afterGetDrives) afterGetDrives(call);
  return mask;
}

std::uint32_t FakeTokenPlatform::GetDriveType(const char16_t* root) {
  auto it = drives_.find(AsciiUpper(root[0]));
  if (root[0] == u'\0' || root[1] != u':' || it == drives_.end() || !it->second.present) {
    return kDriveNoRootDir;
  }
  return it->second.type;
}

// --- files and folders ------------------------------------------------------------------

void FakeTokenPlatform::AddFolder(const std::u16string& path) {
  const std::u16string full = Normalize(path);
  for (std::size_t slash = full.find(u'\\', 3); slash != std::u16string::npos;
       slash = full.find(u'\\', slash + 1)) {
    folders_.insert(Key(full.substr(0, slash)));
  }
  if (full.size() > 3 && full.back() != u'\\') folders_.insert(Key(full));
}

void FakeTokenPlatform::AddFile(const std::u16string& path, const std::string& bytes) {
  const std::u16string full = Normalize(path);
  const std::size_t slash = full.rfind(u'\\');
  if (slash > 2) AddFolder(full.substr(0, slash));
  files_[Key(full)] = std::make_shared<std::string>(bytes);
}

void FakeTokenPlatform::RemoveFile(const std::u16string& path) {
  files_.erase(Key(Normalize(path)));
}

void FakeTokenPlatform::MakeLink(const std::u16string& path) {
  links_.insert(Key(Normalize(path)));
}

void FakeTokenPlatform::SetFileSize(const std::u16string& path, std::uint64_t size) {
  sizes_[Key(Normalize(path))] = size;
}

bool FakeTokenPlatform::HasFile(const std::u16string& path) const {
  return files_.count(Key(Normalize(path))) != 0;
}

std::string FakeTokenPlatform::FileContents(const std::u16string& path) const {
  auto it = files_.find(Key(Normalize(path)));
  return it == files_.end() ? std::string() : *it->second;
}

bool FakeTokenPlatform::FolderExists(const std::u16string& key) const {
  return key.size() == 2 || folders_.count(key) != 0;  // "x:" is the root
}

bool FakeTokenPlatform::EntryExists(const std::u16string& key) const {
  return files_.count(key) != 0 || folders_.count(key) != 0;
}

std::u16string FakeTokenPlatform::Normalize(const std::u16string& input) const {
  if (input.empty()) return {};
  if (input.rfind(u"\\\\?\\", 0) == 0) return input;  // handed through untouched
  std::u16string path = input;
  for (auto& unit : path) {
    if (unit == u'/') unit = u'\\';
  }
  std::u16string root;
  std::u16string rest;
  if (path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\') {
    if (path.size() >= 4 && path[2] == u'.' && path[3] == u'\\') {
      root = path.substr(0, 3);
      rest = path.substr(4);
    } else {  // \\server\share
      const std::size_t server = path.find(u'\\', 2);
      const std::size_t share =
          server == std::u16string::npos ? server : path.find(u'\\', server + 1);
      root = path.substr(0, share);
      rest = share == std::u16string::npos ? std::u16string() : path.substr(share + 1);
    }
  } else if (path.size() >= 2 && path[1] == u':') {
    root = path.substr(0, 2);
    if (path.size() >= 3 && path[2] == u'\\') {
      rest = path.substr(3);
    } else if (AsciiLower(path[0]) == AsciiLower(currentDirectory[0])) {
      rest = currentDirectory.substr(3) + u"\\" + path.substr(2);
    } else {
      rest = path.substr(2);
    }
  } else if (path[0] == u'\\') {
    root = currentDirectory.substr(0, 2);
    rest = path.substr(1);
  } else {
    root = currentDirectory.substr(0, 2);
    rest = currentDirectory.substr(3) + u"\\" + path;
  }

  const bool trailing = !rest.empty() && rest.back() == u'\\';
  std::vector<std::u16string> parts;
  for (const std::u16string& part : Split(rest)) {
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  if (!trailing && !parts.empty()) {  // the last name loses trailing dots and blanks
    std::u16string& last = parts.back();
    while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.pop_back();
    if (last.empty()) parts.pop_back();
  }
  std::u16string full = root + u"\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) full += u'\\';
    full += parts[i];
  }
  if (trailing && !parts.empty()) full += u'\\';
  return full;
}

std::u16string FakeTokenPlatform::ExpandShortNames(const std::u16string& path) const {
  if (shortNames_.empty()) return path;
  std::u16string result;
  const std::vector<std::u16string> parts = Split(path);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) result += u'\\';
    result += parts[i];
    auto it = shortNames_.find(Key(result));
    if (it != shortNames_.end()) result = it->second;
  }
  return result;
}

os::SearchResult FakeTokenPlatform::Fail(std::uint32_t error) {
  kernel_.lastError = error;
  return {false, error};
}

void FakeTokenPlatform::NoteLinks(const std::u16string& full, bool self) {
  const Drive* drive = PresentDrive(full);
  if (drive == nullptr || drive->type != kDriveRemovable) return;
  const std::u16string key = Key(full);
  for (std::size_t slash = key.find(u'\\', 3); slash != std::u16string::npos;
       slash = key.find(u'\\', slash + 1)) {
    if (links_.count(key.substr(0, slash)) != 0) ++followedLinks;
  }
  if (self && links_.count(key) != 0) ++followedLinks;
}

os::SearchResult FakeTokenPlatform::FindFile(const char16_t* path) {
  searches.push_back(path);
  const std::u16string full = ExpandShortNames(Normalize(path));
  NoteLinks(full, false);
  if (full.empty()) return Fail(kErrorPathNotFound);
  if (full.rfind(u"\\\\", 0) == 0) {
    const bool device = full.size() >= 3 && (full[2] == u'?' || full[2] == u'.');
    return Fail(device ? kErrorPathNotFound : kErrorBadNetPath);
  }
  const Drive* drive = PresentDrive(full);
  if (drive == nullptr) return Fail(kErrorPathNotFound);
  if (!drive->ready) return Fail(kErrorNotReady);

  const std::size_t slash = full.rfind(u'\\');
  const std::u16string parent = Key(full.substr(0, slash));
  const std::u16string name = Key(full.substr(slash + 1));
  if (HasWildcard(parent)) return Fail(kErrorInvalidName);
  if (!FolderExists(parent)) return Fail(kErrorPathNotFound);
  if (name.empty()) return Fail(kErrorFileNotFound);  // a trailing backslash: no name

  bool found = false;
  if (HasWildcard(name)) {
    // As in a listing: the entries of the folder, with "." and ".." below the root.
    const std::u16string pattern = name == u"*.*" ? std::u16string(u"*") : name;
    auto visit = [&](const std::u16string& key) {
      if (key.size() <= parent.size() + 1 || key.compare(0, parent.size(), parent) != 0 ||
          key[parent.size()] != u'\\') {
        return;
      }
      const std::u16string child = key.substr(parent.size() + 1);
      if (child.find(u'\\') == std::u16string::npos && Matches(pattern.c_str(), child.c_str())) {
        found = true;
      }
    };
    for (const auto& entry : files_) visit(entry.first);
    for (const auto& folder : folders_) visit(folder);
    if (parent.size() > 2) {
      found = found || Matches(pattern.c_str(), u".") || Matches(pattern.c_str(), u"..");
    }
  } else {
    found = EntryExists(Key(full));
  }
  if (!found) return Fail(kErrorFileNotFound);
  kernel_.lastError = 0;
  os::SearchResult result{true, 0, 0, 0};
  const std::u16string key = Key(full);
  if (links_.count(key) != 0) result.attributes = os::kAttributeReparsePoint;
  if (auto size = sizes_.find(key); size != sizes_.end()) {
    result.size = size->second;
  } else if (auto file = files_.find(key); file != files_.end()) {
    result.size = file->second->size();
  }
  return result;
}

std::FILE* FakeTokenPlatform::OpenForRead(const char16_t* path) {
  const std::u16string full = ExpandShortNames(Normalize(path));
  NoteLinks(full, true);
  const Drive* drive = PresentDrive(full);
  auto it = files_.find(Key(full));
  if (drive == nullptr || !drive->ready || it == files_.end()) {
    errno = (drive != nullptr && folders_.count(Key(full)) != 0) ? EACCES : ENOENT;
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
  const std::u16string full = Normalize(path);
  const std::size_t slash = full.rfind(u'\\');
  if (PresentDrive(full) == nullptr || slash == std::u16string::npos ||
      !FolderExists(Key(full.substr(0, slash)))) {
    return nullptr;
  }
  auto bytes = std::make_shared<std::string>();
  files_[Key(full)] = bytes;
  return std::make_unique<FakeSink>(bytes);
}

// --- processes, pauses, resolution ----------------------------------------------------------

// A child's handle is its start's number plus one.
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
  const ProcessStart* process = nullptr;
  if (child != nullptr) {
    const auto number = reinterpret_cast<std::uintptr_t>(child) - 1;
    EXPECT_LT(number, starts.size());
    EXPECT_FALSE(starts[number].closed) << "a wait on a closed child";
    process = &starts[number];
  }
  std::uint64_t until = milliseconds == 0xFFFFFFFF ? kNeverEnds : kernel_.now() + milliseconds;
  if (process != nullptr && process->end < until) until = process->end;
  if (process != nullptr && process->end <= kernel_.now()) return os::WaitResult::kChildEnded;
  if (stop != nullptr && kernel_.IsSignalled(stop)) return os::WaitResult::kStopped;
  if (until == kNeverEnds && kernel_.idle()) {
    ADD_FAILURE() << "a wait that nothing can end";
    return os::WaitResult::kFailed;
  }
  const bool stopped = kernel_.WaitUntil(until, stop);
  if (process != nullptr && process->end <= kernel_.now()) return os::WaitResult::kChildEnded;
  return stopped ? os::WaitResult::kStopped : os::WaitResult::kTimedOut;
}

void FakeTokenPlatform::CloseProcess(os::Handle child) {
  const auto number = reinterpret_cast<std::uintptr_t>(child) - 1;
  EXPECT_LT(number, starts.size());
  EXPECT_FALSE(starts[number].closed) << "a child handle closed twice";
  starts[number].closed = true;
}

void FakeTokenPlatform::Sleep(std::uint32_t milliseconds) {
  sleeps.push_back(milliseconds);
  kernel_.Advance(milliseconds);
}

std::size_t FakeTokenPlatform::openProcesses() const {
  std::size_t open = 0;
  for (const ProcessStart& start : starts) open += start.closed ? 0 : 1;
  return open;
}

std::u16string FakeTokenPlatform::FullPathName(const char16_t* path) {
  std::u16string full = Normalize(path);
  if (full.empty()) kernel_.lastError = kErrorInvalidName;
  return full;
}

void FakeTokenPlatform::AddShortName(const std::u16string& shortPath,
                                     const std::u16string& longPath) {
  shortNames_[Key(shortPath)] = longPath;
}

std::u16string FakeTokenPlatform::LongPathName(const char16_t* path) {
  const std::u16string given = path;
  const Drive* drive = PresentDrive(given);
  if (drive == nullptr || !drive->ready || HasWildcard(given)) {
    kernel_.lastError = kErrorPathNotFound;
    return {};
  }
  const std::u16string result = ExpandShortNames(given);
  const std::u16string key = Key(Normalize(result));
  const std::u16string bare =
      (!key.empty() && key.back() == u'\\') ? key.substr(0, key.size() - 1) : key;
  if (!(bare.size() == 2 || EntryExists(bare))) {
    kernel_.lastError = kErrorFileNotFound;
    return {};
  }
  return result;
}

}  // namespace kvn::fake
