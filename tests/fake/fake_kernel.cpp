#include "fake/fake_kernel.h"

#include "service/service_state.h"

namespace kvn::fake {

void FakeKernel::At(std::uint64_t time, std::function<void()> action) {
  actions_.emplace(std::make_pair(time, sequence_++), std::move(action));
}

bool FakeKernel::RunDue(std::uint64_t until, bool stopOnSignal) {
  while (!actions_.empty() && actions_.begin()->first.first <= until) {
    auto it = actions_.begin();
    if (it->first.first > now_) now_ = it->first.first;
    auto action = std::move(it->second);
    actions_.erase(it);
    action();
    if (stopOnSignal && StopSignalled()) return true;
  }
  return false;
}

bool FakeKernel::Pause(std::uint32_t milliseconds) {
  if (StopSignalled()) return true;
  const std::uint64_t until = now_ + milliseconds;
  if (RunDue(until, true)) return true;
  now_ = until;
  return false;
}

void FakeKernel::Advance(std::uint64_t milliseconds) {
  const std::uint64_t until = now_ + milliseconds;
  RunDue(until, false);
  now_ = until;
}

os::Handle FakeKernel::CreateEvent() {
  const std::uintptr_t id = nextHandle_;
  nextHandle_ += 4;
  events_[id] = false;
  return reinterpret_cast<os::Handle>(id);
}

void FakeKernel::SetEvent(os::Handle event) {
  auto it = events_.find(reinterpret_cast<std::uintptr_t>(event));
  if (it != events_.end()) it->second = true;
}

bool FakeKernel::IsSignalled(os::Handle event) const {
  auto it = events_.find(reinterpret_cast<std::uintptr_t>(event));
  return it != events_.end() && it->second;
}

bool FakeKernel::CloseHandle(os::Handle handle) {
  return events_.erase(reinterpret_cast<std::uintptr_t>(handle)) == 1;
}

bool FakeKernel::StopSignalled() const {
  const os::Handle event = service::stopEvent.load();
  return event != nullptr && IsSignalled(event);
}

}  // namespace kvn::fake
