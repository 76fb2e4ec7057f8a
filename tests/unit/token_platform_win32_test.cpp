// The Win32 adapter of the token watcher's seam, against the real (or Wine's) calls. Built
// and run only for Windows.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "rules/rights_rule.h"
#include "win32/token_platform_win32.h"
#include "win32/trace_file_win32.h"
#include "win32/win32.h"

// After windows.h: SetEntriesInAclW and SetNamedSecurityInfoW, ConvertStringSidToSidW.
#include <aclapi.h>
#include <sddl.h>

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

// Adds a grant of `mask` to the account `sid` to the DACL of the folder at `path`.
bool Grant(const std::u16string& path, const wchar_t* sid, DWORD mask) {
  const LPWSTR name = const_cast<LPWSTR>(AsWide(path.c_str()));
  PACL old = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;  // owns `old`
  PSID account = nullptr;
  if (::GetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &old, nullptr, &descriptor) != ERROR_SUCCESS ||
      !::ConvertStringSidToSidW(sid, &account)) {
    return false;
  }
  EXPLICIT_ACCESSW access = {};
  access.grfAccessPermissions = mask;
  access.grfAccessMode = GRANT_ACCESS;
  ::BuildTrusteeWithSidW(&access.Trustee, account);
  PACL updated = nullptr;
  const bool granted = ::SetEntriesInAclW(1, &access, old, &updated) == ERROR_SUCCESS &&
                       ::SetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                               nullptr, nullptr, updated, nullptr) == ERROR_SUCCESS;
  ::LocalFree(updated);
  ::LocalFree(account);
  ::LocalFree(descriptor);
  return granted;
}

class Win32TokenPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = TempFolder() + u"\\kvn-token-" + std::u16string(1, u'a');
    ::CreateDirectoryW(AsWide(folder.c_str()), nullptr);
    file = folder + u"\\kvn.ini";
    WriteFile(file, "[Config]");
  }
  void TearDown() override {
    for (const char16_t* name : {u"\\kvn.ini", u"\\kvn.log", u"\\second.log"}) {
      ::DeleteFileW(AsWide((folder + name).c_str()));
    }
    ::RemoveDirectoryW(AsWide(folder.c_str()));
  }

  // Temporary paths are ASCII: narrowed byte for byte.
  static std::string Narrow(const std::u16string& path) { return {path.begin(), path.end()}; }
  static void WriteFile(const std::u16string& path, const std::string& bytes) {
    std::ofstream(Narrow(path), std::ios::binary) << bytes;
  }
  static std::string ReadFile(const std::u16string& path) {
    std::ifstream file(Narrow(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  Win32TokenPlatform platform;
  std::u16string folder;
  std::u16string file;
};

// Searches report an entry's own size and kind; drives and paths resolve as the system does.
TEST_F(Win32TokenPlatformTest, SearchesDrivesAndPaths) {
  const os::SearchResult found = platform.FindFile(file.c_str());
  EXPECT_EQ(std::make_tuple(found.found, found.size, found.attributes & FILE_ATTRIBUTE_DIRECTORY),
            std::make_tuple(true, std::uint64_t{8}, DWORD{0}));
  EXPECT_NE(platform.FindFile(folder.c_str()).attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_TRUE(platform.FindFile((folder + u"\\*.ini").c_str()).found);
  EXPECT_EQ(platform.FindFile((folder + u"\\gone.ini").c_str()).error, 2u);
  EXPECT_EQ(platform.FindFile((folder + u"\\none\\kvn.ini").c_str()).error, 3u);
  EXPECT_FALSE(platform.FindFile((folder + u"\\").c_str()).found);
  EXPECT_NE(platform.GetDrives() & (1u << 2), 0u);  // C:
  EXPECT_EQ(platform.GetDriveType(u"C:\\"), static_cast<std::uint32_t>(DRIVE_FIXED));
  EXPECT_EQ(platform.FullPathName(u"C:\\Program Files\\TrueCrypt\\..\\.\\x.exe"),
            u"C:\\Program Files\\x.exe");
  EXPECT_EQ(CompareStringOrdinal(AsWide(platform.LongPathName(folder.c_str()).c_str()), -1,
                                 AsWide(folder.c_str()), -1, TRUE),
            CSTR_EQUAL);
  EXPECT_TRUE(platform.LongPathName((folder + u"\\gone.ini").c_str()).empty());
}

// Every source, in order, as it reads. Wine's registry has no ProgramW6432Dir, which is then
// given the value 64-bit Windows has, for the length of the test.
TEST_F(Win32TokenPlatformTest, ProgramFilesFoldersListEverySourceInOrder) {
  const wchar_t* const key = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
  const wchar_t* const name = L"ProgramW6432Dir";
  HKEY handle = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &handle),
            ERROR_SUCCESS);
  const bool added =
      ::RegQueryValueExW(handle, name, nullptr, nullptr, nullptr, nullptr) == ERROR_FILE_NOT_FOUND;
  const wchar_t value[] = L"C:\\Program Files";
  if (added)
    ::RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);
  const std::vector<std::u16string> folders = platform.ProgramFilesFolders();
  if (added) ::RegDeleteValueW(handle, name);
  ::RegCloseKey(handle);

  const std::u16string native = u"C:\\Program Files", x86 = u"C:\\Program Files (x86)";
  EXPECT_EQ(folders, (std::vector<std::u16string>{native, x86, native, x86, native, native}));
}

