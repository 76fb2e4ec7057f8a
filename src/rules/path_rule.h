// What a path named by the stick may be. The stick is written by whoever holds it and the
// service runs with full rights, so a value that could take the service (or the tool it starts)
// to the network, to a device, to a stream or through a link is refused before anything behind
// it is touched. Each rule gives null when the value passes, else the reason, a static ASCII
// text.
#pragma once

#include <cstdint>
#include <string_view>

namespace kvn {

// Refuses a value that is not an absolute path with a drive letter ("X:\..."): a relative
// or drive-relative path or one that begins with a single separator, a UNC path
// (\\server\share, \\server@port\share) and a device path (\\?\, \\.\). An empty value
// names nothing and passes here; the existence test never finds it.
const char* DriveAbsoluteRefusal(std::u16string_view value);

// Refuses what makes a drive-absolute path name something other than a plain file or folder:
// a wildcard (* ? < > ", which a search expands), a ":" after the drive's own (an alternate
// data stream), or a reserved DOS device name as a component (see IsDeviceName).
const char* PlainPathRefusal(std::u16string_view path);

// CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9 (also with the superscript digits 1-3), in any
// case, with or without an extension, with trailing dots or blanks: Windows opens the device
// for such a name in any folder.
bool IsDeviceName(std::u16string_view component);

// Why a path on a drive of `type` (GetDriveTypeW) is refused, or null for a local drive: fixed,
// removable, optical or RAM disk.
const char* DriveTypeRefusal(std::uint32_t type);

// A reparse point that stands for another name: a symbolic link, a junction or a volume mount
// point (the tags Windows marks as name surrogates), or one whose tag is unknown or cannot be
// read (0). Reparse points that only keep data (deduplication, cloud placeholders,
// compression) are no links.
bool IsLink(std::uint32_t attributes, std::uint32_t tag);

// Whether a reparse point with `tag` holds the file's data in the file itself, so that opening
// it reaches no other name and no provider: deduplication and WOF compression. Every other tag,
// known or not, may hand the open to something else (a link, an app execution alias that
// starts another program, a placeholder whose content a filter or a user-mode provider
// supplies) and is refused on the way to a program.
bool KeepsItsData(std::uint32_t tag);

// The only answers of a failed open or search that say an entry is not there:
// ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND. Any other failure (a sharing violation,
// access denied, a drive not ready, an unsupported query) says nothing of the entry, which
// may exist and be reached otherwise, so a rule acting on it refuses.
bool NotThere(std::uint32_t error);

// For a 32-bit process on 64-bit Windows, which sees %windir%\SysWOW64 where a 64-bit program
// such as the tool sees %windir%\System32: refuses a resolved path below `windowsFolder`'s
// redirected places (System32, lastgood\System32, regedit.exe) or its Sysnative, which only
// 32-bit programs have. Null when the path is elsewhere. An empty `windowsFolder` (unknown)
// refuses every path.
const char* RedirectedPathRefusal(std::u16string_view path, std::u16string_view windowsFolder);

}  // namespace kvn
