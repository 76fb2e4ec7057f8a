// Helpers for the zero-terminated UTF-16 strings and fixed character arrays of the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvn {

// Units before the terminator.
std::size_t Length(const char16_t* text);

// Copies `source` into `dest` (room for `capacity` units, terminator included) and
// terminates it. When `source` does not fit, `dest` receives as much as fits and the result
// is false. A capacity of 0 copies nothing and returns false.
bool CopyBounded(char16_t* dest, std::size_t capacity, std::u16string_view source);

template <std::size_t N>
bool CopyBounded(char16_t (&dest)[N], std::u16string_view source) {
  return CopyBounded(dest, N, source);
}

// An unsigned decimal number, such as "4294967295".
std::u16string Decimal(std::uint64_t value);

// Maps A..Z onto a..z and leaves every other unit alone.
constexpr char16_t AsciiLower(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}

// Compares like _wcsicmp in the C locale: units lowered by AsciiLower, compared as unsigned
// 16-bit numbers; a string that ends first sorts first. Negative, zero or positive.
int CompareNoCase(const char16_t* a, const char16_t* b);
// Whether the two are equal when lowered by AsciiLower.
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace kvn
