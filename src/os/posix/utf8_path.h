// POSIX stand-ins take wide Windows-style paths; the host wants UTF-8.
#pragma once

#include <string>

namespace kvn::os {

// UTF-16 (zero-terminated) to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8FromUtf16(const char16_t* text);

}  // namespace kvn::os
