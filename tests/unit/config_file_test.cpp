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
#include <vector>

#include "config/config_file.h"
#include "os/host.h"

using namespace std::literals;

// Allocation failure on demand: every operator new and delete of the test binary is replaced
// by malloc and free; while `allocationsLeft` is not negative, that many allocations succeed
// and all later ones fail.
namespace {

std::atomic<long> allocationsLeft{-1};

void* Allocate(std::size_t size) noexcept {
  long left = allocationsLeft.load();
  while (left > 0 && !allocationsLeft.compare_exchange_weak(left, left - 1)) {
  }
  return left == 0 ? nullptr : std::malloc(size != 0 ? size : 1);
}

void* AllocateOrThrow(std::size_t size) {
  void* memory = Allocate(size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

}  // namespace

void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace kvn {
namespace {

std::optional<std::u16string> Text(const char16_t* value) {
  if (value == nullptr) return std::nullopt;
  return std::u16string(value);
}

int Load(ConfigFile& config, std::string_view bytes) {
  return config.LoadText(bytes.data(), bytes.size());
}

// A file named after the test (tests run in parallel) and `suffix`, removed when it goes; in
// the temporary folder unless that is not ASCII (and so cannot be widened byte for byte).
class TempFile {
 public:
  explicit TempFile(std::string_view contents, const char* suffix = ".ini") {
    std::string folder = ::testing::TempDir();
    for (const char c : folder) {
      if (static_cast<unsigned char>(c) >= 0x80) folder.clear();
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    narrow_ = folder + "kvn_" + test->test_suite_name() + "_" + test->name() + suffix;
    wide_.assign(narrow_.begin(), narrow_.end());
    std::FILE* file = std::fopen(narrow_.c_str(), "wb");
    EXPECT_NE(file, nullptr) << narrow_;
    if (file == nullptr) return;
    EXPECT_EQ(std::fwrite(contents.data(), 1, contents.size(), file), contents.size());
    std::fclose(file);
  }
  ~TempFile() { std::remove(narrow_.c_str()); }

  const char16_t* path() const { return wide_.c_str(); }

 private:
  std::string narrow_;
  std::u16string wide_;
};

// Opens every path the same scripted way, keeping the last path it was asked for.
struct ScriptedFiles final : os::FileOpener {
  std::FILE* (*open)(const char* narrow) = nullptr;
  std::string narrowPath;
  std::FILE* OpenForRead(const char16_t* path) override {
    narrowPath.assign(path, path + (path ? std::char_traits<char16_t>::length(path) : 0));
    return open(narrowPath.c_str());
  }
};

constexpr std::string_view kSample = "[Config]\r\nKey = first\r\n"sv;

// ---------------------------------------------------------------------------------------
// Loading: error numbers, files and streams, and the state a load leaves behind.

// Every failure reports its number and leaves the reader as it was, down to the pointers.
TEST(ConfigFileLoad, FailuresReportTheirNumberAndLeaveTheReaderUnchanged) {
  TempFile good(kSample);
  TempFile empty("", "_empty.ini");
  const std::u16string missing = std::u16string(good.path()) + u".missing";
  ConfigFile config;
  ASSERT_EQ(config.LoadFile(good.path()), 0);
  const char16_t* before = config.GetValue(u"Config", u"Key");

  EXPECT_EQ(config.LoadText(nullptr, 0), 22);
  EXPECT_EQ(Load(config, ""), 22);
  EXPECT_EQ(config.LoadFile(empty.path()), 22);
  EXPECT_EQ(config.LoadFile(missing.c_str()), ENOENT);
  EXPECT_EQ(config.LoadFile(os::HostFiles(), missing.c_str()), ENOENT);
  ScriptedFiles files;
  files.open = [](const char*) -> std::FILE* {
    errno = EACCES;
    return nullptr;
  };
  EXPECT_EQ(config.LoadFile(files, u"E:\\kvn.ini"), EACCES);
  EXPECT_EQ(files.narrowPath, "E:\\kvn.ini");
  files.open = [](const char*) -> std::FILE* { return nullptr; };  // leaves errno alone
  EXPECT_NE(config.LoadFile(files, u"E:\\kvn.ini"), 0);
  EXPECT_EQ(config.LoadFile(files, nullptr), 22);  // never handed to the opener
  files.open = [](const char* path) { return std::fopen(path, "ab"); };  // nothing to read
  EXPECT_EQ(config.LoadFile(files, good.path()), -1);

  EXPECT_EQ(config.GetValue(u"Config", u"Key"), before);
  EXPECT_EQ(Text(config.GetValue(u"Config", u"Key")), u"first");
}

// Binary mode: carriage returns reach the parser and 0x1A (a text-mode end of file on
// Windows) is an ordinary byte. A stream is read from its start wherever it stands.
TEST(ConfigFileLoad, FilesAndStreamsArriveWholeAndUntranslated) {
  constexpr std::string_view kBytes = "[A]\r\nk=x\x1Ay\r\nCr=1\r2\r\n"sv;
  TempFile file(kBytes);
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(std::fwrite(kBytes.data(), 1, kBytes.size(), stream), kBytes.size());
  ConfigFile fromFile, fromStream;
  ASSERT_EQ(fromFile.LoadFile(file.path()), 0);
  static std::FILE* opened;  // handed over at its end; the load closes it
  opened = stream;
  ScriptedFiles files;
  files.open = [](const char*) { return opened; };
  ASSERT_EQ(fromStream.LoadFile(files, u"E:\\kvn.ini"), 0);
  for (const ConfigFile* config : {&fromFile, &fromStream}) {
    EXPECT_EQ(Text(config->GetValue(u"A", u"k")), u"x\x1Ay");
    EXPECT_EQ(Text(config->GetValue(u"A", u"Cr")), u"1\r2");
  }
}

// Fails each allocation of a load in turn: the text buffer (12 from the nothrow form) and
// every map insertion (std::bad_alloc, caught inside the load). The load that succeeds in the
// end replaces the earlier contents; Reset empties the reader.
TEST(ConfigFileLoad, OutOfMemoryAnywhereIs12AndLeavesTheReaderUnchanged) {
  ConfigFile config;
  ASSERT_EQ(Load(config, kSample), 0);
  int failures = 0;
  for (long allowed = 0;; ++allowed) {
    allocationsLeft = allowed;
    const int result = Load(config, "k0=v\n[S1]\nk1=v\nk2=v\n[S2]\nk3=v\n[s1]\nk4=v\n");
    allocationsLeft = -1;
    if (result == 0) break;
    ASSERT_EQ(result, 12) << "after " << allowed << " allocations";
    ++failures;
    EXPECT_EQ(Text(config.GetValue(u"Config", u"Key")), u"first");
    EXPECT_EQ(config.GetValue(u"S1", u"k1"), nullptr);
  }
  EXPECT_EQ(failures, 9);  // the text, then the nodes of 3 sections and 5 keys
  EXPECT_EQ(Text(config.GetValue(u"s1", u"K4")), u"v");
  EXPECT_EQ(config.GetValue(u"Config", u"Key"), nullptr);
  config.Reset();
  EXPECT_EQ(config.GetValue(u"s1", u"K4"), nullptr);
}

// ---------------------------------------------------------------------------------------
// The grammar: one text, its look-ups and their expected values (null: absent).

struct Lookup {
  const char16_t* section;
  const char16_t* key;
  const char16_t* expected;
};

struct GrammarCase {
  const char* name;
  std::string_view text;
  std::vector<Lookup> lookups;
};

// clang-format off
const GrammarCase kGrammar[] = {
    {"CommentsOnly", "; one\n  # two\n\n\t\r\n;[Config]\n#Key=v\n",
     {{u"Config", u"Key", nullptr}, {u"", u"#Key", nullptr}}},
    {"CommentsOnlyAtLineStart", "[A]\n \t; k=1\nk=2\n  #k=3\nx=y;z #w\nk;x=1\n",
     {{u"A", u"k", u"2"}, {u"A", u"x", u"y;z #w"}, {u"A", u"k;x", u"1"}}},
    {"InitialSection", "Key=v\n[A]\n[]\nMore=w\n[B]\n[ \t ]\nLast=x\n",
     {{u"", u"key", u"v"}, {u"", u"More", u"w"}, {u"", u"Last", u"x"}}},
    {"SectionHeadedTwiceInOtherCase", "[Config]\nKey=1\nOnlyFirst=a\n[CONFIG]\nkey=2\nOnlyLast=b\n",
     {{u"config", u"KEY", u"2"}, {u"Config", u"OnlyFirst", u"a"}, {u"Config", u"OnlyLast", u"b"}}},
    {"CaseIgnoredForAsciiOnly", "[\xC4]\nk=1\n",
     {{u"\u00E4", u"k", nullptr}, {u"\u00C4", u"K", u"1"}}},
    {"DuplicateKeyLastWins", "[A]\nKey=1\nKEY=2\n", {{u"a", u"kEy", u"2"}}},
    {"EmptyValuesAreNotNull", "[A]\nEmpty=\nBlank= \t \r\nAtEnd=",
     {{u"A", u"Empty", u""}, {u"A", u"Blank", u""}, {u"A", u"AtEnd", u""}}},
    {"BlanksAndCrLf", "[ My Section ]\r\n  my\tkey  =\t my value  \r\nk = a=b = c\r\n",
     {{u"My Section", u"my\tkey", u"my value"}, {u"My Section", u"k", u"a=b = c"}}},
    {"EmptyKeyLineSkipped", "[A]\n  =v\nk=1\n", {{u"A", u"k", u"1"}, {u"A", u"", nullptr}}},
    {"HeaderNameEndsAtLineFeed", "[ Sec \r\n]\r\nk=v\r\n", {{u"Sec", u"k", nullptr}}},
    {"CrOnlyIsOneLine", "Key=a\r[S]\rb=c\r",
     {{u"", u"Key", u"a\r[S]\rb=c"}, {u"S", u"b", nullptr}}},
    {"TextAfterBracketSkipped", "[A] x=1\ny=2", {{u"A", u"x", nullptr}, {u"A", u"y", u"2"}}},
    {"UnterminatedHeader", "[A]\n[B\nk=1\n[C", {{u"A", u"k", u"1"}, {u"B", u"k", nullptr}}},
    {"NameOnNextLine", "[A]\n[\nk=1\nj=2\n[\n\n  Later ]\nm=1\n",
     {{u"A", u"k", nullptr}, {u"A", u"j", u"2"}, {u"Later", u"m", u"1"}}},
    {"BareWordsSkipped", "[A]\nword\ntwo words\nk=1\n",
     {{u"A", u"k", u"1"}, {u"A", u"two words", nullptr}}},
    {"ZeroByteEndsTheText", "[A]\nk=ab\0cd\nj=w\n"sv, {{u"A", u"k", u"ab"}, {u"A", u"j", nullptr}}},
    {"BomIsText", "\xEF\xBB\xBF[Config]\nKey=v\n",
     {{u"Config", u"Key", nullptr}, {u"", u"key", u"v"}}},
    {"BomBeforeKeyIsPartOfKey", "\xEF\xBB\xBFKey=v", {{u"", u"\u00EF\u00BB\u00BFKey", u"v"}}},
    {"NullNames", "k=1\n[A]\nk=1\n", {{nullptr, u"k", nullptr}, {u"A", nullptr, nullptr}}},
    {"Windows1252", "[A]\nu=\xE4\ne=\x80\x9F\nx=\x81\x8D\x8F\x90\x9D\n",
     {{u"A", u"u", u"\u00E4"}, {u"A", u"e", u"\u20AC\u0178"},
      {u"A", u"x", u"\u0081\u008D\u008F\u0090\u009D"}}},
};
// clang-format on

TEST(ConfigFileGrammar, LooksUp) {
  for (const GrammarCase& c : kGrammar) {
    SCOPED_TRACE(c.name);
    ConfigFile config;
    ASSERT_EQ(Load(config, c.text), 0);
    for (const Lookup& l : c.lookups) {
      EXPECT_EQ(Text(config.GetValue(l.section, l.key)), Text(l.expected))
          << "look-up " << &l - c.lookups.data();
    }
  }
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
