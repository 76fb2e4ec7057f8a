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
    if (token.waits.stopRequested) return;
    if (!token.tokenPresent) {
      // Nothing accepted: nothing to mount, watch or dismount this turn.
      if (token.waits.Pause(kIdlePauseMilliseconds)) return;
      continue;
    }
    try {
      // A mount that could not start is tried again by the next scan, with the stick judged
      // afresh.
      if (!token.OpenContainer()) continue;
      token.CheckToken();
    } catch (...) {
      // Whatever failed once the mount had started, the container does not outlive the cycle.
      if (token.mountStarted()) token.CloseContainer();
      throw;
    }
    // Also after a stop inside the watch: a container mounted in this turn is dismounted
    // (and waited for) before the cycle ends.
    token.CloseContainer();
    if (token.waits.stopRequested) return;
  }
}

// Closes the stop event however the cycle ends; cleared before it is closed, so that
// neither control handler signals a closed handle.
struct StopEventCloser {
  ~StopEventCloser() { service::CloseStopEvent(); }
};

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
  const StopEventCloser closer;
  // A stop that waits for a hung tool keeps the service control manager informed.
  token.waits.reportStopProgress = [](std::uint32_t waitHint) {
    service::ReportStatus(service::kServiceStopPending, service::kNoError, waitHint);
  };
  if (!service::ReportStatus(service::kServiceRunning, service::kNoError, 0)) return;
  token.reportEvent = service::WriteEvent;
  service::WriteEvent({events::kServiceStarted, {service::kVersion}});
  token.ReadMountRecord();
  WatchUntilStopped(token);
  service::WriteEvent({events::kServiceStopped, {service::kVersion}});
}

}  // namespace kvn
