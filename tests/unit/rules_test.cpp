// The pure rules on what a stick may name and on who may change what runs, each a table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/strings.h"
#include "os/token_platform.h"
#include "rules/path_rule.h"
#include "rules/program_rule.h"
#include "rules/rights_rule.h"

namespace kvn {
namespace {

std::string Narrow(std::u16string_view text) { return {text.begin(), text.end()}; }

TEST(Rules, PathsMustBeDriveAbsoluteAndPlain) {
  const struct {
    const char16_t* path;
    const char* why;
  } rows[] = {
      {u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", nullptr},
      {u"c:/program files/x.tc", nullptr},
      {u"", nullptr},  // names nothing; the existence test never finds it
      {u"Z:\\x", nullptr},
      {u"A:\\x", nullptr},
      {u"a:\\x", nullptr},
      {u"z:\\x", nullptr},
      {u"@:\\x", "relative path"},
      {u"{:\\x", "relative path"},
      {u"TrueCrypt.exe", "relative path"},
      {u"C:TrueCrypt.exe", "relative path"},
      {u"\\Program Files\\x", "relative path"},
      {u"1:\\x", "relative path"},
      {u"c", "relative path"},
      {u"\\\\server\\share\\x", "UNC path"},
      {u"//server/share/x", "UNC path"},
      {u"\\\\host@8443\\share\\x", "UNC path"},
      {u"\\\\", "UNC path"},
      {u"C\\\\x", "relative path"},
      {u"\\\\?\\C:\\x", "device path"},
      {u"\\\\.\\PhysicalDrive1", "device path"},
      {u"C:\\x\\*.tc", "wildcard in path"},
      {u"C:\\x\\a?.tc", "wildcard in path"},
      {u"C:\\x\\a<", "wildcard in path"},
      {u"C:\\x\\a>", "wildcard in path"},
      {u"C:\\x\\a\"tc", "wildcard in path"},
      {u"D:\\v.tc::$DATA", "stream in path"},
      {u"D:\\v.tc:alt", "stream in path"},
      {u"C:\\dir\\COM1.tc", "device name in path"},
      {u"C:\\x\\NUL", "device name in path"},
      {u"C:\\x\\nul.txt", "device name in path"},
      {u"C:\\x\\CON .tc", "device name in path"},
      {u"C:\\aux..\\x", "device name in path"},
      {u"C:\\Prn\\x", "device name in path"},
      {u"C:\\lpt9", "device name in path"},
      {u"C:\\COM\u00b9.tc", "device name in path"},
      {u"C:\\lpt\u00b2", "device name in path"},
      {u"C:\\x\\Com\u00b3 ..", "device name in path"},
      {u"C:\\COM0", nullptr},
      {u"C:\\COM10", nullptr},
      {u"C:\\LPT", nullptr},
      {u"C:\\CONSOLE", nullptr},
      {u"C:\\NULL.txt", nullptr},
      {u"C:\\x NUL", nullptr},
  };
  for (const auto& row : rows) {
    const char* why = DriveAbsoluteRefusal(row.path);
    if (why == nullptr && row.path[0] != u'\0') why = PlainPathRefusal(row.path);
    EXPECT_STREQ(why, row.why) << Narrow(row.path);
  }
}

// Name surrogates and unknown tags are links anywhere; on the way to a program only the tags
// that keep the data in the file itself pass.
TEST(Rules, ReparsePointsByWhatTheyDo) {
  const struct {
    std::uint32_t tag;
    bool link, keepsData;
  } rows[] = {
      {0xA000000C, true, false},   // symbolic link
      {0xA0000003, true, false},   // junction or volume mount point
      {0, true, false},            // a tag nobody told, or one that could not be read
      {0x80000013, false, true},   // deduplication
      {0x80000017, false, true},   // compressed by the overlay filter (WOF)
      {0x9000601A, false, false},  // a cloud placeholder: a provider supplies the data
      {0x8000001B, false, false},  // an app execution alias: starts another program
      {0x80000018, false, false},  // a container isolation (WCI) placeholder
      {0x9000001C, false, false},  // a projected file system placeholder
  };
  for (const auto& row : rows) {
    EXPECT_EQ(IsLink(0x400, row.tag), row.link) << std::hex << row.tag;
    EXPECT_EQ(KeepsItsData(row.tag), row.keepsData) << std::hex << row.tag;
  }
  EXPECT_FALSE(IsLink(0x010, 0xA000000C));  // no reparse point at all
}

// Only "not found" answers say an entry is not there.
TEST(Rules, OnlyNotFoundMeansNotThere) {
  for (const std::uint32_t error : {2u, 3u}) EXPECT_TRUE(NotThere(error)) << error;
  for (const std::uint32_t error : {0u, 1u, 5u, 21u, 32u, 87u, 123u, 1920u}) {
    EXPECT_FALSE(NotThere(error)) << error;
  }
}

// What a 32-bit process on 64-bit Windows sees elsewhere than the 64-bit tool.
TEST(Rules, RedirectedPathsAreRefused) {
  const struct {
    const char16_t* path;
    const char16_t* windows;
    bool refused;
  } rows[] = {
      {u"C:\\Windows\\System32\\vault.tc", u"C:\\Windows", true},
      {u"c:\\windows\\system32", u"C:\\Windows\\", true},
      {u"C:\\Windows\\LastGood\\system32\\x", u"C:\\Windows", true},
      {u"C:\\Windows\\Sysnative\\x", u"C:\\Windows", true},
      {u"C:\\Windows\\regedit.exe", u"C:\\Windows", true},
      {u"D:\\Win\\System32\\x", u"D:\\Win", true},
      {u"C:\\x.tc", u"", true},  // where Windows lies is unknown
      {u"C:\\Windows\\System32x\\x", u"C:\\Windows", false},
      {u"C:\\Windows\\regedit.exe.tc", u"C:\\Windows", false},
      {u"C:\\Windows\\SysWOW64\\x", u"C:\\Windows", false},
      {u"C:\\Windows\\lastgood\\x", u"C:\\Windows", false},
      {u"C:\\Windows", u"C:\\Windows", false},
      {u"D:\\Windows\\System32\\x", u"C:\\Windows", false},
      {u"C:\\Vaults\\v.tc", u"C:\\Windows", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(RedirectedPathRefusal(row.path, row.windows) != nullptr, row.refused)
        << Narrow(row.path);
  }
}

TEST(Rules, OnlyTheThreeProgramsBelowAProgramFilesFolderRun) {
  const std::vector<std::u16string> pf = {u"C:\\Program Files", u"C:\\Program Files (x86)"};
  const char* kName = "not named TrueCrypt.exe, VeraCrypt.exe or VeraCrypt-x64.exe";
  const char* kOutside = "outside the Program Files folders";
  const char* kUnresolved = "path cannot be resolved";
  const struct {
    const char16_t* path;
    std::vector<std::u16string> folders;
    const char* why;
  } rows[] = {
      {u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", pf, nullptr},
      {u"C:\\Program Files\\VeraCrypt\\VeraCrypt.exe", pf, nullptr},
      {u"C:\\Program Files (x86)\\VeraCrypt\\VeraCrypt-x64.exe", pf, nullptr},
      {u"c:\\PROGRAM FILES\\truecrypt\\TRUECRYPT.EXE", pf, nullptr},
      {u"C:\\Program Files\\TrueCrypt.exe", pf, nullptr},
      {u"D:\\Apps\\TC\\TrueCrypt.exe", {u"D:\\Apps\\"}, nullptr},
      {u"Z:\\Apps\\VeraCrypt.exe", {u"Z:\\Apps"}, nullptr},
      {u"C:\\Program Files\\TrueCrypt\\cmd.exe", pf, kName},
      {u"C:\\Program Files\\TrueCrypt\\xTrueCrypt.exe", pf, kName},
      {u"C:\\Program Files Evil\\TrueCrypt.exe", pf, kOutside},
      {u"C:\\Program Filez\\TrueCrypt.exe", pf, kOutside},
      {u"C:\\Program\\TrueCrypt.exe", pf, kOutside},
      {u"E:\\Program Files\\TrueCrypt\\TrueCrypt.exe", pf, kOutside},
      {u"C:\\TrueCrypt.exe", pf, kOutside},
      {u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", {}, kOutside},
      {u"C:\\Tools\\TrueCrypt.exe", {u"C:\\Tools\\TrueCrypt.exe"}, kOutside},
      {u"C:\\Tools\\TrueCrypt.exe", {u"", u"C:\\", u"C:", u"\\Tools"}, kOutside},
      {u"", pf, kUnresolved},
      {u"C:\\Program Files\\..\\Users\\TrueCrypt.exe", pf, kUnresolved},
      {u"C:\\Program Files\\.\\TrueCrypt.exe", pf, kUnresolved},
      {u"C:\\Program Files\\\\TrueCrypt.exe", pf, kUnresolved},
      {u"C:/Program Files/TrueCrypt.exe", pf, kUnresolved},
      {u"\\\\server\\Program Files\\TrueCrypt.exe", pf, kUnresolved},
      {u"Program Files\\TrueCrypt\\TrueCrypt.exe", pf, kUnresolved},
  };
  for (const auto& row : rows) {
    EXPECT_STREQ(InstalledProgramRefusal(row.path, row.folders), row.why) << Narrow(row.path);
  }
}

TEST(Rules, OnlyTrustedAccountsMayChangeWhatRuns) {
  const std::u16string me = u"S-1-5-21-7-7-7-1001", users = u"S-1-5-32-545";
  const std::u16string installer =
      u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const os::Ace system{false, 0, 0x1f01ff, u"S-1-5-18"},
      admins{false, 0, 0x1f01ff, u"S-1-5-32-544"};
  const os::Ace usersRead{false, 0, 0x1200a9, users};
  const auto with = [&](std::u16string owner, std::vector<os::Ace> more, bool hasDacl = true) {
    std::vector<os::Ace> dacl = {system, admins, usersRead};
    dacl.insert(dacl.end(), more.begin(), more.end());
    return os::Security{std::move(owner), hasDacl, dacl};
  };
  const auto grant = [&](std::uint32_t mask, std::uint8_t flags = 0) {
    return os::Ace{false, flags, mask, users};
  };
  constexpr ChainPlace kFile = ChainPlace::kProgram, kFolder = ChainPlace::kProgramFolder,
                       kAbove = ChainPlace::kAbove;
  const struct {
    os::Security security;
    bool file, folder, above;  // whether others may change it at each place
  } rows[] = {
      // Program Files on Windows: TrustedInstaller's, full control to children only
      {with(installer, {grant(0x10000000, 0x0b), {false, 0x0b, 0x10000000, u"S-1-3-0"}}), 0, 0, 0},
      // C:\ on Windows: Authenticated Users may add folders to the root itself
      {with(u"S-1-5-18", {{false, 0, 0x4, u"S-1-5-11"}}), 1, 1, 0},
      {with(me, {}), 0, 0, 0},                                  // a folder of mode 0755 under Wine
      {with(me, {{false, 0, 0x1301ff, u"S-1-1-0"}}), 1, 1, 1},  // mode 0777
      {with(users, {}), 1, 1, 1},
      {with(u"", {}), 1, 1, 1},
      {with(u"S-1-5-18", {}, false), 1, 1, 1},  // a NULL DACL
      {with(u"S-1-5-18", {grant(0x2)}), 1, 1, 0},
      {with(u"S-1-5-18", {grant(0x40)}), 0, 1, 1},
      {with(u"S-1-5-18", {grant(0x100)}), 1, 1, 0},  // write attributes: may set a reparse point
      {with(u"S-1-5-18", {grant(0x10)}), 1, 1, 0},   // write extended attributes
      {with(u"S-1-5-18", {grant(0x10000)}), 1, 1, 1},
      {with(u"S-1-5-18", {grant(0x40000)}), 1, 1, 1},
      {with(u"S-1-5-18", {grant(0x80000)}), 1, 1, 1},
      {with(u"S-1-5-18", {grant(0x40000000)}), 1, 1, 0},
      {with(u"S-1-5-18", {grant(0x10000000)}), 1, 1, 1},
      {with(u"S-1-5-18", {grant(0x11f01ff, 0x08)}), 0, 0, 0},      // inherit-only
      {with(u"S-1-5-18", {{true, 0, 0x1f01ff, users}}), 0, 0, 0},  // a deny only takes away
      {with(u"S-1-5-18", {{false, 0, 0x1f01ff, me}}), 0, 0, 0},
      {with(u"S-1-5-18", {{false, 0, 0x1f01ff, u""}}), 1, 1, 1},
  };
  const std::vector<std::u16string> trusted = TrustedAccounts({me});  // trusted by policy
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const os::Security& s = rows[i].security;
    EXPECT_EQ(OthersMayChange(s, kFile, trusted), rows[i].file) << "row " << i;
    EXPECT_EQ(OthersMayChange(s, kFolder, trusted), rows[i].folder) << "row " << i;
    EXPECT_EQ(OthersMayChange(s, kAbove, trusted), rows[i].above) << "row " << i;
  }
  // Without the policy, the account that runs the program is no one special.
  EXPECT_TRUE(OthersMayChange(with(me, {}), kAbove, TrustedAccounts({})));
  EXPECT_TRUE(
      OthersMayChange(with(u"S-1-5-18", {{false, 0, 0x2, me}}), kFile, TrustedAccounts({})));
}

// The policy adds SIDs, never a group everyone is in, nor anything that is no SID.
TEST(Rules, PolicyTrustsOnlyNamedAccounts) {
  const std::vector<std::u16string> builtIn = TrustedAccounts({});
  EXPECT_EQ(builtIn.size(), 3u);
  const std::vector<std::u16string> trusted =
      TrustedAccounts({u"S-1-5-21-1-2-3-1104", u"S-1-5-21-9-9-9-1009", u"S-1-1-0", u"S-1-5-11",
                       u"S-1-5-32-545", u"S-1-5-4", u"S-1-3-0", u"", u"Administrators",
                       u"S-1-5-21--1", u"S-1-5-21-1-", u"S-1-", u"s-1-5-18x", u"S-2-5-21-9"});
  const std::vector<std::u16string> named = {u"S-1-5-21-1-2-3-1104", u"S-1-5-21-9-9-9-1009"};
  EXPECT_EQ(std::vector<std::u16string>(trusted.begin() + 3, trusted.end()), named);
}

}  // namespace
}  // namespace kvn
