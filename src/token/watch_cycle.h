// The worker of the system: builds the token watcher, completes the service start and runs
// the watch cycle (find, mount, watch, dismount) until the stop event is signalled.
#pragma once

namespace kvn {

// Runs on the service thread (called by ServiceMain after its first start report) or, in
// debug mode, on the main thread. Returns when the start fails, or once the stop event has
// been signalled: at the pause that sees it, after dismounting a container mounted in that
// turn. On return the stop event is closed and cleared and the watcher destroyed.
void RunWatcher();

}  // namespace kvn
