#include "token/held_entry.h"

#include "rules/path_rule.h"

namespace kvn {

EntryLook LookAt(os::TokenPlatform& platform, const std::u16string& path,
                 std::vector<HeldEntry>& held) {
  EntryLook look;
  HeldEntry entry(platform, path.c_str());
  if (entry.get() == nullptr) {
    look.error = platform.GetLastError();
    if (NotThere(look.error)) look.outcome = EntryLook::kNotThere;
    return look;
  }
  const os::Handle handle = entry.get();
  held.push_back(std::move(entry));
  if (!platform.ReadEntryInfo(handle, look.info)) {
    look.error = platform.GetLastError();
    return look;
  }
  if (path.size() > 3) {  // a drive root has no entry of its own to search for
    const os::SearchResult listed = platform.FindFile(path.c_str());
    if (!listed.found) {
      // Held open without delete sharing, it cannot have gone. A search finds nothing for a
      // path that ends in a backslash, which names no entry; any other failure is the
      // search's own.
      look.error = listed.error;
      if (NotThere(look.error)) look.outcome = EntryLook::kNotThere;
      return look;
    }
    if ((look.info.attributes & os::kAttributeReparsePoint) == 0 &&
        (listed.attributes & os::kAttributeReparsePoint) != 0) {
      look.info.attributes |= os::kAttributeReparsePoint;
      look.info.reparseTag = listed.reparseTag;
    }
  }
  look.outcome = EntryLook::kRead;
  return look;
}

}  // namespace kvn
