// FindToken: passes 2000 ms apart over the drive letters, the action for every check
// result, the early ways out and the stop. A stick found after empty passes, with the whole
// trace, is the golden trace test.
#include <string>

#include "token_fixture.h"

namespace kvn::testing {
namespace {

// The two lines for a drive that exists.
std::string Drive(char letter, int type) {
  const std::string root = std::string(1, letter) + ":\\";
  return "DriveType:  " + root + " " + std::to_string(type) + "\r\nConfigPath: " + root +
         "kvn.ini\r\n";
}
std::string End(char letter) {
  return "ConfigPath at end of FindToken: " + std::string(1, letter) + ":\\kvn.ini\r\n";
}
const std::string kStart = "SecureToken::FindToken!\r\n";
const std::string kPass = "Waiting, looking for config: A:\\kvn.ini\r\n";

class FindTokenTest : public TokenTest {};

TEST_F(FindTokenTest, OnlyRemovableDrivesFromCAreSearchedAndAFailedSearchShowsItsError) {
  for (char16_t letter : {u'A', u'B'}) AddStick(letter);  // floppy letters
  platform.AddDrive(u'E', fake::kDriveRemovable);         // an empty stick
  platform.AddDrive(u'F', fake::kDriveRemote);
  platform.AddDrive(u'G', fake::kDriveCdRom);
  platform.AddDrive(u'H', fake::kDriveRemovable);  // a card reader without a card
  platform.SetReady(u'H', false);
  for (const char16_t* config : {u"D:\\kvn.ini", u"F:\\kvn.ini", u"G:\\kvn.ini"}) {
    platform.AddFile(config, Ini().Text());
  }
  StopAt(1000);
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), -1);  // no check was made
  EXPECT_FALSE(t.tokenPresent);
  EXPECT_TRUE(t.stopRequested);
  EXPECT_EQ(platform.searches, (std::vector<std::u16string>{u"E:\\kvn.ini", u"H:\\kvn.ini"}));
  EXPECT_EQ(Closed(), kStart + kPass + Drive('A', 2) + Drive('B', 2) + Drive('C', 3) +
                          Drive('D', 3) + Drive('E', 2) +
                          "Invalid File Handle. GetLastError reports: 2\r\n" + Drive('F', 4) +
                          Drive('G', 5) + Drive('H', 2) +
                          "Invalid File Handle. GetLastError reports: 21\r\n" + End('H'));
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
  const std::size_t second = closed.find(refused, closed.find(refused) + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(closed.find(refused, second + 1), std::string::npos);
  EXPECT_NE(closed.find("configfile found and OK!\r\n", second), std::string::npos);
}

TEST_F(FindTokenTest, EveryFailedResultWritesItsLineAndTheNextLetterIsTried) {
  // E: unreadable (kvn.ini is a folder), F: the program on the stick refused, G: no key
  // file, H: no container, I: target taken, and then J is accepted; K, a second token, is
  // never looked at.
  AddStick(u'K');
  platform.AddDrive(u'E', fake::kDriveRemovable);
  platform.AddFolder(u"E:\\kvn.ini");
  AddStick(u'F', Ini().With(&Ini::truecrypt, "F:\\TrueCrypt.exe"));
  platform.AddFile(u"F:\\TrueCrypt.exe", "MZ");
  AddStick(u'G', Ini().With(&Ini::key, "none.dat"));
  AddStick(u'H', Ini().With(&Ini::container, "D:\\gone.tc"));
  AddStick(u'I', Ini().With(&Ini::targetDrive, "C"));
  AddStick(u'J');
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  EXPECT_TRUE(t.tokenPresent);
  EXPECT_FALSE(t.stopRequested);
  EXPECT_EQ(std::u16string(t.configPath), u"J:\\kvn.ini");
  EXPECT_EQ(std::u16string(t.keyFilePath), u"J:\\key.dat");
  EXPECT_EQ(kernel.now(), 2000u);
  for (const auto& search : platform.searches) EXPECT_NE(search[0], u'K');
  const std::string closed = Closed();
  EXPECT_EQ(closed.find("K:\\"), std::string::npos);
  for (const char* line : {
           "Failed to open file.\r\ncannot open configfile!\r\n",
           "VeraCrypt: outside the Program Files folders: F:\\TrueCrypt.exe\r\n"
           "TrueCrypt not found!: F:\\TrueCrypt.exe\r\n",
           "Keyfile not found!: G:\\none.dat\r\n",
           "Container not found!: D:\\gone.tc\r\n",
           "Target Drive already used! C\r\n",
       }) {
    EXPECT_NE(closed.find(line), std::string::npos) << line;
  }
}

TEST_F(FindTokenTest, NoFreeLetterIsReportedByBothSides) {
  for (char16_t l = u'A'; l <= u'Z'; ++l) platform.AddDrive(l, fake::kDriveFixed);
  AddStick(u'E');
  StopAt(1000);
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), NoFreeDriveLetter);
  EXPECT_FALSE(t.tokenPresent);
  EXPECT_NE(Closed().find("No free drive letter available!\r\nNo free drive letter available!\r\n"
                          "DriveType:  F:\\ 3\r\n"),
            std::string::npos);
}

TEST_F(FindTokenTest, AZeroFirstMaskOrATokenAlreadyPresentReturnsAtOnce) {
  AddStick(u'E');
  platform.FailGetDrives(5);
  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), -1);  // nothing accepted: the caller must not mount
  EXPECT_FALSE(t.tokenPresent);
  EXPECT_FALSE(t.stopRequested);
  platform.FailGetDrives(0);
  t.tokenPresent = true;
  EXPECT_EQ(t.FindToken(), -1);
  EXPECT_EQ(kernel.now(), 0u);
  EXPECT_TRUE(platform.searches.empty());
  EXPECT_EQ(Closed(),
            kStart + "_getdrives() failed with failure code: 5\r\n" + End('A') + kStart + End('A'));
}

TEST_F(FindTokenTest, ZeroMaskInsideAPassExaminesNothingAndPauses) {
  AddStick(u'E');
  platform.afterGetDrives = [this](int call) {
    platform.FailGetDrives(call == 1 ? 5 : 0);  // the second reading fails, later ones work
  };
  EXPECT_EQ(Token().FindToken(), ConfigOk);
  EXPECT_EQ(kernel.now(), 4000u);
  EXPECT_EQ(Closed().substr(0, kStart.size() + 2 * kPass.size()), kStart + kPass + kPass);
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

}  // namespace
}  // namespace kvn::testing
