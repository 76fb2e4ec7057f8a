#include "token/refusal_log.h"

namespace kvn {

bool RefusalLog::Admit(char16_t letter, const ConfigStamp& stamp, const std::u16string& reason,
                       std::uint64_t now, std::uint64_t& leftOut) {
  Refusal refusal{stamp, reason};
  const auto last = lastPass_.find(letter);
  const bool again = last != lastPass_.end() && last->second == refusal;
  thisPass_[letter] = std::move(refusal);
  Written& written = written_[letter];
  if (written.ever && now - written.at < kRefusalInterval) {
    if (!again) ++written.leftOut;
    return false;
  }
  if (again && written.leftOut == 0) return false;
  leftOut = std::exchange(written.leftOut, 0);
  written.ever = true;
  written.at = now;
  return true;
}

}  // namespace kvn
