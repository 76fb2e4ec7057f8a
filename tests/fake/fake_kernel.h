// The shared heart of the fake Windows: a virtual clock with scripted actions, event objects,
// and the thread's last-error code. Both halves of the fake run on it, so a test can, say,
// pull the stick at 7 s and send a stop at 12 s.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "os/handle.h"

namespace kvn::fake {

// Text as a recorded line shows it: ASCII as is, line feeds as "\n", other units as \uXXXX.
inline std::string Show(std::u16string_view text) {
  std::string out;
  for (const char16_t unit : text) {
    char escaped[16];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
    out += unit == u'\n' ? "\\n" : unit < 0x80 ? std::string(1, static_cast<char>(unit)) : escaped;
  }
  return out;
}
inline std::string Show(const char16_t* text) { return Show(std::u16string_view(text)); }
inline std::string Show(std::string_view text) { return std::string(text); }  // as it is
inline std::string Show(const char* text) { return text; }
inline std::string Show(std::uint64_t number) { return std::to_string(number); }
inline std::string Show(const void* handle) {
  return Show(reinterpret_cast<std::uintptr_t>(handle));
}

// Thrown by every call a process makes once it has ended itself (EndThisProcess), so that the
// core's frames unwind where a real process would simply be gone. Calls that only release
// something are no-ops then: they run in destructors.
struct ProcessEnded {};

class FakeKernel {
 public:
  std::uint64_t now() const { return now_; }  // virtual ms since the test began

  // Runs `action` when the clock reaches `time` (during WaitUntil), in the order added.
  void At(std::uint64_t time, std::function<void()> action) {
    actions_.emplace(std::make_pair(time, sequence_++), std::move(action));
  }
  // Advances the clock to `until`, running due actions on the way. Stops early, and returns
  // true, as soon as `stop` (null: nothing) is signalled.
  // A process that ends itself during an action ends the wait with ProcessEnded.
  bool WaitUntil(std::uint64_t until, os::Handle stop) {
    for (;;) {
      Alive();
      if (stop != nullptr && IsSignalled(stop)) return true;
      if (actions_.empty() || actions_.begin()->first.first > until) break;
      auto action = std::move(actions_.begin()->second);
      now_ = std::max(now_, actions_.begin()->first.first);
      actions_.erase(actions_.begin());
      struct InAction {
        explicit InAction(int& depth) : depth_(++depth) {}
        ~InAction() { --depth_; }
        int& depth_;
      } const inAction(inAction_);
      action();
    }
    now_ = std::max(now_, until);
    return false;
  }
  // A sleep. One made inside an action stands for another thread (a control handler) that
  // sleeps while the watch cycle goes on: the clock is the cycle's, and does not move for it.
  void Advance(std::uint64_t milliseconds) {
    if (inAction_ == 0) WaitUntil(now_ + milliseconds, nullptr);
  }
  bool idle() const { return actions_.empty(); }  // no action is left to run

  // For a call that fails: sets the last error and gives back `result`.
  template <typename T>
  T Fail(std::uint32_t error, T result) {
    lastError = error;
    return result;
  }

  // Event objects (manual reset). Setting one that is closed or never made is counted instead.
  os::Handle CreateEvent() {
    events_[nextHandle_ += 4] = false;
    return reinterpret_cast<os::Handle>(nextHandle_);
  }
  void SetEvent(os::Handle event) {
    const auto it = events_.find(Id(event));
    if (it == events_.end()) {
      ++closedSignals;
    } else {
      it->second = true;
    }
  }
  bool IsSignalled(os::Handle event) const {
    auto it = events_.find(Id(event));
    return it != events_.end() && it->second;
  }
  void CloseHandle(os::Handle handle) { events_.erase(Id(handle)); }
  std::size_t openEvents() const { return events_.size(); }

  int closedSignals = 0;
  std::uint32_t lastError = 0;
  // Whether the process has ended itself, and its exit code.
  bool ended = false;
  std::uint32_t exitCode = 0;
  void Alive() const {
    if (ended) throw ProcessEnded{};
  }

 private:
  static std::uintptr_t Id(os::Handle handle) { return reinterpret_cast<std::uintptr_t>(handle); }

  std::uint64_t now_ = 0;
  int inAction_ = 0;
  std::uint64_t sequence_ = 0;
  std::multimap<std::pair<std::uint64_t, std::uint64_t>, std::function<void()>> actions_;
  std::map<std::uintptr_t, bool> events_;
  std::uintptr_t nextHandle_ = 0xFC;
};

}  // namespace kvn::fake
