#include "token/watch_cycle.h"

#include "service/service_host.h"
#include "service/service_state.h"
#include "token/secure_token.h"

namespace kvn {

namespace {

constexpr std::uint32_t kStartWaitHint = 3000;
// The pause before the next scan when a scan found no drives at all.
constexpr std::uint32_t kIdlePauseMilliseconds = 2000;

// The cycle proper; returns once a stop has been requested.
void WatchUntilStopped(SecureToken& token) {
  for (;;) {
    token.FindToken();
    if (token.stopRequested) return;
    if (!token.tokenPresent) {
      // Nothing accepted: nothing to mount, watch or dismount this turn.
      if (service::TokenOs().Pause(kIdlePauseMilliseconds)) return;
      continue;
    }
    token.OpenContainer();
    token.CheckToken();
    // Also after a stop inside the watch: a container mounted in this turn is dismounted
    // (and waited for) before the cycle ends.
    token.CloseContainer();
    if (token.stopRequested) return;
  }
}

}  // namespace

void RunWatcher() {
  SecureToken token(service::TokenOs());
  if (!service::ReportStatus(service::kServiceStartPending, service::kNoError, kStartWaitHint)) {
    return;
  }
  // Created before the running report, the first that accepts the stop control, so a stop
  // always finds the event.
  const os::Handle event = service::ServiceOs().CreateEvent();
  if (event == nullptr) return;
  service::PublishStopEvent(event);
  if (service::ReportStatus(service::kServiceRunning, service::kNoError, 0)) {
    WatchUntilStopped(token);
  }
  // Cleared before it is closed, so that neither control handler signals a closed handle.
  service::CloseStopEvent();
}

}  // namespace kvn
