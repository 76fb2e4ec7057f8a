// Allocation failure on demand: every operator new and delete of the test binary is replaced
// by malloc and free (tests/unit/failing_allocation.cpp).
#pragma once

#include <atomic>

namespace kvn::fake {

// While not negative, that many allocations succeed and all later ones fail.
inline std::atomic<long> allocationsLeft{-1};
// When set, the next allocation fails, and this is cleared.
inline std::atomic<bool> failNextAllocation{false};

}  // namespace kvn::fake
