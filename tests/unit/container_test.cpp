// OpenContainer, CheckToken and CloseContainer: the two command lines byte for byte, the
// watch's timing, and the stop.
#include <string>

#include "token_fixture.h"

namespace kvn::testing {
namespace {

class ContainerTest : public TokenTest {
 protected:
  void Settle(const char16_t* tool, const char16_t* letter, const char16_t* container,
              const char16_t* key) {
    SecureToken& t = Token();
    CopyBounded(t.trueCryptPath, tool);
    CopyBounded(t.targetDrive, letter);
    CopyBounded(t.containerPath, container);
    CopyBounded(t.keyFilePath, key);
  }
  // A token accepted on E: and being watched.
  SecureToken& Watching() {
    AddStick(u'E');
    SecureToken& t = Token();
    t.configPath[0] = u'E';
    t.tokenPresent = true;
    return t;
  }
};

TEST_F(ContainerTest, MountLineForPlainValuesIsTheJoinedArguments) {
  Settle(u"C:\\TC\\TrueCrypt.exe", u"T", u"D:\\vault.tc", u"E:\\key.dat");
  Token().OpenContainer();
  const std::u16string line =
      u"C:\\TC\\TrueCrypt.exe /a /q /l T /m rm /v D:\\vault.tc /k E:\\key.dat";
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].program, u"C:\\TC\\TrueCrypt.exe");
  EXPECT_EQ(platform.starts[0].commandLine, line);
  EXPECT_FALSE(platform.starts[0].wait);
  EXPECT_EQ(Flushed(),
            "OpenContainer!\r\n_P_NOWAIT,TruecryptPath, KeyPath: C:\\TC\\TrueCrypt.exe /a /q /l T "
            "/m rm /v D:\\vault.tc /k E:\\key.dat\r\n");
}

TEST_F(ContainerTest, ValuesWithBlanksAndQuotesStayOneArgumentEach) {
  Settle(kProgram16, u"T", u"D:\\my vaults\\vault \"2\".tc", u"E:\\keys\\my key\\");
  Token().OpenContainer();
  const char expected[] =
      "\"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\" /a /q /l T /m rm /v "
      "\"D:\\my vaults\\vault \\\"2\\\".tc\" /k \"E:\\keys\\my key\\\\\"";
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].program, kProgram16);
  EXPECT_EQ(platform.starts[0].commandLine, Wide(expected));
  EXPECT_EQ(Flushed(), std::string("OpenContainer!\r\n_P_NOWAIT,TruecryptPath, KeyPath: ") +
                           expected + "\r\n");
}

TEST_F(ContainerTest, AnEmptyLetterIsStillAnArgument) {
  Settle(u"C:\\TC\\TrueCrypt.exe", u"", u"D:\\vault.tc", u"E:\\key.dat");
  Token().OpenContainer();
  EXPECT_EQ(platform.starts[0].commandLine,
            u"C:\\TC\\TrueCrypt.exe /a /q /l \"\" /m rm /v D:\\vault.tc /k E:\\key.dat");
}

TEST_F(ContainerTest, DismountLineIsWaitedFor) {
  Settle(kProgram16, u"T", u"D:\\vault.tc", u"E:\\key.dat");
  platform.childRunTime = 1500;
  Token().CloseContainer();
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].program, kProgram16);
  EXPECT_EQ(platform.starts[0].commandLine,
            u"\"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\" /a /q /d /f");
  EXPECT_TRUE(platform.starts[0].wait);
  EXPECT_EQ(kernel.now(), 1500u);
  EXPECT_EQ(Flushed(), "CloseContainer!\r\n");
}

TEST_F(ContainerTest, FailedStartsAreNotNoticed) {
  Settle(u"C:\\TC\\TrueCrypt.exe", u"T", u"D:\\vault.tc", u"E:\\key.dat");
  platform.failStart = true;
  Token().OpenContainer();
  Token().CloseContainer();
  EXPECT_EQ(platform.starts.size(), 2u);
  EXPECT_EQ(Closed(),
            "OpenContainer!\r\n_P_NOWAIT,TruecryptPath, KeyPath: C:\\TC\\TrueCrypt.exe /a /q /l T "
            "/m rm /v D:\\vault.tc /k E:\\key.dat\r\nCloseContainer!\r\n");
}

