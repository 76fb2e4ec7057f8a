// The trace log's byte-exact line rule, and the bounded copy its fields are filled with.
#include <gtest/gtest.h>

#include "common/strings.h"
#include "fake/fake_token_platform.h"
#include "token/trace_log.h"

namespace kvn {
namespace {

constexpr char16_t kLog[] = u"C:\\Trace\\kvn.log";

// Overlong values are scenario rows; a field of no units takes nothing, not even a terminator.
TEST(Strings, NothingFitsAFieldOfNoUnits) {
  char16_t field[1] = {u'x'};
  EXPECT_FALSE(CopyBounded(field, 0, u""));
  EXPECT_EQ(field[0], u'x');
}

// A line that ends in its literal's "\n" waits for the next flushed line or the close. One
// byte per character; a unit above 0xFF fails the log for the rest of the run.
TEST(TraceLogTest, LinesReachTheFileByteForByteWhenFlushed) {
  fake::FakeKernel kernel;
  fake::FakeTokenPlatform platform{kernel};  // a file the test can read between writes
  platform.AddFolder(u"C:\\Trace");
  const auto bytes = [&] { return platform.FileContents(kLog); };
  TraceLog log;
  log.Attach(platform.OpenTrace(kLog));
  log << "GetValue for TrueCrypt\n";
  EXPECT_EQ(bytes(), "");
  log << "DriveType:  " << u"E:\\M\u00e4rz\u00ff" << " " << std::uint32_t{4294967295u};
  log.EndLine();
  const std::string flushed =
      "GetValue for TrueCrypt\r\nDriveType:  E:\\M\xe4rz\xff 4294967295\r\n";
  EXPECT_EQ(bytes(), flushed);
  log << "No free drive letter available!\n";
  log.Close();
  EXPECT_EQ(platform.openTraces, 0);
  log << "after the close";  // goes nowhere
  log.EndLine();
  EXPECT_EQ(bytes(), flushed + "No free drive letter available!\r\n");

  log.Attach(platform.OpenTrace(kLog));
  log << "Keyfile found: " << u"E:\\\u20ac.key";
  log.EndLine();
  log << "after";
  log.EndLine();
  EXPECT_TRUE(log.failed());
  EXPECT_EQ(bytes(), "");

  // A file attached anew starts afresh: what was pending for the one before is dropped.
  log.Attach(platform.OpenTrace(kLog));
  log << "for the file before\n";
  log.Attach(platform.OpenTrace(kLog));
  log.EndLine();
  EXPECT_EQ(bytes(), "\r\n");
}

// A write that fails ends the log: nothing is written after it, and it reports failed.
TEST(TraceLogTest, AFailedWriteEndsTheLog) {
  struct Refusing final : os::ByteSink {
    int writes = 0;
    bool Write(const char*, std::size_t) override { return ++writes < 0; }
  };
  auto sink = std::make_unique<Refusing>();
  const Refusing& refusing = *sink;
  TraceLog log;
  log.Attach(std::move(sink));
  log << "first";
  log.EndLine();
  log.EndLine();
  EXPECT_EQ(refusing.writes, 1);
  EXPECT_TRUE(log.failed());
}

}  // namespace
}  // namespace kvn
