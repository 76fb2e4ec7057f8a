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

#include "rules/path_rule.h"
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

// The administrators' sources, in order, as Windows gives them to a process of this build's
// width: a 64-bit process gets the native folder and the x86 one, a 32-bit process on 64-bit
// Windows the x86 folder from both known folders, on 32-bit Windows the one folder. The
// environment, which the user sets, is never read.
TEST_F(Win32TokenPlatformTest, ProgramFilesFoldersComeFromAdministratorsSources) {
  ASSERT_TRUE(::SetEnvironmentVariableW(L"ProgramFiles", L"C:\\Users\\Public"));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"ProgramW6432", L"C:\\Users\\Public"));
  const std::vector<std::u16string> folders = platform.ProgramFilesFolders();
  BOOL wow64 = FALSE;
  ASSERT_TRUE(::IsWow64Process(::GetCurrentProcess(), &wow64));
  const std::u16string native = u"C:\\Program Files", x86 = u"C:\\Program Files (x86)";
  const std::vector<std::u16string> expected = sizeof(void*) == 8 ? std::vector{native, x86, native}
                                               : wow64 != FALSE
                                                   ? std::vector{x86, x86, native}
                                                   : std::vector{native, native, native};
  EXPECT_EQ(folders, expected);
  EXPECT_EQ(platform.Wow64(), wow64 != FALSE);
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
// grant goes to Everyone; every file belongs to the lab's user, whom a policy names here.
TEST_F(Win32TokenPlatformTest, RightsAreReadAsTheRuleNeedsThem) {
  ASSERT_TRUE(Grant(folder, L"S-1-1-0", FILE_ADD_FILE | FILE_WRITE_DATA));
  for (const auto& [path, place, others] :
       {std::tuple{folder, ChainPlace::kProgramFolder, true},
        {std::u16string(u"C:\\Program Files"), ChainPlace::kAbove, false}}) {
    const os::Handle entry = platform.OpenEntry(path.c_str());
    os::Security security;
    EXPECT_TRUE(platform.ReadEntrySecurity(entry, security));
    EXPECT_EQ(OthersMayChange(security, place, TrustedAccounts({security.owner})), others)
        << Narrow(path);
    EXPECT_TRUE(OthersMayChange(security, place, TrustedAccounts({})));  // not without the policy
    platform.CloseEntry(entry);
  }
}

// The volume's serial and flags as the system reports them; where Windows lies.
TEST_F(Win32TokenPlatformTest, VolumeAndWindowsFolderAreTheSystemsOwn) {
  DWORD serial = 0, flags = 0;
  ASSERT_TRUE(::GetVolumeInformationW(L"C:\\", nullptr, 0, &serial, nullptr, &flags, nullptr, 0));
  os::VolumeFacts volume;
  EXPECT_TRUE(platform.VolumeInfo(u"C:\\", volume));
  EXPECT_EQ(std::make_pair(volume.serial, volume.flags),
            std::make_pair(std::uint32_t{serial}, std::uint32_t{flags}));
  EXPECT_FALSE(platform.VolumeInfo(u"C:\\no such folder\\", volume));
  wchar_t windows[MAX_PATH];
  ASSERT_NE(::GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
  EXPECT_EQ(platform.WindowsFolder(), AsU16(windows));
}

// The trusted accounts of the policy, each string as stored, in the 64-bit view.
TEST_F(Win32TokenPlatformTest, PolicyTrustedAccountsAreReadAsStored) {
  EXPECT_EQ(platform.PolicyTrustedAccounts(), std::vector<std::u16string>{});
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Kelvarn", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const wchar_t value[] = L"S-1-5-21-1-2-3-500\0S-1-5-32-544\0";  // and the closing terminator
  ::RegSetValueExW(key, L"TrustedAccounts", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(value),
                   sizeof value);
  const std::vector<std::u16string> read = platform.PolicyTrustedAccounts();
  ::RegSetValueExW(key, L"TrustedAccounts", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   sizeof value);
  const std::vector<std::u16string> wrongType = platform.PolicyTrustedAccounts();
  ::RegDeleteValueW(key, L"TrustedAccounts");
  ::RegCloseKey(key);
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Kelvarn", KEY_WOW64_64KEY, 0);
  EXPECT_EQ(read, (std::vector<std::u16string>{u"S-1-5-21-1-2-3-500", u"S-1-5-32-544"}));
  EXPECT_EQ(wrongType, std::vector<std::u16string>{});
}

// Answers Wine never gives, given as Windows gives them.
BOOL WINAPI TagQueryUnsupported(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  ::SetLastError(ERROR_INVALID_PARAMETER);  // FAT32 and exFAT
  return FALSE;
}
BOOL WINAPI ReparsePointInfo(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  const BOOL read = ::GetFileInformationByHandle(file, info);
  info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return read;
}
HANDLE WINAPI AccessDenied(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  ::SetLastError(ERROR_ACCESS_DENIED);
  return INVALID_HANDLE_VALUE;
}
BOOL WINAPI Wow64Unknown(HANDLE, PBOOL) {
  ::SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

// On FAT32 and exFAT the tag query fails: a file there still reads, and is no reparse point;
// a reparse point whose tag cannot be read reads as a link. An open that access control
// refuses, or that meets a handle another program holds with delete access (which this open
// does not share), fails with that code, not "not there".
TEST_F(Win32TokenPlatformTest, WindowsAnswersWineDoesNotGive) {
  SystemCalls fat;
  fat.fileInformationEx = &TagQueryUnsupported;
  Win32TokenPlatform onFat(fat);
  const os::Handle entry = onFat.OpenEntry(file.c_str());
  ASSERT_NE(entry, nullptr);
  os::EntryInfo info;
  EXPECT_TRUE(onFat.ReadEntryInfo(entry, info));
  EXPECT_EQ(std::make_tuple(info.attributes & FILE_ATTRIBUTE_REPARSE_POINT, info.size),
            std::make_tuple(DWORD{0}, std::uint64_t{8}));
  onFat.CloseEntry(entry);

  SystemCalls untold = fat;
  untold.fileInformation = &ReparsePointInfo;
  Win32TokenPlatform withUntoldTag(untold);
  const os::Handle linked = withUntoldTag.OpenEntry(folder.c_str());
  ASSERT_NE(linked, nullptr);
  EXPECT_TRUE(withUntoldTag.ReadEntryInfo(linked, info));
  EXPECT_TRUE(IsLink(info.attributes, info.reparseTag));
  withUntoldTag.CloseEntry(linked);

  SystemCalls denied;
  denied.createFile = &AccessDenied;
  Win32TokenPlatform deniedPlatform(denied);
  EXPECT_EQ(deniedPlatform.OpenEntry(file.c_str()), nullptr);
  EXPECT_EQ(deniedPlatform.GetLastError(), DWORD{ERROR_ACCESS_DENIED});

  const HANDLE other = ::CreateFileW(AsWide(file.c_str()), GENERIC_READ | DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenEntry(file.c_str()), nullptr);
  EXPECT_EQ(platform.GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
  ::CloseHandle(other);

  SystemCalls unknown;
  unknown.isWow64Process = &Wow64Unknown;
  EXPECT_EQ(Win32TokenPlatform(unknown).Wow64(), sizeof(void*) == 4);  // unknown counts as WOW64
}

}  // namespace
}  // namespace kvn::win32

#endif  // _WIN32
