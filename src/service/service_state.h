// The service's names and status values, and the OS behind the service host and the watch
// cycle. The state they share lives in common/process_state.h.
#pragma once

#include <cstdint>

#include "os/handle.h"
#include "os/service_platform.h"
#include "os/token_platform.h"

namespace kvn::service {

inline constexpr char16_t kServiceName[] = u"Kelvarn";
inline constexpr char kServiceNameNarrow[] = "Kelvarn";
// major.minor.patch, as the build was given it.
inline constexpr char16_t kVersion[] = u"" KVN_VERSION_TEXT;

// SERVICE_STATUS values the service host uses.
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStartPending = 2;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kServiceAcceptPreshutdown = 0x100;
inline constexpr std::uint32_t kServiceControlStop = 1;
inline constexpr std::uint32_t kServiceControlPreshutdown = 0xF;
inline constexpr std::uint32_t kServiceControlInterrogate = 4;
inline constexpr std::uint32_t kNoError = 0;

// The installed platforms (see ProcessState). Calling either before they are installed is a
// programming error and ends the process.
os::ServicePlatform& ServiceOs();
os::TokenPlatform& TokenOs();

}  // namespace kvn::service
