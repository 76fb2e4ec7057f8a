// The process entry of kelvarn.exe: installs the Win32 platforms into the core and runs it.
#include "common/process_state.h"
#include "service/service_host.h"
#include "win32/service_platform_win32.h"
#include "win32/token_platform_win32.h"
#include "win32/win32.h"

int main(int argc, char** argv) {
  // An empty card reader or a stick pulled mid-search must fail the search quietly, not put
  // up a "no disk" box that would hold the watch cycle until someone clicks it.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // Alive until the process ends: the service thread and the console handler's threads use
  // them until then.
  static kvn::win32::Win32ServicePlatform servicePlatform;
  static kvn::win32::Win32TokenPlatform tokenPlatform;
  kvn::process.serviceOs = &servicePlatform;
  kvn::process.tokenOs = &tokenPlatform;
  try {
    return kvn::service::RunProcess(argc, argv);
  } catch (...) {
    // Nothing is left to report to; the process ends like any finished mode.
    return 0;
  }
}
