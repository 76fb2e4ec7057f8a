#include "rules/event_text.h"

namespace kvn {

namespace {

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }
bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Characters that change how the text around them reads, or do not show at all.
bool Reorders(char16_t unit) {
  return unit == 0x061C || (unit >= 0x200B && unit <= 0x200F) ||
         (unit >= 0x202A && unit <= 0x202E) || (unit >= 0x2060 && unit <= 0x2069) || unit == 0xFEFF;
}

void AppendEscape(std::u16string& out, char16_t unit) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  const bool wide = unit > 0xFF;
  out += wide ? u"\\u" : u"\\x";
  for (int shift = wide ? 12 : 4; shift >= 0; shift -= 4) out += kDigits[(unit >> shift) & 0xF];
}

}  // namespace

std::u16string InertEventText(std::u16string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool paired =
        (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ||
        (IsLowSurrogate(unit) && i > 0 && IsHighSurrogate(text[i - 1]));
    if (unit == u'%' || unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) ||
        (IsSurrogate(unit) && !paired) || Reorders(unit)) {
      AppendEscape(out, unit);
    } else {
      out += unit;
    }
  }
  if (out.size() > kMaxEventText) {
    out.resize(kMaxEventText - 3);
    if (IsHighSurrogate(out.back())) out.pop_back();  // no half of a pair at the cut
    out += u"...";
  }
  return out;
}

}  // namespace kvn
