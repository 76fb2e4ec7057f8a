#include "token/child_waits.h"

#include <algorithm>

#include "common/process_state.h"
#include "common/strings.h"

namespace kvn {

ChildEnd EndOf(os::TokenPlatform& platform, os::Handle child) {
  std::uint32_t code{};  // meaningful only once the call has answered
  if (!platform.ChildExitCode(child, code)) return {};
  return {Decimal(code), code == 0};
}

bool ChildWaits::Pause(std::uint32_t milliseconds) {
  switch (platform_.Wait(nullptr, process.stopEvent.load(), milliseconds)) {
    case os::WaitResult::kStopped:
      stopRequested = true;
      return true;
    case os::WaitResult::kFailed:
      platform_.Sleep(milliseconds);
      return false;
    default:
      return false;
  }
}

ChildWaits::End ChildWaits::WaitFor(os::Handle child, std::uint32_t limit) {
  if (!stopRequested) {
    switch (platform_.Wait(child, process.stopEvent.load(), limit)) {
      case os::WaitResult::kStopped:
        stopRequested = true;
        break;
      case os::WaitResult::kTimedOut:
        return End::kLimit;
      default:
        return End::kEnded;
    }
  }
  for (std::uint32_t slice = 0;;) {  // the first look does not wait
    if (platform_.Wait(child, nullptr, slice) != os::WaitResult::kTimedOut) return End::kEnded;
    const std::uint32_t budget = process.stopWaitLimit.load();
    if (stopWaited_ >= budget) return End::kBudget;
    slice = std::min(budget - stopWaited_, kStopReportInterval);
    stopWaited_ += slice;
    if (reportStopProgress) reportStopProgress(2 * kStopReportInterval);
  }
}

}  // namespace kvn
