#include "win32/service_platform_win32.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "win32/scoped_win32.h"
#include "win32/win32.h"

// <windows.h> maps these names onto their A/W functions; here they are the seam's methods,
// and every platform call below names its W function explicitly.
#undef StartServiceCtrlDispatcher
#undef RegisterServiceCtrlHandler
#undef RegisterEventSource
#undef ReportEvent
#undef CreateEvent
#undef GetModuleFileName
#undef OpenSCManager
#undef CreateService
#undef OpenService

namespace kvn::win32 {

namespace {

// The core's entries behind the WINAPI trampolines (stdcall on x86). Each slot is written
// before the system is handed the trampoline, and the system's own synchronisation (thread
// creation, the control dispatch) orders that write before the call on the other thread.
std::atomic<os::ServiceMainFn> serviceMainSlot{nullptr};
std::atomic<os::ControlHandlerFn> controlHandlerSlot{nullptr};
std::atomic<os::ConsoleHandlerFn> consoleHandlerSlot{nullptr};
std::atomic<os::TimerFn> timerSlot{nullptr};

// Runs on the thread the dispatcher creates for the service. The core's entries catch
// everything, so no exception unwinds into the system's frames.
void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv) noexcept {
  serviceMainSlot.load()(argc, reinterpret_cast<char16_t**>(argv));
}

// Runs on the thread that called StartServiceCtrlDispatcherW. Every control it is sent is
// handled (a control the service does not take is answered with its current state), which
// NO_ERROR says, as it must for an interrogation.
DWORD WINAPI ControlHandlerEntry(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/,
                                 LPVOID /*context*/) noexcept {
  controlHandlerSlot.load()(control);
  return NO_ERROR;
}

// Runs on a thread of the timer queue's.
VOID CALLBACK TimerEntry(PVOID /*parameter*/, BOOLEAN /*timedOut*/) noexcept { timerSlot.load()(); }

// Runs on a thread the system creates for each console event.
BOOL WINAPI ConsoleHandlerEntry(DWORD event) noexcept {
  return consoleHandlerSlot.load()(event) != 0 ? TRUE : FALSE;
}

// Each trampoline is exactly the callback type it is handed to: a different signature or
// calling convention (stdcall on x86) fails here rather than at run time.
static_assert(std::is_convertible_v<decltype(&ServiceMainEntry), LPSERVICE_MAIN_FUNCTIONW>);
static_assert(std::is_convertible_v<decltype(&ControlHandlerEntry), LPHANDLER_FUNCTION_EX>);
static_assert(std::is_convertible_v<decltype(&TimerEntry), WAITORTIMERCALLBACK>);
static_assert(std::is_convertible_v<decltype(&ConsoleHandlerEntry), PHANDLER_ROUTINE>);

SERVICE_STATUS ToWin32(const os::ServiceStatus& status) {
  SERVICE_STATUS raw;
  raw.dwServiceType = status.serviceType;
  raw.dwCurrentState = status.currentState;
  raw.dwControlsAccepted = status.controlsAccepted;
  raw.dwWin32ExitCode = status.win32ExitCode;
  raw.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
  raw.dwCheckPoint = status.checkPoint;
  raw.dwWaitHint = status.waitHint;
  return raw;
}

os::ServiceStatus FromWin32(const SERVICE_STATUS& raw) {
  return {raw.dwServiceType,
          raw.dwCurrentState,
          raw.dwControlsAccepted,
          raw.dwWin32ExitCode,
          raw.dwServiceSpecificExitCode,
          raw.dwCheckPoint,
          raw.dwWaitHint};
}

SC_HANDLE AsScHandle(os::Handle handle) { return static_cast<SC_HANDLE>(handle); }

// The Application log's event sources.
std::wstring EventSourceKeyPath(const char16_t* sourceName) {
  return std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\") +
         AsWide(sourceName);
}

}  // namespace

std::uint32_t Win32ServicePlatform::GetLastError() { return ::GetLastError(); }

bool Win32ServicePlatform::StartServiceCtrlDispatcher(const char16_t* serviceName,
                                                      os::ServiceMainFn main) {
  serviceMainSlot = main;
  // The table must outlive the call; the dispatcher keeps using it until it returns.
  SERVICE_TABLE_ENTRYW table[] = {
      {const_cast<LPWSTR>(AsWide(serviceName)), &ServiceMainEntry},
      {nullptr, nullptr},
  };
  return ::StartServiceCtrlDispatcherW(table) != FALSE;
}

os::Handle Win32ServicePlatform::RegisterServiceCtrlHandler(const char16_t* serviceName,
                                                            os::ControlHandlerFn handler) {
  controlHandlerSlot = handler;
  return ::RegisterServiceCtrlHandlerExW(AsWide(serviceName), &ControlHandlerEntry, nullptr);
}

