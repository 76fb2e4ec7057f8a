#include "service/service_state.h"

#include <cstdlib>

#include "common/process_state.h"

namespace kvn::service {

os::ServicePlatform& ServiceOs() {
  if (process.serviceOs == nullptr) std::abort();
  return *process.serviceOs;
}

os::TokenPlatform& TokenOs() {
  if (process.tokenOs == nullptr) std::abort();
  return *process.tokenOs;
}

}  // namespace kvn::service
