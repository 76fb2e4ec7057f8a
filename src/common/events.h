// The events the service writes to the Application log under the source "Kelvarn", one for each
// thing that happened. An ID means one thing for good: administrators filter and forward by
// it. The texts are in the message table of kelvarn.exe (src/win32/messages.mc) under the same
// numbers, with %1, %2, ... standing for the strings listed here. No string ever holds the
// contents of a file; paths are fine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvn {

// The levels as ReportEventW takes them (EVENTLOG_ERROR_TYPE, _WARNING_TYPE, _INFORMATION_TYPE).
enum class EventLevel : std::uint16_t { kError = 1, kWarning = 2, kInformation = 4 };

struct EventKind {
  std::uint32_t id;
  EventLevel level;
};

namespace events {
constexpr EventLevel kInfo = EventLevel::kInformation;
constexpr EventLevel kWarn = EventLevel::kWarning;
constexpr EventLevel kError = EventLevel::kError;
// The strings of each, in order:
inline constexpr EventKind kServiceStarted{1000, kInfo};    // version
inline constexpr EventKind kServiceStopped{1001, kInfo};    // version
inline constexpr EventKind kStickAccepted{1100, kInfo};     // stick, container, letter, program
inline constexpr EventKind kMountNotStarted{1101, kError};  // program, system error code
inline constexpr EventKind kMountEnded{1102, kInfo};        // container, letter, exit code
inline constexpr EventKind kMountFailed{1103, kWarn};       // container, letter, exit code
// The refusals also carry, last, how many at that letter were left out ("" for none).
inline constexpr EventKind kStickRefused{1104, kWarn};             // stick, reason (the trace line)
inline constexpr EventKind kTargetInUse{1105, kWarn};              // stick, letter
inline constexpr EventKind kMountEndedByService{1106, kWarn};      // container, letter, seconds
inline constexpr EventKind kStickPulled{1200, kInfo};              // stick, container
inline constexpr EventKind kDismountEnded{1201, kInfo};            // exit code
inline constexpr EventKind kDismountFailed{1202, kWarn};           // exit code
inline constexpr EventKind kDismountNotStarted{1203, kError};      // program, system error code
inline constexpr EventKind kDismountEndedByService{1204, kError};  // program, seconds
inline constexpr EventKind kDismountHeldUp{1205, kError};          // program, seconds
inline constexpr EventKind kStopLeftTool{1300, kError};            // program, seconds waited
inline constexpr EventKind kStopForced{1301, kError};              // seconds since the stop request
inline constexpr EventKind kLeftoverDismounted{1400, kWarn};       // container, letter
inline constexpr EventKind kRecordCleared{1401, kWarn};            // the record as read
inline constexpr EventKind kPolicyEntryIgnored{1500, kWarn};       // entry, why
}  // namespace events

struct Event {
  EventKind kind;
  std::vector<std::u16string> strings;
};

}  // namespace kvn
