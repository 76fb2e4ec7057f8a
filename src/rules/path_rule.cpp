#include "rules/path_rule.h"

#include <algorithm>

#include "common/strings.h"
#include "os/token_platform.h"

namespace kvn {

namespace {

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

bool IsDriveLetter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

bool IsDeviceDigit(char16_t unit) {
  return (unit >= u'1' && unit <= u'9') || unit == u'\u00b9' || unit == u'\u00b2' ||
         unit == u'\u00b3';
}

}  // namespace

const char* DriveAbsoluteRefusal(std::u16string_view value) {
  if (value.empty()) return nullptr;
  if (value.size() >= 2 && IsSeparator(value[0]) && IsSeparator(value[1])) {
    const bool device =
        value.size() >= 4 && (value[2] == u'?' || value[2] == u'.') && IsSeparator(value[3]);
    return device ? "device path" : "UNC path";
  }
  if (value.size() < 3 || !IsDriveLetter(value[0]) || value[1] != u':' || !IsSeparator(value[2])) {
    return "relative path";
  }
  return nullptr;
}

const char* PlainPathRefusal(std::u16string_view path) {
  if (path.find_first_of(u"*?<>\"") != std::u16string_view::npos) return "wildcard in path";
  // The drive's own colon is the only one a plain path has.
  if (std::count(path.begin(), path.end(), u':') > 1) return "stream in path";
  for (std::size_t start = 0; start <= path.size();) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    if (IsDeviceName(path.substr(start, end - start))) return "device name in path";
    start = end + 1;
  }
  return nullptr;
}

bool IsDeviceName(std::u16string_view component) {
  // The name before its first dot, without trailing blanks, is what Windows compares.
  std::u16string_view base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  if (base.size() == 3) {
    for (const std::u16string_view name : {u"CON", u"PRN", u"AUX", u"NUL"}) {
      if (EqualNoCase(base, name)) return true;
    }
    return false;
  }
  if (base.size() != 4 || !IsDeviceDigit(base[3])) return false;
  return EqualNoCase(base.substr(0, 3), u"COM") || EqualNoCase(base.substr(0, 3), u"LPT");
}

const char* DriveTypeRefusal(std::uint32_t type) {
  switch (type) {
    case os::kDriveRemovable:
    case os::kDriveFixed:
    case os::kDriveCdRom:
    case os::kDriveRamDisk:
      return nullptr;
    case os::kDriveRemote:
      return "remote drive";
    case os::kDriveNoRootDir:
      return "no such drive";
    default:
      return "unknown drive type";
  }
}

bool IsLink(std::uint32_t attributes, std::uint32_t tag) {
  constexpr std::uint32_t kNameSurrogate = 0x20000000;
  return (attributes & os::kAttributeReparsePoint) != 0 &&
         (tag == 0 || (tag & kNameSurrogate) != 0);
}

bool KeepsItsData(std::uint32_t tag) {
  constexpr std::uint32_t kDeduplication = 0x80000013;  // IO_REPARSE_TAG_DEDUP
  constexpr std::uint32_t kWofCompressed = 0x80000017;  // IO_REPARSE_TAG_WOF
  return tag == kDeduplication || tag == kWofCompressed;
}

bool NotThere(std::uint32_t error) {
  constexpr std::uint32_t kFileNotFound = 2;  // ERROR_FILE_NOT_FOUND
  constexpr std::uint32_t kPathNotFound = 3;  // ERROR_PATH_NOT_FOUND
  return error == kFileNotFound || error == kPathNotFound;
}

const char* RedirectedPathRefusal(std::u16string_view path, std::u16string_view windowsFolder) {
  constexpr const char* kRedirected = "redirected for 32-bit programs";
  while (!windowsFolder.empty() && IsSeparator(windowsFolder.back())) {
    windowsFolder.remove_suffix(1);
  }
  if (windowsFolder.empty()) return kRedirected;
  // Whether `path` is `place` below the Windows folder, or lies inside it.
  const auto within = [&](std::u16string_view place) {
    const std::size_t length = windowsFolder.size() + 1 + place.size();
    return path.size() >= length &&
           EqualNoCase(path.substr(0, windowsFolder.size()), windowsFolder) &&
           IsSeparator(path[windowsFolder.size()]) &&
           EqualNoCase(path.substr(windowsFolder.size() + 1, place.size()), place) &&
           (path.size() == length || IsSeparator(path[length]));
  };
  for (const std::u16string_view folder : {u"System32", u"lastgood\\System32", u"Sysnative"}) {
    if (within(folder)) return kRedirected;
  }
  return within(u"regedit.exe") ? kRedirected : nullptr;
}

}  // namespace kvn
