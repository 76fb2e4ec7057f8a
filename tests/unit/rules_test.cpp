// The pure rules: what a stick may name, who may change what runs, how a command line is quoted.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "os/token_platform.h"
#include "rules/command_line.h"
#include "rules/event_text.h"
#include "rules/path_rule.h"
#include "rules/program_rule.h"
#include "rules/rights_rule.h"
#include "rules/signature_rule.h"

namespace kvn {
namespace {

std::string Narrow(std::u16string_view text) { return {text.begin(), text.end()}; }

using Paths = std::initializer_list<std::u16string_view>;
using Strings = std::vector<std::u16string>;

// Each check takes a reason (null: passes) and the paths that get it.
TEST(Rules, PathsMustBeDriveAbsoluteAndPlain) {
  const auto check = [](const char* expected, Paths paths) {
    for (const std::u16string_view text : paths) {
      // An exact-size copy, so that a read past its end shows under AddressSanitizer.
      const std::vector<char16_t> exact(text.begin(), text.end());
      const std::u16string_view path(exact.data(), exact.size());
      const char* why = DriveAbsoluteRefusal(path);
      if (why == nullptr && !path.empty()) why = PlainPathRefusal(path);
      EXPECT_STREQ(why, expected) << Narrow(path);
    }
  };
  check(nullptr, {u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", u"c:/program files/x.tc",
                  u"Z:\\x", u"A:\\x", u"a:\\x", u"z:\\x", u"C:\\COM0", u"C:\\COM10", u"C:\\LPT",
                  u"C:\\CONSOLE", u"C:\\NULL.txt", u"C:\\x NUL"});
  check(nullptr, {u""});  // names nothing; the existence test never finds it
  check("relative path", {u"@:\\x", u"{:\\x", u"TrueCrypt.exe", u"C:TrueCrypt.exe",
                          u"\\Program Files\\x", u"1:\\x", u"c", u"C\\\\x"});
  check("UNC path",
        {u"\\\\server\\share\\x", u"//server/share/x", u"\\\\host@8443\\share\\x", u"\\\\"});
  check("device path", {u"\\\\?\\C:\\x", u"\\\\.\\PhysicalDrive1", u"\\\\?\\"});
  check("wildcard in path",
        {u"C:\\x\\*.tc", u"C:\\x\\a?.tc", u"C:\\x\\a<", u"C:\\x\\a>", u"C:\\x\\a\"tc"});
  check("stream in path", {u"D:\\v.tc::$DATA", u"D:\\v.tc:alt"});
  check("device name in path", {u"C:\\dir\\COM1.tc", u"C:\\x\\NUL", u"C:\\x\\nul.txt",
                                u"C:\\x\\CON .tc", u"C:\\aux..\\x", u"C:\\Prn\\x", u"C:\\lpt9",
                                u"C:\\COM\u00b9.tc", u"C:\\lpt\u00b2", u"C:\\x\\Com\u00b3 .."});
}

// Name surrogates and unknown tags are links anywhere; on the way to a program only the tags
// that keep the data in the file itself pass.
TEST(Rules, ReparsePointsByWhatTheyDo) {
  const auto check = [](bool link, bool keepsData, std::initializer_list<std::uint32_t> tags) {
    for (const std::uint32_t tag : tags) {
      EXPECT_EQ(IsLink(0x400, tag), link) << std::hex << tag;
      EXPECT_EQ(KeepsItsData(tag), keepsData) << std::hex << tag;
    }
  };
  check(true, false, {0xA000000C, 0xA0000003, 0});  // symbolic link, junction; unknown or unread
  check(false, true, {0x80000013, 0x80000017});     // deduplication; the overlay filter (WOF)
  // placeholders whose data a provider supplies (cloud, container isolation, projected file
  // system), and an app execution alias, which starts another program
  check(false, false, {0x9000601A, 0x80000018, 0x9000001C, 0x8000001B});
  EXPECT_FALSE(IsLink(0x010, 0xA000000C));  // no reparse point at all
}

TEST(Rules, OnlyNotFoundMeansNotThere) {
  for (const std::uint32_t error : {0u, 1u, 2u, 3u, 5u, 21u, 32u, 87u, 123u, 1920u})
    EXPECT_EQ(NotThere(error), error == 2 || error == 3) << error;
}

// What a 32-bit process on 64-bit Windows sees elsewhere than the 64-bit tool.
TEST(Rules, RedirectedPathsAreRefused) {
  const auto check = [](bool refused, std::u16string_view windows, Paths paths) {
    for (const std::u16string_view path : paths)
      EXPECT_EQ(RedirectedPathRefusal(path, windows) != nullptr, refused) << Narrow(path);
  };
  check(true, u"C:\\Windows",
        {u"C:\\Windows\\System32\\vault.tc", u"C:\\Windows\\LastGood\\system32\\x",
         u"C:\\Windows\\Sysnative\\x", u"C:\\Windows\\regedit.exe"});
  check(true, u"C:\\Windows\\", {u"c:\\windows\\system32"});
  check(true, u"D:\\Win", {u"D:\\Win\\System32\\x"});
  check(true, u"", {u"C:\\x.tc"});  // where Windows lies is unknown
  check(false, u"C:\\Windows",
        {u"C:\\Windows\\System32x\\x", u"C:\\Windows\\regedit.exe.tc", u"C:\\Windows\\SysWOW64\\x",
         u"C:\\Windows\\lastgood\\x", u"C:\\Windows", u"D:\\Windows\\System32\\x",
         u"C:\\Vaults\\v.tc"});
}

TEST(Rules, OnlyTheThreeProgramsBelowAProgramFilesFolderRun) {
  const auto check = [](const char* why, const Strings& folders, Paths paths) {
    for (const std::u16string_view path : paths)
      EXPECT_STREQ(InstalledProgramRefusal(path, folders), why) << Narrow(path);
  };
  const Strings pf = {u"C:\\Program Files", u"C:\\Program Files (x86)"};
  check(nullptr, pf,
        {u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe",
         u"C:\\Program Files\\VeraCrypt\\VeraCrypt.exe",
         u"C:\\Program Files (x86)\\VeraCrypt\\VeraCrypt-x64.exe",
         u"c:\\PROGRAM FILES\\truecrypt\\TRUECRYPT.EXE", u"C:\\Program Files\\TrueCrypt.exe"});
  check(nullptr, {u"D:\\Apps\\"}, {u"D:\\Apps\\TC\\TrueCrypt.exe"});
  check(nullptr, {u"Z:\\Apps"}, {u"Z:\\Apps\\VeraCrypt.exe"});
  check(
      "not named TrueCrypt.exe, VeraCrypt.exe or VeraCrypt-x64.exe", pf,
      {u"C:\\Program Files\\TrueCrypt\\cmd.exe", u"C:\\Program Files\\TrueCrypt\\xTrueCrypt.exe"});
  const char* kOutside = "outside the Program Files folders";
  check(kOutside, pf,
        {u"C:\\Program Files Evil\\TrueCrypt.exe", u"C:\\Program Filez\\TrueCrypt.exe",
         u"C:\\Program\\TrueCrypt.exe", u"E:\\Program Files\\TrueCrypt\\TrueCrypt.exe",
         u"C:\\TrueCrypt.exe"});
  check(kOutside, {}, {u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe"});
  check(kOutside, {u"C:\\Tools\\TrueCrypt.exe"}, {u"C:\\Tools\\TrueCrypt.exe"});
  check(kOutside, {u"", u"C:\\", u"C:", u"\\Tools"}, {u"C:\\Tools\\TrueCrypt.exe"});
  // packaged apps: the user's own, in any case, below any of the folders, but only there
  check("a packaged app's folder", pf,
        {u"C:\\Program Files\\WindowsApps\\Evil.Tools_1.0.0.0_x64__8wekyb3d8bbwe\\VeraCrypt.exe",
         u"c:\\program files (x86)\\windowsapps\\x\\TrueCrypt.exe",
         u"C:\\Program Files\\ModifiableWindowsApps\\Game\\VeraCrypt-x64.exe",
         u"C:\\Program Files\\WINDOWSAPPS\\VeraCrypt.exe"});
  check("a packaged app's folder", {u"C:\\Program Files\\Tools", u"C:\\Program Files"},
        {u"C:\\Program Files\\WindowsApps\\Tools\\VeraCrypt.exe"});
  check(nullptr, pf,
        {u"C:\\Program Files\\VeraCrypt\\WindowsApps\\VeraCrypt.exe",
         u"C:\\Program Files\\WindowsApps2\\VeraCrypt.exe",
         u"C:\\Program Files\\My WindowsApps\\VeraCrypt.exe"});
  check(
      "path cannot be resolved", pf,
      {u"", u"C:\\Program Files\\..\\Users\\TrueCrypt.exe", u"C:\\Program Files\\.\\TrueCrypt.exe",
       u"C:\\Program Files\\\\TrueCrypt.exe", u"C:/Program Files/TrueCrypt.exe",
       u"\\\\server\\Program Files\\TrueCrypt.exe", u"Program Files\\TrueCrypt\\TrueCrypt.exe"});
}

TEST(Rules, OnlyTrustedAccountsMayChangeWhatRuns) {
  const std::u16string me = u"S-1-5-21-7-7-7-1001", users = u"S-1-5-32-545", system = u"S-1-5-18";
  // SYSTEM and Administrators have full control, Users may read and run; `more` follows.
  const auto with = [&](std::u16string owner, std::vector<os::Ace> more, bool hasDacl = true) {
    more.insert(more.begin(), {{false, 0, 0x1f01ff, system},
                               {false, 0, 0x1f01ff, u"S-1-5-32-544"},
                               {false, 0, 0x1200a9, users}});
    return os::Security{std::move(owner), hasDacl, std::move(more)};
  };
  // Whether others may change it as the program, its folder and a folder above: "1" for yes.
  auto trusted = TrustedAccounts({me});  // trusted by policy
  const auto may = [&](const os::Security& security) {
    std::string places;
    for (const ChainPlace place :
         {ChainPlace::kProgram, ChainPlace::kProgramFolder, ChainPlace::kAbove})
      places += OthersMayChange(security, place, trusted) ? '1' : '0';
    return places;
  };
  // Program Files on Windows: TrustedInstaller's, full control to children only
  EXPECT_EQ(may(with(u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                     {{false, 0x0b, 0x10000000, users}, {false, 0x0b, 0x10000000, u"S-1-3-0"}})),
            "000");
  // C:\ on Windows: Authenticated Users may add folders to the root itself
  EXPECT_EQ(may(with(system, {{false, 0, 0x4, u"S-1-5-11"}})), "110");
  EXPECT_EQ(may(with(me, {})), "000");                                  // mode 0755 under Wine
  EXPECT_EQ(may(with(me, {{false, 0, 0x1301ff, u"S-1-1-0"}})), "111");  // mode 0777
  EXPECT_EQ(may(with(users, {})), "111");
  EXPECT_EQ(may(with(u"", {})), "111");
  EXPECT_EQ(may(with(system, {}, false)), "111");  // a NULL DACL
  // 0x10 writes extended attributes, 0x100 attributes: it may set a reparse point
  for (const std::uint32_t mask : {0x2u, 0x10u, 0x100u, 0x40000000u})
    EXPECT_EQ(may(with(system, {{false, 0, mask, users}})), "110") << std::hex << mask;
  for (const std::uint32_t mask : {0x10000u, 0x40000u, 0x80000u, 0x10000000u})
    EXPECT_EQ(may(with(system, {{false, 0, mask, users}})), "111") << std::hex << mask;
  EXPECT_EQ(may(with(system, {{false, 0, 0x40, users}})), "011");
  EXPECT_EQ(may(with(system, {{false, 0x08, 0x11f01ff, users}})), "000");  // inherit-only
  EXPECT_EQ(may(with(system, {{true, 0, 0x1f01ff, users}})), "000");       // a deny only takes away
  EXPECT_EQ(may(with(system, {{false, 0, 0x1f01ff, me}})), "000");
  EXPECT_EQ(may(with(system, {{false, 0, 0x1f01ff, u""}})), "111");
  // Without the policy, the account that runs the program is no one special.
  trusted = TrustedAccounts({});
  EXPECT_EQ(may(with(me, {})), "111");
  EXPECT_EQ(may(with(system, {{false, 0, 0x2, me}})), "110");
}

// The policy names accounts: a SID of this machine or domain with the Administrator's or a later
// account's relative ID, which Windows names a user; never a group, well-known or not.
TEST(Rules, PolicyTrustsOnlyAccounts) {
  EXPECT_EQ(TrustedAccounts({u"S-1-5-21-1-2-3-1104"}).size(), 4u);
  const auto check = [](const char* why, Paths entries) {
    for (const std::u16string_view entry : entries)
      EXPECT_STREQ(PolicyEntryTextRefusal(entry), why) << Narrow(entry);
  };
  check(nullptr, {u"S-1-5-21-1-2-3-1104", u"S-1-5-21-9-9-9-500", u"S-1-5-21-4294967295-1-2-1000"});
  check("a well-known group or shared identity, not an account", {u"S-1-1-0",
                                                                  u"S-1-2-0",
                                                                  u"S-1-3-0",
                                                                  u"S-1-5-4",
                                                                  u"S-1-5-11",
                                                                  u"S-1-5-14",
                                                                  u"S-1-5-18",
                                                                  u"S-1-5-19",
                                                                  u"S-1-5-113",
                                                                  u"S-1-5-114",
                                                                  u"S-1-18-1",
                                                                  u"S-1-5-32-544",
                                                                  u"S-1-5-32-545",
                                                                  u"S-1-5-32-555",
                                                                  u"S-1-5-64-10",
                                                                  u"S-1-5-80-1-2-3-4-5",
                                                                  u"S-1-15-2-1",
                                                                  u"S-1-16-12288",
                                                                  u"S-1-5-5-0-123",
                                                                  u"S-1-5-21-1-2-3-513",
                                                                  u"S-1-5-21-1-2-3-514",
                                                                  u"S-1-5-21-1-2-3-515",
                                                                  u"S-1-5-21-1-2-3-501",
                                                                  u"S-1-5-21-1-2-3-999",
                                                                  u"S-1-5-21-1-2-1104",
                                                                  u"S-1-5-22-1-2-3-1104",
                                                                  u"S-1-5-21-1-2-3-4-1104"});
  check("not a SID",
        {u"", u"Administrators", u"S-1-5-21--1", u"S-1-5-21-1-", u"S-1-", u"S-1-X-21", u"S-1--5",
         u"s-1-5-21-1-2-3-1104", u"S-2-5-21-1-2-3-1104", u"S-1-5-21-1-2-3-11040000000"});
  EXPECT_EQ(AccountKindRefusal(kSidTypeUser), nullptr);
  for (const std::uint32_t group : {2u, 4u, 5u})
    EXPECT_STREQ(AccountKindRefusal(group), "a group, not an account") << group;
  EXPECT_STREQ(AccountKindRefusal(9), "a computer, not an account");
  for (const std::uint32_t other : {0u, 3u, 6u, 7u, 8u, 10u, 11u})
    EXPECT_STREQ(AccountKindRefusal(other), "not an account Windows knows") << other;
}

// Only the makers' signature, or a signer the policy names, by organisation and country alike.
TEST(Rules, OnlyTheMakersSignatureRuns) {
  const Strings policy = {u"Kelvarn Lab (DE)", u"Contoso", u" (US)"};
  const std::vector<std::tuple<std::uint32_t, std::u16string, std::u16string, const char*>> table =
      {
          {0, u"IDRIX", u"FR", ""},
          {0, u"TrueCrypt Foundation", u"US", ""},
          {0, u"Kelvarn Lab", u"DE", ""},
          {0, u"IDRIX", u"DE", "signed by IDRIX (DE), not by its maker"},
          {0, u"idrix", u"FR", "signed by idrix (FR), not by its maker"},
          {0, u"TrueCrypt Foundation", u"", "signed by TrueCrypt Foundation (), not by its maker"},
          {0, u"Kelvarn Lab", u"AT", "signed by Kelvarn Lab (AT), not by its maker"},
          {0, u"Contoso", u"US", "signed by Contoso (US), not by its maker"},
          {0, u"", u"US", "signed by no organisation (US), not by its maker"},
          {0x800B0100, u"IDRIX", u"FR", "not signed"},
          {0x80096010, u"", u"", "signature not valid, error 0x80096010"},  // a byte changed
          {0x800B0109, u"", u"", "signature not valid, error 0x800b0109"},  // untrusted root
          {0x800B010C, u"", u"", "signature not valid, error 0x800b010c"},  // revoked
          {0x800B0101, u"", u"",
           "signature not valid, error 0x800b0101"},  // expired, no time stamp
          {0x800B0111, u"", u"", "signature not valid, error 0x800b0111"},  // distrusted
          {0x1, u"IDRIX", u"FR", "signature not valid, error 0x00000001"},
      };
  for (const auto& [verdict, organization, country, why] : table)
    EXPECT_EQ(Narrow(SignatureRefusal(verdict, organization, country, policy)), why)
        << std::hex << verdict << " " << Narrow(organization);
  EXPECT_EQ(Narrow(SignatureRefusal(0, u"Kelvarn Lab", u"DE", {})),
            "signed by Kelvarn Lab (DE), not by its maker");
}

// What a stick wrote reaches an event shown, never read: "%", controls, lone surrogates and
// what reorders or hides text are escaped, a pair and any other character stand; bounded.
TEST(Rules, EventTextIsInert) {
  const std::vector<std::pair<std::u16string, std::u16string>> table = {
      {u"C:\\%%1%%2x%1.tc", u"C:\\\\x25\\x251\\x25\\x252x\\x251.tc"},
      {u"a\r\nb\tc\x7f\x85\x9f\xa0", u"a\\x0d\\x0ab\\x09c\\x7f\\x85\\x9f\xa0"},
      {u"x\u202ey\u200b\u2066\ufeff\u061c\u200f\u2069",
       u"x\\u202ey\\u200b\\u2066\\ufeff\\u061c\\u200f\\u2069"},
      {u"\xd83d\xde00 \xd83d \xde00", u"\xd83d\xde00 \\ud83d \\ude00"},
      {u"D:\\V\u00e9ra \u0440\u2010x", u"D:\\V\u00e9ra \u0440\u2010x"},
  };
  for (const auto& [text, shown] : table) EXPECT_EQ(Narrow(InertEventText(text)), Narrow(shown));
  const std::u16string cut = InertEventText(std::u16string(300, u'%'));
  EXPECT_EQ(cut.size(), kMaxEventText);
  EXPECT_EQ(cut.substr(kMaxEventText - 3), u"...");
  EXPECT_EQ(InertEventText(std::u16string(kMaxEventText, u'a')).size(), kMaxEventText);
  const std::u16string pair = InertEventText(std::u16string(508, u'a') +
                                             u"\xd83d\xde00"
                                             u"xyz");
  EXPECT_EQ(pair, std::u16string(508, u'a') + u"...");  // no half of a pair before the cut
}

// Splits a command line as CommandLineToArgvW and the MSVC C runtime do. Written from the
// rules, independently of the quoting code.
Strings Split(const std::u16string& line) {
  const auto blank = [&](std::size_t i) { return line[i] == u' ' || line[i] == u'\t'; };
  Strings args(1);  // argument 0: to the next quote when quoted, else a blank
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
  std::vector<std::pair<std::u16string, Strings>> lines = {
      {u"C:\\TC\\TrueCrypt.exe", {u"/k", u"E:\\key.dat\" /p \"secret", u"/q"}},
      {u"C:\\dir x\\", {u"a"}},  // backslashes are ordinary in argument 0
      {u"C:\\a\" /evil \"b.exe", {u"/q"}},
      {u"C:\\tab\tdir\\x.exe", {u"/q"}},
  };
  const std::u16string alphabet = u"ab \t\"\\\\\\/:.";
  std::mt19937 random(20240601);
  for (int round = 0; round < 3000; ++round) {
    Strings args(random() % 5 + 1);
    for (auto& arg : args)
      for (auto length = random() % 9; length > 0; --length)
        arg += alphabet[random() % alphabet.size()];
    lines.emplace_back(round % 2 == 0 ? u"C:\\Program Files\\T\\sub dir\\x.exe" : u"C:\\T", args);
  }
  for (const auto& [program, args] : lines) {
    std::u16string line;
    AppendProgramName(line, program);
    for (const auto& arg : args) AppendArgument(line += u' ', arg);
    Strings expected{program};
    expected[0].erase(std::remove(expected[0].begin(), expected[0].end(), u'"'), expected[0].end());
    expected.insert(expected.end(), args.begin(), args.end());
    ASSERT_EQ(Split(line), expected);
  }
}

}  // namespace
}  // namespace kvn
