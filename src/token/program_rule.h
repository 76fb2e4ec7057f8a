// Which program the service lets the stick start. The service runs with full rights and the
// configuration on the stick names the program, so only an installed TrueCrypt or VeraCrypt
// is run: a file TrueCrypt.exe, VeraCrypt.exe or VeraCrypt-x64.exe (any case) inside one of
// the machine's Program Files folders, which only administrators can change.
//
// The rule is judged in three steps, the first two before the existence test of the value,
// so that nothing behind a refused value (a share, a device, a link on the stick) is ever
// touched:
//   1. ProgramSyntaxRefusal, on the value as written;
//   2. InstalledProgramRefusal on the full path (GetFullPathNameW: "." and ".." removed, by
//      text alone) as both of its paths;
//   3. after the existence test, InstalledProgramRefusal again with the long-name resolution
//      (no 8.3 short names), which needs an existing path.
// Each gives null when the value passes, else the reason, a static ASCII text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvn {

// Refuses a value that is not an absolute path with a drive letter ("X:\..."): a relative
// or drive-relative path or one that begins with a single separator, a UNC path
// (\\server\share, \\server@port\share) and a device path (\\?\, \\.\). An empty value
// names nothing and passes here; the existence test never finds it.
const char* DriveAbsoluteRefusal(std::u16string_view value);

// DriveAbsoluteRefusal, and also refuses a value with a wildcard (* ? < > ").
const char* ProgramSyntaxRefusal(std::u16string_view value);

// Refuses unless the value resolved: `fullPath` (GetFullPathNameW of the value) and
// `longPath` (GetLongPathNameW of `fullPath`) are not empty, `longPath` is an absolute path
// with a drive letter and no ".", ".." or empty component, its last component is one of the
// three program names, and it lies below one of `programFolders`, compared by whole
// components without regard to the case of A..Z (so "C:\Program Files Evil" is not inside
// "C:\Program Files"). Folders that are not absolute, or are a bare drive root, are
// ignored.
const char* InstalledProgramRefusal(std::u16string_view fullPath, std::u16string_view longPath,
                                    const std::vector<std::u16string>& programFolders);

}  // namespace kvn
