#include <array>

#include "os/host.h"

namespace kvn::os {

namespace {

// Windows-1252, the ANSI code page of a western Windows. It is Latin-1 except for
// 0x80..0x9F; there the five bytes the code page leaves undefined (0x81, 0x8D, 0x8F, 0x90,
// 0x9D) become the control unit of the same number, as MultiByteToWideChar makes them.
constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98
};

constexpr std::array<char16_t, 256> MakeWindows1252() {
  std::array<char16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    table[byte] =
        (byte >= 0x80 && byte < 0xA0) ? kWindows1252High[byte - 0x80] : static_cast<char16_t>(byte);
  }
  return table;
}

constexpr std::array<char16_t, 256> kWindows1252 = MakeWindows1252();

}  // namespace

// One unit per byte, so the size query is the byte count, and every byte has a unit.
int AnsiToUtf16(const char* bytes, int count, char16_t* dest, int destCount) {
  if (bytes == nullptr || count <= 0) return 0;
  if (dest == nullptr) return count;
  if (destCount < count) return 0;  // like ERROR_INSUFFICIENT_BUFFER: nothing is converted
  for (int i = 0; i < count; ++i) dest[i] = kWindows1252[static_cast<unsigned char>(bytes[i])];
  return count;
}

}  // namespace kvn::os
