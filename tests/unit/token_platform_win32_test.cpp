// The Win32 adapter of the token watcher's seam against the real (or Wine's) calls; Windows only.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "rules/path_rule.h"
#include "rules/rights_rule.h"
#include "win32/token_platform_win32.h"
#include "win32/trace_file_win32.h"
#include "win32/win32.h"

#include <aclapi.h>  // after windows.h

namespace kvn::win32 {
namespace {

using Strings = std::vector<std::u16string>;
const wchar_t* W(const std::u16string& path) { return AsWide(path.c_str()); }

std::u16string SystemFolder() {
  wchar_t buffer[MAX_PATH + 1];
  return {AsU16(buffer), ::GetSystemDirectoryW(buffer, MAX_PATH + 1)};
}

// Handles open here: each value that has flags (GetProcessHandleCount reports nothing in Wine).
int OpenHandles() {
  int count = 0;
  DWORD flags = 0;
  for (std::uintptr_t value = 4; value < 0x2000; value += 4)
    if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  return count;
}

bool GrantEveryoneAddFile(const std::u16string& path) {
  const LPWSTR name = const_cast<LPWSTR>(W(path));
  SID everyone = {SID_REVISION, 1, {{0, 0, 0, 0, 0, 1}}, {SECURITY_WORLD_RID}};
  EXPLICIT_ACCESSW access = {FILE_ADD_FILE | FILE_WRITE_DATA, GRANT_ACCESS, NO_INHERITANCE, {}};
  ::BuildTrusteeWithSidW(&access.Trustee, &everyone);
  PACL old = nullptr, updated = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;  // owns `old`
  const bool granted =
      ::GetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &old, nullptr, &descriptor) == ERROR_SUCCESS &&
      ::SetEntriesInAclW(1, &access, old, &updated) == ERROR_SUCCESS &&
      ::SetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              updated, nullptr) == ERROR_SUCCESS;
  ::LocalFree(updated);
  ::LocalFree(descriptor);
  return granted;
}

// A file reached through a letter mapped to a share, as Windows names it.
DWORD WINAPI MappedDrive(HANDLE, LPWSTR path, DWORD size, DWORD) {
  constexpr wchar_t kFinal[] = L"\\\\?\\UNC\\server\\share\\kvn.ini";
  constexpr DWORD kLength = sizeof kFinal / sizeof(wchar_t) - 1;
  if (size <= kLength) return kLength + 1;
  std::copy(std::begin(kFinal), std::end(kFinal), path);
  return kLength;
}

class Win32TokenPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryW(W(folder), nullptr);
    std::ofstream(Narrow(file), std::ios::binary) << "[Config]";
  }
  void TearDown() override {
    for (const char16_t* name : {u"\\kvn.ini", u"\\kvn.log", u"\\second.log"})
      ::DeleteFileW(W(folder + name));
    ::RemoveDirectoryW(W(folder));
  }

  static std::u16string TempFolder() {
    wchar_t buffer[MAX_PATH + 1];  // ends with a backslash
    return {AsU16(buffer), ::GetTempPathW(MAX_PATH + 1, buffer)};
  }
  // Temporary paths are ASCII: narrowed byte for byte.
  static std::string Narrow(const std::u16string& path) { return {path.begin(), path.end()}; }
  static std::string ReadFile(const std::u16string& path) {
    return {std::istreambuf_iterator<char>(std::ifstream(Narrow(path), std::ios::binary).rdbuf()),
            {}};
  }
  // Read through a handle of its own, none when it does not read; one that does not open fails.
  static std::optional<os::EntryInfo> Info(const std::u16string& path, const SystemCalls& calls) {
    Win32TokenPlatform on(calls);
    const os::Handle entry = on.OpenEntry(path.c_str());
    EXPECT_NE(entry, nullptr) << Narrow(path);
    os::EntryInfo info;
    const bool read = entry != nullptr && on.ReadEntryInfo(entry, info);
    on.CloseEntry(entry);
    return read ? std::optional(info) : std::nullopt;
  }

  Win32TokenPlatform platform;
  const std::u16string folder = TempFolder() + u"kvn-token-a", file = folder + u"\\kvn.ini";
};

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
  EXPECT_EQ(::_wcsicmp(W(platform.LongPathName(folder.c_str())), W(folder)), 0);  // case as stored
  EXPECT_TRUE(platform.LongPathName((folder + u"\\gone.ini").c_str()).empty());
}

