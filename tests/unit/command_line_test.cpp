// Child command lines: each value comes back from the Windows splitting rules as exactly the
// argument it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "rules/command_line.h"

namespace kvn {
namespace {

// Splits a command line as CommandLineToArgvW and the MSVC C runtime do. Written from the
// rules, independently of the quoting code.
std::vector<std::u16string> Split(const std::u16string& line) {
  const auto blank = [&](std::size_t i) { return line[i] == u' ' || line[i] == u'\t'; };
  std::vector<std::u16string> args(1);  // argument 0: to the next quote when quoted, else a blank
  const bool quotedName = !line.empty() && line[0] == u'"';
  std::size_t i = quotedName ? 1 : 0;
  for (; i < line.size() && (quotedName ? line[i] != u'"' : !blank(i)); ++i) args[0] += line[i];
  if (quotedName && i < line.size()) ++i;
  for (;;) {
    while (i < line.size() && blank(i)) ++i;
    if (i == line.size()) return args;
    std::u16string& arg = args.emplace_back();
    for (bool quoted = false; i < line.size() && (quoted || !blank(i));) {
      std::size_t n = 0;
      for (; i < line.size() && line[i] == u'\\'; ++i) ++n;
      if (i < line.size() && line[i] == u'"') {        // 2n or 2n+1 backslashes: n, then the quote
        arg.append(n / 2, u'\\').append(n % 2, u'"');  // a literal one, or one that toggles
        if (n % 2 == 0) quoted = !quoted;
        ++i;
      } else {
        arg.append(n, u'\\');  // before anything else, backslashes stand as they are
        if (n == 0) arg += line[i++];
      }
    }
  }
}

// Every argument comes back as it was. The program name too, less any quote: it cannot carry
// one there, and dropping it keeps the arguments after it intact.
TEST(CommandLineTest, EveryArgumentComesBackAsItWas) {
  // Plain values stand as they are: backslashes that no quote follows stay single, a trailing
  // one included. Line feeds and vertical tabs are quoted, for parsers that split on them.
  EXPECT_EQ(
      BuildCommandLine(u"C:\\TC\\TrueCrypt.exe", {u"/v", u"E:\\", u"a\\\\b", u"l\nf", u"v\vt"}),
      u"C:\\TC\\TrueCrypt.exe /v E:\\ a\\\\b \"l\nf\" \"v\vt\"");
  std::vector<std::pair<std::u16string, std::vector<std::u16string>>> lines = {
      {u"C:\\TC\\TrueCrypt.exe", {u"/k", u"E:\\key.dat\" /p \"secret", u"/q"}},
      {u"C:\\dir x\\", {u"a"}},  // backslashes are ordinary in argument 0
      {u"C:\\a\" /evil \"b.exe", {u"/q"}},
      {u"C:\\tab\tdir\\x.exe", {u"/q"}},
  };
  const std::u16string alphabet = u"ab \t\"\\\\\\/:.";
  std::mt19937 random(20240601);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::u16string> args(random() % 5 + 1);
    for (auto& arg : args) {
      for (auto length = random() % 9; length > 0; --length)
        arg += alphabet[random() % alphabet.size()];
    }
    lines.emplace_back(round % 2 == 0 ? u"C:\\Program Files\\T\\sub dir\\x.exe" : u"C:\\T", args);
  }
  for (const auto& [program, args] : lines) {
    std::u16string line;
    AppendProgramName(line, program);
    for (const auto& arg : args) AppendArgument(line += u' ', arg);
    std::vector<std::u16string> expected{program};
    expected[0].erase(std::remove(expected[0].begin(), expected[0].end(), u'"'), expected[0].end());
    expected.insert(expected.end(), args.begin(), args.end());
    ASSERT_EQ(Split(line), expected);
  }
}

}  // namespace
}  // namespace kvn
