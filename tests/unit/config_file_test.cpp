// The configuration reader: its grammar, its error numbers and its file handling, on real
// files of the host (natively and under Wine).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "config/config_file.h"
#include "os/host.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

using namespace std::literals;

// Allocation failure on demand, for the out-of-memory paths of a load. Every form of
// operator new that the reader can reach is replaced; once armed, the allocations after the
// allowed number fail. Natively the real allocation is the next definition in line (the
// sanitizer's, which then still pairs every new with its delete); in the static Windows
// build it is malloc, which the runtime's operator delete frees.
namespace {

std::atomic<long> allocationsLeft{-1};  // negative: never fail

bool AllocationFails() {
  long left = allocationsLeft.load();
  while (left >= 0) {
    if (left == 0) return true;
    if (allocationsLeft.compare_exchange_weak(left, left - 1)) return false;
  }
  return false;
}

#ifdef _WIN32
void* Allocate(std::size_t size, bool) { return std::malloc(size != 0 ? size : 1); }
#else
static_assert(sizeof(std::size_t) == 8, "the mangled names below are those of 64-bit Linux");
void* Allocate(std::size_t size, bool array) {
  using New = void* (*)(std::size_t);
  static const auto scalarNew = reinterpret_cast<New>(dlsym(RTLD_NEXT, "_Znwm"));
  static const auto arrayNew = reinterpret_cast<New>(dlsym(RTLD_NEXT, "_Znam"));
  return (array ? arrayNew : scalarNew)(size);
}
#endif

void* AllocateOrThrow(std::size_t size, bool array) {
  if (AllocationFails()) throw std::bad_alloc();
  void* memory = Allocate(size, array);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void* AllocateOrNull(std::size_t size, bool array) noexcept {
  if (AllocationFails()) return nullptr;
  try {
    return Allocate(size, array);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Lets `allowed` more allocations through and fails the later ones, until destroyed.
class FailAllocationsAfter {
 public:
  explicit FailAllocationsAfter(long allowed) { allocationsLeft = allowed; }
  ~FailAllocationsAfter() { allocationsLeft = -1; }
  FailAllocationsAfter(const FailAllocationsAfter&) = delete;
  FailAllocationsAfter& operator=(const FailAllocationsAfter&) = delete;
};

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size, false); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size, true); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size, false);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return AllocateOrNull(size, true);
}

