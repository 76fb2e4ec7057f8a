// Which program the service lets the stick start. The service runs with full rights and the
// configuration on the stick names the program, so only an installed TrueCrypt or VeraCrypt
// is run: a file TrueCrypt.exe, VeraCrypt.exe or VeraCrypt-x64.exe (any case) inside one of
// the machine's Program Files folders, which only administrators can change.
//
// The rule is judged in four steps, the first three before the existence test of the value,
// so that nothing behind a refused value (a share, a device, a link) is ever touched:
//   1. DriveAbsoluteRefusal and PlainPathRefusal (rules/path_rule.h), on the value as written;
//   2. InstalledProgramRefusal on the full path (GetFullPathNameW: "." and ".." removed, by
//      text alone);
//   3. JudgeProgramChain (token/program_chain.h) on the full path: no link on the way, and
//      only administrators may change the file and the folders above it;
//   4. after the existence test, InstalledProgramRefusal again on the long-name resolution
//      (no 8.3 short names), which needs an existing path.
// Each gives null when the value passes, else the reason, a static ASCII text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kvn {

// Refuses unless `path` (the full path of the value, GetFullPathNameW, or its long form,
// GetLongPathNameW; empty when it could not be resolved) is an absolute path with a drive
// letter and no ".", ".." or empty component, its last component is one of the three program
// names, and it lies below one of `programFolders`, compared by whole components without
// regard to the case of A..Z (so "C:\Program Files Evil" is not inside "C:\Program Files"),
// and not in the folder of packaged apps just below one of them (WindowsApps,
// ModifiableWindowsApps, any case), where a user installs for themselves without an
// administrator. Folders that are not absolute, or are a bare drive root, are ignored.
const char* InstalledProgramRefusal(std::u16string_view path,
                                    const std::vector<std::u16string>& programFolders);

}  // namespace kvn
