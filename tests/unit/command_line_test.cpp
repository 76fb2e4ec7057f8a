// Child command lines: each value comes back from the Windows splitting rules as exactly the
// argument it was.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "token/command_line.h"

namespace kvn {
namespace {

// Splits a command line as CommandLineToArgvW and the MSVC C runtime do. Written from the
// rules, independently of the quoting code.
std::vector<std::u16string> Split(const std::u16string& line) {
  std::vector<std::u16string> args;
  std::size_t i = 0;
  // Argument 0: up to the next quote when quoted, else up to a blank or tab.
  std::u16string program;
  if (i < line.size() && line[i] == u'"') {
    for (++i; i < line.size() && line[i] != u'"'; ++i) program += line[i];
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && line[i] != u' ' && line[i] != u'\t'; ++i) program += line[i];
  }
  args.push_back(program);
  for (;;) {
    while (i < line.size() && (line[i] == u' ' || line[i] == u'\t')) ++i;
    if (i == line.size()) return args;
    std::u16string arg;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != u' ' && line[i] != u'\t'))) {
      if (line[i] == u'\\') {
        std::size_t n = 0;
        while (i < line.size() && line[i] == u'\\') {
          ++n;
          ++i;
        }
        if (i < line.size() && line[i] == u'"') {
          arg.append(n / 2, u'\\');
          if (n % 2 == 1) {
            arg += u'"';
            ++i;
          }
        } else {
          arg.append(n, u'\\');
        }
      } else if (line[i] == u'"') {
        quoted = !quoted;
        ++i;
      } else {
        arg += line[i++];
      }
    }
    args.push_back(arg);
  }
}

std::u16string Build(std::u16string_view program, std::initializer_list<std::u16string_view> args) {
  return BuildCommandLine(program, args);
}

TEST(CommandLineTest, PlainValuesComeOutAsTheyStand) {
  EXPECT_EQ(Build(u"C:\\TC\\TrueCrypt.exe", {u"/a", u"/q", u"/l", u"T", u"/m", u"rm", u"/v",
                                             u"D:\\vault.tc", u"/k", u"E:\\key.dat"}),
            u"C:\\TC\\TrueCrypt.exe /a /q /l T /m rm /v D:\\vault.tc /k E:\\key.dat");
  EXPECT_EQ(Build(u"C:\\TC\\TrueCrypt.exe", {u"/a", u"/q", u"/d", u"/f"}),
            u"C:\\TC\\TrueCrypt.exe /a /q /d /f");
  // Backslashes that no quote follows stay single, a trailing one included.
  EXPECT_EQ(Build(u"p", {u"E:\\", u"a\\\\b"}), u"p E:\\ a\\\\b");
}

TEST(CommandLineTest, BlanksQuotesAndEmptyValuesAreQuoted) {
  EXPECT_EQ(Build(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", {u"/v", u"D:\\my vault.tc"}),
            u"\"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\" /v \"D:\\my vault.tc\"");
  EXPECT_EQ(Build(u"p", {u""}), u"p \"\"");
  EXPECT_EQ(Build(u"p", {u"a\"b"}), u"p \"a\\\"b\"");
  EXPECT_EQ(Build(u"p", {u"tab\there"}), u"p \"tab\there\"");
  // Backslashes before a quote, and before the closing quote, are doubled.
  EXPECT_EQ(Build(u"p", {u"a\\\"b"}), u"p \"a\\\\\\\"b\"");
  EXPECT_EQ(Build(u"p", {u"D:\\dir with blank\\"}), u"p \"D:\\dir with blank\\\\\"");
}

TEST(CommandLineTest, InjectedSwitchesStayInsideTheirArgument) {
  const std::u16string key = u"E:\\key.dat\" /p \"secret";
  const std::u16string line = Build(u"C:\\TC\\TrueCrypt.exe", {u"/k", key, u"/q"});
  const std::vector<std::u16string> args = Split(line);
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[2], key);
  EXPECT_EQ(args[3], u"/q");
}

TEST(CommandLineTest, ProgramNameIsSplitByItsOwnRule) {
  // Backslashes are ordinary in argument 0, even before the closing quote.
  EXPECT_EQ(Split(Build(u"C:\\dir x\\", {u"a"})),
            (std::vector<std::u16string>{u"C:\\dir x\\", u"a"}));
  // A quote cannot be carried there; dropping it keeps the arguments after it intact.
  EXPECT_EQ(Split(Build(u"C:\\a\" /evil \"b.exe", {u"/q"})),
            (std::vector<std::u16string>{u"C:\\a /evil b.exe", u"/q"}));
  EXPECT_EQ(Split(Build(u"", {u"x"})), (std::vector<std::u16string>{u"", u"x"}));
}

TEST(CommandLineTest, RandomArgumentsRoundTrip) {
  const std::u16string alphabet = u"ab \t\"\\\\\\/:.";
  std::mt19937 random(20240601);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::u16string> args;
    const int count = static_cast<int>(random() % 5) + 1;
    for (int n = 0; n < count; ++n) {
      std::u16string arg;
      const int length = static_cast<int>(random() % 9);
      for (int k = 0; k < length; ++k) arg += alphabet[random() % alphabet.size()];
      args.push_back(arg);
    }
    std::u16string program = u"C:\\Program Files\\T";
    if (round % 2 == 0) program += u"\\sub dir\\x.exe";
    std::u16string line;
    AppendProgramName(line, program);
    for (const auto& arg : args) {
      line += u' ';
      AppendArgument(line, arg);
    }
    std::vector<std::u16string> expected{program};
    expected.insert(expected.end(), args.begin(), args.end());
    ASSERT_EQ(Split(line), expected) << "round " << round;
  }
}

}  // namespace
}  // namespace kvn
