#include "win32/token_platform_win32.h"

#include <direct.h>  // _getdrives

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cwchar>
#include <memory>
#include <utility>

#include "win32/scoped_win32.h"
#include "win32/trace_file_win32.h"
#include "win32/win32.h"

// After windows.h: the shell's known folders and the COM allocator that returns them. The
// two folder ids are defined here (initguid.h), so linking needs no uuid library.
// clang-format off
#include <initguid.h>
#include <knownfolders.h>
// clang-format on
#include <objbase.h>
#include <shlobj.h>
// After windows.h: the security calls (GetSecurityInfo, ConvertSidToStringSidW).
#include <aclapi.h>
#include <sddl.h>
// After wintrust.h: the Authenticode policy's action.
#include <softpub.h>

namespace kvn::win32 {

namespace {

// A string that the shell allocated with the COM allocator.
struct CoTaskTextTraits {
  using Value = PWSTR;
  static Value Invalid() { return nullptr; }
  static void Close(Value text) { ::CoTaskMemFree(text); }
};

// Calls `fill(buffer, size)`, a Win32 function that returns the length written, or the size
// needed (terminator included) when the buffer is too small, or 0 on failure.
template <typename Fill>
std::u16string GrowingCall(Fill fill) {
  std::u16string result(MAX_PATH, u'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD size = static_cast<DWORD>(result.size());
    const DWORD length = fill(AsWide(result.data()), size);
    if (length == 0) return {};
    if (length < size) {
      result.resize(length);
      return result;
    }
    result.assign(length, u'\0');
  }
  return {};
}

// Each source as it reads; empty when the source is missing.
std::u16string KnownFolder(REFKNOWNFOLDERID id) {
  ScopedHandle<CoTaskTextTraits> path;
  if (FAILED(::SHGetKnownFolderPath(id, 0, nullptr, path.receive())) || !path.valid()) {
    return {};
  }
  return AsU16(path.get());
}

// A string value of HKLM read through the 64-bit view of the registry, which a 32-bit
// process on 64-bit Windows would otherwise not see. REG_EXPAND_SZ is returned unexpanded.
std::u16string Registry64Value(const wchar_t* keyPath, const wchar_t* name) {
  ScopedRegistryKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.receive()) != ERROR_SUCCESS) {
    return {};
  }
  constexpr DWORD kTypes = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  std::u16string value;
  DWORD bytes = 0;  // terminator included
  if (::RegGetValueW(key.get(), nullptr, name, kTypes, nullptr, nullptr, &bytes) == ERROR_SUCCESS &&
      bytes >= sizeof(wchar_t)) {
    value.assign(bytes / sizeof(wchar_t), u'\0');
    if (::RegGetValueW(key.get(), nullptr, name, kTypes, nullptr, AsWide(value.data()), &bytes) ==
        ERROR_SUCCESS) {
      value.resize(wcsnlen(AsWide(value.c_str()), bytes / sizeof(wchar_t)));
    } else {
      value.clear();
    }
  }
  return value;
}

std::uint64_t Join(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

// A SID as text ("S-1-5-18"); false when it cannot be converted.
bool SidText(PSID sid, std::u16string& text) {
  ScopedLocalText converted;
  if (!::ConvertSidToStringSidW(sid, converted.receive())) return false;
  text = AsU16(converted.get());
  return true;
}

// Where the one SID of a DACL entry lies: after the mask, and in the object types after the
// GUIDs their flags announce. Null for a layout that holds no single SID there (the old
// compound type) or a SID that would reach past the entry.
PSID AceSid(ACE_HEADER* header) {
  std::size_t offset = offsetof(ACCESS_ALLOWED_ACE, SidStart);
  switch (header->AceType) {
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
      return nullptr;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE: {
      const DWORD flags = reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(header)->Flags;
      offset = offsetof(ACCESS_ALLOWED_OBJECT_ACE, ObjectType);
      if ((flags & ACE_OBJECT_TYPE_PRESENT) != 0) offset += sizeof(GUID);
      if ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0) offset += sizeof(GUID);
      break;
    }
    default:
      break;
  }
  // A SID is 8 bytes of header (revision, count, authority) and 4 per sub-authority.
  auto* bytes = reinterpret_cast<BYTE*>(header);
  if (offset + 8 > header->AceSize ||
      offset + 8 + std::size_t{4} * bytes[offset + 1] > header->AceSize) {
    return nullptr;
  }
  PSID sid = bytes + offset;
  return ::IsValidSid(sid) ? sid : nullptr;
}