TEST_F(ContainerTest, WithoutTracingTheSameChildrenStart) {
  debugMode = false;
  Settle(u"C:\\TC\\TrueCrypt.exe", u"T", u"D:\\vault.tc", u"E:\\key.dat");
  Token().OpenContainer();
  Token().CloseContainer();
  ASSERT_EQ(platform.starts.size(), 2u);
  EXPECT_EQ(platform.starts[0].commandLine,
            u"C:\\TC\\TrueCrypt.exe /a /q /l T /m rm /v D:\\vault.tc /k E:\\key.dat");
  EXPECT_EQ(platform.starts[1].commandLine, u"C:\\TC\\TrueCrypt.exe /a /q /d /f");
  EXPECT_FALSE(platform.HasFile(kLog));
}

// --- the watch -----------------------------------------------------------------------------

TEST_F(ContainerTest, WatchWithoutATokenReturnsAtOnce) {
  SecureToken& t = Token();
  t.CheckToken();
  EXPECT_EQ(kernel.now(), 0u);
  EXPECT_TRUE(platform.searches.empty());
  EXPECT_EQ(Flushed(), "SecureToken::CheckToken!\r\nConfigPath: A:\\kvn.ini\r\n");
}

TEST_F(ContainerTest, RemovalIsSeenAtTheNextTestAndReturnsOnePauseLater) {
  platform.UnplugAt(7000, u'E');
  SecureToken& t = Watching();
  t.CheckToken();
  EXPECT_FALSE(t.tokenPresent);
  EXPECT_FALSE(t.stopRequested);
  // Tests at 0, 3000, 6000 find the file; the one at 9000 misses it; return at 12000.
  EXPECT_EQ(kernel.now(), 12000u);
  EXPECT_EQ(platform.searches.size(), 4u);
  EXPECT_EQ(Flushed(),
            "SecureToken::CheckToken!\r\nConfigPath: E:\\kvn.ini\r\n"
            "SecureToken: Token available!\r\nSecureToken: Token available!\r\n"
            "SecureToken: Token available!\r\nToken removed!\r\n");
}

TEST_F(ContainerTest, DeletedConfigAndDriveNotReadyCountAsRemoval) {
  SecureToken& t = Watching();
  kernel.At(1000, [this] { platform.RemoveFile(u"E:\\kvn.ini"); });
  t.CheckToken();
  EXPECT_EQ(kernel.now(), 6000u);
  platform.AddFile(u"E:\\kvn.ini", Ini().Text());
  platform.SetReady(u'E', false);
  t.tokenPresent = true;
  t.CheckToken();
  EXPECT_EQ(kernel.now(), 9000u);
  EXPECT_FALSE(t.tokenPresent);
}

TEST_F(ContainerTest, AStickSwappedWithinOneIntervalIsNotNoticed) {
  SecureToken& t = Watching();
  platform.UnplugAt(1000, u'E');
  platform.PlugAt(2000, u'E');
  platform.UnplugAt(4000, u'E');
  t.CheckToken();
  EXPECT_EQ(kernel.now(), 9000u);  // available at 0 and 3000, removed at 6000
}

TEST_F(ContainerTest, AStopEndsTheWatchAtOnceWithTheTokenStillPresent) {
  SecureToken& t = Watching();
  StopAt(4000);
  t.CheckToken();
  EXPECT_TRUE(t.stopRequested);
  EXPECT_TRUE(t.tokenPresent);
  EXPECT_EQ(kernel.now(), 4000u);
  EXPECT_EQ(platform.searches.size(), 2u);
}

// A quote is a wildcard to FindFirstFileW (it matches a dot), so a container value with one
// passes its existence test; it must still reach the tool inside one argument.
TEST_F(ContainerTest, AQuoteFromTheStickCannotSplitTheMountArguments) {
  Ini ini;
  ini.container = "D:\\vault\"tc";
  AddStick(u'E', ini);
  SecureToken& t = Token();
  ASSERT_EQ(t.FindToken(), ConfigOk);
  t.OpenContainer();
  ASSERT_EQ(platform.starts.size(), 1u);
  EXPECT_EQ(platform.starts[0].commandLine,
            u"\"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\" /a /q /l T /m rm /v "
            u"\"D:\\vault\\\"tc\" /k E:\\key.dat");
}

}  // namespace
}  // namespace kvn::testing
