// Which program the stick may name: only an installed TrueCrypt or VeraCrypt.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "token/program_rule.h"

namespace kvn {
namespace {

const std::vector<std::u16string> kFolders = {u"C:\\Program Files", u"C:\\Program Files (x86)"};

const char* Judge(std::u16string_view path, const std::vector<std::u16string>& folders = kFolders) {
  return InstalledProgramRefusal(path, path, folders);
}

TEST(ProgramRuleTest, ValuesThatAreNoAbsoluteDrivePathAreRefusedAsWritten) {
  EXPECT_EQ(ProgramSyntaxRefusal(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe"), nullptr);
  EXPECT_EQ(ProgramSyntaxRefusal(u"c:/program files/truecrypt/truecrypt.exe"), nullptr);
  EXPECT_EQ(ProgramSyntaxRefusal(u""), nullptr);  // left to the existence test
  EXPECT_STREQ(ProgramSyntaxRefusal(u"TrueCrypt.exe"), "relative path");
  EXPECT_STREQ(ProgramSyntaxRefusal(u"C:TrueCrypt.exe"), "relative path");
  EXPECT_STREQ(ProgramSyntaxRefusal(u"\\Program Files\\TrueCrypt.exe"), "relative path");
  EXPECT_STREQ(ProgramSyntaxRefusal(u"\\\\server\\share\\TrueCrypt.exe"), "UNC path");
  EXPECT_STREQ(ProgramSyntaxRefusal(u"//server/share/TrueCrypt.exe"), "UNC path");
  EXPECT_STREQ(ProgramSyntaxRefusal(u"\\\\?\\C:\\Program Files\\TrueCrypt.exe"), "device path");
  EXPECT_STREQ(ProgramSyntaxRefusal(u"\\\\.\\C:\\Program Files\\TrueCrypt.exe"), "device path");
  EXPECT_STREQ(ProgramSyntaxRefusal(u"C:\\Program Files\\*\\TrueCrypt.exe"), "wildcard in path");
  EXPECT_STREQ(ProgramSyntaxRefusal(u"C:\\Program Files\\TrueCrypt\\TrueCryp?.exe"),
               "wildcard in path");
  EXPECT_STREQ(ProgramSyntaxRefusal(u"C:\\Program Files\\TrueCrypt\\TrueCrypt<"),
               "wildcard in path");
}

TEST(ProgramRuleTest, OnlyTheThreeProgramNamesAreAccepted) {
  EXPECT_EQ(Judge(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe"), nullptr);
  EXPECT_EQ(Judge(u"C:\\Program Files\\VeraCrypt\\VeraCrypt.exe"), nullptr);
  EXPECT_EQ(Judge(u"C:\\Program Files (x86)\\VeraCrypt\\VeraCrypt-x64.exe"), nullptr);
  EXPECT_EQ(Judge(u"c:\\PROGRAM FILES\\truecrypt\\TRUECRYPT.EXE"), nullptr);
  EXPECT_EQ(Judge(u"C:\\Program Files\\TrueCrypt.exe"), nullptr);
  const char* kName = "not named TrueCrypt.exe, VeraCrypt.exe or VeraCrypt-x64.exe";
  EXPECT_STREQ(Judge(u"C:\\Program Files\\TrueCrypt\\cmd.exe"), kName);
  EXPECT_STREQ(Judge(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe:stream"), kName);
  EXPECT_STREQ(Judge(u"C:\\Program Files\\TrueCrypt\\xTrueCrypt.exe"), kName);
}

TEST(ProgramRuleTest, FoldersAreComparedByWholeComponentsAndMustNameAFolderOnADrive) {
  const char* kOutside = "outside the Program Files folders";
  EXPECT_STREQ(Judge(u"C:\\Program Files Evil\\TrueCrypt.exe"), kOutside);
  EXPECT_STREQ(Judge(u"C:\\Program\\TrueCrypt.exe"), kOutside);
  EXPECT_STREQ(Judge(u"E:\\Program Files\\TrueCrypt\\TrueCrypt.exe"), kOutside);  // the stick
  EXPECT_STREQ(Judge(u"C:\\TrueCrypt.exe"), kOutside);
  EXPECT_STREQ(Judge(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", {}), kOutside);
  // A folder given with its trailing backslash still counts; one that would admit too much
  // does not.
  EXPECT_EQ(Judge(u"D:\\Apps\\TC\\TrueCrypt.exe", {u"D:\\Apps\\"}), nullptr);
  for (const char16_t* folder : {u"", u"C:\\", u"C:", u"\\Tools"}) {
    EXPECT_STREQ(Judge(u"C:\\Tools\\TrueCrypt.exe", {folder}), kOutside);
  }
}

TEST(ProgramRuleTest, UnresolvedPathsAreRefused) {
  const char* kUnresolved = "path cannot be resolved";
  EXPECT_STREQ(InstalledProgramRefusal(u"", u"", kFolders), kUnresolved);
  EXPECT_STREQ(
      InstalledProgramRefusal(u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", u"", kFolders),
      kUnresolved);
  // Resolution that left "..", "." or doubled separators behind is not trusted.
  EXPECT_STREQ(Judge(u"C:\\Program Files\\..\\Users\\TrueCrypt.exe"), kUnresolved);
  EXPECT_STREQ(Judge(u"C:\\Program Files\\.\\TrueCrypt.exe"), kUnresolved);
  EXPECT_STREQ(Judge(u"C:\\Program Files\\\\TrueCrypt.exe"), kUnresolved);
  EXPECT_STREQ(Judge(u"C:/Program Files/TrueCrypt.exe"), kUnresolved);
  EXPECT_STREQ(Judge(u"\\\\server\\Program Files\\TrueCrypt.exe"), kUnresolved);
}

}  // namespace
}  // namespace kvn
