#include "common/process_state.h"

namespace kvn {

ProcessState process;

void ProcessState::Reset() {
  debugMode = false;
  serviceStatus = os::ServiceStatus{};
  statusHandle = nullptr;
  stopEvent = nullptr;
  lastServiceError = 0;
  stopWaitLimit = kStopWaitLimit;
  stopAsked = false;
  preshutdownWaitLimit = 0;
  watchdogArmed = false;
  checkPoint = 1;
  errorText[0] = u'\0';
}

}  // namespace kvn
