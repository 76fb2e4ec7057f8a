// The sample kvn.ini that ships with the stick guide is accepted as it stands: a stick that
// carries it, on a machine that has its program, key file and container, mounts at T:.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "unit/token_fixture.h"

namespace kvn::testing {
namespace {

std::string ReadSample() {
  std::string bytes;
  std::FILE* file = std::fopen(KVN_TEST_DATA_DIR "/../../docs/kvn.ini", "rb");
  if (file == nullptr) return bytes;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    bytes.append(buffer, n);
  std::fclose(file);
  return bytes;
}

class SampleConfigTest : public TokenTest {};

TEST_F(SampleConfigTest, TheShippedSampleMountsItsContainer) {
  const std::string sample = ReadSample();
  ASSERT_FALSE(sample.empty()) << "docs/kvn.ini not found";
  platform.AddFile(u"D:\\Private\\vault.tc", "container");
  platform.AddDrive(u'E', fake::kDriveRemovable);
  platform.AddFile(u"E:\\kvn.ini", sample);
  platform.AddFile(u"E:\\keys\\vault.key", "key");

  SecureToken& watcher = Token();
  EXPECT_EQ(watcher.FindToken(), ConfigOk);
  ASSERT_TRUE(watcher.tokenPresent);
  EXPECT_EQ(std::u16string(watcher.trueCryptPath), kProgram16);
  EXPECT_EQ(std::u16string(watcher.keyFilePath), u"E:\\keys\\vault.key");
  EXPECT_EQ(std::u16string(watcher.containerPath), u"D:\\Private\\vault.tc");
  EXPECT_EQ(std::u16string(watcher.targetDrive), u"T");
}

}  // namespace
}  // namespace kvn::testing
