#include "service/stop_watchdog.h"

#include "common/process_state.h"
#include "common/strings.h"
#include "service/service_host.h"
#include "service/service_state.h"

namespace kvn::service {

namespace {

// On a thread of the system's, once the deadline has passed. The cycle clears its stop event
// as it ends; from then on its own end reports.
void StopOverdue() noexcept {
  try {
    if (process.stopEvent.load() == nullptr) return;
    WriteEvent(
        {events::kStopForced, {Decimal((process.stopWaitLimit.load() + kStopGrace) / 1000)}});
    ReportStopped();
    ServiceOs().EndThisProcess(process.debugMode ? kNoError : StopExitCode());
  } catch (...) {
  }
}

}  // namespace

void ArmStopWatchdog() {
  if (process.watchdogArmed.exchange(true)) return;
  ServiceOs().StartTimer(process.stopWaitLimit.load() + kStopGrace, &StopOverdue);
}

}  // namespace kvn::service