bool DenyAce(BYTE type) {
  return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
         type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

// A child as the adapter hands it out: its process and first thread, and, for one made
// suspended, the job that ends it should this process end before it is resumed.
struct Child {
  HANDLE process = nullptr;
  HANDLE thread = nullptr;
  HANDLE job = nullptr;
};
Child& Of(os::Handle child) { return *static_cast<Child*>(child); }

// A start handed to a thread of its own, so that a start that waits on the program's file
// holds nobody up. The caller waits for it a while; whichever side lets go of it last frees
// it. The child is always made suspended: one whose start was given up is ended before it
// ever ran.
struct PendingStart {
  enum State { kWaiting, kDone, kGivenUp };
  decltype(&::CreateProcessW) createProcess;
  std::wstring program;
  std::wstring commandLine;  // CreateProcessW may write into it
  PROCESS_INFORMATION made = {};
  BOOL created = FALSE;
  DWORD error = 0;
  std::atomic<int> state{kWaiting};
};

// Starts given up whose thread still waits. A program that never lets go of the tool's file
// would otherwise leave a thread behind on every pass: past this many, a start fails at once.
std::atomic<int> startsLeftWaiting{0};
constexpr int kStartsLeftWaitingLimit = 4;

DWORD WINAPI RunStart(LPVOID parameter) {
  auto* start = static_cast<PendingStart*>(parameter);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  start->created =
      start->createProcess(start->program.c_str(), start->commandLine.data(), nullptr, nullptr,
                           FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &start->made);
  start->error = ::GetLastError();
  int waiting = PendingStart::kWaiting;
  if (start->state.compare_exchange_strong(waiting, PendingStart::kDone)) return 0;
  // Given up: nobody will resume or close this child.
  if (start->created) {
    ::TerminateProcess(start->made.hProcess, os::kEndedExitCode);
    ::CloseHandle(start->made.hThread);
    ::CloseHandle(start->made.hProcess);
  }
  delete start;
  --startsLeftWaiting;
  return 0;
}

// A job that ends its processes once its last handle, this process's, is closed.
HANDLE EndingJob() {
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr &&
      !::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    ::CloseHandle(job);
    return nullptr;
  }
  return job;
}

constexpr NTSTATUS kOplockBreakInProgress = 0x00000108;  // STATUS_OPLOCK_BREAK_IN_PROGRESS
constexpr DWORD kErrorOplockBreakInProgress = 742;       // ERROR_OPLOCK_BREAK_IN_PROGRESS

// The mount record: one key of its own, always in the 64-bit view, so that the x86 and the
// x64 build of the service find the same record on 64-bit Windows.
constexpr wchar_t kRecordKey[] = L"SOFTWARE\\Kelvarn";
constexpr wchar_t kRecordValue[] = L"Mounted";
// Accounts administrators trust besides the built-in ones: where Group Policy writes, apart
// from the mount record's key, which a dismount deletes.
constexpr wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Kelvarn";
constexpr wchar_t kPolicyValue[] = L"TrustedAccounts";
constexpr wchar_t kSignersValue[] = L"TrustedSigners";

}  // namespace

std::unique_ptr<os::ByteSink> Win32TokenPlatform::OpenTrace(const char16_t* path) {
  return OpenTraceFile(path);
}

