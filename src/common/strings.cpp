#include "common/strings.h"

#include <algorithm>

namespace kvn {

std::size_t Length(const char16_t* text) {
  std::size_t n = 0;
  while (text[n] != u'\0') ++n;
  return n;
}

bool CopyBounded(char16_t* dest, std::size_t capacity, std::u16string_view source) {
  if (capacity == 0) return false;
  const bool fits = source.size() < capacity;
  const std::size_t count = fits ? source.size() : capacity - 1;
  source.copy(dest, count);
  dest[count] = u'\0';
  return fits;
}

std::u16string Decimal(std::uint64_t value) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value != 0);
  return digits;
}

int CompareNoCase(const char16_t* a, const char16_t* b) {
  for (;; ++a, ++b) {
    const int x = AsciiLower(*a);
    const int y = AsciiLower(*b);
    if (x != y || x == 0) return x - y;
  }
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char16_t x, char16_t y) { return AsciiLower(x) == AsciiLower(y); });
}

}  // namespace kvn