TEST_F(Win32TokenPlatformTest, ChildrenAreStartedWaitedForAndClosed) {
  const std::u16string cmd = SystemFolder() + u"\\cmd.exe";
  const std::u16string out = folder + u"\\kvn.log";
  const std::u16string line = u"cmd /c echo hello> \"" + out + u"\"";
  const os::Handle child = platform.StartProcess(cmd.c_str(), line.c_str());
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(platform.Wait(child, nullptr, 0xFFFFFFFF), os::WaitResult::kChildEnded);
  EXPECT_EQ(platform.FindFile(out.c_str()).size, 7u);  // it ran to its end: "hello\r\n"
  platform.CloseProcess(child);
  EXPECT_EQ(platform.StartProcess(u"C:\\no\\such\\TrueCrypt.exe", u"x /a /q /d /f"), nullptr);

  const int before = OpenHandles();
  for (int i = 0; i < 3; ++i) {
    const os::Handle quick = platform.StartProcess(cmd.c_str(), u"cmd /c exit 7");
    platform.Wait(quick, nullptr, 0xFFFFFFFF);
    std::uint32_t code = 0;
    EXPECT_TRUE(platform.ChildExitCode(quick, code));
    EXPECT_EQ(code, 7u);
    platform.CloseProcess(quick);
  }
  EXPECT_LE(OpenHandles(), before);  // the thread handle is not kept either
}

TEST_F(Win32TokenPlatformTest, WaitsEndOnTheChildFirstThenTheStopEvent) {
  const std::u16string ping = SystemFolder() + u"\\ping.exe";
  const os::Handle child = platform.StartProcess(ping.c_str(), u"ping -n 60 127.0.0.1");
  ASSERT_NE(child, nullptr);
  const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(platform.Wait(nullptr, nullptr, 1), os::WaitResult::kTimedOut);  // a plain sleep
  EXPECT_EQ(platform.Wait(child, stop, 1), os::WaitResult::kTimedOut);
  std::uint32_t code = 0;
  EXPECT_FALSE(platform.ChildExitCode(child, code));  // still running
  ::SetEvent(stop);
  EXPECT_EQ(platform.Wait(child, stop, 60000), os::WaitResult::kStopped);
  EXPECT_EQ(platform.Wait(nullptr, stop, 60000), os::WaitResult::kStopped);
  ::TerminateProcess(static_cast<HANDLE>(child), 0);
  EXPECT_EQ(platform.Wait(child, stop, 60000), os::WaitResult::kChildEnded);
  EXPECT_EQ(platform.Wait(reinterpret_cast<os::Handle>(0x7ff0), nullptr, 0),
            os::WaitResult::kFailed);
  platform.CloseProcess(child);
  ::CloseHandle(stop);
}

// The log is emptied only once it passed its checks: a file with a second name is refused
// and keeps its bytes.
TEST_F(Win32TokenPlatformTest, TraceFileIsEmptiedUnlessItHasASecondName) {
  const std::u16string log = folder + u"\\kvn.log";
  WriteFile(log, "old lines");
  std::unique_ptr<os::ByteSink> sink = OpenTraceFile(log.c_str());
  ASSERT_NE(sink, nullptr);
  EXPECT_TRUE(sink->Write("new", 3));
  sink.reset();
  EXPECT_EQ(ReadFile(log), "new");

  ASSERT_TRUE(
      ::CreateHardLinkW(AsWide((folder + u"\\second.log").c_str()), AsWide(log.c_str()), nullptr));
  EXPECT_EQ(OpenTraceFile(log.c_str()), nullptr);
  EXPECT_EQ(ReadFile(log), "new");
}