std::uint32_t Win32TokenPlatform::GetDrives() { return static_cast<std::uint32_t>(_getdrives()); }

std::uint32_t Win32TokenPlatform::GetLastError() { return ::GetLastError(); }

std::uint64_t Win32TokenPlatform::TickCount() { return ::GetTickCount64(); }

std::uint32_t Win32TokenPlatform::GetDriveType(const char16_t* root) {
  return ::GetDriveTypeW(AsWide(root));
}

os::SearchResult Win32TokenPlatform::FindFile(const char16_t* path) {
  WIN32_FIND_DATAW data;
  const ScopedFind search(::FindFirstFileW(AsWide(path), &data));
  if (!search.valid()) return {false, ::GetLastError()};
  // dwReserved0 holds the reparse tag only when the entry is a reparse point.
  const bool reparse = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return {true, 0, data.dwFileAttributes, Join(data.nFileSizeHigh, data.nFileSizeLow),
          reparse ? data.dwReserved0 : 0};
}

// NtCreateFile rather than CreateFileW, for FILE_COMPLETE_IF_OPLOCKED: an open that breaks
// another program's oplock returns at once instead of waiting until that program acknowledges
// the break, which it may never do. Such an open is given up and answers
// ERROR_OPLOCK_BREAK_IN_PROGRESS (742), which refuses like any answer but "there" or "not
// there"; so does any other success but STATUS_SUCCESS, its handle closed. No FILE_SHARE_DELETE:
// while the handle is open, nobody can rename, delete or replace the entry. FILE_READ_DATA is
// FILE_LIST_DIRECTORY on a folder. The path is drive-absolute and resolved already; as an NT path
// ("\??\C:\...") it names no device and is not trimmed.
os::Handle Win32TokenPlatform::OpenEntry(const char16_t* path) {
  std::wstring name = L"\\??\\";
  name += AsWide(path);
  if (name.size() * sizeof(wchar_t) > 0xFFFE) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  UNICODE_STRING text;
  text.Buffer = name.data();
  text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE entry = nullptr;
  const NTSTATUS status =
      calls_.createFile(&entry, READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_READ_DATA | SYNCHRONIZE,
                        &attributes, &io, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                        FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT |
                            FILE_COMPLETE_IF_OPLOCKED | FILE_SYNCHRONOUS_IO_NONALERT,
                        nullptr, 0);
  if (status != 0) {
    if (status > 0) ::CloseHandle(entry);
    ::SetLastError(status == kOplockBreakInProgress ? kErrorOplockBreakInProgress
                                                    : ::RtlNtStatusToDosError(status));
    return nullptr;
  }
  return entry;
}

bool Win32TokenPlatform::ReadEntryInfo(os::Handle entry, os::EntryInfo& info) {
  // Every local file system answers this one. The tag query is not: FAT32 and exFAT fail it
  // with ERROR_INVALID_PARAMETER, and hold no reparse points either, so it is asked only of a
  // reparse point. One whose tag cannot be read keeps tag 0, which reads as a link.
  BY_HANDLE_FILE_INFORMATION data;
  if (!calls_.fileInformation(entry, &data)) return false;
  info = {data.dwFileAttributes, 0, Join(data.nFileSizeHigh, data.nFileSizeLow),
          Join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime)};
  FILE_ATTRIBUTE_TAG_INFO tag;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      calls_.fileInformationEx(entry, FileAttributeTagInfo, &tag, sizeof tag)) {
    info.reparseTag = tag.ReparseTag;
  }
  return true;
}

