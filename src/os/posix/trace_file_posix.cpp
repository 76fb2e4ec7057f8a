#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "os/host.h"
#include "os/posix/utf8_path.h"

namespace kvn::os {

namespace {

class PosixFile final : public ByteSink {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  bool Write(const char* bytes, std::size_t count) override {
    while (count > 0) {
      const ssize_t n = ::write(fd_, bytes, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      count -= static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

// The same rule as on Windows: no link as the folder or the file, no second name for the
// file, and the file emptied only after it passed.
std::unique_ptr<ByteSink> OpenHostTraceFile(const char16_t* path) {
  const std::string file = Utf8FromUtf16(path);
  const std::size_t slash = file.find_last_of('/');
  struct stat info;
  if (slash != std::string::npos && slash > 0 &&
      (::lstat(file.substr(0, slash).c_str(), &info) != 0 || S_ISLNK(info.st_mode))) {
    return nullptr;
  }
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  auto sink = std::make_unique<PosixFile>(fd);
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
      ::ftruncate(fd, 0) != 0) {
    return nullptr;
  }
  return sink;
}

}  // namespace kvn::os