// As Windows gives them: 64-bit, the native and the x86 folder; WOW64, the x86 folder from both
// known folders; 32-bit Windows, the one folder. Never the user's environment.
TEST_F(Win32TokenPlatformTest, ProgramFilesFoldersComeFromAdministratorsSources) {
  ASSERT_TRUE(::SetEnvironmentVariableW(L"ProgramFiles", L"C:\\Users\\Public"));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"ProgramW6432", L"C:\\Users\\Public"));
  BOOL wow64 = FALSE;
  ASSERT_TRUE(::IsWow64Process(::GetCurrentProcess(), &wow64));
  const std::u16string native = u"C:\\Program Files", x86 = u"C:\\Program Files (x86)";
  EXPECT_EQ(platform.ProgramFilesFolders(), (sizeof(void*) == 8 ? Strings{native, x86, native}
                                             : wow64 != FALSE   ? Strings{x86, x86, native}
                                                                : Strings{native, native, native}));
  EXPECT_EQ(platform.Wow64(), wow64 != FALSE);
}

TEST_F(Win32TokenPlatformTest, ChildrenAreStartedWaitedForAndClosed) {
  const std::u16string cmd = SystemFolder() + u"\\cmd.exe", out = folder + u"\\kvn.log";
  const os::Handle child =
      platform.StartProcess(cmd.c_str(), (u"cmd /c echo hello> \"" + out + u"\"").c_str(), false);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(platform.Wait(child, nullptr, 0xFFFFFFFF), os::WaitResult::kChildEnded);
  EXPECT_EQ(platform.FindFile(out.c_str()).size, 7u);  // it ran to its end: "hello\r\n"
  platform.CloseProcess(child);
  EXPECT_EQ(platform.StartProcess(u"C:\\no\\such\\TrueCrypt.exe", u"x /a /q /d /f", false),
            nullptr);

  const int before = OpenHandles();
  for (int i = 0; i < 3; ++i) {
    const os::Handle quick = platform.StartProcess(cmd.c_str(), u"cmd /c exit 7", false);
    platform.Wait(quick, nullptr, 0xFFFFFFFF);
    std::uint32_t code = 0;
    EXPECT_TRUE(platform.ChildExitCode(quick, code) && code == 7) << code;
    platform.CloseProcess(quick);
  }
  EXPECT_LE(OpenHandles(), before);  // the thread handle is not kept either
}

TEST_F(Win32TokenPlatformTest, WaitsEndOnTheChildFirstThenTheStopEvent) {
  const std::u16string ping = SystemFolder() + u"\\ping.exe";
  const os::Handle child = platform.StartProcess(ping.c_str(), u"ping -n 60 127.0.0.1", false);
  ASSERT_NE(child, nullptr);
  const HANDLE stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(platform.Wait(nullptr, nullptr, 1), os::WaitResult::kTimedOut);  // a plain sleep
  EXPECT_EQ(platform.Wait(child, stop, 1), os::WaitResult::kTimedOut);
  std::uint32_t code = 0;
  EXPECT_FALSE(platform.ChildExitCode(child, code));  // still running
  ::SetEvent(stop);
  EXPECT_EQ(platform.Wait(child, stop, 60000), os::WaitResult::kStopped);
  EXPECT_EQ(platform.Wait(nullptr, stop, 60000), os::WaitResult::kStopped);
  EXPECT_TRUE(platform.EndProcess(child));
  EXPECT_EQ(platform.Wait(child, stop, 60000), os::WaitResult::kChildEnded);
  EXPECT_EQ(platform.Wait(child, reinterpret_cast<os::Handle>(0x7ff0), 0), os::WaitResult::kFailed);
  platform.CloseProcess(child);
  ::CloseHandle(stop);
}

