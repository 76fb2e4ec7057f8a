// How the watch cycle waits: its pauses, which a stop ends at once, and its waits for the
// tool's children, each within a limit of its own until a stop is requested and, after that,
// within the stop's budget, one for every child together. Used by the thread of the watch cycle
// alone.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "os/token_platform.h"

namespace kvn {

// While a stop waits for a child, progress is reported at least this often.
inline constexpr std::uint32_t kStopReportInterval = 2000;  // ms

// How a child that has ended ended: its exit code as text ("unknown" when it cannot be read),
// and whether that is 0.
struct ChildEnd {
  std::u16string code = u"unknown";
  bool success = false;
};
ChildEnd EndOf(os::TokenPlatform& platform, os::Handle child);

class ChildWaits {
 public:
  enum class End {
    kEnded,   // the child has ended, or its wait failed (nothing hangs on a wait that fails)
    kLimit,   // it still runs at the wait's own limit
    kBudget,  // it still runs, and the stop's budget is spent
  };

  explicit ChildWaits(os::TokenPlatform& platform) : platform_(platform) {}

  // Waits `milliseconds`, or less when the stop event is signalled; true, with stopRequested
  // set, when a stop ended it. A wait that fails still pauses: a cycle that stopped pausing
  // would spin at full speed.
  bool Pause(std::uint32_t milliseconds);
  // Waits for `child` to end: at most `limit` ms until a stop is requested, then at most what
  // is left of the stop's budget (process.stopWaitLimit), in slices, each announced through
  // reportStopProgress.
  End WaitFor(os::Handle child, std::uint32_t limit);
  // Whole seconds that a stop has waited for children.
  std::uint32_t secondsWaited() const { return stopWaited_ / 1000; }

  // Set when a pause or a wait ended because a stop was requested.
  bool stopRequested = false;
  // Called while a stop waits for a child, before each wait of at most kStopReportInterval ms,
  // with a hint (ms) that reaches past the next call. May be empty.
  std::function<void(std::uint32_t waitHint)> reportStopProgress;

 private:
  os::TokenPlatform& platform_;
  std::uint32_t stopWaited_ = 0;  // ms
};

}  // namespace kvn
