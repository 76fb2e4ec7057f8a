// The stop's last resort. The watch cycle ends a stop by itself within the stop's budget
// (process.stopWaitLimit), unless it is held in a call that does not return: an open that a
// driver keeps waiting, a device that does not answer. The first stop request arms a timer;
// when the budget and kStopGrace have passed and the cycle has still not ended, the service
// writes event 1301, reports stopped and ends its process. A volume that may still be open
// keeps its mount record, which the next start closes.
#pragma once

namespace kvn::service {

// Arms the timer, once per process. Called by the handlers that request a stop, after the
// stop's budget is set and before they signal the event.
void ArmStopWatchdog();

}  // namespace kvn::service
