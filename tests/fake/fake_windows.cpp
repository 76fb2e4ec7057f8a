#include "fake/fake_windows.h"

#include "common/process_state.h"

namespace kvn::fake {

// Wide text as transcripts show it: ASCII as is, line feeds as "\n", others as \uXXXX.
std::string Show(std::u16string_view text) {
  std::string out;
  for (const char16_t unit : text) {
    if (unit == u'\n') {
      out += "\\n";
    } else if (unit < 0x80) {
      out += static_cast<char>(unit);
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
    }
  }
  return out;
}

void ResetProcessState() { process.Reset(); }

FakeWindows::FakeWindows() {
  ResetProcessState();
  process.serviceOs = &service;
  process.tokenOs = &token;
}

FakeWindows::~FakeWindows() {
  process.serviceOs = nullptr;
  process.tokenOs = nullptr;
  ResetProcessState();
}

}  // namespace kvn::fake
