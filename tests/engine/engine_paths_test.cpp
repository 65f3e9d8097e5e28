// The engine's fast paths: long runs over several settings with every tier's
// kernels against the plain transcription, no heap use while processing, and
// the size of the machine object.

#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "dsp/band_mask.h"
#include "dsp/kernels.h"
#include "engine/reference_engine.h"
#include "params/curves.h"
#include "plugin/machine.h"
#include "support/alloc_hooks.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

struct Step {
    int atPair;   // applied before the call that starts at or after this pair
    std::vector<std::pair<int, std::uint8_t>> parameters;
};

// A machine object built from the core, driven directly.
struct Direct {
    Direct() : machine(CreateMultibandMachine())
    {
        machine->working = ConstructionParameters();
        ResetEngine(machine->engine);
        StoreStartValues(machine->working);
    }
    ~Direct() { machine->Destroy(1); }
    MultibandMachine* machine;
};

// Runs the stream through the engine and the plain transcription in calls of
// varying length, applying the parameter steps; both see the same working values.
::testing::AssertionResult RunAgainstPlain(std::int32_t rate, const std::vector<Step>& steps, int pairs,
                                           std::uint32_t seed)
{
    Direct d;
    reference::Engine plain;
    std::vector<float> data = RandomFloats(2 * std::size_t(pairs), seed, -30000.0f, 30000.0f);
    std::vector<float> expected = data;
    const int callLengths[] = {64, 1000, 1, 4096, 333, 8192, 17, 256};
    std::size_t nextStep = 0;
    for (int start = 0, call = 0; start < pairs; ++call) {
        while (nextStep < steps.size() && steps[nextStep].atPair <= start) {
            for (const auto& [index, value] : steps[nextStep].parameters)
                StoreParameterValue(d.machine->working, index, value);
            ++nextStep;
        }
        const int count = std::min(callLengths[call % std::size(callLengths)], pairs - start);
        ProcessStereo(d.machine->engine, d.machine->working, &rate, data.data() + 2 * start, count, 3);
        plain.Process(d.machine->working, rate, expected.data() + 2 * start, count, 3);
        start += count;
    }
    return SameBits(expected, data);
}

const Isa kTiers[] = {Isa::kPlain, Isa::kSse2, Isa::kAvx, Isa::kAvx512};

class EngineKernels : public ::testing::TestWithParam<Isa> {
protected:
    void SetUp() override
    {
        if (!tier_.Active())
            GTEST_SKIP() << IsaName(GetParam()) << " is not available here";
    }

private:
    ScopedIsa tier_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(AllTiers, EngineKernels, ::testing::ValuesIn(kTiers),
                         [](const auto& info) { return std::string(IsaName(info.param)); });

// Six block completions per setting, with split, steepness, solo, width, link
// and threshold changes landing between and across them.
TEST_P(EngineKernels, LongRunsMatchThePlainTranscription)
{
    const struct {
        std::int32_t rate;
        std::vector<Step> steps;
    } settings[] = {
        {44100, {}},
        {48000,
         {{0, {{1, 0}, {2, 128}, {3, 128}}},
          {14000, {{1, 90}, {2, 20}, {3, 0}, {6, 1}, {16, 1}}},
          {26000, {{5, 2}, {4, 0}}},
          {38000, {{5, 0}, {1, 42}, {2, 85}, {3, 64}, {7, 128}, {8, 60}}}}},
        {96000, {{0, {{10, 1}, {11, 128}, {12, 1}, {15, 0}}}, {20000, {{5, 3}, {0, 128}}}, {35000, {{5, 7}}}}},
    };
    int index = 0;
    for (const auto& s : settings) {
        EXPECT_TRUE(RunAgainstPlain(s.rate, s.steps, 50000, 500 + index)) << "setting " << index;
        ++index;
    }
}

// Input far beyond full scale (which the plain transcription does not hold)
// is held at the engine's level limit alike by every tier's gathering, and the
// output stays finite.
TEST(EngineHugeInput, HeldAlikeByEveryTier)
{
    std::vector<float> input = RandomFloats(2 * 40000, 91, -30000.0f, 30000.0f);
    const float huge[] = {INFINITY, -3.4e38f, 1e-45f, -INFINITY, 3.4e38f};
    for (std::size_t i = 0; i < input.size(); i += 997)
        input[i] = huge[(i / 997) % std::size(huge)];
    std::vector<float> plain;
    for (const Isa isa : kTiers) {
        const ScopedIsa tier(isa);
        if (!tier.Active())
            continue;
        Direct d;
        StoreParameterValue(d.machine->working, 0, 128);   // the largest input gain
        std::vector<float> data = input;
        const std::int32_t rate = 48000;
        for (int start = 0, call = 0; start < 40000; ++call) {
            const int count = std::min(call % 2 == 0 ? 256 : 37, 40000 - start);
            ProcessStereo(d.machine->engine, d.machine->working, &rate, data.data() + 2 * start, count, 3);
            start += count;
        }
        if (isa == Isa::kPlain) {
            plain = data;
            EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](float x) { return std::isfinite(x); }));
        } else {
            EXPECT_TRUE(SameBits(plain, data)) << IsaName(isa);
        }
    }
}

