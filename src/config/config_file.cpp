#include "config/config_file.h"

#include <cerrno>
#include <climits>
#include <new>
#include <utility>

#include "common/strings.h"
#include "os/host.h"

namespace kvn {

// The reader reports the C runtime's numbers for these two, and callers may compare with
// the literal values.
static_assert(EINVAL == 22 && ENOMEM == 12, "C runtime error numbers");

namespace {

// The section of the entries read before any section line. Static, so that the name
// outlives every reader and never refers into a text buffer.
constexpr char16_t kInitialSection[] = u"";

// The only four blank units of the grammar.
constexpr bool IsBlank(char16_t unit) {
  return unit == u' ' || unit == u'\t' || unit == u'\n' || unit == u'\r';
}

// The first unit at or after `p` that is not blank; the terminating zero at the latest.
char16_t* SkipBlanks(char16_t* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

// The line feed that ends the line holding `p`, or the terminating zero.
char16_t* LineEnd(char16_t* p) {
  while (*p != u'\n' && *p != u'\0') ++p;
  return p;
}

// The first unit at or after `p` that is `stop`, a line feed or the terminating zero.
char16_t* FindInLine(char16_t* p, char16_t stop) {
  while (*p != stop && *p != u'\n' && *p != u'\0') ++p;
  return p;
}

// Ends the string [begin, end) without its trailing blanks: writes a zero over the first
// trailing blank, or over `*end` when there is none.
void CutTrailingBlanks(char16_t* begin, char16_t* end) {
  while (end > begin && IsBlank(end[-1])) --end;
  *end = u'\0';
}

}  // namespace

bool ConfigFile::NameLess::operator()(const char16_t* a, const char16_t* b) const {
  return CompareNoCase(a, b) < 0;
}

int ConfigFile::LoadText(const char* bytes, std::size_t length) {
  // The platform conversion counts in int; a longer text cannot be converted.
  if (length > static_cast<std::size_t>(INT_MAX)) return EINVAL;
  const int count = static_cast<int>(length);

  const int units = os::AnsiToUtf16(bytes, count, nullptr, 0);
  if (units <= 0) return EINVAL;
  // One more unit than the text needs, all zero: the text ends at its first zero unit even
  // where the file itself holds none.
  std::unique_ptr<char16_t[]> fresh(
      new (std::nothrow) char16_t[static_cast<std::size_t>(units) + 1]());
  if (!fresh) return ENOMEM;
  if (os::AnsiToUtf16(bytes, count, fresh.get(), units) != units) return EINVAL;

  // Parsed into maps of its own, so that a load that runs out of memory half-way leaves
  // the reader exactly as it was.
  SectionMap parsed;
  try {
    char16_t* cursor = fresh.get();
    const char16_t* section = kInitialSection;
    const char16_t* key = nullptr;
    const char16_t* value = nullptr;
    // Every key entry up to the next section line belongs to the section found last: its
    // key map is looked up once per section line, not once per key (map nodes stay put).
    const char16_t* current = nullptr;
    KeyMap* keys = nullptr;
    while (NextEntry(cursor, section, key, value)) {
      if (keys == nullptr || section != current) {
        keys = &SectionOf(parsed, section);
        current = section;
      }
      if (key != nullptr) SetValue(*keys, key, value);
    }
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }

  // Nothing below can fail. The old maps go before the old text they refer into.
  Reset();
  text = std::move(fresh);
  sections = std::move(parsed);
  return 0;
}

bool ConfigFile::NextEntry(char16_t*& cursor, const char16_t*& section, const char16_t*& key,
                           const char16_t*& value) {
  char16_t* p = cursor;
  for (;;) {
    p = SkipBlanks(p);
    const char16_t first = *p;
    if (first == u'\0') {
      cursor = p;
      return false;
    }

    // A comment is known only by the first non-blank unit of its line; the cursor always
    // arrives here at the start of a line or on the line feed before one.
    if (first == u';' || first == u'#') {
      p = LineEnd(p);
      continue;
    }

    if (first == u'[') {
      char16_t* name = SkipBlanks(p + 1);  // the name may begin on a later line
      char16_t* close = FindInLine(name, u']');
      if (*close != u']') {
        p = close;  // no "]" on the line: the whole line is dropped
        continue;
      }
      // The rest of the line is found before the zero goes over the "]".
      cursor = LineEnd(close + 1);
      CutTrailingBlanks(name, close);
      section = name;
      key = nullptr;
      value = nullptr;
      return true;
    }

    char16_t* equals = FindInLine(p, u'=');
    if (*equals != u'=') {
      p = equals;  // a line without "="
      continue;
    }
    if (equals == p) {
      p = LineEnd(equals);  // an empty key
      continue;
    }
    // A value never begins on the next line: line feeds stop the skip.
    char16_t* start = equals + 1;
    while (*start == u' ' || *start == u'\t' || *start == u'\r') ++start;
    char16_t* end = LineEnd(start);
    cursor = *end == u'\n' ? end + 1 : end;
    CutTrailingBlanks(p, equals);
    CutTrailingBlanks(start, end);
    key = p;
    value = start;
    return true;
  }
}

// try_emplace and insert_or_assign keep the name of an existing entry as first read.
ConfigFile::KeyMap& ConfigFile::SectionOf(SectionMap& into, const char16_t* section) {
  return into.try_emplace(section).first->second;
}

void ConfigFile::SetValue(KeyMap& keys, const char16_t* key, const char16_t* value) {
  keys.insert_or_assign(key, value);
}

const char16_t* ConfigFile::GetValue(const char16_t* section, const char16_t* key) const {
  if (section == nullptr || key == nullptr) return nullptr;
  const auto found = sections.find(section);
  if (found == sections.end()) return nullptr;
  const auto entry = found->second.find(key);
  if (entry == found->second.end()) return nullptr;
  return entry->second;
}

void ConfigFile::Reset() {
  sections.clear();
  text.reset();
}

}  // namespace kvn
