// FindToken: passes 2000 ms apart over the drive letters, the action for every check
// result, the early ways out and the stop.
#include <string>

#include "token_fixture.h"

namespace kvn::testing {
namespace {

// The lines of a check that accepts the standard stick at `letter`, with its closing line.
std::string Accepted(char letter) {
  const std::string root = std::string(1, letter) + ":\\";
  return "Loading file: " + root +
         "kvn.ini\r\n"
         "GetValue for TrueCrypt\r\n"
         "TrueCryptPath: C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\r\n"
         "GetValue for Key\r\nSetValue Key Drive\r\nSetValue Key file\r\n"
         "Keyfile found: " +
         root +
         "key.dat\r\n"
         "GetValue for Container\r\nContainer found: D:\\vault.tc\r\n"
         "GetValue for TargetDrive\r\nTargetDrive: T\r\nFirstFreeDrive is: A\r\n"
         "TargetDrive is free.\r\nconfigfile found and OK!\r\n";
}

std::string Drive(char letter, int type) {
  const std::string root = std::string(1, letter) + ":\\";
  return "DriveType:  " + root + " " + std::to_string(type) + "\r\nConfigPath: " + root +
         "kvn.ini\r\n";
}

const std::string kPass = "Waiting, looking for config: A:\\kvn.ini\r\n";

class FindTokenTest : public TokenTest {};

TEST_F(FindTokenTest, AcceptsAStickAndReturnsOnePauseLater) {
  AddStick(u'E');
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  EXPECT_TRUE(t.tokenPresent);
  EXPECT_FALSE(t.stopRequested);
  EXPECT_EQ(std::u16string(t.configPath), u"E:\\kvn.ini");
  EXPECT_EQ(kernel.now(), 2000u);
  EXPECT_EQ(Closed(), "SecureToken::FindToken!\r\n" + kPass + Drive('C', 3) + Drive('D', 3) +
                          Drive('E', 2) + Accepted('E') +
                          "ConfigPath at end of FindToken: E:\\kvn.ini\r\n");
}

TEST_F(FindTokenTest, PassesRepeatEveryTwoSecondsUntilAStickArrives) {
  platform.AddDrive(u'E', fake::kDriveRemovable);
  platform.Unplug(u'E');
  AddStick(u'G');
  platform.Unplug(u'G');
  platform.PlugAt(5000, u'G');
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  // Passes at 0, 2000, 4000 see nothing; the one at 6000 finds G and pauses once more.
  EXPECT_EQ(kernel.now(), 8000u);
  const std::string empty = kPass + Drive('C', 3) + Drive('D', 3);
  EXPECT_EQ(Closed(), "SecureToken::FindToken!\r\n" + empty + empty + empty + kPass +
                          Drive('C', 3) + Drive('D', 3) + Drive('G', 2) + Accepted('G') +
                          "ConfigPath at end of FindToken: G:\\kvn.ini\r\n");
}

TEST_F(FindTokenTest, PassesAreTwoSecondsApartOnTheClock) {
  std::vector<std::uint64_t> readings;
  platform.afterGetDrives = [&](int) { readings.push_back(kernel.now()); };
  StopAt(7000);
  Token().FindToken();
  // The first reading, then one per pass at 0, 2000, 4000 and 6000.
  EXPECT_EQ(readings, (std::vector<std::uint64_t>{0, 0, 2000, 4000, 6000}));
  EXPECT_EQ(kernel.now(), 7000u);
}

TEST_F(FindTokenTest, FloppyLettersAndNonRemovableDrivesAreNeverSearched) {
  platform.AddDrive(u'A', fake::kDriveRemovable);
  platform.AddDrive(u'B', fake::kDriveRemovable);
  platform.AddDrive(u'F', fake::kDriveRemote);
  platform.AddDrive(u'G', fake::kDriveCdRom);
  for (char16_t letter : {u'A', u'B', u'D', u'F', u'G'}) {
    platform.AddFile(std::u16string(1, letter) + u":\\kvn.ini", Ini().Text());
    platform.AddFile(std::u16string(1, letter) + u":\\key.dat");
  }
  StopAt(1000);
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), -1);  // no check was made
  EXPECT_FALSE(t.tokenPresent);
  EXPECT_TRUE(t.stopRequested);
  EXPECT_TRUE(platform.searches.empty());
  EXPECT_EQ(Closed(), "SecureToken::FindToken!\r\n" + kPass + Drive('A', 2) + Drive('B', 2) +
                          Drive('C', 3) + Drive('D', 3) + Drive('F', 4) + Drive('G', 5) +
                          "ConfigPath at end of FindToken: G:\\kvn.ini\r\n");
}

