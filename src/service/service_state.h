// The process-wide service state, shared by the entry point, the service control handler,
// the install and remove commands and the watch cycle, and the OS behind them.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/handle.h"
#include "os/service_platform.h"
#include "os/token_platform.h"

namespace kvn::service {

inline constexpr char16_t kServiceName[] = u"Kelvarn";
inline constexpr char kServiceNameNarrow[] = "Kelvarn";

// SERVICE_STATUS values the service host uses.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kNoError = 0;

// The record every status report hands over whole. Written by the reports of both service
// threads under the report lock (service_host.cpp); the remove command receives the status
// of the service it stops into it (that process runs no service).
extern os::ServiceStatus serviceStatus;
// The status handle of this process's service; null until ServiceMain has registered.
extern os::Handle statusHandle;
// The stop event while it exists, else null. Written by the thread of the watch cycle, read
// by the control handlers on their own threads, hence atomic.
extern std::atomic<os::Handle> stopEvent;
// The last-error code of the latest failure written to the event log, 0 if none. Stored by
// either service thread, read by ServiceMain for the final stopped report.
extern std::atomic<std::uint32_t> lastServiceError;
// Counter of pending reports; starts at 1 and runs on over the whole life of the process.
extern std::uint32_t checkPoint;

// The OS as the core sees it. The process entry (or a test) installs both before it calls
// anything else of the service host or the watch cycle and keeps the objects alive until the
// process ends; nothing replaces them while a service thread or control handler may run.
void InstallPlatforms(os::ServicePlatform* servicePlatform, os::TokenPlatform* tokenPlatform);
// The installed platforms. Calling either before InstallPlatforms is a programming error and
// ends the process.
os::ServicePlatform& ServiceOs();
os::TokenPlatform& TokenOs();

}  // namespace kvn::service