namespace kvn {
namespace {

std::optional<std::u16string> Text(const char16_t* value) {
  if (value == nullptr) return std::nullopt;
  return std::u16string(value);
}

int Load(ConfigFile& config, std::string_view bytes) {
  return config.LoadText(bytes.data(), bytes.size());
}

// A file in the test's temporary folder, named after the test, removed when it goes.
class TempFile {
 public:
  explicit TempFile(std::string_view contents, const char* suffix = ".ini") {
    std::string folder = ::testing::TempDir();
    for (const char c : folder) {
      if (static_cast<unsigned char>(c) >= 0x80) folder.clear();  // not ASCII: use the cwd
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("kvn_") + test->test_suite_name() + "_" + test->name();
    for (char& c : name) {
      if (c == '/') c = '_';  // parameterised names carry a "/"
    }
    narrow_ = folder + name + suffix;
    wide_.assign(narrow_.begin(), narrow_.end());
    std::FILE* file = std::fopen(narrow_.c_str(), "wb");
    EXPECT_NE(file, nullptr) << narrow_;
    if (file == nullptr) return;
    EXPECT_EQ(std::fwrite(contents.data(), 1, contents.size(), file), contents.size());
    std::fclose(file);
  }
  ~TempFile() { std::remove(narrow_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const char* narrow() const { return narrow_.c_str(); }
  const char16_t* path() const { return wide_.c_str(); }

 private:
  std::string narrow_;
  std::u16string wide_;
};

// Opens every path the same scripted way, counting the calls.
class ScriptedFiles final : public os::FileOpener {
 public:
  std::FILE* (*open)(const char* narrow) = nullptr;
  int calls = 0;
  std::string narrowPath;

  std::FILE* OpenForRead(const char16_t* path) override {
    ++calls;
    narrowPath.assign(path, path + std::char_traits<char16_t>::length(path));
    return open(narrowPath.c_str());
  }
};

constexpr std::string_view kSample = "[Config]\r\nKey = first\r\n"sv;

// ---------------------------------------------------------------------------------------
// Loading: error numbers, streams and the state a load leaves behind.

TEST(ConfigFileLoad, EmptyInputIsAnInvalidArgument) {
  ConfigFile config;
  EXPECT_EQ(config.LoadText(nullptr, 0), 22);
  EXPECT_EQ(Load(config, ""), 22);
  TempFile empty("");
  EXPECT_EQ(config.LoadFile(empty.path()), 22);
}

TEST(ConfigFileLoad, MissingFileReportsTheErrnoOfTheOpen) {
  TempFile neighbour("x=1");
  const std::u16string missing = std::u16string(neighbour.path()) + u".missing";
  ConfigFile config;
  EXPECT_EQ(config.LoadFile(missing.c_str()), ENOENT);
  EXPECT_EQ(config.LoadFile(os::HostFiles(), missing.c_str()), ENOENT);
}

TEST(ConfigFileLoad, OpenerFailureIsNeverReportedAsSuccess) {
  ScriptedFiles files;
  ConfigFile config;
  files.open = [](const char*) -> std::FILE* {
    errno = EACCES;
    return nullptr;
  };
  EXPECT_EQ(config.LoadFile(files, u"E:\\kvn.ini"), EACCES);
  EXPECT_EQ(files.narrowPath, "E:\\kvn.ini");
  files.open = [](const char*) -> std::FILE* { return nullptr; };  // leaves errno alone
  EXPECT_NE(config.LoadFile(files, u"E:\\kvn.ini"), 0);
  EXPECT_EQ(config.LoadFile(files, nullptr), 22);
  EXPECT_EQ(files.calls, 2);
}

TEST(ConfigFileLoad, ShortReadIsMinusOne) {
  TempFile file(kSample);
  ScriptedFiles files;
  files.open = [](const char* path) { return std::fopen(path, "ab"); };  // no reading allowed
  ConfigFile config;
  EXPECT_EQ(config.LoadFile(files, file.path()), -1);
  EXPECT_EQ(config.GetValue(u"Config", u"Key"), nullptr);
}

TEST(ConfigFileLoad, StreamIsReadFromItsStartWhereverItStands) {
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(std::fwrite(kSample.data(), 1, kSample.size(), stream), kSample.size());
  ConfigFile config;
  EXPECT_EQ(config.LoadStream(stream), 0);
  EXPECT_EQ(Text(config.GetValue(u"Config", u"Key")), u"first");
  std::fclose(stream);
}

// Binary mode: carriage returns reach the parser and 0x1A (a text-mode end of file on
// Windows) is an ordinary byte.
TEST(ConfigFileLoad, FileBytesArriveUntranslated) {
  TempFile file("[A]\r\nk=x\x1Ay\r\nCr=1\r2\r\n"sv);
  ConfigFile config;
  ASSERT_EQ(config.LoadFile(file.path()), 0);
  EXPECT_EQ(Text(config.GetValue(u"A", u"k")), u"x\x1Ay");
  EXPECT_EQ(Text(config.GetValue(u"A", u"Cr")), u"1\r2");
}

TEST(ConfigFileLoad, FailedLoadLeavesEarlierContentsIntact) {
  TempFile good(kSample);
  ConfigFile config;
  ASSERT_EQ(config.LoadFile(good.path()), 0);
  const char16_t* before = config.GetValue(u"Config", u"Key");

  const std::u16string missing = std::u16string(good.path()) + u".missing";
  EXPECT_EQ(config.LoadFile(missing.c_str()), ENOENT);
  EXPECT_EQ(Load(config, ""), 22);
  ScriptedFiles unreadable;
  unreadable.open = [](const char* path) { return std::fopen(path, "ab"); };
  EXPECT_EQ(config.LoadFile(unreadable, good.path()), -1);

  EXPECT_EQ(config.GetValue(u"Config", u"Key"), before);
  EXPECT_EQ(Text(before), u"first");
}

TEST(ConfigFileLoad, SecondLoadReplacesTheFirstAndResetEmpties) {
  ConfigFile config;
  ASSERT_EQ(Load(config, "[One]\na=1\n"), 0);
  ASSERT_EQ(Load(config, "[Two]\nb=2\n"), 0);
  EXPECT_EQ(config.GetValue(u"One", u"a"), nullptr);
  EXPECT_EQ(Text(config.GetValue(u"Two", u"b")), u"2");
  config.Reset();
  EXPECT_EQ(config.GetValue(u"Two", u"b"), nullptr);
}

// Fails each allocation of a load in turn: the text buffer (12 from the nothrow form) and
// every map insertion (std::bad_alloc, caught inside the load).
TEST(ConfigFileLoad, OutOfMemoryAnywhereIs12AndLeavesTheReaderUnchanged) {
  ConfigFile config;
  ASSERT_EQ(Load(config, kSample), 0);
  constexpr std::string_view kBigger = "k0=v\n[S1]\nk1=v\nk2=v\n[S2]\nk3=v\n[s1]\nk4=v\n"sv;
  int failures = 0;
  for (long allowed = 0;; ++allowed) {
    int result;
    {
      FailAllocationsAfter guard(allowed);
      result = Load(config, kBigger);
    }
    if (result == 0) break;
    ASSERT_EQ(result, 12) << "after " << allowed << " allocations";
    ++failures;
    EXPECT_EQ(Text(config.GetValue(u"Config", u"Key")), u"first");
    EXPECT_EQ(config.GetValue(u"S1", u"k1"), nullptr);
  }
  EXPECT_EQ(failures, 9);  // the text, then the nodes of 3 sections and 5 keys
  EXPECT_EQ(Text(config.GetValue(u"s1", u"K4")), u"v");
  EXPECT_EQ(config.GetValue(u"Config", u"Key"), nullptr);
}

// ---------------------------------------------------------------------------------------
// The grammar: one text, one look-up, one expected value (null: absent).

struct GrammarCase {
  const char* name;
  std::string_view text;
  const char16_t* section;
  const char16_t* key;
  const char16_t* expected;
};

constexpr std::string_view kCommentsOnly = "; one\n  # two\n\n\t\r\n;[Config]\n#Key=v\n"sv;
constexpr std::string_view kTwoBlocks =
    "[Config]\nKey=1\nOnlyFirst=a\n[CONFIG]\nkey=2\nOnlyLast=b\n"sv;
constexpr std::string_view kBom = "\xEF\xBB\xBF[Config]\nKey=v\n"sv;
constexpr std::string_view kCrOnly = "Key=a\r[S]\rb=c\r"sv;

const GrammarCase kGrammar[] = {
    {"CommentsOnly", kCommentsOnly, u"Config", u"Key", nullptr},
    {"CommentsOnlyEmptySection", kCommentsOnly, u"", u"#Key", nullptr},
    {"KeyBeforeAnySection", "Key=v\n[A]\nk=1\n", u"", u"key", u"v"},
    {"EmptyHeaderIsTheInitialSection", "Key=v\n[A]\n[]\nMore=w\n", u"", u"More", u"w"},
    {"BlankHeaderIsTheInitialSection", "[A]\n[ \t ]\nKey=v\n", u"", u"Key", u"v"},
    {"SectionHeadedTwiceLaterWins", kTwoBlocks, u"config", u"KEY", u"2"},
    {"SectionHeadedTwiceKeepsFirstBlock", kTwoBlocks, u"Config", u"OnlyFirst", u"a"},
    {"SectionHeadedTwiceHoldsLastBlock", kTwoBlocks, u"Config", u"OnlyLast", u"b"},
    {"NonAsciiCaseDiffers", "[\xC4]\nk=1\n", u"\u00E4", u"k", nullptr},
    {"NonAsciiExact", "[\xC4]\nk=1\n", u"\u00C4", u"K", u"1"},
    {"DuplicateKeyLastWins", "[A]\nKey=1\nKEY=2\n", u"a", u"kEy", u"2"},
    {"EmptyValue", "[A]\nKey=\n", u"A", u"Key", u""},
    {"BlankValue", "[A]\nKey= \t \r\n", u"A", u"Key", u""},
    {"EmptyValueAtEnd", "[A]\nKey=", u"A", u"Key", u""},
    {"BlanksAroundEquals", "[Config]\nTargetDrive  =\tX\r\n", u"Config", u"TargetDrive", u"X"},
    {"EqualsInValue", "[A]\nk = a=b = c\n", u"A", u"k", u"a=b = c"},
    {"LineStartingWithEqualsSkipped", "[A]\n  =v\nk=1\n", u"A", u"k", u"1"},
    {"EqualsLineMakesNoEmptyKey", "[A]\n=v\n", u"A", u"", nullptr},
    {"CrLfName", "[Sec]\r\nKey=v\r\n", u"Sec", u"Key", u"v"},
    {"HeaderNameEndsAtLineFeed", "[ Sec \r\n]\r\nk=v\r\n", u"Sec", u"k", nullptr},
    {"CrOnlyIsOneLine", kCrOnly, u"", u"Key", u"a\r[S]\rb=c"},
    {"CrOnlyHasNoSection", kCrOnly, u"S", u"b", nullptr},
    {"HashAndSemicolonInValue", "[A]\nk=x;y #z\n", u"A", u"k", u"x;y #z"},
    {"IndentedComment", "[A]\n \t; k=1\nk=2\n  #k=3\n", u"A", u"k", u"2"},
    {"CommentInsideKeyIsKey", "[A]\nk;x=1\n", u"A", u"k;x", u"1"},
    {"TextAfterBracketSkipped", "[A] x=1\n", u"A", u"x", nullptr},
    {"TextAfterBracketNextLineCounts", "[A] x=1\ny=2", u"A", u"y", u"2"},
    {"UnterminatedHeaderKeepsSection", "[A]\n[B\nk=1\n", u"A", u"k", u"1"},
    {"UnterminatedHeaderMakesNoSection", "[A]\n[B\nk=1\n", u"B", u"k", nullptr},
    {"UnterminatedHeaderAtEnd", "k=1\n[B", u"", u"k", u"1"},
    {"NameOnNextLine", "[A]\n[\n\n  Later ]\nk=1\n", u"Later", u"k", u"1"},
    {"NameOnNextLineUnclosed", "[A]\n[\nk=1\nj=2\n", u"A", u"k", nullptr},
    {"NameOnNextLineUnclosedThenOn", "[A]\n[\nk=1\nj=2\n", u"A", u"j", u"2"},
    {"BareWordSkipped", "[A]\nword\nk=1\n", u"A", u"k", u"1"},
    {"BareWordsSkipped", "[A]\ntwo words\n", u"A", u"two words", nullptr},
    {"InnerBlanksStay", "[ My Section ]\n  my\tkey  =  my value  \n", u"My Section", u"my\tkey",
     u"my value"},
    {"ZeroByteEndsText", "[A]\nk=v\0\nj=w\n"sv, u"A", u"j", nullptr},
    {"ZeroByteEndsValue", "[A]\nk=ab\0cd\n"sv, u"A", u"k", u"ab"},
    {"BomHidesFirstHeader", kBom, u"Config", u"Key", nullptr},
    {"BomEntriesFallToInitialSection", kBom, u"", u"key", u"v"},
    {"BomBeforeKeyIsPartOfKey", "\xEF\xBB\xBFKey=v", u"", u"\u00EF\u00BB\u00BFKey", u"v"},
    {"AbsentSection", "[A]\nk=1\n", u"B", u"k", nullptr},
    {"AbsentKey", "[A]\nk=1\n", u"A", u"j", nullptr},
    {"NullSection", "k=1\n", nullptr, u"k", nullptr},
    {"NullKey", "[A]\nk=1\n", u"A", nullptr, nullptr},
    {"Windows1252Umlaut", "[A]\nk=\xE4\n", u"A", u"k", u"\u00E4"},
    {"Windows1252Euro", "[A]\nk=\x80\x9F\n", u"A", u"k", u"\u20AC\u0178"},
    {"Windows1252Undefined", "[A]\nk=\x81\x8D\x8F\x90\x9D\n", u"A", u"k",
     u"\u0081\u008D\u008F\u0090\u009D"},
};

class ConfigFileGrammar : public ::testing::TestWithParam<GrammarCase> {};

TEST_P(ConfigFileGrammar, LooksUp) {
  const GrammarCase& c = GetParam();
  ConfigFile config;
  ASSERT_EQ(Load(config, c.text), 0);
  const std::optional<std::u16string> expected = Text(c.expected);
  EXPECT_EQ(Text(config.GetValue(c.section, c.key)), expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigFileGrammar, ::testing::ValuesIn(kGrammar),
                         [](const auto& tested) { return std::string(tested.param.name); });

// The parser itself: entries in order, names and values cut in place.
TEST(ConfigFileNextEntry, YieldsEntriesInOrderAndCutsTheText) {
  char16_t text[] = u"[ S ]\r\nk = v\r\n";
  char16_t* cursor = text;
  const char16_t* section = u"";
  const char16_t* key = u"junk";
  const char16_t* value = u"junk";
  ASSERT_TRUE(ConfigFile::NextEntry(cursor, section, key, value));
  EXPECT_EQ(section, text + 2);
  EXPECT_EQ(std::u16string(section), u"S");
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(value, nullptr);
  EXPECT_EQ(cursor, text + 6);  // on the line feed
  ASSERT_TRUE(ConfigFile::NextEntry(cursor, section, key, value));
  EXPECT_EQ(std::u16string(section), u"S");
  EXPECT_EQ(key, text + 7);
  EXPECT_EQ(std::u16string(key), u"k");
  EXPECT_EQ(value, text + 11);
  EXPECT_EQ(std::u16string(value), u"v");
  EXPECT_FALSE(ConfigFile::NextEntry(cursor, section, key, value));
  EXPECT_EQ(*cursor, u'\0');
}

// The host's ANSI conversion, as the reader uses it.
TEST(AnsiToUtf16, SizesConvertsAndRefusesShortBuffers) {
  const char bytes[] = "a\0\xE4";
  EXPECT_EQ(os::AnsiToUtf16(bytes, 3, nullptr, 0), 3);
  char16_t out[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(os::AnsiToUtf16(bytes, 3, out, 4), 3);
  EXPECT_EQ(std::u16string(out, 3), u"a\0\u00E4"s);
  EXPECT_EQ(os::AnsiToUtf16(bytes, 3, out, 2), 0);
  EXPECT_EQ(os::AnsiToUtf16(bytes, 0, nullptr, 0), 0);
}

}  // namespace
}  // namespace kvn
