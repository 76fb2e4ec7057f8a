#include "common/process_state.h"

namespace kvn {

bool debugMode = false;

}  // namespace kvn
