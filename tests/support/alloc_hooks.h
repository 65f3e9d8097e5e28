#pragma once
// Replaces the global allocation functions in a test executable (and so in the
// machine library it loads) to count allocations and to report when a watched
// object is freed.

#include <cstddef>
#include <functional>

namespace korvax::test {

struct AllocationCounts {
    std::size_t allocations = 0;
    std::size_t frees = 0;
};

AllocationCounts CurrentAllocationCounts();

// Calls `onFree` (once) when `object` is released through operator delete.
void WatchFree(const void* object, std::function<void()> onFree);
void ClearFreeWatch();

} // namespace korvax::test