// Runs `pairs` pairs of noise through the engine and the plain transcription
// in calls of `callPairs`. Before each call, prepare(call, working) may change
// the working values, and returns the call's sample rate.
template <class Prepare>
::testing::AssertionResult RunCallsAgainstPlain(int pairs, std::uint32_t seed, int callPairs, Prepare prepare)
{
    Direct d;
    reference::Engine plain;
    std::vector<float> data = RandomFloats(2 * std::size_t(pairs), seed, -30000.0f, 30000.0f);
    std::vector<float> expected = data;
    for (int start = 0, call = 0; start < pairs; start += callPairs, ++call) {
        const std::int32_t rate = prepare(call, d.machine->working);
        const int count = std::min(callPairs, pairs - start);
        ProcessStereo(d.machine->engine, d.machine->working, &rate, data.data() + 2 * start, count, 3);
        plain.Process(d.machine->working, rate, expected.data() + 2 * start, count, 3);
    }
    return SameBits(expected, data);
}

// The band masks' gains are kept from block to block while the setting holds;
// a new sample rate alone must bring new ones, and the old rate the old ones.
TEST(EngineMaskGains, SampleRateChangesAreFollowed)
{
    EXPECT_TRUE(RunCallsAgainstPlain(60000, 41, 1000, [](int call, WorkingParameters&) {
        return call < 20 ? 44100 : call < 40 ? 48000 : 44100;
    }));
}

// A call takes the previous call's derived values only when its working
// values and rate are the same: settings that change on every call, the last
// field and the link among them, and a rate that comes and goes, are followed.
TEST(EngineCallValues, SettingsChangingOnEveryCallAreFollowed)
{
    EXPECT_TRUE(RunCallsAgainstPlain(40000, 43, 200, [](int call, WorkingParameters& working) {
        // Most calls differ from the one before in the limiter release alone.
        StoreParameterValue(working, 16, call % 2 == 0 ? 1 : 128);
        StoreParameterValue(working, 0, std::uint8_t(100 + call / 3 % 3));   // input
        working.StereoLink = (call / 4) % 2;
        return call % 10 < 5 ? 44100 : 48000;
    }));
}

// Whether the engine's mask-gain table holds the gains of the working values' setting.
bool GainsFor(const EngineState& engine, const WorkingParameters& working, std::int32_t rate)
{
    const float low = SplitFrequency(working.LowSplit);
    const float high = SplitFrequency(working.HighSplit);
    const BandEdges edges[3] = {{10.0f, low}, {low, high}, {high, 24000.0f}};
    return BandGainsMatch(engine.maskGains, kBlockFloats, rate, edges,
                          static_cast<float>(double(working.Steepness) * 0.0078125));
}