bool Win32ServicePlatform::PreshutdownTimeout(const char16_t* serviceName,
                                              std::uint32_t& milliseconds) {
  const ScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager.valid()) return false;
  const ScopedServiceHandle service(
      ::OpenServiceW(manager.get(), AsWide(serviceName), SERVICE_QUERY_CONFIG));
  if (!service.valid()) return false;
  SERVICE_PRESHUTDOWN_INFO info = {};
  DWORD needed = 0;
  if (!::QueryServiceConfig2W(service.get(), SERVICE_CONFIG_PRESHUTDOWN_INFO,
                              reinterpret_cast<BYTE*>(&info), sizeof info, &needed)) {
    return false;
  }
  milliseconds = info.dwPreshutdownTimeout;
  return true;
}

bool Win32ServicePlatform::SetServiceStatus(os::Handle statusHandle,
                                            const os::ServiceStatus& status) {
  SERVICE_STATUS raw = ToWin32(status);
  return ::SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(statusHandle), &raw) != FALSE;
}

os::Handle Win32ServicePlatform::RegisterEventSource(const char16_t* sourceName) {
  return ::RegisterEventSourceW(nullptr, AsWide(sourceName));
}

void Win32ServicePlatform::ReportEvent(os::Handle eventSource, std::uint16_t type,
                                       std::uint16_t category, std::uint32_t eventId,
                                       const char16_t* const* strings, std::uint16_t stringCount) {
  ::ReportEventW(eventSource, type, category, eventId, nullptr, stringCount, 0,
                 const_cast<LPCWSTR*>(reinterpret_cast<const wchar_t* const*>(strings)), nullptr);
}

void Win32ServicePlatform::DeregisterEventSource(os::Handle eventSource) {
  ::DeregisterEventSource(eventSource);
}

