// The one owner of every kind of handle: move-only, released on every path out of its scope.
// A traits type names the handle's type, its "none" value and how it is released:
//
//   struct Traits {
//     using Value = ...;
//     static Value Invalid();
//     static void Close(Value value);  // called for a valid value only
//   };
#pragma once

#include <utility>

namespace kvn {

template <typename Traits>
class ScopedHandle {
 public:
  using Value = typename Traits::Value;

  ScopedHandle() = default;
  explicit ScopedHandle(Value value) : value_(value) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(ScopedHandle&& other) noexcept : value_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      value_ = other.Release();
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  Value get() const { return value_; }
  bool valid() const { return value_ != Traits::Invalid(); }
  // For a call that returns the handle through a pointer: releases the current one first.
  Value* receive() {
    Reset();
    return &value_;
  }
  Value Release() { return std::exchange(value_, Traits::Invalid()); }
  void Reset() {
    if (valid()) Traits::Close(Release());
  }

 private:
  Value value_ = Traits::Invalid();
};

}  // namespace kvn