TEST_F(FindTokenTest, RemovableDriveWithoutConfigShowsTheSearchError) {
  platform.AddDrive(u'E', fake::kDriveRemovable);  // an empty stick
  platform.AddDrive(u'F', fake::kDriveRemovable);  // a card reader without a card
  platform.SetReady(u'F', false);
  StopAt(1000);
  Token().FindToken();
  EXPECT_EQ(Closed(), "SecureToken::FindToken!\r\n" + kPass + Drive('C', 3) + Drive('D', 3) +
                          Drive('E', 2) + "Invalid File Handle. GetLastError reports: 2\r\n" +
                          Drive('F', 2) + "Invalid File Handle. GetLastError reports: 21\r\n" +
                          "ConfigPath at end of FindToken: F:\\kvn.ini\r\n");
}

TEST_F(FindTokenTest, TheLowerOfTwoTokensWinsAndTheHigherIsNotLookedAt) {
  AddStick(u'G');
  AddStick(u'E');
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  EXPECT_EQ(std::u16string(t.keyFilePath), u"E:\\key.dat");
  EXPECT_EQ(platform.searches.front(), u"E:\\kvn.ini");
  for (const auto& search : platform.searches) EXPECT_NE(search[0], u'G');
  EXPECT_EQ(Closed().find("G:\\"), std::string::npos);
}

TEST_F(FindTokenTest, ARejectedStickIsCheckedAgainInLaterPasses) {
  platform.AddDrive(u'T', fake::kDriveRemote);
  platform.UnplugAt(3000, u'T');
  AddStick(u'E');
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  EXPECT_EQ(kernel.now(), 6000u);  // refused at 0 and 2000, accepted at 4000
  const std::string closed = Closed();
  const std::string refused =
      "After GetValue for IfUsed: 0 :\r\nDo nothing, Targetdrive: T\r\n"
      "Target Drive already used! T\r\n";
  const std::size_t first = closed.find(refused);
  ASSERT_NE(first, std::string::npos);
  const std::size_t second = closed.find(refused, first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(closed.find(refused, second + 1), std::string::npos);
  EXPECT_NE(closed.find("configfile found and OK!\r\n"), std::string::npos);
}

TEST_F(FindTokenTest, EveryFailedResultWritesItsLineAndGoesOnToTheNextLetter) {
  // E: unreadable (kvn.ini is a folder), F: no program, G: no key file, H: no container,
  // I: target taken, and then J is accepted.
  platform.AddDrive(u'E', fake::kDriveRemovable);
  platform.AddFolder(u"E:\\kvn.ini");
  Ini noProgram;
  noProgram.truecrypt = "C:\\Program Files\\TC\\TrueCrypt.exe";
  AddStick(u'F', noProgram);
  AddStick(u'G');
  platform.RemoveFile(u"G:\\key.dat");
  Ini noContainer;
  noContainer.container = "D:\\gone.tc";
  AddStick(u'H', noContainer);
  Ini taken;
  taken.targetDrive = "C";
  AddStick(u'I', taken);
  AddStick(u'J');
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  EXPECT_EQ(t.configPath[0], u'J');
  const std::string closed = Closed();
  for (const char* line : {
           "Failed to open file.\r\ncannot open configfile!\r\n",
           "TrueCrypt not found!: C:\\Program Files\\TC\\TrueCrypt.exe\r\n",
           "Keyfile not found!: G:\\key.dat\r\n",
           "Container not found!: D:\\gone.tc\r\n",
           "Target Drive already used! C\r\n",
       }) {
    EXPECT_NE(closed.find(line), std::string::npos) << line;
  }
}

TEST_F(FindTokenTest, NoFreeLetterIsReportedByBothSides) {
  for (char16_t letter = u'A'; letter <= u'Z'; ++letter) {
    platform.AddDrive(letter, fake::kDriveFixed);
  }
  AddStick(u'E');
  StopAt(1000);
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), NoFreeDriveLetter);
  EXPECT_FALSE(t.tokenPresent);
  const std::string closed = Closed();
  EXPECT_NE(closed.find("No free drive letter available!\r\nNo free drive letter available!\r\n"
                        "DriveType:  F:\\ 3\r\n"),
            std::string::npos);
}

