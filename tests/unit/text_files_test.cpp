// The text the token watcher reads and writes: the configuration reader (its grammar and
// error numbers) and the trace log (its byte-exact lines), with the conversions they use.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/strings.h"
#include "config/config_file.h"
#include "fake/failing_allocation.h"
#include "fake/fake_token_platform.h"
#include "os/host.h"
#include "token/trace_log.h"

using namespace std::literals;

namespace kvn {
namespace {

using Value = std::optional<std::u16string>;  // none: the look-up finds nothing
Value Text(const char16_t* value) { return value ? Value(value) : std::nullopt; }

int Load(ConfigFile& config, std::string_view bytes) {
  return config.LoadText(bytes.data(), bytes.size());
}

// Every failure reports its number and leaves the reader as it was, down to the pointers.
// The text arrives whole: carriage returns reach the parser and 0x1A (a text-mode end of file
// on Windows) is an ordinary byte.
TEST(ConfigFileLoad, FailuresReportTheirNumberTextsArriveWhole) {
  ConfigFile config;
  ASSERT_EQ(Load(config, "[A]\r\nk=x\x1Ay\r\nCr=1\r2\r\n"sv), 0);
  EXPECT_EQ(Text(config.GetValue(u"A", u"k")), u"x\x1Ay");
  EXPECT_EQ(Text(config.GetValue(u"A", u"Cr")), u"1\r2");
  const char16_t* before = config.GetValue(u"A", u"k");
  EXPECT_EQ(config.LoadText(nullptr, 0), 22);
  EXPECT_EQ(ConfigFile().LoadText("k", 1), 0);  // one byte is a text
  EXPECT_EQ(Load(config, ""), 22);
  EXPECT_EQ(config.GetValue(u"A", u"k"), before);
}

// Fails each allocation of a load in turn: the text buffer (12 from the nothrow form) and
// every map insertion (std::bad_alloc, caught inside the load). The load that succeeds in the
// end replaces the earlier contents; Reset empties the reader.
TEST(ConfigFileLoad, OutOfMemoryAnywhereIs12AndLeavesTheReaderUnchanged) {
  ConfigFile config;
  ASSERT_EQ(Load(config, "[Config]\r\nKey = first\r\n"), 0);
  long allowed = 0;  // allocations let through; every count below the last fails its load
  for (;; ++allowed) {
    fake::allocationsLeft = allowed;
    const int result = Load(config, "k0=v\n[S1]\nk1=v\nk2=v\n[S2]\nk3=v\n[s1]\nk4=v\n");
    fake::allocationsLeft = -1;
    if (result == 0) break;
    ASSERT_EQ(result, 12) << "after " << allowed << " allocations";
    EXPECT_EQ(Text(config.GetValue(u"Config", u"Key")), u"first");
    EXPECT_EQ(config.GetValue(u"S1", u"k1"), nullptr);
  }
  EXPECT_EQ(allowed, 9);  // the text, then the nodes of 3 sections and 5 keys
  EXPECT_EQ(Text(config.GetValue(u"s1", u"K4")), u"v");
  EXPECT_EQ(config.GetValue(u"Config", u"Key"), nullptr);
  config.Reset();
  EXPECT_EQ(config.GetValue(u"s1", u"K4"), nullptr);
}

// `text` with the escapes of tests/data/config_grammar.txt turned into units.
std::u16string Unescape(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char kind = text[i] == '\\' && i + 1 < text.size() ? text[++i] : '\0';
    const std::size_t digits = kind == 'x' ? 2 : kind == 'u' ? 4 : 0;
    if (kind == '\0') {
      out += static_cast<char16_t>(static_cast<unsigned char>(text[i]));
    } else if (digits != 0) {
      out += static_cast<char16_t>(std::stoul(text.substr(i + 1, digits), nullptr, 16));
      i += digits;
    } else {
      out += kind == 'n' ? u'\n' : kind == 'r' ? u'\r' : kind == 't' ? u'\t' : u'\0';
    }
  }
  return out;
}

TEST(ConfigFileGrammar, LooksUp) {
  std::ifstream cases(std::string(KVN_TEST_DATA_DIR) + "/config_grammar.txt");
  ASSERT_TRUE(cases.is_open());
  ConfigFile config;
  std::string line, text;
  int lookups = 0;
  while (std::getline(cases, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("text: ", 0) == 0) {
      text.clear();
      for (const char16_t unit : Unescape(line.substr(6))) text += static_cast<char>(unit);
      ASSERT_EQ(Load(config, text), 0) << line;
      continue;
    }
    const std::size_t bar = line.find('|'), last = line.rfind('|');
    const std::u16string section = Unescape(line.substr(0, bar));
    const std::u16string key = Unescape(line.substr(bar + 1, last - bar - 1));
    const std::string expected = line.substr(last + 1);
    const char16_t* value = config.GetValue(section == u"(null)" ? nullptr : section.c_str(),
                                            key == u"(null)" ? nullptr : key.c_str());
    EXPECT_EQ(Text(value), expected == "(absent)" ? std::nullopt : Value(Unescape(expected)))
        << text << " / " << line;
    ++lookups;
  }
  EXPECT_EQ(lookups, 43);
}

TEST(AnsiToUtf16, SizesConvertsAndRefusesShortBuffers) {
  const char bytes[] = "a\0\xE4";
  EXPECT_EQ(os::AnsiToUtf16(bytes, 3, nullptr, 0), 3);
  char16_t out[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(os::AnsiToUtf16(bytes, 3, out, 4), 3);
  EXPECT_EQ(std::u16string(out, 3), u"a\0\u00E4"s);
  EXPECT_EQ(os::AnsiToUtf16(bytes, 3, out, 2), 0);
  EXPECT_EQ(os::AnsiToUtf16(bytes, 0, nullptr, 0), 0);
}

constexpr char16_t kLog[] = u"C:\\Trace\\kvn.log";

// Overlong values are scenario rows; a field of no units takes nothing, not even a terminator.
TEST(Strings, NothingFitsAFieldOfNoUnits) {
  char16_t field[1] = {u'x'};
  EXPECT_FALSE(CopyBounded(field, 0, u""));
  EXPECT_EQ(field[0], u'x');
}

// A line that ends in its literal's "\n" waits for the next flushed line or the close. One
// byte per character; a unit above 0xFF fails the log for the rest of the run.
TEST(TraceLogTest, LinesReachTheFileByteForByteWhenFlushed) {
  fake::FakeKernel kernel;
  fake::FakeTokenPlatform platform{kernel};  // a file the test can read between writes
  platform.AddFolder(u"C:\\Trace");
  const auto bytes = [&] { return platform.FileContents(kLog); };
  TraceLog log;
  log.Attach(platform.OpenTrace(kLog));
  log << "GetValue for TrueCrypt\n";
  EXPECT_EQ(bytes(), "");
  log << "DriveType:  " << u"E:\\M\u00e4rz\u00ff" << " " << std::uint32_t{4294967295u};
  log.EndLine();
  const std::string flushed =
      "GetValue for TrueCrypt\r\nDriveType:  E:\\M\xe4rz\xff 4294967295\r\n";
  EXPECT_EQ(bytes(), flushed);
  log << "No free drive letter available!\n";
  log.Close();
  EXPECT_EQ(platform.openTraces, 0);
  log << "after the close";  // goes nowhere
  log.EndLine();
  EXPECT_EQ(bytes(), flushed + "No free drive letter available!\r\n");

  log.Attach(platform.OpenTrace(kLog));
  log << "Keyfile found: " << u"E:\\\u20ac.key";
  log.EndLine();
  log << "after";
  log.EndLine();
  EXPECT_TRUE(log.failed());
  EXPECT_EQ(bytes(), "");

  // A file attached anew starts afresh: what was pending for the one before is dropped.
  log.Attach(platform.OpenTrace(kLog));
  log << "for the file before\n";
  log.Attach(platform.OpenTrace(kLog));
  log.EndLine();
  EXPECT_EQ(bytes(), "\r\n");
}

// A write that fails ends the log: nothing is written after it, and it reports failed.
TEST(TraceLogTest, AFailedWriteEndsTheLog) {
  struct Refusing final : os::ByteSink {
    int writes = 0;
    bool Write(const char*, std::size_t) override { return ++writes < 0; }
  };
  auto sink = std::make_unique<Refusing>();
  const Refusing& refusing = *sink;
  TraceLog log;
  log.Attach(std::move(sink));
  log << "first";
  log.EndLine();
  log.EndLine();
  EXPECT_EQ(refusing.writes, 1);
  EXPECT_TRUE(log.failed());
}

}  // namespace
}  // namespace kvn
