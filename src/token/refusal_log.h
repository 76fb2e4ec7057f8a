// Which refusals of a stick reach the event log. A stick refused pass after pass for the same
// reason, with the same kvn.ini on the same volume, is written once; one refused afresh
// (another reason, another kvn.ini, plugged in again) is written again. But a drive letter
// writes at most one refusal a minute, whatever its sticks do: the next one written says how many
// were left out, and one that still stands once the minute is over is written then. Used by the
// thread of the watch cycle alone.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "token/volume_identity.h"

namespace kvn {

// What a check knew of the kvn.ini it read: its volume, size and time stamp.
struct ConfigStamp {
  VolumeIdentity volume;
  std::uint64_t size = 0;
  std::uint64_t lastWrite = 0;
  bool operator==(const ConfigStamp& o) const {
    return volume == o.volume && size == o.size && lastWrite == o.lastWrite;
  }
  bool operator!=(const ConfigStamp& o) const { return !(*this == o); }
};

// A drive letter writes at most one refusal in this time.
inline constexpr std::uint64_t kRefusalInterval = 60000;  // ms

class RefusalLog {
 public:
  // A scan pass begins: a stick refused in the pass before and not in this one is refused
  // afresh next time.
  void StartPass() { lastPass_ = std::exchange(thisPass_, {}); }
  // The stick at `letter` is refused for `reason`, at `now` (ms): whether to write it, and then
  // in `leftOut` how many refusals at that letter were left out since the last one written.
  bool Admit(char16_t letter, const ConfigStamp& stamp, const std::u16string& reason,
             std::uint64_t now, std::uint64_t& leftOut);

 private:
  using Refusal = std::pair<ConfigStamp, std::u16string>;
  struct Written {
    bool ever = false;
    std::uint64_t at = 0;       // ms
    std::uint64_t leftOut = 0;  // since then
  };
  std::map<char16_t, Refusal> thisPass_, lastPass_;
  std::map<char16_t, Written> written_;
};

}  // namespace kvn
