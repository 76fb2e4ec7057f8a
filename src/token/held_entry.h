// A file or folder opened as itself (TokenPlatform::OpenEntry), closed when this goes. While
// it is open the entry cannot be renamed, deleted or replaced by a link. Move-only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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

// What opening one entry as itself found.
struct EntryLook {
  enum Outcome {
    kRead,        // opened and read: `info` holds what it is
    kNotThere,    // the system said it is not there
    kUnreadable,  // any other answer, with its code in `error`: it may well be there
  };
  Outcome outcome = kUnreadable;
  std::uint32_t error = 0;
  // Its attributes, size and time as its handle reports them; a reparse point that only the
  // search of its folder shows (Wine lists a linked folder so, and shows it through no handle)
  // counts as one, with the tag the search gives.
  os::EntryInfo info;
};

// Opens `path` as itself, reads what the handle reports and, unless `path` is a drive root
// ("X:\"), what a search lists for it. An entry that was opened is added to `held`.
EntryLook LookAt(os::TokenPlatform& platform, const std::u16string& path,
                 std::vector<HeldEntry>& held);

}  // namespace kvn
