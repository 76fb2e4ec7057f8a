// OpenContainer, CheckToken and CloseContainer: the two command lines byte for byte, the
// watch's timing, and the stop. A whole turn with its trace is the golden trace test.
#include <string>

#include "token_fixture.h"

namespace kvn::testing {
namespace {

const char kPlainMount[] = "C:\\TC\\TrueCrypt.exe /a /q /l T /m rm /v D:\\vault.tc /k E:\\key.dat";

class ContainerTest : public TokenTest {
 protected:
  // A token accepted on E: and being watched.
  SecureToken& Watching() {
    AddStick(u'E');
    SecureToken& t = Token();
    t.configPath[0] = u'E';
    t.tokenPresent = true;
    return t;
  }
};

TEST_F(ContainerTest, PlainValuesMountAsTheyStandWithoutWaitAndFailedStartsAreNotNoticed) {
  SecureToken& t = Token();
  CopyBounded(t.trueCryptPath, u"C:\\TC\\TrueCrypt.exe");
  CopyBounded(t.targetDrive, u"T");
  CopyBounded(t.containerPath, u"D:\\vault.tc");
  CopyBounded(t.keyFilePath, u"E:\\key.dat");
  platform.failStart = true;
  t.OpenContainer();
  t.CloseContainer();
  ASSERT_EQ(platform.starts.size(), 2u);
  EXPECT_EQ(platform.starts[0].program, u"C:\\TC\\TrueCrypt.exe");
  EXPECT_EQ(platform.starts[0].commandLine, Wide(kPlainMount));
  EXPECT_EQ(platform.starts[1].commandLine, u"C:\\TC\\TrueCrypt.exe /a /q /d /f");
  EXPECT_EQ(Closed(), std::string("OpenContainer!\r\n_P_NOWAIT,TruecryptPath, KeyPath: ") +
                          kPlainMount + "\r\nCloseContainer!\r\n");
}

// A quote is a wildcard to FindFirstFileW (it matches a dot), so a container value with one
// passes its existence test; it must still reach the tool inside one argument. Without
// tracing, a turn is the same and writes nothing.
TEST_F(ContainerTest, AQuoteFromTheStickCannotSplitTheMountArgumentsEvenUntraced) {
  process.debugMode = false;
  AddStick(u'E', Ini().With(&Ini::container, "D:\\vault\"tc"));
  SecureToken& t = Token();
  ASSERT_EQ(t.FindToken(), ConfigOk);
  EXPECT_EQ(kernel.now(), 2000u);
  t.OpenContainer();
  t.CloseContainer();
  ASSERT_EQ(platform.starts.size(), 2u);
  EXPECT_EQ(platform.starts[0].commandLine,
            u"\"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\" /a /q /l T /m rm /v "
            u"\"D:\\vault\\\"tc\" /k E:\\key.dat");
  EXPECT_EQ(platform.starts[1].commandLine,
            u"\"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\" /a /q /d /f");
  EXPECT_FALSE(platform.HasFile(kLog));
}

// --- the watch: a test, then 3000 ms -----------------------------------------------------

TEST_F(ContainerTest, WatchWithoutATokenReturnsAtOnce) {
  Token().CheckToken();
  EXPECT_EQ(kernel.now(), 0u);
  EXPECT_TRUE(platform.searches.empty());
  EXPECT_EQ(Flushed(), "SecureToken::CheckToken!\r\nConfigPath: A:\\kvn.ini\r\n");
}

TEST_F(ContainerTest, AnyFailedSearchIsRemovalSeenAtTheNextTest) {
  SecureToken& t = Watching();
  kernel.At(1000, [this] { platform.RemoveFile(u"E:\\kvn.ini"); });
  t.CheckToken();
  EXPECT_EQ(kernel.now(), 6000u);  // found at 0, missed at 3000
  EXPECT_FALSE(t.tokenPresent);
  EXPECT_FALSE(t.stopRequested);
  platform.AddFile(u"E:\\kvn.ini", Ini().Text());
  platform.SetReady(u'E', false);
  t.tokenPresent = true;
  t.CheckToken();
  EXPECT_EQ(kernel.now(), 9000u);
  EXPECT_FALSE(t.tokenPresent);
  EXPECT_EQ(platform.searches.size(), 3u);
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

// A wait that fails still pauses (the cycle never spins), and a child whose wait fails is
// taken as ended, so a dismount never hangs on it.
TEST_F(ContainerTest, AFailedWaitStillPausesAndHoldsNothing) {
  SecureToken& t = Watching();
  platform.failWait = true;
  EXPECT_FALSE(t.Pause(2000));
  EXPECT_EQ(platform.sleeps, std::vector<std::uint32_t>{2000});
  EXPECT_EQ(kernel.now(), 2000u);
  platform.runTimes = {{0, fake::kNeverEnds}, {1, fake::kNeverEnds}};
  t.OpenContainer();
  t.CloseContainer();
  ASSERT_EQ(platform.starts.size(), 2u);
  EXPECT_EQ(platform.openProcesses(), 0u);
}

}  // namespace
}  // namespace kvn::testing
