// Allocation failure on demand: every operator new and delete of the test binary is replaced
// by malloc and free (tests/unit/failing_allocation.cpp).
#pragma once

#include <atomic>

namespace kvn::fake {

// While not negative, that many allocations succeed and all later ones fail.
extern std::atomic<long> allocationsLeft;
// When set, the next allocation fails, and this is cleared.
extern std::atomic<bool> failNextAllocation;

}  // namespace kvn::fake