bool Win32TokenPlatform::ReadEntrySecurity(os::Handle entry, os::Security& security) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  ScopedSecurityDescriptor descriptor;  // owns what `owner` and `dacl` point into
  if (!Succeeded(::GetSecurityInfo(entry, SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                   nullptr, &dacl, nullptr, descriptor.receive()))) {
    return false;
  }
  security = {};
  if (owner != nullptr && !SidText(owner, security.owner)) return false;
  security.hasDacl = dacl != nullptr;
  for (DWORD index = 0; dacl != nullptr && index < dacl->AceCount; ++index) {
    void* raw = nullptr;
    if (!::GetAce(dacl, index, &raw)) return false;
    auto* header = static_cast<ACE_HEADER*>(raw);
    // Every DACL type keeps its mask right after the header.
    os::Ace ace;
    ace.deny = DenyAce(header->AceType);
    ace.flags = header->AceFlags;
    ace.mask = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header)->Mask;
    const PSID sid = AceSid(header);
    if (sid != nullptr && !SidText(sid, ace.sid)) return false;
    security.dacl.push_back(std::move(ace));
  }
  return true;
}

std::u16string Win32TokenPlatform::FinalPath(os::Handle entry) {
  return GrowingCall([this, entry](wchar_t* buffer, DWORD size) {
    return calls_.finalPath(entry, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  });
}

bool Win32TokenPlatform::ReadEntry(os::Handle entry, std::size_t maxBytes, std::string& bytes) {
  bytes.clear();
  LARGE_INTEGER start = {};
  if (!::SetFilePointerEx(entry, start, nullptr, FILE_BEGIN)) return false;
  // In pieces, so that a large `maxBytes` allocates only what the file holds.
  constexpr std::size_t kPiece = std::size_t{64} * 1024;
  while (bytes.size() < maxBytes) {
    const std::size_t had = bytes.size();
    const std::size_t want = std::min(maxBytes - had, kPiece);
    bytes.resize(had + want);
    DWORD read = 0;
    const BOOL ok = ::ReadFile(entry, &bytes[had], static_cast<DWORD>(want), &read, nullptr);
    bytes.resize(had + (ok ? read : 0));
    if (!ok) return false;
    if (read == 0) break;  // the end of the file
  }
  return true;
}

void Win32TokenPlatform::CloseEntry(os::Handle entry) { ::CloseHandle(entry); }

bool Win32TokenPlatform::VolumeInfo(const char16_t* root, os::VolumeFacts& volume) {
  DWORD serial = 0;
  DWORD flags = 0;
  if (!calls_.volumeInformation(AsWide(root), nullptr, 0, &serial, nullptr, &flags, nullptr, 0)) {
    return false;
  }
  volume = {serial, flags};
  return true;
}

bool Win32TokenPlatform::VolumeName(const char16_t* root, std::u16string& name) {
  wchar_t buffer[MAX_PATH];  // a volume GUID path is 49 characters
  if (!calls_.volumeName(AsWide(root), buffer, MAX_PATH)) return false;
  name = AsU16(buffer);
  return true;
}

bool Win32TokenPlatform::DosDevice(const char16_t* drive, std::u16string& device) {
  // A list of targets, the current one first, each ended by a zero.
  wchar_t buffer[MAX_PATH + 1];
  if (calls_.dosDevice(AsWide(drive), buffer, MAX_PATH + 1) == 0) return false;
  device = AsU16(buffer);
  return true;
}

namespace {

// A REG_MULTI_SZ value of the policy key in the 64-bit view: each string as stored; none when
// the value is absent, of another type or cannot be read.
std::vector<std::u16string> PolicyStrings(const wchar_t* name) {
  ScopedRegistryKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.receive()) != ERROR_SUCCESS) {
    return {};
  }
  // The value may grow between asking its size and reading it: then asked again.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD bytes = 0;
    if (::RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_MULTI_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS) {
      return {};
    }
    std::wstring text(bytes / sizeof(wchar_t) + 2, L'\0');  // two terminators, whatever it holds
    bytes = static_cast<DWORD>(text.size()) * DWORD{sizeof(wchar_t)};
    const LSTATUS read =
        ::RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_MULTI_SZ, nullptr, text.data(), &bytes);
    if (read == ERROR_MORE_DATA) continue;
    if (read != ERROR_SUCCESS) return {};
    text.resize(std::min<std::size_t>(text.size(), bytes / sizeof(wchar_t)));
    std::vector<std::u16string> strings;
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = std::min(text.find(L'\0', start), text.size());
      if (end > start) strings.emplace_back(AsU16(text.c_str() + start), end - start);
      start = end + 1;
    }
    return strings;
  }
  return {};
}

