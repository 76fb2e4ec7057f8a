// What text may reach the event log. Event Viewer expands "%%n" in an insertion string into
// parameter message n, so a value from a stick could make an event say something else, and a
// line break or a bidirectional override could make it read otherwise. Each rule is pure.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kvn {

// The longest insertion string written, escapes included; a longer one is cut and ends in "...".
inline constexpr std::size_t kMaxEventText = 512;

// `text` with every "%", control character (C0, DEL, C1), unpaired surrogate and character that
// reorders or hides text (bidirectional controls, zero-width characters) shown as a visible
// escape: "\x25" for "%", "\x0d" for a carriage return, "\u202e" and so on. Everything else, the
// backslashes of a path included, stands as it is.
std::u16string InertEventText(std::u16string_view text);

}  // namespace kvn
