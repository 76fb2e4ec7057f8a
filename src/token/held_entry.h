// A file or folder opened as itself (TokenPlatform::OpenEntry), closed when this goes. While
// it is open the entry cannot be renamed, deleted or replaced by a link. Move-only.
#pragma once

#include <utility>

#include "os/token_platform.h"

namespace kvn {

class HeldEntry {
 public:
  HeldEntry(os::TokenPlatform& platform, const char16_t* path)
      : platform_(&platform), handle_(platform.OpenEntry(path)) {}
  ~HeldEntry() {
    if (handle_ != nullptr) platform_->CloseEntry(handle_);
  }
  HeldEntry(HeldEntry&& other) noexcept
      : platform_(other.platform_), handle_(std::exchange(other.handle_, nullptr)) {}
  HeldEntry& operator=(HeldEntry&& other) noexcept {
    std::swap(platform_, other.platform_);
    std::swap(handle_, other.handle_);
    return *this;
  }
  HeldEntry(const HeldEntry&) = delete;
  HeldEntry& operator=(const HeldEntry&) = delete;

  // Null when the open failed.
  os::Handle get() const { return handle_; }

 private:
  os::TokenPlatform* platform_;
  os::Handle handle_;
};

}  // namespace kvn
