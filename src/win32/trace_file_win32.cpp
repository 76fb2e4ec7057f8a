#include "os/host.h"
#include "win32/win32.h"

namespace kvn::os {

namespace {

class Win32File final : public ByteSink {
 public:
  explicit Win32File(HANDLE file) : file_(file) {}
  ~Win32File() override { ::CloseHandle(file_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  bool Write(const char* bytes, std::size_t count) override {
    while (count > 0) {
      const DWORD chunk = count > 0x10000000 ? 0x10000000 : static_cast<DWORD>(count);
      DWORD written = 0;
      if (!::WriteFile(file_, bytes, chunk, &written, nullptr) || written == 0) return false;
      bytes += written;
      count -= written;
    }
    return true;
  }

 private:
  HANDLE file_;
};

}  // namespace

std::unique_ptr<ByteSink> OpenHostTraceFile(const char16_t* path) {
  // Created or emptied, and shared deny-none (_SH_DENYNO: read and write) so that others may
  // read, and write, the log while the watcher holds it.
  const HANDLE file =
      ::CreateFileW(win32::AsWide(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32File>(file);
}

}  // namespace kvn::os
