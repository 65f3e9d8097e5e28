// The audio path, the parameter intake and the value texts touch no heap: the
// machine library is loaded and driven by slot index exactly as a host does, with
// every C++ and C allocation function of the process counted meanwhile.

#include <cstdlib>
#include <limits>
#include <vector>

#include "host_fixture.h"
#include "malloc_hooks.h"
#include "support/alloc_hooks.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

// Counts from construction to Stop(); assertions come after, since they allocate.
class HeapWatch {
public:
    HeapWatch() : before_(CurrentAllocationCounts()) { StartCountingHeapCalls(); }

    ::testing::AssertionResult Untouched()
    {
        const HeapCalls heap = StopCountingHeapCalls();
        const AllocationCounts after = CurrentAllocationCounts();
        const std::size_t news = after.allocations - before_.allocations;
        const std::size_t deletes = after.frees - before_.frees;
        if (news == 0 && deletes == 0 && heap.allocations == 0 && heap.frees == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << news << " operator new, " << deletes << " operator delete, "
                                             << heap.allocations << " C allocations, " << heap.frees << " frees";
    }

private:
    AllocationCounts before_;
};

TEST(AllocationGuard, SeesAllocationsWhenThereAreSome)
{
    void* (*volatile allocate)(std::size_t) = std::malloc;
    void (*volatile release)(void*) = std::free;
    {
        HeapWatch watch;
        auto* numbers = new std::vector<int>(100);
        delete numbers;
        EXPECT_FALSE(watch.Untouched());
    }
    if (!HeapHooksAvailable())
        GTEST_SKIP() << "the C heap belongs to the sanitizer in this build";
    HeapWatch watch;
    release(allocate(16));
    const HeapCalls counted = StopCountingHeapCalls();
    EXPECT_EQ(counted.allocations, 1u);
    EXPECT_EQ(counted.frees, 1u);
}

TEST(AllocationGuard, ProcessingTouchesNoHeapAcrossBlockCompletions)
{
    auto machine = NewMachine(48000);
    ASSERT_TRUE(machine);
    std::vector<float> buffer = RandomFloats(2 * 16384, 1, -40000.0f, 40000.0f);
    const std::vector<float> source = buffer;
    // Slot 3 through the host's mixer, then slot 22 directly; every mode, empty and
    // invalid counts, bypass, rate changes; some 60000 pairs, seven block completions.
    const std::int32_t counts[] = {1, 256, 4096, 777, 16384, 3000, 8192, 513};
    HeapWatch watch;
    for (int round = 0; round < 2; ++round) {
        for (std::int32_t count : counts) {
            std::copy(source.begin(), source.begin() + 2 * count, buffer.begin());
            machine->Process(buffer.data(), count, 3);
        }
        for (std::int32_t mode : {0, 1, 2, 7})
            machine->Process(buffer.data(), 512, mode);
        for (std::int32_t count : {0, -1, std::numeric_limits<std::int32_t>::min(), 1 << 30})
            machine->ProcessStereo(buffer.data(), count, 3);
        machine->ProcessStereo(buffer.data(), 2048, 3);
        machine->SetSampleRate(round == 0 ? 96000 : 0);
    }
    machine->SetParameterByte(5, 4);
    machine->ApplyParameters();
    machine->Process(buffer.data(), 4096, 3);
    EXPECT_TRUE(watch.Untouched());
}

TEST(AllocationGuard, ParameterIntakeTouchesNoHeap)
{
    auto machine = NewMachine(44100);
    ASSERT_TRUE(machine);
    HeapWatch watch;
    for (int value = 0; value < 256; ++value) {
        for (int index = 0; index < 17; ++index)
            machine->SetParameterByte(index, std::uint8_t(value));
        machine->SetAttribute(value - 128);
        machine->ApplyParameters();
    }
    EXPECT_TRUE(watch.Untouched());
}

TEST(AllocationGuard, ValueTextsTouchNoHeap)
{
    auto machine = NewMachine(44100);
    ASSERT_TRUE(machine);
    const std::int32_t values[] = {std::numeric_limits<std::int32_t>::min(), -100000, -1, 0, 1, 4, 5, 64, 71, 128,
                                   254, 1000, 100000, std::numeric_limits<std::int32_t>::max()};
    HeapWatch watch;
    for (std::int32_t index = -1; index <= 17; ++index)
        for (std::int32_t value : values)
            machine->Describe(index, value);
    EXPECT_TRUE(watch.Untouched());
}

} // namespace
} // namespace korvax::test