TEST_F(Win32TokenPlatformTest, TraceFileIsEmptiedUnlessItHasASecondName) {
  const std::u16string log = folder + u"\\kvn.log";
  std::ofstream(Narrow(log), std::ios::binary) << "old lines";
  std::unique_ptr<os::ByteSink> sink = OpenTraceFile(log.c_str());
  ASSERT_NE(sink, nullptr);
  EXPECT_TRUE(sink->Write("new", 3));
  sink.reset();
  EXPECT_EQ(ReadFile(log), "new");
  ASSERT_TRUE(::CreateHardLinkW(W(folder + u"\\second.log"), W(log), nullptr));
  EXPECT_EQ(OpenTraceFile(log.c_str()), nullptr);
  EXPECT_EQ(ReadFile(log), "new");
}

// A device name resolves to the device for GetFullPathNameW, but opens nothing as an entry: the
// open takes the path as an NT path, in which NUL is a name like any other.
TEST_F(Win32TokenPlatformTest, EntriesAreReadThroughTheirHandle) {
  const os::EntryInfo info = Info(file, {}).value();
  EXPECT_EQ(std::make_tuple(info.attributes & FILE_ATTRIBUTE_DIRECTORY, info.reparseTag, info.size),
            std::make_tuple(DWORD{0}, std::uint32_t{0}, std::uint64_t{8}));
  const os::Handle entry = platform.OpenEntry(file.c_str());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(::_wcsicmp(W(platform.FinalPath(entry)), W(u"\\\\?\\" + file)), 0);
  SystemCalls mapped;
  mapped.finalPath = &MappedDrive;
  EXPECT_EQ(Win32TokenPlatform(mapped).FinalPath(entry), u"\\\\?\\UNC\\server\\share\\kvn.ini");
  std::string bytes;
  for (const auto& [max, expected] :
       {std::pair{std::size_t{3}, "[Co"}, {100, "[Config]"}, {0, ""}}) {
    EXPECT_TRUE(platform.ReadEntry(entry, max, bytes));
    EXPECT_EQ(bytes, expected);
  }
  platform.CloseEntry(entry);
  EXPECT_NE(Info(folder, {}).value().attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

  EXPECT_EQ(platform.OpenEntry((folder + u"\\gone.ini").c_str()), nullptr);
  EXPECT_EQ(platform.GetLastError(), 2u);
  for (const auto& [path, device] : {std::pair{u"C:\\dir\\COM1.tc", u"\\\\.\\COM1"},
                                     {u"C:\\x\\NUL", u"\\\\.\\NUL"},
                                     {u"C:\\x\\nul.txt", u"\\\\.\\nul"}})
    EXPECT_EQ(platform.FullPathName(path), device);
  EXPECT_EQ(platform.OpenEntry((folder + u"\\NUL").c_str()), nullptr);
  EXPECT_EQ(platform.GetLastError(), 2u);
}

TEST_F(Win32TokenPlatformTest, AHeldFolderStaysWhereItIs) {
  const std::u16string moved = folder + u"-moved";
  const os::Handle held = platform.OpenEntry(folder.c_str());
  ASSERT_NE(held, nullptr);
  EXPECT_FALSE(::MoveFileW(W(folder), W(moved)));
  platform.CloseEntry(held);
  EXPECT_TRUE(::MoveFileW(W(folder), W(moved)));
  ::MoveFileW(W(moved), W(folder));  // back, for TearDown
}

// Wine maps a DACL onto the mode bits, of which only the others' show up again as Everyone: the
// grant goes to Everyone. Every file belongs to the lab's user, whom a policy names here.
TEST_F(Win32TokenPlatformTest, RightsAreReadAsTheRuleNeedsThem) {
  ASSERT_TRUE(GrantEveryoneAddFile(folder));
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

TEST_F(Win32TokenPlatformTest, VolumeAndWindowsFolderAreTheSystemsOwn) {
  DWORD serial = 0, flags = 0;
  ASSERT_TRUE(::GetVolumeInformationW(L"C:\\", nullptr, 0, &serial, nullptr, &flags, nullptr, 0));
  os::VolumeFacts volume;
  EXPECT_TRUE(platform.VolumeInfo(u"C:\\", volume));
  EXPECT_EQ(std::tie(volume.serial, volume.flags), std::tie(serial, flags));
  EXPECT_FALSE(platform.VolumeInfo(u"C:\\no such folder\\", volume));
  wchar_t windows[MAX_PATH];
  ASSERT_NE(::GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
  EXPECT_EQ(platform.WindowsFolder(), AsU16(windows));
}

// Each string as stored, in the 64-bit view; a value of another type is not read.
TEST_F(Win32TokenPlatformTest, PolicyTrustedAccountsAreReadAsStored) {
  EXPECT_EQ(platform.PolicyTrustedAccounts(), Strings{});
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Kelvarn", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const wchar_t ids[] = L"S-1-5-21-1-2-3-500\0S-1-5-32-544\0";  // and the closing terminator
  for (const auto& [type, expected] :
       {std::pair{REG_MULTI_SZ, Strings{u"S-1-5-21-1-2-3-500", u"S-1-5-32-544"}}, {REG_SZ, {}}}) {
    ::RegSetValueExW(key, L"TrustedAccounts", 0, type, reinterpret_cast<const BYTE*>(ids),
                     sizeof ids);
    EXPECT_EQ(platform.PolicyTrustedAccounts(), expected);
  }
  ::RegCloseKey(key);
  ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Kelvarn", KEY_WOW64_64KEY, 0);
  // What each names: an alias, a well-known group; nobody; no SID at all.
  std::uint32_t use = 0;
  EXPECT_TRUE(platform.LookupAccount(u"S-1-5-32-544", use) && use == 4) << use;
  EXPECT_TRUE(platform.LookupAccount(u"S-1-1-0", use) && use == 5) << use;
  EXPECT_FALSE(platform.LookupAccount(u"S-1-5-21-9-9-9-1999", use));
  EXPECT_EQ(platform.GetLastError(), DWORD{ERROR_NONE_MAPPED});
  EXPECT_FALSE(platform.LookupAccount(u"Administrators", use));
  EXPECT_EQ(platform.GetLastError(), DWORD{ERROR_INVALID_SID});
}

BOOL WINAPI TagQueryUnsupported(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD) {
  return ::SetLastError(ERROR_INVALID_PARAMETER), FALSE;  // FAT32 and exFAT
}
BOOL WINAPI ReparsePointInfo(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  const BOOL read = ::GetFileInformationByHandle(file, info);
  info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  return read;
}
NTSTATUS NTAPI AccessDenied(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                            PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG) {
  return static_cast<NTSTATUS>(0xC0000022);  // STATUS_ACCESS_DENIED
}
// Opens as asked, then answers with another success: as an open that broke another program's
// oplock does, by default; keeps the options it was given.
ULONG openOptions = 0;
NTSTATUS otherSuccess = 0x00000108;  // STATUS_OPLOCK_BREAK_IN_PROGRESS
NTSTATUS NTAPI OplockBroken(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES name,
                            PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes, ULONG share,
                            ULONG disposition, ULONG options, PVOID ea, ULONG eaSize) {
  openOptions = options;
  const NTSTATUS opened = ::NtCreateFile(handle, access, name, io, size, attributes, share,
                                         disposition, options, ea, eaSize);
  return opened == 0 ? otherSuccess : opened;
}
BOOL WINAPI Wow64Unknown(HANDLE, PBOOL) { return ::SetLastError(ERROR_INVALID_HANDLE), FALSE; }
// A subst or network letter, and a volume that VeraCrypt mounted.
BOOL WINAPI NoVolumeId(LPCWSTR, LPWSTR, DWORD) { return ::SetLastError(1173), FALSE; }
DWORD WINAPI VeraCryptDevice(LPCWSTR, LPWSTR target, DWORD size) {
  constexpr wchar_t kDevice[] = L"\\Device\\VeraCryptVolumeE\0";  // and the list's end
  if (size < sizeof kDevice / sizeof(wchar_t)) return 0;
  std::copy(std::begin(kDevice), std::end(kDevice), target);
  return sizeof kDevice / sizeof(wchar_t);
}
// A start that waits on the program's file until another program lets go, late.
BOOL WINAPI HeldUp(LPCWSTR program, LPWSTR line, LPSECURITY_ATTRIBUTES process,
                   LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags, LPVOID environment,
                   LPCWSTR folder, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION made) {
  ::Sleep(1500);
  return ::CreateProcessW(program, line, process, thread, inherit, flags, environment, folder,
                          startup, made);
}

// FAT32 and exFAT fail the tag query: a file still reads, a reparse point reads as a link. An
// open that access control refuses, or that meets a handle another program holds with delete
// access (which this open does not share), fails with that code, not "not there".
TEST_F(Win32TokenPlatformTest, WindowsAnswersWineDoesNotGive) {
  const SystemCalls fat{&::NtCreateFile, &::GetFileInformationByHandle, &TagQueryUnsupported};
  const os::EntryInfo info = Info(file, fat).value();
  EXPECT_EQ(std::make_tuple(info.attributes & FILE_ATTRIBUTE_REPARSE_POINT, info.size),
            std::make_tuple(DWORD{0}, std::uint64_t{8}));
  const SystemCalls untold{&::NtCreateFile, &ReparsePointInfo, &TagQueryUnsupported};
  const os::EntryInfo linked = Info(folder, untold).value();
  EXPECT_TRUE(IsLink(linked.attributes, linked.reparseTag));

  EXPECT_EQ(Win32TokenPlatform({&AccessDenied}).OpenEntry(file.c_str()), nullptr);
  EXPECT_EQ(platform.GetLastError(), DWORD{ERROR_ACCESS_DENIED});
  const HANDLE other = ::CreateFileW(W(file), GENERIC_READ | DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenEntry(file.c_str()), nullptr);
  EXPECT_EQ(platform.GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
  ::CloseHandle(other);

  // An open that breaks an oplock is given up at once, its handle closed, as 742; so is one
  // with any other success but STATUS_SUCCESS (STATUS_PENDING here: 997).
  const int before = OpenHandles();
  for (const auto& [status, error] : {std::pair{0x108L, 742u}, std::pair{0x103L, 997u}}) {
    otherSuccess = status;
    EXPECT_EQ(Win32TokenPlatform({&OplockBroken}).OpenEntry(file.c_str()), nullptr);
    EXPECT_EQ(platform.GetLastError(), error);
    EXPECT_NE(openOptions & FILE_COMPLETE_IF_OPLOCKED, 0u);
    EXPECT_LE(OpenHandles(), before);
  }

  SystemCalls unknown;
  unknown.isWow64Process = &Wow64Unknown;
  EXPECT_EQ(Win32TokenPlatform(unknown).Wow64(), sizeof(void*) == 4);  // unknown counts as WOW64

  // What tells volumes apart: Wine names a drive after its letter, Windows after the volume.
  std::u16string name, device;
  EXPECT_TRUE(platform.VolumeName(u"C:\\", name) && name.rfind(u"\\\\?\\Volume{", 0) == 0);
  EXPECT_TRUE(platform.DosDevice(u"C:", device) && device.rfind(u"\\Device\\", 0) == 0);
  SystemCalls forged;
  forged.volumeName = &NoVolumeId;
  forged.dosDevice = &VeraCryptDevice;
  EXPECT_FALSE(Win32TokenPlatform(forged).VolumeName(u"S:\\", name));
  EXPECT_EQ(platform.GetLastError(), 1173u);
  EXPECT_TRUE(Win32TokenPlatform(forged).DosDevice(u"E:", device));
  EXPECT_EQ(device, u"\\Device\\VeraCryptVolumeE");
}

// Windows' answers for signatures the lab cannot make: the verdict as given, the request as
// Windows needs it (no prompt, no revocation check or download, time stamps valid for ever, the
// file held), and its state closed.
LONG answer = 0;
std::vector<DWORD> actions;
HANDLE verified = nullptr;
LONG WINAPI Answers(HWND window, GUID*, LPVOID request) {
  const auto* data = static_cast<WINTRUST_DATA*>(request);
  actions.push_back(data->dwStateAction);
  EXPECT_EQ(window, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::make_tuple(data->dwUIChoice, data->fdwRevocationChecks, data->dwUnionChoice),
            std::make_tuple(DWORD{WTD_UI_NONE}, DWORD{WTD_REVOKE_NONE}, DWORD{WTD_CHOICE_FILE}));
  EXPECT_EQ(data->dwProvFlags & (WTD_LIFETIME_SIGNING_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL),
            DWORD{WTD_CACHE_ONLY_URL_RETRIEVAL});
  EXPECT_EQ(data->pFile->hFile, verified);
  return data->dwStateAction == WTD_STATEACTION_VERIFY ? answer : 0;
}

TEST_F(Win32TokenPlatformTest, SignaturesAreVerifiedOnTheHeldFile) {
  wchar_t self[MAX_PATH];
  ASSERT_NE(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  verified = platform.OpenEntry(AsU16(self));
  ASSERT_NE(verified, nullptr);
  EXPECT_EQ(platform.VerifySignature(verified, AsU16(self)).verdict, 0x800B0100u);  // unsigned
  SystemCalls windows;
  windows.verifyTrust = &Answers;
  // an untrusted root, a revoked certificate, a file signed in a catalog only; expired but
  // time-stamped, which passes
  for (const LONG code : {LONG(0x800B0109), LONG(0x800B010C), LONG(0x800B0100), LONG(0)}) {
    answer = code;
    actions.clear();
    EXPECT_EQ(Win32TokenPlatform(windows).VerifySignature(verified, AsU16(self)).verdict,
              static_cast<std::uint32_t>(code));
    EXPECT_EQ(actions, (std::vector<DWORD>{WTD_STATEACTION_VERIFY, WTD_STATEACTION_CLOSE}));
  }
  platform.CloseEntry(verified);
}

// A start held up past its limit is given up at once; the child it makes later never runs, and
// while four such wait, a start fails at once. A child made suspended runs once resumed, or is
// ended without having run.
TEST_F(Win32TokenPlatformTest, StartsAreBoundedAndMayWaitToRun) {
  const std::u16string cmd = SystemFolder() + u"\\cmd.exe", out = folder + u"\\kvn.log";
  const std::u16string write = u"cmd /c echo ran> \"" + out + u"\"";
  SystemCalls late;
  late.createProcess = &HeldUp;
  const DWORD started = ::GetTickCount();
  for (int given = 0; given < 4; ++given) {
    EXPECT_EQ(Win32TokenPlatform(late, 100).StartProcess(cmd.c_str(), write.c_str(), false),
              nullptr);
    EXPECT_EQ(platform.GetLastError(), DWORD{ERROR_TIMEOUT});
  }
  // Four given up still wait: the next start fails at once, whatever it would have made.
  EXPECT_EQ(platform.StartProcess(cmd.c_str(), write.c_str(), false), nullptr);
  EXPECT_EQ(platform.GetLastError(), DWORD{ERROR_TIMEOUT});
  EXPECT_LT(::GetTickCount() - started, 1200u);
  ::Sleep(2500);
  EXPECT_FALSE(platform.FindFile(out.c_str()).found) << "a start that was given up ran";

  const os::Handle armed = platform.StartProcess(cmd.c_str(), write.c_str(), true);
  ASSERT_NE(armed, nullptr);
  EXPECT_EQ(platform.Wait(armed, nullptr, 300), os::WaitResult::kTimedOut);
  EXPECT_FALSE(platform.FindFile(out.c_str()).found);
  EXPECT_TRUE(platform.ResumeProcess(armed));
  EXPECT_EQ(platform.Wait(armed, nullptr, 0xFFFFFFFF), os::WaitResult::kChildEnded);
  EXPECT_TRUE(platform.FindFile(out.c_str()).found);
  platform.CloseProcess(armed);
  ::DeleteFileW(W(out));

  const os::Handle ended = platform.StartProcess(cmd.c_str(), write.c_str(), true);
  ASSERT_NE(ended, nullptr);
  EXPECT_TRUE(platform.EndProcess(ended));
  std::uint32_t code = 0;
  EXPECT_EQ(platform.Wait(ended, nullptr, 5000), os::WaitResult::kChildEnded);
  EXPECT_TRUE(platform.ChildExitCode(ended, code) && code == os::kEndedExitCode) << code;
  platform.CloseProcess(ended);
  EXPECT_FALSE(platform.FindFile(out.c_str()).found);
}

}  // namespace
}  // namespace kvn::win32

#endif  // _WIN32
