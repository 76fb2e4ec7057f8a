// The Win32 adapter of the token watcher's seam, against the real (or Wine's) calls. Built
// and run only for Windows.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <string>

#include "service/service_state.h"
#include "win32/token_platform_win32.h"
#include "win32/win32.h"

#undef GetDriveType  // the seam's method, not the A/W macro

namespace kvn::win32 {
namespace {

std::u16string TempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
  std::u16string folder(AsU16(buffer), length);
  while (!folder.empty() && folder.back() == u'\\') folder.pop_back();
  return folder;
}

std::u16string SystemFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH + 1);
  return std::u16string(AsU16(buffer), length);
}

// The handles open in this process, found by asking each possible handle value for its
// flags (GetProcessHandleCount reports nothing under Wine).
int OpenHandles() {
  int count = 0;
  for (std::uintptr_t value = 4; value < 0x2000; value += 4) {
    DWORD flags = 0;
    if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

class Win32TokenPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = TempFolder() + u"\\kvn-token-" + std::u16string(1, u'a');
    ::CreateDirectoryW(AsWide(folder.c_str()), nullptr);
    file = folder + u"\\kvn.ini";
    const HANDLE handle = ::CreateFileW(AsWide(file.c_str()), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ::CloseHandle(handle);
  }
  void TearDown() override {
    ::DeleteFileW(AsWide(file.c_str()));
    ::RemoveDirectoryW(AsWide(folder.c_str()));
    service::stopEvent = nullptr;
  }

  Win32TokenPlatform platform;
  std::u16string folder;
  std::u16string file;
};

TEST_F(Win32TokenPlatformTest, SearchesFindFilesFoldersAndWildcardsButNoTrailingBackslash) {
  EXPECT_TRUE(platform.FindFile(file.c_str()).found);
  EXPECT_TRUE(platform.FindFile(folder.c_str()).found);
  EXPECT_TRUE(platform.FindFile((folder + u"\\*.ini").c_str()).found);
  const os::SearchResult missing = platform.FindFile((folder + u"\\gone.ini").c_str());
  EXPECT_FALSE(missing.found);
  EXPECT_EQ(missing.error, 2u);
  EXPECT_FALSE(platform.FindFile((folder + u"\\").c_str()).found);
  EXPECT_FALSE(platform.FindFile(u"C:\\").found);
  const os::SearchResult noFolder = platform.FindFile((folder + u"\\none\\kvn.ini").c_str());
  EXPECT_FALSE(noFolder.found);
  EXPECT_EQ(noFolder.error, 3u);
}

TEST_F(Win32TokenPlatformTest, DrivesAndTheirTypes) {
  const std::uint32_t mask = platform.GetDrives();
  EXPECT_NE(mask & (1u << 2), 0u);  // C:
  EXPECT_EQ(platform.GetDriveType(u"C:\\"), static_cast<std::uint32_t>(DRIVE_FIXED));
}

TEST_F(Win32TokenPlatformTest, PathsResolve) {
  EXPECT_EQ(platform.FullPathName(u"C:\\Program Files\\TrueCrypt\\..\\.\\x.exe"),
            u"C:\\Program Files\\x.exe");
  EXPECT_EQ(CompareStringOrdinal(AsWide(platform.LongPathName(folder.c_str()).c_str()), -1,
                                 AsWide(folder.c_str()), -1, TRUE),
            CSTR_EQUAL);
  EXPECT_TRUE(platform.LongPathName((folder + u"\\gone.ini").c_str()).empty());
}

TEST_F(Win32TokenPlatformTest, ProgramFilesFoldersAreAbsoluteWithoutTrailingBackslash) {
  const std::vector<std::u16string> folders = platform.ProgramFilesFolders();
  ASSERT_FALSE(folders.empty());
  for (const std::u16string& f : folders) {
    ASSERT_GE(f.size(), 4u);
    EXPECT_EQ(f[1], u':');
    EXPECT_NE(f.back(), u'\\');
  }
}

TEST_F(Win32TokenPlatformTest, ChildrenStartAndNoHandleOfTheirsIsKept) {
  const std::u16string cmd = SystemFolder() + u"\\cmd.exe";
  // The waited-for child has run to its end when the call returns.
  const std::u16string out = folder + u"\\out.txt";
  const std::u16string line = u"cmd /c echo hello> \"" + out + u"\"";
  EXPECT_TRUE(platform.StartProcess(cmd.c_str(), line.c_str(), true));
  EXPECT_TRUE(platform.FindFile(out.c_str()).found);
  ::DeleteFileW(AsWide(out.c_str()));

  EXPECT_FALSE(platform.StartProcess(u"C:\\no\\such\\TrueCrypt.exe", u"x /a /q /d /f", true));

  const int before = OpenHandles();
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(platform.StartProcess(cmd.c_str(), u"cmd /c exit 0", false));
  }
  const int after = OpenHandles();
  EXPECT_LE(after, before);  // no handle of a child that is not waited for is kept
}

TEST_F(Win32TokenPlatformTest, PauseEndsOnTheStopEvent) {
  EXPECT_FALSE(platform.Pause(0));  // no event: a plain sleep
  const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  service::stopEvent = event;
  EXPECT_FALSE(platform.Pause(1));
  ::SetEvent(event);
  EXPECT_TRUE(platform.Pause(60000));  // returns at once
  service::stopEvent = nullptr;
  ::CloseHandle(event);
}

}  // namespace
}  // namespace kvn::win32

#endif  // _WIN32
