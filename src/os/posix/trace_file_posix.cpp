#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

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

std::unique_ptr<ByteSink> OpenHostTraceFile(const char16_t* path) {
  const int fd =
      ::open(Utf8FromUtf16(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixFile>(fd);
}

}  // namespace kvn::os