// The first call that brings a setting works out its mask gains, so that the
// call completing the next block need not; once between completions, so a
// setting that changes on every call is left to the completion.
TEST(EngineMaskGains, WorkedOutAheadOnceBetweenCompletions)
{
    Direct d;
    const std::int32_t rate = 44100;
    std::vector<float> data = RandomFloats(2 * 64, 6, -20000.0f, 20000.0f);
    const auto process = [&] { ProcessStereo(d.machine->engine, d.machine->working, &rate, data.data(), 64, 3); };
    process();
    EXPECT_TRUE(GainsFor(d.machine->engine, d.machine->working, rate)) << "the first call after the reset";
    StoreParameterValue(d.machine->working, 3, 90);   // steepness
    process();
    EXPECT_FALSE(GainsFor(d.machine->engine, d.machine->working, rate)) << "the second change waits for the block";
    while (d.machine->engine.blockBPosition != 0)
        process();   // up to pipeline B's first completion, in the last call
    EXPECT_TRUE(GainsFor(d.machine->engine, d.machine->working, rate));
    StoreParameterValue(d.machine->working, 1, 60);   // low split
    process();
    EXPECT_TRUE(GainsFor(d.machine->engine, d.machine->working, rate)) << "the first change after a completion";
}

// Page faults this thread has taken so far.
long MinorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt;
}

// The page faults of the first call that completes a block, on an engine reset
// in memory fresh from the system: the reset has touched every page (the
// mask-gain table's too, which that call fills first), so the call takes none
// of the dozens it would otherwise take on the audio thread.
long FirstCompletionFaults()
{
    void* const memory = mmap(nullptr, sizeof(EngineState), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return -1;
    EngineState* const engine = new (memory) EngineState;
    ResetEngine(*engine);
    WorkingParameters working = ConstructionParameters();
    StoreStartValues(working);
    const std::int32_t rate = 48000;
    std::vector<float> data = RandomFloats(2 * 64, 4, -20000.0f, 20000.0f);
    for (int call = 0; call + 1 < kBlockHalfLength / 64; ++call)
        ProcessStereo(*engine, working, &rate, data.data(), 64, kModeInput | kModeOutput);
    const long before = MinorFaults();
    ProcessStereo(*engine, working, &rate, data.data(), 64, kModeInput | kModeOutput);   // pipeline B completes
    const long faults = MinorFaults() - before;
    const bool completed = engine->blockBPosition == 0;
    munmap(memory, sizeof(EngineState));
    return completed ? faults : -1;
}

TEST(EngineResources, FirstBlockCompletionTakesNoPageFault)
{
    ASSERT_GE(FirstCompletionFaults(), 0);   // the code and the stack this needs, faulted in
    const long faults = FirstCompletionFaults();
    ASSERT_GE(faults, 0);
    // The mask-gain table alone spans 48 pages; a few faults are left for the
    // memory checker's bookkeeping in sanitizer builds.
    EXPECT_LE(faults, 4) << "page faults in the first call completing a block";
}

// Processing, with block completions, parameter changes in between, every mode
// and solo setting, takes nothing from the heap.
TEST(EngineResources, ProcessingAllocatesNothing)
{
    Direct d;
    const std::int32_t rate = 48000;
    std::vector<float> data = RandomFloats(2 * 4096, 3, -20000.0f, 20000.0f);
    const AllocationCounts before = CurrentAllocationCounts();
    for (int call = 0; call < 40; ++call) {   // 40 * 4096 pairs: twenty block completions
        StoreParameterValue(d.machine->working, 5, std::uint8_t(call % 6));
        StoreParameterValue(d.machine->working, 1, std::uint8_t(10 * call % 128));
        for (const std::int32_t mode : {3, 2, 1, 0})
            ProcessStereo(d.machine->engine, d.machine->working, &rate, data.data(), mode == 3 ? 4096 : 64, mode);
    }
    const AllocationCounts after = CurrentAllocationCounts();
    EXPECT_EQ(after.allocations, before.allocations);
    EXPECT_EQ(after.frees, before.frees);
}

} // namespace
} // namespace korvax::test
