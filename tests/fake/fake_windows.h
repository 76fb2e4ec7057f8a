// A whole fake Windows for one test: the kernel, both halves of the seam on it, installed as
// the process's platforms, and the process-wide state as a fresh process has it. Everything
// is put back when the object goes; one at a time.
#pragma once

#include <string>
#include <string_view>

#include "fake/fake_kernel.h"
#include "fake/fake_service_platform.h"
#include "fake/fake_token_platform.h"

namespace kvn::fake {

class FakeWindows {
 public:
  FakeWindows();
  ~FakeWindows();
  FakeWindows(const FakeWindows&) = delete;
  FakeWindows& operator=(const FakeWindows&) = delete;

  FakeKernel kernel;
  FakeTokenPlatform token{kernel};
  FakeServicePlatform service{kernel};
};

// The process-wide state of the core as at process start.
void ResetProcessState();

}  // namespace kvn::fake
