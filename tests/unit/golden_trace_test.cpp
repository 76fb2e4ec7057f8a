// The token watcher end to end against the fake Windows: no stick, a stick attached, the
// stick pulled, and a stop while scanning again. The trace log must equal the checked-in
// file byte for byte (CR LF line ends, one byte per character).
#include <cstdio>
#include <string>

#include "token_fixture.h"

#ifndef KVN_TEST_DATA_DIR
#error "KVN_TEST_DATA_DIR must name the folder of the checked-in test data"
#endif

namespace kvn::testing {
namespace {

std::string ReadGolden(const char* name) {
  const std::string path = std::string(KVN_TEST_DATA_DIR) + "/golden/" + name;
  std::string bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    ADD_FAILURE() << "cannot open " << path;
    return bytes;
  }
  char buffer[4096];
  std::size_t count = 0;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, count);
  std::fclose(file);
  return bytes;
}

class GoldenTraceTest : public TokenTest {};

TEST_F(GoldenTraceTest, StickAttachedWatchedPulledAndStopWhileScanning) {
  platform.AddFile(u"D:\\My Vaults\\vault.tc", "container");
  Ini ini;
  ini.container = "D:\\My Vaults\\vault.tc";
  AddStick(u'E', ini);
  platform.Unplug(u'E');
  platform.PlugAt(5000, u'E');
  platform.UnplugAt(15000, u'E');
  platform.childRunTime = 1000;

  SecureToken& t = Token();
  EXPECT_EQ(t.FindToken(), ConfigOk);
  EXPECT_EQ(kernel.now(), 8000u);  // found by the pass at 6000
  t.OpenContainer();
  t.CheckToken();
  EXPECT_EQ(kernel.now(), 20000u);  // missed at 17000, one pause more
  t.CloseContainer();
  StopAt(24000);
  t.FindToken();
  EXPECT_TRUE(t.stopRequested);
  EXPECT_FALSE(t.tokenPresent);

  ASSERT_EQ(platform.starts.size(), 2u);
  EXPECT_EQ(platform.starts[0].time, 8000u);
  EXPECT_EQ(platform.starts[1].time, 20000u);
  EXPECT_EQ(platform.starts[1].commandLine,
            u"\"C:\\Program Files\\TrueCrypt\\TrueCrypt.exe\" /a /q /d /f");

  token.reset();
  EXPECT_EQ(platform.FileContents(kLog), ReadGolden("token_cycle.log"));
}

}  // namespace
}  // namespace kvn::testing
