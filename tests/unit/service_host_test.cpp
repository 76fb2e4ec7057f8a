// What a scenario cannot say about the service host: two threads reporting at once.
#include <gtest/gtest.h>

#include <thread>

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
  std::thread first(reporter);
  std::thread second(reporter);
  first.join();
  second.join();
  ASSERT_EQ(os.service.statuses.size(), 4000u);
  for (std::size_t i = 0; i < os.service.statuses.size(); ++i) {
    ASSERT_EQ(os.service.statuses[i].status.checkPoint, i + 1) << "record " << i;
  }
}

}  // namespace
}  // namespace kvn
