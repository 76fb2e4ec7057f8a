// The configuration reader: loads a file of sections and key-value lines into one owned
// UTF-16 buffer, cuts names and values out of it in place, and answers look-ups by section
// and key, both compared without regard to the case of A..Z.
#pragma once

#include <cstddef>
#include <map>
#include <memory>

namespace kvn {

class ConfigFile {
 public:
  ConfigFile() = default;
  ~ConfigFile() { Reset(); }
  ConfigFile(const ConfigFile&) = delete;
  ConfigFile& operator=(const ConfigFile&) = delete;

  // Converts `length` bytes in the ANSI code page to UTF-16, installs them and parses them.
  // 0 on success; 22 when the text converts to nothing, 12 when memory runs out. A failed
  // load leaves the reader as it was; a load into a loaded reader replaces what it held.
  int LoadText(const char* bytes, std::size_t length);

  // The value of `key` in `section`, or null when either is null or absent. The value lives
  // inside the reader's text: valid until Reset or destruction.
  const char16_t* GetValue(const char16_t* section, const char16_t* key) const;

  // Releases the text and every section.
  void Reset();

 private:
  // The parser's step: `cursor` moves through the text; `section` is the current section
  // name. Yields a section entry (key and value null) or a key entry.
  static bool NextEntry(char16_t*& cursor, const char16_t*& section, const char16_t*& key,
                        const char16_t*& value);

  // Orders names by the ASCII-only case-insensitive comparison.
  struct NameLess {
    bool operator()(const char16_t* a, const char16_t* b) const;
  };
  using KeyMap = std::map<const char16_t*, const char16_t*, NameLess>;
  using SectionMap = std::map<const char16_t*, KeyMap, NameLess>;

  // The load's storing step in two halves, on maps of the caller's choice: a load fills maps
  // of its own and installs them only once the whole text is parsed. Both may throw
  // std::bad_alloc.
  static KeyMap& SectionOf(SectionMap& into, const char16_t* section);
  static void SetValue(KeyMap& keys, const char16_t* key, const char16_t* value);

  std::unique_ptr<char16_t[]> text;
  SectionMap sections;
};

}  // namespace kvn
