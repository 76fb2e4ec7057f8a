#include "service/service_state.h"

namespace kvn::service {

std::atomic<os::Handle> stopEvent{nullptr};

}  // namespace kvn::service
