// Input and settings no audio brings: levels near the float maximum, infinities,
// NaN, rates of zero and below, parameter bytes outside their ranges. The machine
// keeps its output finite (NaN aside, for a bounded stretch) and within its
// limiter's bound, and ordinary levels come out bit for bit as before.

#include <cmath>
#include <limits>
#include <vector>

#include "engine/reference_engine.h"
#include "fuzz/machine_invariants.h"
#include "host/reference_host.h"
#include "plugin/description.h"
#include "plugin/machine.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

constexpr float kFloatMax = std::numeric_limits<float>::max();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

// A machine from the core, hosted by slot index, whose state can be read.
struct Inspected {
    explicit Inspected(std::int32_t rate) : machine(CreateMultibandMachine()), hosted(machine, &Description(), rate)
    {
        hosted.Initialise();
    }
    MultibandMachine* machine;
    host::Machine hosted;
};

// Processes `data` in calls of `block` pairs; every call checked by the watch.
::testing::AssertionResult Render(Inspected& t, std::vector<float>& data, int block)
{
    reliability::OutputWatch watch;
    std::vector<float> input;
    const int pairs = int(data.size() / 2);
    for (int start = 0; start < pairs; start += block) {
        const int count = std::min(block, pairs - start);
        float* samples = data.data() + 2 * start;
        input.assign(samples, samples + 2 * count);
        watch.Snapshot(*t.machine);
        reliability::ProcessCall call{input.data(), samples, 2 * count, count, 3, t.hosted.SampleRate(), true, false};
        call.result = t.hosted.Process(samples, count, 3);
        std::string failure = watch.Check(*t.machine, call);
        if (failure.empty())
            failure = reliability::CheckEngineState(*t.machine);
        if (!failure.empty())
            return ::testing::AssertionFailure() << "call at pair " << start << ": " << failure;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult AllFiniteWithin(const std::vector<float>& data, std::size_t from, double bound)
{
    for (std::size_t i = from; i < data.size(); ++i)
        if (!std::isfinite(data[i]) || std::fabs(double(data[i])) > bound)
            return ::testing::AssertionFailure() << "float " << i << " is " << data[i] << " (bound " << bound << ")";
    return ::testing::AssertionSuccess();
}

// DC at the float maximum with "Input" at 128 overflowed the block transform: the
// output was NaN for two blocks from the first block completion on.
TEST(Robustness, InputNearTheFloatMaximumStaysFiniteAndLimited)
{
    for (std::uint8_t input : {89, 128, 254}) {
        SCOPED_TRACE(int(input));
        Inspected t(48000);
        t.hosted.SetParameters({{0, input}, {12, 128}, {13, 128}, {14, 128}});
        std::vector<float> data(2 * 40000, kFloatMax);
        const std::vector<float> noise = RandomFloats(2 * 20000, 3, -kFloatMax, kFloatMax);
        std::copy(noise.begin(), noise.end(), data.begin() + 2 * 20000);
        EXPECT_TRUE(Render(t, data, 4096));
        EXPECT_TRUE(AllFiniteWithin(data, 0, reliability::LimiterBound(t.machine->working)));
    }
}

TEST(Robustness, InfiniteInputIsHeldAtAFiniteLevel)
{
    Inspected t(44100);
    t.hosted.SetParameters({{0, 128}});
    std::vector<float> data = RandomFloats(2 * 40000, 4, -20000.0f, 20000.0f);
    for (std::size_t i = 0; i < data.size(); i += 7)
        data[i] = (i / 7) % 2 == 0 ? kInfinity : -kInfinity;
    EXPECT_TRUE(Render(t, data, 1000));
    EXPECT_TRUE(AllFiniteWithin(data, 0, reliability::LimiterBound(t.machine->working)));
}

// The level limit lies far above anything audio brings: loud but finite input
// still matches the plain transcription, which has no limit, bit for bit.
TEST(Robustness, LevelsBelowTheLimitComeOutBitForBitAsBefore)
{
    Inspected t(48000);
    t.hosted.SetParameters({{0, 128}});
    reference::Engine plain;
    std::vector<float> data = RandomFloats(2 * 30000, 5, -1e21f, 1e21f);   // gained: below 2^64
    data[2 * 100] = 9e22f;                                                  // gained: just below
    std::vector<float> expected = data;
    for (int start = 0; start < 30000; start += 3000) {
        t.hosted.Process(data.data() + 2 * start, 3000, 3);
        plain.Process(t.machine->working, 48000, expected.data() + 2 * start, 3000, 3);
    }
    EXPECT_TRUE(SameBits(expected, data));
    EXPECT_TRUE(AllFiniteWithin(data, 0, reliability::LimiterBound(t.machine->working)));
}

// A NaN reaches both blocks that hold it; once both have been read out, two block
// lengths on, the output is finite again and stays so.
TEST(Robustness, OutputIsFiniteAgainTwoBlocksAfterANaN)
{
    Inspected t(44100);
    std::vector<float> data = RandomFloats(2 * 60000, 6, -20000.0f, 20000.0f);
    const std::size_t nanPair = 5000;
    data[2 * nanPair + 1] = std::nanf("");
    EXPECT_TRUE(Render(t, data, 512));
    bool sawNaN = false;
    for (std::size_t i = 0; i < 2 * (nanPair + 2 * 16384); ++i)
        sawNaN = sawNaN || std::isnan(data[i]);
    EXPECT_TRUE(sawNaN) << "the NaN should have reached the output within the window";
    EXPECT_TRUE(AllFiniteWithin(data, 2 * (nanPair + 2 * 16384 - 1), 32768.0));
}

TEST(Robustness, SampleRatesOfZeroAndBelowKeepOutputFiniteAndLimited)
{
    for (std::int32_t rate : {0, -1, -44100, std::numeric_limits<std::int32_t>::min(), 1}) {
        SCOPED_TRACE(rate);
        Inspected t(rate);
        std::vector<float> data = RandomFloats(2 * 40000, 7, -32768.0f, 32768.0f);
        EXPECT_TRUE(Render(t, data, 4096));
        EXPECT_TRUE(AllFiniteWithin(data, 0, reliability::LimiterBound(t.machine->working)));
    }
}

TEST(Robustness, ParameterBytesOutsideTheirRangesKeepOutputFiniteAndLimited)
{
    for (std::uint8_t value : {0, 200, 254}) {
        SCOPED_TRACE(int(value));
        Inspected t(44100);
        std::vector<std::pair<int, int>> all;
        for (int index = 0; index < 17; ++index)
            if (index != 5)
                all.emplace_back(index, value);
        t.hosted.SetAttribute(value == 0 ? std::numeric_limits<std::int32_t>::min() : 1);
        t.hosted.SetParameters(all);
        std::vector<float> data = RandomFloats(2 * 40000, 8, -1e6f, 1e6f);
        EXPECT_TRUE(Render(t, data, 2048));
        EXPECT_TRUE(AllFiniteWithin(data, 0, reliability::LimiterBound(t.machine->working)));
    }
}

} // namespace
} // namespace korvax::test