// An entry is read through its handle: its kind and size, and at most the bytes asked for,
// from the start each time. A device name resolves to the device, whose handle has no file
// information.
TEST_F(Win32TokenPlatformTest, EntriesAreReadThroughTheirHandle) {
  const os::Handle entry = platform.OpenEntry(file.c_str());
  ASSERT_NE(entry, nullptr);
  os::EntryInfo info;
  EXPECT_TRUE(platform.ReadEntryInfo(entry, info));
  EXPECT_EQ(std::make_tuple(info.attributes & FILE_ATTRIBUTE_DIRECTORY, info.reparseTag, info.size),
            std::make_tuple(DWORD{0}, std::uint32_t{0}, std::uint64_t{8}));
  std::string bytes;
  for (const auto& [max, expected] :
       {std::pair{std::size_t{3}, "[Co"}, {100, "[Config]"}, {0, ""}}) {
    EXPECT_TRUE(platform.ReadEntry(entry, max, bytes));
    EXPECT_EQ(bytes, expected);
  }
  platform.CloseEntry(entry);

  const os::Handle held = platform.OpenEntry(folder.c_str());
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(platform.ReadEntryInfo(held, info));
  EXPECT_NE(info.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  platform.CloseEntry(held);

  EXPECT_EQ(platform.OpenEntry((folder + u"\\gone.ini").c_str()), nullptr);
  EXPECT_EQ(platform.GetLastError(), 2u);
  for (const auto& [path, device] : {std::pair{u"C:\\dir\\COM1.tc", u"\\\\.\\COM1"},
                                     {u"C:\\x\\NUL", u"\\\\.\\NUL"},
                                     {u"C:\\x\\nul.txt", u"\\\\.\\nul"}}) {
    EXPECT_EQ(platform.FullPathName(path), device);
  }
  const os::Handle nul = platform.OpenEntry((folder + u"\\NUL").c_str());
  ASSERT_NE(nul, nullptr);
  EXPECT_FALSE(platform.ReadEntryInfo(nul, info));
  platform.CloseEntry(nul);
}

// While held, a folder cannot be renamed; once closed it can.
TEST_F(Win32TokenPlatformTest, AHeldFolderStaysWhereItIs) {
  const wchar_t* const name = AsWide(folder.c_str());
  const std::u16string moved = folder + u"-moved";
  const os::Handle held = platform.OpenEntry(folder.c_str());
  ASSERT_NE(held, nullptr);
  EXPECT_FALSE(::MoveFileW(name, AsWide(moved.c_str())));
  platform.CloseEntry(held);
  EXPECT_TRUE(::MoveFileW(name, AsWide(moved.c_str())));
  ::MoveFileW(AsWide(moved.c_str()), name);  // back, for TearDown
}

// The owner and DACL read through the handle reach the rule: a grant of "add file" to others
// makes a program folder changeable, C:\Program Files is not. Wine keeps no DACL of its own
// but maps it onto the mode bits, of which only the others' show up again as Everyone, so the
// grant goes to Everyone.
TEST_F(Win32TokenPlatformTest, RightsAreReadAsTheRuleNeedsThem) {
  const std::vector<std::u16string> trusted = TrustedAccounts(platform.ProcessUserSid());
  ASSERT_EQ(trusted.size(), 4u);  // the process user was found
  ASSERT_TRUE(Grant(folder, L"S-1-1-0", FILE_ADD_FILE | FILE_WRITE_DATA));
  for (const auto& [path, place, others] :
       {std::tuple{folder, ChainPlace::kProgramFolder, true},
        {std::u16string(u"C:\\Program Files"), ChainPlace::kAbove, false}}) {
    const os::Handle entry = platform.OpenEntry(path.c_str());
    os::Security security;
    EXPECT_TRUE(platform.ReadEntrySecurity(entry, security));
    EXPECT_EQ(OthersMayChange(security, place, trusted), others) << Narrow(path);
    platform.CloseEntry(entry);
  }
}

// The volume serial of C: as the system reports it.
TEST_F(Win32TokenPlatformTest, VolumeSerialIsTheSystemsOwn) {
  DWORD expected = 0;
  ASSERT_TRUE(
      ::GetVolumeInformationW(L"C:\\", nullptr, 0, &expected, nullptr, nullptr, nullptr, 0));
  std::uint32_t serial = 0;
  EXPECT_TRUE(platform.VolumeSerial(u"C:\\", serial));
  EXPECT_EQ(serial, expected);
}

}  // namespace
}  // namespace kvn::win32

#endif  // _WIN32
