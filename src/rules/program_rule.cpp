#include "rules/program_rule.h"

#include "common/strings.h"
#include "rules/path_rule.h"

namespace kvn {

namespace {

constexpr std::u16string_view kProgramNames[] = {u"TrueCrypt.exe", u"VeraCrypt.exe",
                                                 u"VeraCrypt-x64.exe"};

bool IsSeparator(char16_t unit) { return unit == u'\\' || unit == u'/'; }

// "X:\" or "X:/" at the start.
bool HasDriveRoot(std::u16string_view path) {
  return !path.empty() && DriveAbsoluteRefusal(path) == nullptr;
}

// Splits at backslashes. "C:\a\b" gives "C:", "a", "b".
std::vector<std::u16string_view> Components(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) {
      parts.push_back(path.substr(start));
      return parts;
    }
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
}

// How many components of `path` (absolute, resolved) `folder` makes up when `path` lies below
// it, by whole components; 0 when it does not.
std::size_t DepthInside(const std::vector<std::u16string_view>& path, std::u16string_view folder) {
  if (!HasDriveRoot(folder)) return 0;
  while (!folder.empty() && IsSeparator(folder.back())) folder.remove_suffix(1);
  std::vector<std::u16string_view> parts = Components(folder);
  if (parts.size() < 2) return 0;  // a bare drive root would admit the whole drive
  if (path.size() <= parts.size()) return 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (parts[i].empty() || !EqualNoCase(parts[i], path[i])) return 0;
  }
  return parts.size();
}

// The folders of a Program Files folder that hold packaged apps (MSIX, the Store's), which a
// user installs for themselves without an administrator although the files end up owned by
// TrustedInstaller or SYSTEM: their rights say nothing of who chose to put a program there.
bool IsPackageStore(std::u16string_view component) {
  return EqualNoCase(component, u"WindowsApps") || EqualNoCase(component, u"ModifiableWindowsApps");
}

}  // namespace

const char* InstalledProgramRefusal(std::u16string_view path,
                                    const std::vector<std::u16string>& programFolders) {
  if (!HasDriveRoot(path) || path.find(u'/') != std::u16string_view::npos) {
    return "path cannot be resolved";
  }
  const std::vector<std::u16string_view> parts = Components(path);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i].empty() || parts[i] == u"." || parts[i] == u"..") {
      return "path cannot be resolved";
    }
  }
  bool named = false;
  for (const std::u16string_view name : kProgramNames) {
    if (EqualNoCase(parts.back(), name)) named = true;
  }
  if (!named) return "not named TrueCrypt.exe, VeraCrypt.exe or VeraCrypt-x64.exe";
  bool inside = false;
  for (const std::u16string& folder : programFolders) {
    const std::size_t depth = DepthInside(parts, folder);
    if (depth != 0 && IsPackageStore(parts[depth])) return "a packaged app's folder";
    inside = inside || depth != 0;
  }
  return inside ? nullptr : "outside the Program Files folders";
}

}  // namespace kvn
