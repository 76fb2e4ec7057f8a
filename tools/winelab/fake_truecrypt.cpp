// fake_truecrypt.exe: a stand-in for the encryption tool in end-to-end runs. The tests install
// it as C:\Program Files\TrueCrypt\TrueCrypt.exe; it mounts nothing. Each start appends one
// JSON line to calls.jsonl in its own folder:
//
//   {"event":"start","pid":N,"time":T,"cmdline":"...","argv":["...",...]}
//
// with `cmdline` the raw GetCommandLineW text, `argv` that text as CommandLineToArgvW splits
// it, and `time` the start in seconds since 1970 (UTC, microsecond resolution under Wine, which
// reads the same clock as Linux, so the harness can compare it with its own time stamps).
//
// exit_delay_ms.txt beside it, if present, makes it linger before it ends: "N" sleeps N ms on
// every start, "N M" N ms on a mount and M ms on a dismount (a start with "/d"), so that a test
// can make the mount slow or the dismount hang. Every start that ends appends
// {"event":"exit","pid":N,"time":T} just before it does. Exit code 0.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <shellapi.h>  // needs windows.h first

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <string>

namespace {

std::wstring OwnFolder() {
  wchar_t path[MAX_PATH * 4] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  std::wstring folder(path, length);
  const std::size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

// Seconds since 1970-01-01 UTC.
double UnixNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr ULONGLONG kEpochDelta = 116444736000000000ULL;  // 1601 to 1970, in 100 ns
  return static_cast<double>(ticks - kEpochDelta) / 1e7;
}

// A JSON string literal of UTF-16 text: ASCII as is, everything else escaped per unit, so the
// line stays ASCII and every unit (unpaired surrogates included) survives the trip.
std::string JsonString(const wchar_t* text) {
  std::string out = "\"";
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    const unsigned unit = static_cast<unsigned>(*p);
    if (unit == '"' || unit == '\\') {
      out += '\\';
      out += static_cast<char>(unit);
    } else if (unit < 0x20 || unit >= 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", unit);
      out += escape;
    } else {
      out += static_cast<char>(unit);
    }
  }
  out += '"';
  return out;
}

void AppendLine(const std::wstring& logPath, const std::string& line) {
  HANDLE log = CreateFileW(logPath.c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  // One write per record, so records of concurrent starts do not interleave.
  DWORD written = 0;
  WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(log);
}

DWORD ExitDelayMs(const std::wstring& folder, bool dismount) {
  FILE* file = _wfopen((folder + L"exit_delay_ms.txt").c_str(), L"r");
  if (file == nullptr) return 0;
  unsigned long delays[2] = {0, 0};
  const int count = std::fscanf(file, "%lu %lu", &delays[0], &delays[1]);
  std::fclose(file);
  if (count < 1) return 0;
  return static_cast<DWORD>(dismount && count == 2 ? delays[1] : delays[0]);
}

}  // namespace

int main() {
  const double started = UnixNow();
  const wchar_t* commandLine = GetCommandLineW();
  const std::wstring folder = OwnFolder();
  const std::wstring logPath = folder + L"calls.jsonl";
  const unsigned long pid = GetCurrentProcessId();

  std::string line = "{\"event\":\"start\",\"pid\":" + std::to_string(pid);
  char time[40];
  std::snprintf(time, sizeof time, "%.6f", started);
  line += ",\"time\":";
  line += time;
  line += ",\"cmdline\":" + JsonString(commandLine) + ",\"argv\":[";
  int count = 0;
  bool dismount = false;
  wchar_t** args = CommandLineToArgvW(commandLine, &count);
  for (int i = 0; args != nullptr && i < count; ++i) {
    if (i > 0) line += ',';
    line += JsonString(args[i]);
    dismount = dismount || std::wcscmp(args[i], L"/d") == 0;
  }
  if (args != nullptr) LocalFree(args);
  line += "]}\n";
  AppendLine(logPath, line);

  Sleep(ExitDelayMs(folder, dismount));
  std::snprintf(time, sizeof time, "%.6f", UnixNow());
  AppendLine(logPath,
             "{\"event\":\"exit\",\"pid\":" + std::to_string(pid) + ",\"time\":" + time + "}\n");
  return 0;
}
