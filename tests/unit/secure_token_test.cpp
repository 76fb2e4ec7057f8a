// The token watcher object: construction, destruction and the byte-exact trace-line rule.
#include <gtest/gtest.h>

#include "common/process_state.h"
#include "fake/fake_token_platform.h"
#include "token/secure_token.h"

namespace kvn {
namespace {

constexpr char16_t kLog[] = u"C:\\Trace\\kvn.log";

class SecureTokenTest : public ::testing::Test {
 protected:
  void SetUp() override { debugMode = true; }
  void TearDown() override { debugMode = false; }

  fake::FakeKernel kernel;
  fake::FakeTokenPlatform platform{kernel};
};

TEST_F(SecureTokenTest, FreshObjectStartsOnDriveAWithNoToken) {
  SecureToken token(platform);
  EXPECT_EQ(std::u16string(token.configPath), u"A:\\kvn.ini");
  EXPECT_FALSE(token.tokenPresent);
  EXPECT_TRUE(token.traceEnabled);
}

TEST_F(SecureTokenTest, DebugModeEmptiesTheLogAndWritesFirstAndLastLine) {
  platform.AddFolder(u"C:\\Trace");
  platform.AddFile(kLog, "old contents\r\n");
  {
    SecureToken token(platform);
    EXPECT_EQ(platform.FileContents(kLog), "SecureToken construktor!\r\n");
  }
  EXPECT_EQ(platform.FileContents(kLog),
            "SecureToken construktor!\r\nSecureToken implicite destructor!\r\n");
}

TEST_F(SecureTokenTest, ServiceModeNeverTouchesAnEarlierLog) {
  debugMode = false;
  platform.AddFolder(u"C:\\Trace");
  platform.AddFile(kLog, "from the last debug run\r\n");
  {
    SecureToken token(platform);
    EXPECT_FALSE(token.traceEnabled);
  }
  EXPECT_EQ(platform.FileContents(kLog), "from the last debug run\r\n");
}

TEST_F(SecureTokenTest, MissingTraceFolderDropsEveryLineSilently) {
  {
    SecureToken token(platform);
    EXPECT_TRUE(token.trace.failed());
  }
  EXPECT_FALSE(platform.HasFile(kLog));
}

// The line rule, through a sink the test can watch between writes.
class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform.AddFolder(u"C:\\Trace");
    log.Attach(platform.OpenTrace(kLog));
  }
  std::string Bytes() const { return platform.FileContents(kLog); }

  fake::FakeKernel kernel;
  fake::FakeTokenPlatform platform{kernel};
  TraceLog log;
};

TEST_F(TraceLogTest, LiteralNewlineLinesWaitForTheNextFlushedLine) {
  log << "GetValue for TrueCrypt\n";
  EXPECT_EQ(Bytes(), "");
  log << "TrueCryptPath: " << u"C:\\TC\\TrueCrypt.exe";
  log.EndLine();
  EXPECT_EQ(Bytes(), "GetValue for TrueCrypt\r\nTrueCryptPath: C:\\TC\\TrueCrypt.exe\r\n");
}

TEST_F(TraceLogTest, CloseWritesWhatIsPending) {
  log << "No free drive letter available!\n";
  log.Close();
  EXPECT_EQ(Bytes(), "No free drive letter available!\r\n");
}

TEST_F(TraceLogTest, NumbersAreUnsignedDecimal) {
  log << "DriveType:  " << u"E:\\" << " " << std::uint32_t{2};
  log.EndLine();
  log << "code: " << std::uint32_t{4294967295u};
  log.EndLine();
  EXPECT_EQ(Bytes(), "DriveType:  E:\\ 2\r\ncode: 4294967295\r\n");
}

TEST_F(TraceLogTest, LatinOneUnitsBecomeSingleBytes) {
  log << u"E:\\M\u00e4rz\u00ff";
  log.EndLine();
  EXPECT_EQ(Bytes(), "E:\\M\xe4rz\xff\r\n");
}

TEST_F(TraceLogTest, AUnitAboveFFFailsTheLogForTheRestOfTheRun) {
  log << "before";
  log.EndLine();
  log << "Keyfile found: " << u"E:\\\u20ac.key";
  log.EndLine();
  log << "after";
  log.EndLine();
  EXPECT_TRUE(log.failed());
  EXPECT_EQ(Bytes(), "before\r\n");
}

}  // namespace
}  // namespace kvn