os::Handle Win32ServicePlatform::CreateEvent() {
  return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void Win32ServicePlatform::SetEvent(os::Handle event) { ::SetEvent(event); }

void Win32ServicePlatform::CloseHandle(os::Handle handle) { ::CloseHandle(handle); }

bool Win32ServicePlatform::StartTimer(std::uint32_t milliseconds, os::TimerFn fn) {
  timerSlot = fn;
  HANDLE timer = nullptr;  // ends with the process: it fires once
  return ::CreateTimerQueueTimer(&timer, nullptr, &TimerEntry, nullptr, milliseconds, 0,
                                 WT_EXECUTEONLYONCE | WT_EXECUTELONGFUNCTION) != FALSE;
}

void Win32ServicePlatform::EndThisProcess(std::uint32_t code) {
  ::TerminateProcess(::GetCurrentProcess(), code);
}

bool Win32ServicePlatform::SetConsoleCtrlHandler(os::ConsoleHandlerFn handler) {
  consoleHandlerSlot = handler;
  return ::SetConsoleCtrlHandler(&ConsoleHandlerEntry, TRUE) != FALSE;
}

// Both outlets go through stdout in text mode ("\n" becomes CR LF) and keep their order.
// Flushed at once, so that a pipe sees every line as it is written: the C runtime flushes
// after a narrow printf but not after a wide one. A console that cannot be written to leaves
// nothing to tell.
void Win32ServicePlatform::WriteNarrow(std::string_view text) {
  (void)std::fwrite(text.data(), 1, text.size(), stdout);
  (void)std::fflush(stdout);
}

void Win32ServicePlatform::WriteWide(std::u16string_view text) {
  const std::wstring copy(text.begin(), text.end());
  // MinGW's wprintf is its C99 one, where %s is narrow: wide text needs %ls.
  (void)std::wprintf(L"%ls", copy.c_str());
  (void)std::fflush(stdout);
}

std::uint32_t Win32ServicePlatform::GetModuleFileName(char16_t* buffer, std::uint32_t size) {
  return ::GetModuleFileNameW(nullptr, AsWide(buffer), size);
}

os::Handle Win32ServicePlatform::OpenSCManager() {
  return ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
}

os::Handle Win32ServicePlatform::CreateService(os::Handle manager, const char16_t* serviceName,
                                               const char16_t* displayName,
                                               std::uint32_t desiredAccess,
                                               std::uint32_t serviceType, std::uint32_t startType,
                                               std::uint32_t errorControl,
                                               const char16_t* binaryPath) {
  // A list of zero-terminated names ended by an empty one: here only the end.
  static constexpr wchar_t kNoDependencies[] = L"\0";
  return ::CreateServiceW(AsScHandle(manager), AsWide(serviceName), AsWide(displayName),
                          desiredAccess, serviceType, startType, errorControl, AsWide(binaryPath),
                          nullptr, nullptr, kNoDependencies, nullptr, nullptr);
}

bool Win32ServicePlatform::ChangeServiceDescription(os::Handle service,
                                                    const char16_t* description) {
  SERVICE_DESCRIPTIONW record;
  record.lpDescription = const_cast<LPWSTR>(AsWide(description));
  return ::ChangeServiceConfig2W(AsScHandle(service), SERVICE_CONFIG_DESCRIPTION, &record) != FALSE;
}

bool Win32ServicePlatform::ChangeServiceFailureActions(
    os::Handle service, std::uint32_t resetSeconds,
    const std::vector<std::uint32_t>& restartDelays) {
  std::vector<SC_ACTION> actions;
  actions.reserve(restartDelays.size());
  for (const std::uint32_t delay : restartDelays) actions.push_back({SC_ACTION_RESTART, delay});
  // Null reboot message and command: the new service has neither, and null leaves them so.
  SERVICE_FAILURE_ACTIONSW record;
  record.dwResetPeriod = resetSeconds;
  record.lpRebootMsg = nullptr;
  record.lpCommand = nullptr;
  record.cActions = static_cast<DWORD>(actions.size());
  record.lpsaActions = actions.empty() ? nullptr : actions.data();
  return ::ChangeServiceConfig2W(AsScHandle(service), SERVICE_CONFIG_FAILURE_ACTIONS, &record) !=
         FALSE;
}

bool Win32ServicePlatform::ChangeServiceFailureActionsFlag(os::Handle service) {
  SERVICE_FAILURE_ACTIONS_FLAG flag;
  flag.fFailureActionsOnNonCrashFailures = TRUE;
  return ::ChangeServiceConfig2W(AsScHandle(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag) !=
         FALSE;
}

os::Handle Win32ServicePlatform::OpenService(os::Handle manager, const char16_t* serviceName,
                                             std::uint32_t desiredAccess) {
  return ::OpenServiceW(AsScHandle(manager), AsWide(serviceName), desiredAccess);
}

// The record goes in and comes back whole, whatever the result, as if the caller's own
// record had been handed to the call: a failed call leaves what it does not write.
bool Win32ServicePlatform::ControlService(os::Handle service, std::uint32_t control,
                                          os::ServiceStatus& status) {
  SERVICE_STATUS raw = ToWin32(status);
  const BOOL delivered = ::ControlService(AsScHandle(service), control, &raw);
  status = FromWin32(raw);
  return delivered != FALSE;
}

bool Win32ServicePlatform::QueryServiceStatus(os::Handle service, os::ServiceStatus& status) {
  SERVICE_STATUS raw = ToWin32(status);
  const BOOL queried = ::QueryServiceStatus(AsScHandle(service), &raw);
  status = FromWin32(raw);
  return queried != FALSE;
}

bool Win32ServicePlatform::DeleteService(os::Handle service) {
  return ::DeleteService(AsScHandle(service)) != FALSE;
}

void Win32ServicePlatform::CloseServiceHandle(os::Handle handle) {
  ::CloseServiceHandle(AsScHandle(handle));
}

void Win32ServicePlatform::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

bool Win32ServicePlatform::FormatSystemMessage(std::uint32_t code, std::u16string& text) {
  // IGNORE_INSERTS: a text with %1 is returned as written; without it the lookup fails (or
  // reads arguments that are not there).
  ScopedLocalText buffer;
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPWSTR>(buffer.receive()), 0, nullptr);
  if (length == 0 || buffer.get() == nullptr) return false;
  text.assign(AsU16(buffer.get()), length);
  return true;
}

bool Win32ServicePlatform::RegisterEventSourceKey(const char16_t* sourceName,
                                                  const char16_t* messageFile) {
  ScopedRegistryKey key;
  if (!Succeeded(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKeyPath(sourceName).c_str(), 0,
                                   nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                                   key.receive(), nullptr))) {
    return false;
  }
  const std::wstring file(AsWide(messageFile));
  const DWORD fileBytes = static_cast<DWORD>(file.size() + 1) * DWORD{sizeof(wchar_t)};
  if (!Succeeded(::RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                  reinterpret_cast<const BYTE*>(file.c_str()), fileBytes))) {
    return false;
  }
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  return Succeeded(::RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                                    reinterpret_cast<const BYTE*>(&types), sizeof(types)));
}

bool Win32ServicePlatform::DeleteEventSourceKey(const char16_t* sourceName) {
  return Succeeded(::RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKeyPath(sourceName).c_str()));
}

}  // namespace kvn::win32
