// libFuzzer entry: the input is a host action script (fuzz/host_actions.h). Any
// broken invariant is reported on stderr and aborts, which the fuzzer records as
// a crash together with the input that caused it.

#include <cstdio>
#include <cstdlib>

#include "fuzz/host_actions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const korvax::reliability::RunResult result = korvax::reliability::RunActions(data, size);
    if (!result.failure.empty()) {
        std::fprintf(stderr, "invariant broken: %s\n", result.failure.c_str());
        std::abort();
    }
    return 0;
}
