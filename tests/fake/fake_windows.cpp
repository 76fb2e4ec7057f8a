#include "fake/fake_windows.h"

#include "common/process_state.h"

namespace kvn::fake {

void ResetProcessState() { process.Reset(); }

FakeWindows::FakeWindows() {
  ResetProcessState();
  process.serviceOs = &service;
  process.tokenOs = &token;
}

FakeWindows::~FakeWindows() {
  process.serviceOs = nullptr;
  process.tokenOs = nullptr;
  ResetProcessState();
}

}  // namespace kvn::fake
