#pragma once

namespace kvn {

// The process-wide debug switch: set by the -debug command before anything else is built,
// never changed afterwards. While set, nothing is reported to the service control manager
// or the event log, and the token watcher writes its trace log.
extern bool debugMode;

}  // namespace kvn
