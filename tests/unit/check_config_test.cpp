// CheckConfig: every result with its exact trace bytes and the fields it leaves behind.
#include <string>

#include "token_fixture.h"

namespace kvn::testing {
namespace {

// The lines of an accepted check up to the drive letter, for the standard stick on E:.
const std::string kUpToTarget =
    "Loading file: E:\\kvn.ini\r\n"
    "GetValue for TrueCrypt\r\n"
    "TrueCryptPath: C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\r\n"
    "GetValue for Key\r\n"
    "SetValue Key Drive\r\n"
    "SetValue Key file\r\n"
    "Keyfile found: E:\\key.dat\r\n"
    "GetValue for Container\r\n"
    "Container found: D:\\vault.tc\r\n"
    "GetValue for TargetDrive\r\n";

class CheckConfigTest : public TokenTest {
 protected:
  // Checks the stick on E: with `ini`; the fields start with marks that show what was
  // written.
  int Check(const Ini& ini = {}) {
    AddStick(u'E', ini);
    return CheckOnly();
  }
  int CheckOnly() {
    SecureToken& t = Token();
    CopyBounded(t.trueCryptPath, u"old tool");
    CopyBounded(t.keyFilePath, u"old key");
    CopyBounded(t.containerPath, u"old container");
    CopyBounded(t.targetDrive, u"o");
    CopyBounded(t.ifUsed, u"o");
    t.configPath[0] = u'E';
    return t.CheckConfig(t.configPath);
  }
  std::u16string Field(const char16_t* field) const { return field; }
};

TEST_F(CheckConfigTest, FreeTargetIsAccepted) {
  EXPECT_EQ(Check(), ConfigOk);
  SecureToken& t = Token();
  EXPECT_EQ(Field(t.trueCryptPath), kProgram16);
  EXPECT_EQ(Field(t.keyFilePath), u"E:\\key.dat");
  EXPECT_EQ(Field(t.containerPath), u"D:\\vault.tc");
  EXPECT_EQ(Field(t.targetDrive), u"T");
  EXPECT_EQ(Field(t.ifUsed), u"o");  // not read
  EXPECT_FALSE(t.tokenPresent);
  // The last line closes itself with "\n" and waits for the next flush.
  EXPECT_EQ(Flushed(), kUpToTarget + "TargetDrive: T\r\nFirstFreeDrive is: A\r\n");
  EXPECT_EQ(Closed(), kUpToTarget +
                          "TargetDrive: T\r\nFirstFreeDrive is: A\r\n"
                          "TargetDrive is free.\r\n");
}

TEST_F(CheckConfigTest, MissingOrEmptyFileIsUnreadableAndChangesNothing) {
  platform.AddDrive(u'E', fake::kDriveRemovable);
  EXPECT_EQ(CheckOnly(), ConfigUnreadable);
  platform.AddFile(u"E:\\kvn.ini", "");
  EXPECT_EQ(Token().CheckConfig(Token().configPath), ConfigUnreadable);
  SecureToken& t = Token();
  EXPECT_EQ(Field(t.trueCryptPath), u"old tool");
  EXPECT_EQ(Field(t.keyFilePath), u"old key");
  EXPECT_EQ(Field(t.containerPath), u"old container");
  EXPECT_EQ(Field(t.targetDrive), u"o");
  EXPECT_EQ(Closed(),
            "Loading file: E:\\kvn.ini\r\nFailed to open file.\r\n"
            "Loading file: E:\\kvn.ini\r\nFailed to open file.\r\n");
}

TEST_F(CheckConfigTest, MissingProgramIsResultTwo) {
  platform.RemoveFile(kProgram16);
  EXPECT_EQ(Check(), TrueCryptNotFound);
  SecureToken& t = Token();
  EXPECT_EQ(Field(t.trueCryptPath), kProgram16);
  EXPECT_EQ(Field(t.keyFilePath), u"old key");
  EXPECT_EQ(Closed(),
            "Loading file: E:\\kvn.ini\r\nGetValue for TrueCrypt\r\n"
            "TrueCrypt not found. Search string: C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\r\n");
}

TEST_F(CheckConfigTest, MissingKeyFileIsResultThreeWithTheRootAndValue) {
  Ini ini;
  ini.key = "keys\\other.dat";
  EXPECT_EQ(Check(ini), KeyFileNotFound);
  SecureToken& t = Token();
  EXPECT_EQ(Field(t.trueCryptPath), kProgram16);
  EXPECT_EQ(Field(t.keyFilePath), u"E:\\keys\\other.dat");
  EXPECT_EQ(Field(t.containerPath), u"old container");
  EXPECT_EQ(Closed(),
            "Loading file: E:\\kvn.ini\r\nGetValue for TrueCrypt\r\n"
            "TrueCryptPath: C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\r\n"
            "GetValue for Key\r\nSetValue Key Drive\r\nSetValue Key file\r\n"
            "Keyfile not found. Search string: E:\\keys\\other.dat\r\n");
}

TEST_F(CheckConfigTest, EmptyKeyValueLeavesTheBareRootWhichIsNotFound) {
  Ini ini;
  ini.key = "";
  EXPECT_EQ(Check(ini), KeyFileNotFound);
  EXPECT_EQ(Field(Token().keyFilePath), u"E:\\");
  EXPECT_NE(Closed().find("Keyfile not found. Search string: E:\\\r\n"), std::string::npos);
}

TEST_F(CheckConfigTest, AKeyValueCannotLeaveTheStick) {
  platform.AddFile(u"C:\\Windows\\win.ini");
  for (const char* key :
       {"..\\..\\Windows\\win.ini", "C:\\Windows\\win.ini", "\\\\server\\share\\key.dat"}) {
    Ini ini;
    ini.key = std::string(key);
    EXPECT_EQ(Check(ini), KeyFileNotFound) << key;
    EXPECT_EQ(Field(Token().keyFilePath), u"E:\\" + Wide(key));
  }
}

TEST_F(CheckConfigTest, MissingContainerIsResultFour) {
  Ini ini;
  ini.container = "D:\\gone.tc";
  EXPECT_EQ(Check(ini), ContainerNotFound);
  SecureToken& t = Token();
  EXPECT_EQ(Field(t.containerPath), u"D:\\gone.tc");
  EXPECT_EQ(Field(t.targetDrive), u"o");
  EXPECT_EQ(Closed(),
            "Loading file: E:\\kvn.ini\r\nGetValue for TrueCrypt\r\n"
            "TrueCryptPath: C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\r\n"
            "GetValue for Key\r\nSetValue Key Drive\r\nSetValue Key file\r\n"
            "Keyfile found: E:\\key.dat\r\nGetValue for Container\r\n"
            "Container not found. Search string: D:\\gone.tc\r\n");
}

TEST_F(CheckConfigTest, TakenTargetWithIfUsedZeroIsResultFive) {
  platform.AddDrive(u'T', fake::kDriveRemote);
  EXPECT_EQ(Check(), TargetDriveInUse);
  EXPECT_EQ(Field(Token().targetDrive), u"T");
  EXPECT_EQ(Field(Token().ifUsed), u"0");
  EXPECT_EQ(Closed(), kUpToTarget +
                          "TargetDrive: T\r\nFirstFreeDrive is: A\r\n"
                          "TargetDrive already in use, Targetdrive: T\r\n"
                          "After GetValue for IfUsed: 0 :\r\n"
                          "Do nothing, Targetdrive: T\r\n");
}

TEST_F(CheckConfigTest, TakenTargetWithIfUsedOneMovesToTheFirstFreeLetter) {
  platform.AddDrive(u'A', fake::kDriveRemovable);
  platform.AddDrive(u'B', fake::kDriveRemovable);
  platform.AddDrive(u'T', fake::kDriveFixed);
  Ini ini;
  ini.ifUsed = "1 (take the next)";
  EXPECT_EQ(Check(ini), ConfigOk);
  EXPECT_EQ(Field(Token().targetDrive), u"F");
  EXPECT_EQ(Field(Token().ifUsed), u"1");
  EXPECT_EQ(Closed(), kUpToTarget +
                          "TargetDrive: T\r\nFirstFreeDrive is: F\r\n"
                          "TargetDrive already in use, Targetdrive: T\r\n"
                          "After GetValue for IfUsed: 1 :\r\n"
                          "TargetDrive set to FirstFreeDrive.\r\n");
}

TEST_F(CheckConfigTest, TakenTargetWithAnyOtherIfUsedKeepsTheTakenLetter) {
  platform.AddDrive(u'T', fake::kDriveFixed);
  for (const char* policy : {"2", "", "x"}) {
    Ini ini;
    ini.ifUsed = std::string(policy);
    EXPECT_EQ(Check(ini), ConfigOk) << policy;
    EXPECT_EQ(Field(Token().targetDrive), u"T");
  }
  Ini missing;
  missing.ifUsed.reset();
  EXPECT_EQ(Check(missing), ConfigOk);
  EXPECT_EQ(Field(Token().ifUsed), u"");
  const std::string closed = Closed();
  EXPECT_EQ(closed.substr(closed.rfind("TargetDrive already")),
            "TargetDrive already in use, Targetdrive: T\r\nAfter GetValue for IfUsed:  :\r\n");
}

TEST_F(CheckConfigTest, AllLettersInUseIsResultSixWhateverTheTarget) {
  for (char16_t letter = u'A'; letter <= u'Z'; ++letter) {
    platform.AddDrive(letter, letter == u'E' ? fake::kDriveRemovable : fake::kDriveFixed);
  }
  for (const char* target : {"T", "0", ""}) {
    Ini ini;
    ini.targetDrive = std::string(target);
    EXPECT_EQ(Check(ini), NoFreeDriveLetter) << target;
  }
  EXPECT_EQ(Field(Token().targetDrive), u"");
  EXPECT_EQ(Field(Token().ifUsed), u"o");
  const std::string closed = Closed();
  EXPECT_EQ(closed.substr(closed.rfind("GetValue for TargetDrive")),
            "GetValue for TargetDrive\r\nTargetDrive: \r\nFirstFreeDrive: [\r\n"
            "FirstFreeDrive is: [\r\nNo free drive letter available!\r\n");
}

// --- the first free letter and the in-use test --------------------------------------------

class FreeLetterTest : public CheckConfigTest {
 protected:
  // Runs an accepted check with TargetDrive "0" and returns the lines after "TargetDrive: 0".
  std::string Walk() {
    Ini ini;
    ini.targetDrive = "0";
    EXPECT_EQ(Check(ini), ConfigOk);
    target = Field(Token().targetDrive);
    const std::string closed = Closed();
    return closed.substr(closed.find("TargetDrive: 0\r\n") + 16);
  }
  std::u16string target;  // targetDrive after the walk
};

TEST_F(FreeLetterTest, NoGapGivesTheLetterAboveTheHighest) {
  platform.AddDrive(u'A', fake::kDriveRemovable);
  platform.AddDrive(u'B', fake::kDriveRemovable);
  EXPECT_EQ(Walk(), "FirstFreeDrive: F\r\nTargetDrive set to FirstFreeDrive.\r\n");
  EXPECT_EQ(target, u"F");
}

TEST_F(FreeLetterTest, LowestGapWinsAndIsTracedOnce) {
  platform.AddDrive(u'F', fake::kDriveCdRom);
  platform.AddDrive(u'A', fake::kDriveRemovable);
  EXPECT_EQ(Walk(), "FirstFreeDrive is: B\r\nTargetDrive set to FirstFreeDrive.\r\n");
}

TEST_F(FreeLetterTest, ZeroFirstMaskGivesA) {
  platform.FailGetDrives(5);
  EXPECT_EQ(Walk(), "FirstFreeDrive: A\r\nTargetDrive set to FirstFreeDrive.\r\n");
  EXPECT_EQ(target, u"A");
}

TEST_F(FreeLetterTest, TargetZeroSkipsTheInUseTestButReadsTheMaskTwice) {
  EXPECT_EQ(Walk(), "FirstFreeDrive is: A\r\nTargetDrive set to FirstFreeDrive.\r\n");
  EXPECT_EQ(platform.getDrivesCalls(), 2);
}

TEST_F(CheckConfigTest, OnlyTheFirstCharacterOfTargetDriveCounts) {
  Ini ini;
  ini.targetDrive = "X:\\";
  EXPECT_EQ(Check(ini), ConfigOk);
  EXPECT_EQ(Field(Token().targetDrive), u"X");
}

TEST_F(CheckConfigTest, LowerCaseEmptyAndMissingTargetsCountAsFree) {
  platform.AddDrive(u'T', fake::kDriveFixed);
  Ini lower;
  lower.targetDrive = "t";
  EXPECT_EQ(Check(lower), ConfigOk);
  EXPECT_EQ(Field(Token().targetDrive), u"t");
  Ini empty;
  empty.targetDrive = "";
  EXPECT_EQ(Check(empty), ConfigOk);
  EXPECT_EQ(Field(Token().targetDrive), u"");
  Ini missing;
  missing.targetDrive.reset();
  EXPECT_EQ(Check(missing), ConfigOk);
  EXPECT_EQ(Field(Token().targetDrive), u"");
  EXPECT_EQ(Field(Token().ifUsed), u"o");
  const std::string closed = Closed();
  EXPECT_NE(closed.find("TargetDrive: t\r\nFirstFreeDrive is: A\r\nTargetDrive is free.\r\n"),
            std::string::npos);
  EXPECT_NE(closed.find("TargetDrive: \r\nFirstFreeDrive is: A\r\nTargetDrive is free.\r\n"),
            std::string::npos);
}

TEST_F(CheckConfigTest, CharactersFarAboveZAreFreeAndEndTheWalk) {
  // 0x80 converts to a unit far above the 32 mask bits (the euro sign in Windows-1252).
  platform.AddDrive(u'T', fake::kDriveFixed);
  Ini ini;
  ini.targetDrive = "\x80";
  EXPECT_EQ(Check(ini), ConfigOk);
  EXPECT_GT(Token().targetDrive[0], u'Z');
}

TEST_F(CheckConfigTest, TheInUseTestSeesTheSecondReadingOfTheMask) {
  // T plugged in between the two readings: the first gives FirstFreeDrive A, the second
  // finds T taken.
  platform.afterGetDrives = [this](int call) {
    if (call == 1) platform.AddDrive(u'T', fake::kDriveRemovable);
  };
  EXPECT_EQ(Check(), TargetDriveInUse);
  EXPECT_EQ(platform.getDrivesCalls(), 2);
}

TEST_F(CheckConfigTest, FirstFreeDriveComesFromTheFirstReading) {
  // A plugged in between the readings: A is in use for the second reading, yet the first
  // reading already chose it as the first free letter.
  platform.afterGetDrives = [this](int call) {
    if (call == 1) platform.AddDrive(u'A', fake::kDriveRemovable);
  };
  Ini ini;
  ini.targetDrive = "A";
  ini.ifUsed = "1";
  EXPECT_EQ(Check(ini), ConfigOk);
  EXPECT_EQ(Field(Token().targetDrive), u"A");
}

TEST_F(CheckConfigTest, ZeroSecondReadingMakesEveryTargetFree) {
  platform.AddDrive(u'T', fake::kDriveFixed);
  platform.afterGetDrives = [this](int call) {
    if (call == 1) platform.FailGetDrives(5);
  };
  EXPECT_EQ(Check(), ConfigOk);
  EXPECT_EQ(Field(Token().targetDrive), u"T");
}

// --- existence -----------------------------------------------------------------------------

TEST_F(CheckConfigTest, FoldersAndMatchingWildcardsExist) {
  platform.AddFolder(u"D:\\vaults");
  platform.AddFile(u"D:\\vaults\\Work.TC");
  platform.AddFolder(u"E:\\keys");
  for (const char* container : {"D:\\vaults", "D:\\VAULTS\\work.tc", "D:\\vaults\\*.tc",
                                "D:\\vaults\\w?rk.*", "D:\\vaults\\*"}) {
    Ini ini;
    ini.container = std::string(container);
    ini.key = "keys";
    EXPECT_EQ(Check(ini), ConfigOk) << container;
  }
}

TEST_F(CheckConfigTest, TrailingBackslashesAndUnmatchedWildcardsDoNotExist) {
  platform.AddFolder(u"D:\\vaults");
  for (const char* container : {"D:\\vaults\\", "D:\\", "D:\\*.xyz", "D:\\v?", ""}) {
    Ini ini;
    ini.container = std::string(container);
    EXPECT_EQ(Check(ini), ContainerNotFound) << container;
  }
  EXPECT_NE(Closed().find("Container not found. Search string: \r\n"), std::string::npos);
}

TEST_F(CheckConfigTest, EmptyProgramValueIsNotFound) {
  Ini ini;
  ini.truecrypt = "";
  EXPECT_EQ(Check(ini), TrueCryptNotFound);
  EXPECT_EQ(Closed(),
            "Loading file: E:\\kvn.ini\r\nGetValue for TrueCrypt\r\n"
            "TrueCrypt not found. Search string: \r\n");
}

// --- absent and oversized values ---------------------------------------------------------

TEST_F(CheckConfigTest, AbsentValuesEndTheirStepWithALineOfTheirOwn) {
  Ini noProgram;
  noProgram.truecrypt.reset();
  EXPECT_EQ(Check(noProgram), TrueCryptNotFound);
  EXPECT_EQ(Field(Token().trueCryptPath), u"old tool");
  Ini noKey;
  noKey.key.reset();
  EXPECT_EQ(Check(noKey), KeyFileNotFound);
  EXPECT_EQ(Field(Token().keyFilePath), u"E:\\");
  Ini noContainer;
  noContainer.container.reset();
  EXPECT_EQ(Check(noContainer), ContainerNotFound);
  EXPECT_EQ(Field(Token().containerPath), u"old container");
  // A whole section missing is the same as its key missing.
  platform.AddFile(u"E:\\kvn.ini", "[Config]\r\nKey=key.dat\r\n");
  EXPECT_EQ(Token().CheckConfig(Token().configPath), TrueCryptNotFound);

  const std::string closed = Closed();
  EXPECT_NE(closed.find("GetValue for TrueCrypt\r\n"
                        "TrueCrypt not found. No value Truecrypt in section Truecrypt\r\n"),
            std::string::npos);
  EXPECT_NE(closed.find("SetValue Key Drive\r\n"
                        "Keyfile not found. No value Key in section Config\r\n"),
            std::string::npos);
  EXPECT_NE(closed.find("GetValue for Container\r\n"
                        "Container not found. No value Container in section Config\r\n"),
            std::string::npos);
}

TEST_F(CheckConfigTest, ValuesThatFillTheirFieldsExactlyAreKept) {
  const std::string container = "D:\\" + std::string(256, 'c');  // 259 units
  const std::string key(256, 'k');                               // E:\ + 256 = 259
  platform.AddFile(Wide(container));
  platform.AddFile(u"E:\\" + Wide(key));
  Ini ini;
  ini.container = container;
  ini.key = key;
  EXPECT_EQ(Check(ini), ConfigOk);
  EXPECT_EQ(Field(Token().containerPath), Wide(container));
  EXPECT_EQ(Field(Token().keyFilePath), u"E:\\" + Wide(key));
}

TEST_F(CheckConfigTest, OverlongValuesAreCutAtTheirFieldAndRefused) {
  Ini longProgram;
  longProgram.truecrypt = "C:\\Program Files\\" + std::string(300, 'p');
  EXPECT_EQ(Check(longProgram), TrueCryptNotFound);
  EXPECT_EQ(Length(Token().trueCryptPath), 259u);

  Ini longKey;
  longKey.key = std::string(257, 'k');
  EXPECT_EQ(Check(longKey), KeyFileNotFound);
  EXPECT_EQ(Length(Token().keyFilePath), 259u);
  EXPECT_EQ(Field(Token().containerPath), u"old container");  // the next field is untouched

  Ini longContainer;
  longContainer.container = "D:\\" + std::string(5000, 'c');
  EXPECT_EQ(Check(longContainer), ContainerNotFound);
  EXPECT_EQ(Length(Token().containerPath), 259u);
  EXPECT_EQ(Field(Token().targetDrive), u"o");

  const std::string closed = Closed();
  EXPECT_NE(closed.find("GetValue for TrueCrypt\r\nTrueCrypt not found. Value longer than 259 "
                        "characters: C:\\Program Files\\ppp"),
            std::string::npos);
  EXPECT_NE(closed.find("SetValue Key Drive\r\nKeyfile not found. Value longer than 256 "
                        "characters: E:\\kkk"),
            std::string::npos);
  EXPECT_NE(closed.find("GetValue for Container\r\nContainer not found. Value longer than 259 "
                        "characters: D:\\ccc"),
            std::string::npos);
}

// --- which program the stick may name ----------------------------------------------------

class ProgramRefusalTest : public CheckConfigTest {
 protected:
  // Checks a stick naming `program`; returns the line after "GetValue for TrueCrypt".
  std::string CheckProgram(const std::string& program, int expected) {
    Ini ini;
    ini.truecrypt = program;
    EXPECT_EQ(Check(ini), expected) << program;
    EXPECT_EQ(Field(Token().trueCryptPath), Wide(program));  // kept as written
    const std::string closed = Closed();
    const std::size_t from = closed.find("GetValue for TrueCrypt\r\n") + 24;
    return closed.substr(from, closed.find("\r\n", from) + 2 - from);
  }
  bool Searched(const std::u16string& path) const {
    for (const auto& search : platform.searches) {
      if (search == path) return true;
    }
    return false;
  }
};

const std::string kRefused = "TrueCrypt refused, not an installed TrueCrypt or VeraCrypt: ";

TEST_F(ProgramRefusalTest, ProgramOnTheStickIsRefused) {
  platform.AddDrive(u'E', fake::kDriveRemovable);
  platform.AddFile(u"E:\\TrueCrypt.exe", "MZ");
  EXPECT_EQ(CheckProgram("E:\\TrueCrypt.exe", TrueCryptNotFound),
            kRefused + "outside the Program Files folders: E:\\TrueCrypt.exe\r\n");
}

TEST_F(ProgramRefusalTest, DotDotOutOfProgramFilesIsRefusedWithTheResolvedPath) {
  platform.AddFile(u"C:\\Users\\Public\\TrueCrypt.exe", "MZ");
  EXPECT_EQ(CheckProgram("C:\\Program Files\\TrueCrypt\\..\\..\\Users\\Public\\TrueCrypt.exe",
                         TrueCryptNotFound),
            kRefused + "outside the Program Files folders: C:\\Users\\Public\\TrueCrypt.exe\r\n");
}

TEST_F(ProgramRefusalTest, DotDotThatStaysInsideIsAccepted) {
  EXPECT_EQ(CheckProgram("C:\\Program Files\\Other\\..\\TrueCrypt\\.\\TrueCrypt.exe", ConfigOk),
            "TrueCryptPath: C:\\Program Files\\Other\\..\\TrueCrypt\\.\\TrueCrypt.exe\r\n");
}

TEST_F(ProgramRefusalTest, LookAlikeFolderAndOtherProgramsAreRefused) {
  platform.AddFile(u"C:\\Program Files Evil\\TrueCrypt.exe", "MZ");
  EXPECT_EQ(
      CheckProgram("C:\\Program Files Evil\\TrueCrypt.exe", TrueCryptNotFound),
      kRefused + "outside the Program Files folders: C:\\Program Files Evil\\TrueCrypt.exe\r\n");
  platform.AddFile(u"C:\\Program Files\\TrueCrypt\\cmd.exe", "MZ");
  EXPECT_EQ(CheckProgram("C:\\Program Files\\TrueCrypt\\cmd.exe", TrueCryptNotFound),
            kRefused +
                "not named TrueCrypt.exe, VeraCrypt.exe or VeraCrypt-x64.exe: "
                "C:\\Program Files\\TrueCrypt\\cmd.exe\r\n");
}

TEST_F(ProgramRefusalTest, RelativeUncDeviceAndWildcardValuesAreRefusedBeforeAnySearch) {
  const struct {
    const char* value;
    const char* why;
  } cases[] = {
      {"TrueCrypt.exe", "relative path"},
      {"..\\..\\Program Files\\TrueCrypt\\TrueCrypt.exe", "relative path"},
      {"\\\\attacker\\share\\TrueCrypt.exe", "UNC path"},
      {"\\\\?\\C:\\Program Files\\TrueCrypt\\TrueCrypt.exe", "device path"},
      {"C:\\Program Files\\TrueCrypt\\TrueCrypt.ex?", "wildcard in path"},
      {"C:\\Program Files\\TrueCrypt\\*", "wildcard in path"},
      {"C:\\Program Files\\TrueCrypt\\TrueCrypt\"exe", "wildcard in path"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CheckProgram(c.value, TrueCryptNotFound), kRefused + c.why + ": " + c.value + "\r\n");
    EXPECT_FALSE(Searched(Wide(c.value))) << c.value;
  }
}

TEST_F(ProgramRefusalTest, ShortNamesAreJudgedByTheirLongForm) {
  platform.AddShortName(u"C:\\PROGRA~1", u"C:\\Program Files");
  platform.AddShortName(u"C:\\Program Files\\TRUECR~1", u"C:\\Program Files\\TrueCrypt");
  platform.AddShortName(u"C:\\Program Files\\TrueCrypt\\TRUECR~1.EXE",
                        u"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe");
  EXPECT_EQ(CheckProgram("C:\\PROGRA~1\\TRUECR~1\\TRUECR~1.EXE", ConfigOk),
            "TrueCryptPath: C:\\PROGRA~1\\TRUECR~1\\TRUECR~1.EXE\r\n");

  platform.AddFile(u"C:\\Program Files Evil\\TrueCrypt.exe", "MZ");
  platform.AddShortName(u"C:\\PROGRA~3", u"C:\\Program Files Evil");
  EXPECT_EQ(
      CheckProgram("C:\\PROGRA~3\\TrueCrypt.exe", TrueCryptNotFound),
      kRefused + "outside the Program Files folders: C:\\Program Files Evil\\TrueCrypt.exe\r\n");
}

TEST_F(ProgramRefusalTest, VeraCryptInEitherFolderAndAnyCaseIsAccepted) {
  platform.AddFile(u"C:\\Program Files (x86)\\VeraCrypt\\VeraCrypt-x64.exe", "MZ");
  CheckProgram("c:\\program files (x86)\\veracrypt\\VERACRYPT-X64.EXE", ConfigOk);
  platform.programFilesFolders = {u"D:\\Apps"};
  platform.AddFile(u"D:\\Apps\\VeraCrypt\\VeraCrypt.exe", "MZ");
  CheckProgram("D:\\Apps\\VeraCrypt\\VeraCrypt.exe", ConfigOk);
}

TEST_F(ProgramRefusalTest, NoKnownProgramFolderRefusesEverything) {
  platform.programFilesFolders.clear();
  EXPECT_EQ(CheckProgram(kProgram, TrueCryptNotFound),
            kRefused + "outside the Program Files folders: " + kProgram + "\r\n");
}

TEST_F(ProgramRefusalTest, MissingProgramKeepsTheUsualLine) {
  EXPECT_EQ(CheckProgram("C:\\Program Files\\TC\\TrueCrypt.exe", TrueCryptNotFound),
            "TrueCrypt not found. Search string: C:\\Program Files\\TC\\TrueCrypt.exe\r\n");
}

}  // namespace
}  // namespace kvn::testing
