#pragma once
// Counts the C heap calls (malloc, calloc, realloc, free and the aligned forms)
// that the whole process makes while counting is switched on, by defining them in
// the test executable in front of the C library's. The machine library a test
// loads binds to these too. Under AddressSanitizer, which owns the heap functions,
// nothing is interposed and Available() is false.

#include <cstddef>

namespace korvax::test {

struct HeapCalls {
    std::size_t allocations = 0;   // malloc, calloc, realloc, aligned forms
    std::size_t frees = 0;
};

bool HeapHooksAvailable();
void StartCountingHeapCalls();
HeapCalls StopCountingHeapCalls();

} // namespace korvax::test
