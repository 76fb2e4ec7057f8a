// The shared heart of the in-memory fake Windows: a virtual clock with scripted actions,
// event objects, and the thread's last-error code. The token and service halves of the fake
// both run on it, so a test can, say, pull the stick at 7 s and send a stop at 12 s.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>

#include "os/handle.h"

namespace kvn::fake {

class FakeKernel {
 public:
  // Virtual milliseconds since the test began.
  std::uint64_t now() const { return now_; }

  // Runs `action` when the clock reaches `time` (during a WaitUntil or Advance). Actions at the
  // same time run in the order they were added.
  void At(std::uint64_t time, std::function<void()> action);
  // Runs `action` `delay` ms from now.
  void After(std::uint64_t delay, std::function<void()> action) { At(now_ + delay, action); }

  // Advances the clock to `until`, running due actions on the way. Stops early, and returns
  // true, as soon as `stop` (null: nothing) is signalled.
  bool WaitUntil(std::uint64_t until, os::Handle stop);
  // True when no action is left to run.
  bool idle() const { return actions_.empty(); }
  // Advances the clock unconditionally.
  void Advance(std::uint64_t milliseconds);

  // Event objects (manual reset).
  os::Handle CreateEvent();
  void SetEvent(os::Handle event);
  bool IsSignalled(os::Handle event) const;
  bool CloseHandle(os::Handle handle);
  std::size_t openEvents() const { return events_.size(); }

  std::uint32_t lastError = 0;

 private:
  // Runs the actions due up to `until`; stops after the action that signalled `stop` (null:
  // nothing) and returns true.
  bool RunDue(std::uint64_t until, os::Handle stop);

  std::uint64_t now_ = 0;
  std::uint64_t sequence_ = 0;
  std::multimap<std::pair<std::uint64_t, std::uint64_t>, std::function<void()>> actions_;
  std::map<std::uintptr_t, bool> events_;
  std::uintptr_t nextHandle_ = 0x100;
};

}  // namespace kvn::fake
