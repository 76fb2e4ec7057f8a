// A whole fake Windows for one test: the kernel, both halves of the seam on it, installed as
// the process's platforms, and the process-wide state as a fresh process has it. Everything
// is put back when the object goes; one at a time.
#pragma once

#include "common/process_state.h"
#include "fake/fake_kernel.h"
#include "fake/fake_service_platform.h"
#include "fake/fake_token_platform.h"

namespace kvn::fake {

class FakeWindows {
 public:
  FakeWindows() { Install(&service, &token); }
  ~FakeWindows() { Install(nullptr, nullptr); }
  FakeWindows(const FakeWindows&) = delete;
  FakeWindows& operator=(const FakeWindows&) = delete;

  FakeKernel kernel;
  FakeTokenPlatform token{kernel};
  FakeServicePlatform service{kernel};

 private:
  static void Install(os::ServicePlatform* serviceOs, os::TokenPlatform* tokenOs) {
    process.Reset();
    process.serviceOs = serviceOs;
    process.tokenOs = tokenOs;
  }
};

}  // namespace kvn::fake
