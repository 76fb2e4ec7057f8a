// What a scenario cannot say about the service host: its threads at once. Run under
// ThreadSanitizer by scripts/test-all.sh (the tsan preset), where a missing lock is a report.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "common/process_state.h"
#include "fake/fake_windows.h"
#include "service/service_host.h"
#include "service/service_state.h"

namespace kvn {
namespace {

// The two service threads report under one lock, so no checkpoint is handed over twice and
// the records reach the manager in counting order.
TEST(ServiceHost, TwoThreadsTakeOneCheckpointEach) {
  fake::FakeWindows os;
  process.statusHandle = reinterpret_cast<os::Handle>(fake::FakeServicePlatform::kStatusHandle);
  auto reporter = [] {
    for (int i = 0; i < 2000; ++i) service::ReportStatus(service::kServiceStopPending, 0, 0);
  };
  std::thread threads[] = {std::thread(reporter), std::thread(reporter)};
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(os.service.statuses.size(), 4000u);
  for (std::size_t i = 0; i < os.service.statuses.size(); ++i)
    ASSERT_EQ(os.service.statuses[i].checkPoint, i + 1) << "record " << i;
}

// A control handler signals over and over while the watch cycle publishes and closes one stop
// event after another, each once signalled. Each SetEvent must come before the close or find no
// event: the fake counts those on a closed event, and ThreadSanitizer reports an unordered pair.
// The relaxed counter orders nothing itself.
TEST(ServiceHost, StopEventIsSignalledOnlyWhileOpen) {
  fake::FakeWindows os;
  constexpr int kRounds = 200;
  std::vector<os::Handle> events(kRounds);
  for (auto& event : events) event = os.service.CreateEvent();  // the fake serves one thread
  std::atomic<bool> done{false};
  std::atomic<unsigned> signals{0};
  std::thread handler([&] {
    while (!done.load(std::memory_order_relaxed)) {
      service::SignalStopEvent();
      signals.fetch_add(1, std::memory_order_relaxed);
    }
  });
  for (os::Handle event : events) {
    service::PublishStopEvent(event);
    const unsigned seen = signals.load(std::memory_order_relaxed);
    while (signals.load(std::memory_order_relaxed) < seen + 2) std::this_thread::yield();
    service::CloseStopEvent();
  }
  done = true;
  handler.join();
  EXPECT_EQ(os.kernel.closedSignals, 0);  // none after its close
  EXPECT_GE(std::count(os.service.calls.begin(), os.service.calls.end(), "SetEvent"), kRounds);
}

}  // namespace
}  // namespace kvn
