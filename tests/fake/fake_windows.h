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
  FakeWindows() {
    process.Reset();
    process.serviceOs = &service;
    process.tokenOs = &token;
  }
  ~FakeWindows() {
    process.serviceOs = nullptr;
    process.tokenOs = nullptr;
    process.Reset();
  }
  FakeWindows(const FakeWindows&) = delete;
  FakeWindows& operator=(const FakeWindows&) = delete;

  FakeKernel kernel;
  FakeTokenPlatform token{kernel};
  FakeServicePlatform service{kernel};
};

}  // namespace kvn::fake
