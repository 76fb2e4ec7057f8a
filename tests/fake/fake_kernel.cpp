#include "fake/fake_kernel.h"

namespace kvn::fake {

void FakeKernel::At(std::uint64_t time, std::function<void()> action) {
  actions_.emplace(std::make_pair(time, sequence_++), std::move(action));
}

bool FakeKernel::RunDue(std::uint64_t until, os::Handle stop) {
  while (!actions_.empty() && actions_.begin()->first.first <= until) {
    auto it = actions_.begin();
    if (it->first.first > now_) now_ = it->first.first;
    auto action = std::move(it->second);
    actions_.erase(it);
    action();
    if (stop != nullptr && IsSignalled(stop)) return true;
  }
  return false;
}

bool FakeKernel::WaitUntil(std::uint64_t until, os::Handle stop) {
  if (stop != nullptr && IsSignalled(stop)) return true;
  if (RunDue(until, stop)) return true;
  if (until > now_) now_ = until;
  return false;
}

void FakeKernel::Advance(std::uint64_t milliseconds) {
  const std::uint64_t until = now_ + milliseconds;
  RunDue(until, nullptr);
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

}  // namespace kvn::fake