// An attribute (an OID such as szOID_ORGANIZATION_NAME) of a certificate's subject; empty when
// it has none.
std::u16string SubjectAttribute(PCCERT_CONTEXT certificate, const char* oid) {
  wchar_t text[256];
  const DWORD length =
      ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(oid), text, 256);
  return length > 1 ? std::u16string(AsU16(text)) : std::u16string();
}

}  // namespace

std::vector<std::u16string> Win32TokenPlatform::PolicyTrustedAccounts() {
  return PolicyStrings(kPolicyValue);
}

std::vector<std::u16string> Win32TokenPlatform::PolicyTrustedSigners() {
  return PolicyStrings(kSignersValue);
}

// No revocation check: the service runs before anyone logs on, maybe offline, and a check
// from the cache alone fails where the cache has nothing, which would refuse the genuine tool.
// Nothing is fetched over the network either. A time-stamped signature stays valid after its
// certificate has expired (WTD_LIFETIME_SIGNING_FLAG is not set), as Windows lets it.
os::Signature Win32TokenPlatform::VerifySignature(os::Handle entry, const char16_t* path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = AsWide(path);
  file.hFile = entry;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
  os::Signature signature;
  signature.verdict = static_cast<std::uint32_t>(calls_.verifyTrust(noWindow, &action, &data));
  if (signature.verdict == 0) {
    CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer =
        provider != nullptr ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate =
        signer != nullptr ? ::WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (certificate != nullptr && certificate->pCert != nullptr) {
      signature.organization = SubjectAttribute(certificate->pCert, szOID_ORGANIZATION_NAME);
      signature.country = SubjectAttribute(certificate->pCert, szOID_COUNTRY_NAME);
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  calls_.verifyTrust(noWindow, &action, &data);
  return signature;
}

bool Win32TokenPlatform::LookupAccount(const char16_t* sid, std::uint32_t& use) {
  ScopedHandle<LocalMemoryTraits<PSID>> binary;
  if (!::ConvertStringSidToSidW(AsWide(sid), binary.receive())) return false;
  // The names are not wanted, but the call fills them: room for the longest there is.
  wchar_t name[257];
  wchar_t domain[257];
  DWORD nameSize = 257;
  DWORD domainSize = 257;
  SID_NAME_USE kind = SidTypeUnknown;
  if (!::LookupAccountSidW(nullptr, binary.get(), name, &nameSize, domain, &domainSize, &kind)) {
    return false;
  }
  use = static_cast<std::uint32_t>(kind);
  return true;
}

bool Win32TokenPlatform::Wow64() {
#ifdef _WIN64
  return false;  // a 64-bit process is never redirected
#else
  BOOL wow64 = FALSE;
  return !calls_.isWow64Process(::GetCurrentProcess(), &wow64) || wow64 != FALSE;
#endif
}

std::u16string Win32TokenPlatform::WindowsFolder() {
  return GrowingCall([](wchar_t* buffer, DWORD size) {
    return static_cast<DWORD>(::GetSystemWindowsDirectoryW(buffer, size));
  });
}

os::Handle Win32TokenPlatform::StartProcess(const char16_t* program, const char16_t* commandLine,
                                            bool suspended) {
  if (startsLeftWaiting.load() >= kStartsLeftWaitingLimit) {
    ::SetLastError(ERROR_TIMEOUT);
    return nullptr;
  }
  auto* start = new PendingStart{calls_.createProcess, AsWide(program), AsWide(commandLine)};
  HANDLE worker = ::CreateThread(nullptr, 0, &RunStart, start, 0, nullptr);
  if (worker == nullptr) {
    const DWORD error = ::GetLastError();
    delete start;
    ::SetLastError(error);
    return nullptr;
  }
  const DWORD waited = ::WaitForSingleObject(worker, startLimit_);
  int waiting = PendingStart::kWaiting;
  if (waited != WAIT_OBJECT_0) ++startsLeftWaiting;  // before the thread can end and count down
  if (waited != WAIT_OBJECT_0 &&
      start->state.compare_exchange_strong(waiting, PendingStart::kGivenUp)) {
    // The start's thread frees it, and ends what it made; where the driver allows, the wait
    // it is in is cancelled, so that it goes soon.
    ::CancelSynchronousIo(worker);
    ::CloseHandle(worker);
    ::SetLastError(ERROR_TIMEOUT);
    return nullptr;
  }
  if (waited != WAIT_OBJECT_0) --startsLeftWaiting;  // it was done after all
  ::CloseHandle(worker);
  const std::unique_ptr<PendingStart> done(start);
  if (!done->created) {
    ::SetLastError(done->error);
    return nullptr;
  }
  auto child = std::make_unique<Child>();
  child->process = done->made.hProcess;
  child->thread = done->made.hThread;
  if (suspended) {
    // Until it is resumed, it ends with this process. Windows 7 refuses a process that is in a
    // job already (a job of this process's): it is then kept without one.
    child->job = EndingJob();
    if (child->job != nullptr && !::AssignProcessToJobObject(child->job, child->process)) {
      ::CloseHandle(std::exchange(child->job, nullptr));
    }
  } else if (::ResumeThread(child->thread) == static_cast<DWORD>(-1)) {
    const DWORD error = ::GetLastError();
    ::TerminateProcess(child->process, os::kEndedExitCode);
    CloseProcess(child.release());
    ::SetLastError(error);
    return nullptr;
  }
  return child.release();
}

bool Win32TokenPlatform::ResumeProcess(os::Handle child) {
  // From now on it runs on like any child, should this process end before it.
  if (Of(child).job != nullptr) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    ::SetInformationJobObject(Of(child).job, JobObjectExtendedLimitInformation, &limits,
                              sizeof limits);
  }
  return ::ResumeThread(Of(child).thread) != static_cast<DWORD>(-1);
}

bool Win32TokenPlatform::EndProcess(os::Handle child) {
  return ::TerminateProcess(Of(child).process, os::kEndedExitCode) != FALSE;
}

os::WaitResult Win32TokenPlatform::Wait(os::Handle child, os::Handle stop,
                                        std::uint32_t milliseconds) {
  // The child comes first: WaitForMultipleObjects reports the lowest signalled index, so a
  // child that has ended wins over a stop requested at the same time.
  HANDLE handles[2];
  DWORD count = 0;
  if (child != nullptr) handles[count++] = Of(child).process;
  if (stop != nullptr) handles[count++] = static_cast<HANDLE>(stop);
  if (count == 0) {
    ::Sleep(milliseconds);
    return os::WaitResult::kTimedOut;
  }
  const DWORD timeout = milliseconds == 0xFFFFFFFF ? INFINITE : milliseconds;
  switch (::WaitForMultipleObjects(count, handles, FALSE, timeout)) {
    case WAIT_OBJECT_0:
      return child != nullptr ? os::WaitResult::kChildEnded : os::WaitResult::kStopped;
    case WAIT_OBJECT_0 + 1:
      return os::WaitResult::kStopped;
    case WAIT_TIMEOUT:
      return os::WaitResult::kTimedOut;
    default:  // WAIT_FAILED; abandoned mutexes cannot occur with these handles
      return os::WaitResult::kFailed;
  }
}

// Closing the job of a child that was never resumed ends it.
void Win32TokenPlatform::CloseProcess(os::Handle child) {
  const std::unique_ptr<Child> closed(&Of(child));
  if (closed->job != nullptr) ::CloseHandle(closed->job);
  ::CloseHandle(closed->thread);
  ::CloseHandle(closed->process);
}

bool Win32TokenPlatform::ChildExitCode(os::Handle child, std::uint32_t& code) {
  DWORD exitCode = 0;
  if (!::GetExitCodeProcess(Of(child).process, &exitCode) || exitCode == STILL_ACTIVE) {
    return false;
  }
  code = exitCode;
  return true;
}

void Win32TokenPlatform::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::u16string Win32TokenPlatform::FullPathName(const char16_t* path) {
  return GrowingCall([path](wchar_t* buffer, DWORD size) {
    return ::GetFullPathNameW(AsWide(path), size, buffer, nullptr);
  });
}

std::u16string Win32TokenPlatform::LongPathName(const char16_t* path) {
  return GrowingCall([path](wchar_t* buffer, DWORD size) {
    return ::GetLongPathNameW(AsWide(path), buffer, size);
  });
}

std::vector<std::u16string> Win32TokenPlatform::ProgramFilesFolders() {
  // A 32-bit process on 64-bit Windows gets the x86 folder for both known folders; the 64-bit
  // registry view names the native one. The environment is never asked: an elevated console
  // builds it from the user's profile, which the user's unelevated programs may write.
  return {KnownFolder(FOLDERID_ProgramFiles), KnownFolder(FOLDERID_ProgramFilesX86),
          Registry64Value(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir")};
}

os::TokenPlatform::RecordRead Win32TokenPlatform::ReadMountRecord(std::u16string& value) {
  ScopedRegistryKey key;
  const LSTATUS opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0,
                                         KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.receive());
  if (opened == ERROR_FILE_NOT_FOUND) return RecordRead::kAbsent;
  if (!Succeeded(opened)) return RecordRead::kFailed;
  // The value may grow between asking its size and reading it: then asked again.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0;
    DWORD bytes = 0;
    std::wstring text;
    LSTATUS read = ::RegQueryValueExW(key.get(), kRecordValue, nullptr, &type, nullptr, &bytes);
    if (read == ERROR_SUCCESS && type == REG_SZ) {
      text.assign(bytes / sizeof(wchar_t) + 1, L'\0');  // room for a terminator it may lack
      bytes = static_cast<DWORD>(text.size()) * DWORD{sizeof(wchar_t)};
      read = ::RegQueryValueExW(key.get(), kRecordValue, nullptr, &type,
                                reinterpret_cast<BYTE*>(text.data()), &bytes);
    }
    if (read == ERROR_MORE_DATA) continue;
    if (read == ERROR_FILE_NOT_FOUND) return RecordRead::kAbsent;
    if (!Succeeded(read)) return RecordRead::kFailed;
    if (type != REG_SZ) return RecordRead::kWrongType;
    // A REG_SZ need not end in its terminator, and the text ends at the first one.
    text.resize(wcsnlen(text.c_str(), bytes / sizeof(wchar_t)));
    value.assign(text.begin(), text.end());
    return RecordRead::kPresent;
  }
  ::SetLastError(ERROR_MORE_DATA);
  return RecordRead::kFailed;
}

bool Win32TokenPlatform::WriteMountRecord(const char16_t* value) {
  ScopedRegistryKey key;
  if (!Succeeded(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                   nullptr, key.receive(), nullptr))) {
    return false;
  }
  const auto bytes =
      static_cast<DWORD>(std::char_traits<char16_t>::length(value) + 1) * DWORD{sizeof(char16_t)};
  return Succeeded(::RegSetValueExW(key.get(), kRecordValue, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(value), bytes));
}

bool Win32TokenPlatform::DeleteMountRecord() {
  const LSTATUS deleted = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, KEY_WOW64_64KEY, 0);
  return deleted == ERROR_FILE_NOT_FOUND || Succeeded(deleted);
}

}  // namespace kvn::win32