TEST_F(FindTokenTest, ARefusedProgramIsReportedAsNotFound) {
  platform.AddDrive(u'E', fake::kDriveRemovable);
  platform.AddFile(u"E:\\TrueCrypt.exe", "MZ");
  Ini ini;
  ini.truecrypt = "E:\\TrueCrypt.exe";
  AddStick(u'E', ini);
  StopAt(1000);
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), TrueCryptNotFound);
  EXPECT_TRUE(platform.starts.empty());
  EXPECT_NE(Closed().find("TrueCrypt refused, not an installed TrueCrypt or VeraCrypt: outside "
                          "the Program Files folders: E:\\TrueCrypt.exe\r\n"
                          "TrueCrypt not found!: E:\\TrueCrypt.exe\r\n"),
            std::string::npos);
}

TEST_F(FindTokenTest, ZeroFirstMaskReturnsAtOnceWithNothingAccepted) {
  AddStick(u'E');
  platform.FailGetDrives(5);
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), -1);
  EXPECT_FALSE(t.tokenPresent);
  EXPECT_FALSE(t.stopRequested);
  EXPECT_EQ(kernel.now(), 0u);
  EXPECT_EQ(Closed(),
            "SecureToken::FindToken!\r\n_getdrives() failed with failure code: 5\r\n"
            "ConfigPath at end of FindToken: A:\\kvn.ini\r\n");
}

TEST_F(FindTokenTest, ZeroMaskInsideAPassExaminesNothingAndPauses) {
  AddStick(u'E');
  platform.afterGetDrives = [this](int call) {
    platform.FailGetDrives(call == 1 ? 5 : 0);  // the second reading fails, later ones work
  };
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  EXPECT_EQ(kernel.now(), 4000u);
  const std::string closed = Closed();
  EXPECT_EQ(closed.substr(0, 25 + 2 * kPass.size()), "SecureToken::FindToken!\r\n" + kPass + kPass);
}

TEST_F(FindTokenTest, ATokenAlreadyPresentReturnsAtOnce) {
  AddStick(u'E');
  SecureToken& t = Token();
  t.tokenPresent = true;
  t.FindToken();
  EXPECT_EQ(kernel.now(), 0u);
  EXPECT_TRUE(platform.searches.empty());
  EXPECT_EQ(Closed(), "SecureToken::FindToken!\r\nConfigPath at end of FindToken: A:\\kvn.ini\r\n");
}

TEST_F(FindTokenTest, AStopDuringThePauseAfterAcceptanceKeepsTheToken) {
  AddStick(u'E');
  StopAt(500);
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  EXPECT_TRUE(t.tokenPresent);
  EXPECT_TRUE(t.stopRequested);
  EXPECT_EQ(kernel.now(), 500u);
}

TEST_F(FindTokenTest, WithoutTracingTheScanIsTheSameAndWritesNothing) {
  debugMode = false;
  AddStick(u'E');
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  EXPECT_EQ(kernel.now(), 2000u);
  EXPECT_FALSE(platform.HasFile(kLog));
}

}  // namespace
}  // namespace kvn::testing
