// The machine's audio behaviour as a host sees it, and the engine against the
// plain reference transcription.

#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>
#include <random>
#include <sstream>

#include "engine/reference_engine.h"
#include "host_fixture.h"
#include "plugin/description.h"
#include "plugin/machine.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

constexpr int kLatency = 16383;

// Processes `input` (interleaved pairs) in calls of `block` pairs through slot 3.
std::vector<float> Render(host::Machine& machine, std::vector<float> data, int block, std::int32_t mode = 3)
{
    const int pairs = int(data.size() / 2);
    for (int start = 0; start < pairs; start += block) {
        const int count = std::min(block, pairs - start);
        machine.Process(data.data() + 2 * start, count, mode);
    }
    return data;
}

std::vector<float> Noise(int pairs, std::uint32_t seed, float amplitude = 20000.0f)
{
    return RandomFloats(2 * std::size_t(pairs), seed, -amplitude, amplitude);
}

// A machine from the core, hosted by slot index, whose engine state can be read.
struct Inspected {
    explicit Inspected(std::int32_t rate = 44100)
        : machine(CreateMultibandMachine()), hosted(machine, &Description(), rate)
    {
        hosted.Initialise();
    }
    MultibandMachine* machine;
    host::Machine hosted;
};

TEST(Engine, MatchesReferenceOutputFromStartValues)
{
    const std::vector<float> input = ReadVector("machine-input.f32");
    auto machine = NewMachine(44100);
    EXPECT_TRUE(SameBits(ReadVector("machine-start-44100.f32"), Render(*machine, input, 256)));
}

TEST(Engine, MatchesReferenceOutputWithDeclaredDefaultsAndLink)
{
    const std::vector<float> input = ReadVector("machine-input.f32");
    auto machine = NewMachine(48000);
    const MachineDescription* info = machine->Info();
    std::vector<std::pair<int, int>> defaults;
    for (int i = 0; i < info->ParameterCount; ++i)
        defaults.emplace_back(i, info->Parameters[i]->DefaultValue);
    machine->SetAttribute(1);
    machine->SetParameters(defaults);
    EXPECT_TRUE(SameBits(ReadVector("machine-defaults-link-48000.f32"), Render(*machine, input, 1000)));
}

// The six further reference outputs (tests/data/machine-settings.tsv): every
// curve at both its ends, every solo mode, rates from 22050 to 96000 Hz, calls
// of 1 to 4096 pairs. Each: the machine initialised at the rate, the link and
// the seventeen bytes applied, then the input in calls of that many pairs.
TEST(Engine, MatchesTheSixFurtherReferenceOutputs)
{
    std::ifstream table(std::string(KORVAX_VECTORS_DIR) + "/machine-settings.tsv");
    ASSERT_TRUE(table) << "machine-settings.tsv not found";
    const std::vector<float> input = ReadVector("machine-input.f32");
    std::string line;
    std::getline(table, line);   // the heading
    int rows = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string file;
        std::int32_t rate = 0, link = 0;
        int callPairs = 0;
        fields >> file >> rate >> link >> callPairs;
        std::vector<std::pair<int, int>> parameters;
        for (int index = 0, value = 0; index < 17 && fields >> value; ++index)
            parameters.emplace_back(index, value);
        ASSERT_EQ(parameters.size(), 17u) << line;
        auto machine = NewMachine(rate);
        machine->SetAttribute(link);
        machine->SetParameters(parameters);
        EXPECT_TRUE(SameBits(ReadVector(file), Render(*machine, input, callPairs))) << file;
        ++rows;
    }
    EXPECT_EQ(rows, 6);
}

// Several parameter sets, rates and call patterns, with parameter changes at call
// boundaries, against the literal transcription.
TEST(Engine, MatchesPlainTranscriptionAcrossSettings)
{
    struct Setting {
        std::int32_t rate;
        std::vector<std::pair<int, int>> parameters;
        std::int32_t link;
        int block;
    };
    const Setting settings[] = {
        {44100, {}, 0, 300},
        {96000, {{0, 128}, {1, 0}, {2, 128}, {3, 128}, {4, 0}, {10, 1}, {11, 128}, {15, 60}}, 1, 777},
        {22050, {{1, 90}, {2, 20}, {3, 0}, {4, 128}, {6, 1}, {7, 128}, {8, 60}, {9, 1}, {16, 1}}, 0, 1024},
        {48000, {{5, 1}, {12, 128}, {13, 1}}, 1, 512},
        {48000, {{5, 2}}, 0, 512},
        {48000, {{5, 3}, {0, 40}}, 0, 4096},
        {48000, {{5, 7}, {3, 200}}, 0, 64},
    };
    int index = 0;
    for (const Setting& s : settings) {
        SCOPED_TRACE("setting " + std::to_string(index));
        Inspected t(s.rate);
        reference::Engine plain;
        std::vector<float> data = Noise(40000, 100 + index);
        std::vector<float> expected = data;
        const int pairs = int(data.size() / 2);
        for (int start = 0, call = 0; start < pairs; start += s.block, ++call) {
            if (call == 3) {   // a change between calls takes effect from the next call on
                t.hosted.SetAttribute(s.link);
                t.hosted.SetParameters(s.parameters);
            }
            const int count = std::min(s.block, pairs - start);
            t.hosted.Process(data.data() + 2 * start, count, 3);
            plain.Process(t.machine->working, s.rate, expected.data() + 2 * start, count, 3);
        }
        EXPECT_TRUE(SameBits(expected, data));
        ++index;
    }
}

TEST(Engine, OutputDoesNotDependOnHowTheStreamIsCut)
{
    const std::vector<float> input = Noise(50000, 7);
    auto whole = NewMachine(48000);
    const std::vector<float> expected = Render(*whole, input, 50000);
    std::mt19937 random(3);
    auto cut = NewMachine(48000);
    std::vector<float> data = input;
    for (int start = 0; start < 50000;) {
        const int count = std::min(int(random() % 3000) + 1, 50000 - start);
        cut->Process(data.data() + 2 * start, count, 3);
        start += count;
    }
    EXPECT_TRUE(SameBits(expected, data));
}

TEST(Engine, ModeBitsWithoutOutputChangeNothing)
{
    Inspected t;
    std::vector<float> data = Noise(600, 1);
    t.hosted.Process(data.data(), 300, 3);
    const EngineState before = t.machine->engine;
    std::vector<float> buffer = Noise(300, 2);
    const std::vector<float> original = buffer;
    EXPECT_TRUE(t.hosted.Process(buffer.data(), 300, 1));
    EXPECT_FALSE(t.hosted.Process(buffer.data(), 300, 0));
    EXPECT_FALSE(t.hosted.Process(buffer.data(), 300, 4 | 8));   // only two bits are examined
    EXPECT_TRUE(SameBits(original, buffer));
    EXPECT_EQ(std::memcmp(&before, &t.machine->engine, sizeof before), 0);
}

TEST(Engine, SilenceTailCountsFloatsOfSilence)
{
    Inspected t;
    std::vector<float> buffer(512, 1.0f);
    EXPECT_FALSE(t.hosted.Process(buffer.data(), 256, 2)) << "right after reset there is no tail";
    EXPECT_TRUE(SameBits(std::vector<float>(512, 0.0f), buffer));
    buffer = Noise(256, 5);
    EXPECT_TRUE(t.hosted.Process(buffer.data(), 256, 3));
    const std::uint32_t positionA = t.machine->engine.blockAPosition;
    for (int call = 1; call <= 19; ++call)
        EXPECT_TRUE(t.hosted.Process(buffer.data(), 256, 2)) << "call " << call;
    EXPECT_EQ(t.machine->engine.silenceTail, 272);
    EXPECT_FALSE(t.hosted.Process(buffer.data(), 256, 2));
    EXPECT_EQ(t.machine->engine.silenceTail, 0);
    EXPECT_EQ(t.machine->engine.blockAPosition, positionA) << "silence does not advance the pipelines";
}

TEST(Engine, EmptyAndInvalidCallsTouchNothingButTheTail)
{
    Inspected t;
    const EngineState before = t.machine->engine;
    float guard[4] = {1, 2, 3, 4};
    EXPECT_TRUE(t.hosted.Process(guard, 0, 3));
    EXPECT_EQ(t.machine->engine.silenceTail, 10000);
    EXPECT_EQ(t.machine->engine.blockAPosition, before.blockAPosition);
    for (std::int32_t count : {-1, -2147483647 - 1, 1 << 30, 2147483647}) {
        EXPECT_TRUE(t.hosted.Process(guard, count, 3)) << count;
        EXPECT_TRUE(t.hosted.Process(guard, count, 2)) << count;   // the tail is still 10000
    }
    EXPECT_EQ(t.machine->engine.silenceTail, 10000);
    EXPECT_EQ(guard[0], 1.0f);
    EXPECT_EQ(guard[3], 4.0f);
}

TEST(Engine, BypassReturnsTheInputBitForBit)
{
    Inspected t;
    std::vector<float> warm = Noise(5000, 9);
    t.hosted.Process(warm.data(), 5000, 3);
    t.hosted.SetParameters({{5, 4}});
    const EngineState before = t.machine->engine;
    std::vector<float> data = Noise(3000, 10);
    data[0] = std::nanf("");
    data[1] = -0.0f;
    const std::vector<float> original = data;
    t.machine->engine.silenceTail = 3;
    EXPECT_TRUE(t.hosted.Process(data.data(), 3000, 3));
    EXPECT_TRUE(SameBits(original, data));
    EXPECT_EQ(t.machine->engine.silenceTail, 10000);
    EXPECT_EQ(t.machine->engine.blockAPosition, before.blockAPosition);
    EXPECT_EQ(std::memcmp(&before.gains, &t.machine->engine.gains, sizeof before.gains), 0);
}

TEST(Engine, ImpulseComesOutCentredAfterTheLatency)
{
    auto machine = NewMachine(44100);
    machine->SetParameters({{6, 128}, {7, 128}, {8, 128}});   // thresholds high: no compression
    std::vector<float> data(2 * 40000, 0.0f);
    data[0] = data[1] = 30000.0f;
    data = Render(*machine, data, 256);
    int peak = 0;
    for (int i = 0; i < 40000; ++i)
        if (std::fabs(data[2 * i]) > std::fabs(data[2 * peak]))
            peak = i;
    EXPECT_EQ(peak, kLatency);
    for (int i = 0; i <= 8190; ++i)
        ASSERT_EQ(FloatBits(data[2 * i]), 0u) << "pair " << i << " precedes the first completed block";
}

TEST(Engine, BlocksCompleteOnScheduleAlternately)
{
    Inspected t;
    const float* midB = t.machine->engine.bands.Get(kBandMid, kPipelineB, kLeft);
    const float* midA = t.machine->engine.bands.Get(kBandMid, kPipelineA, kLeft);
    auto untouched = [](const float* buffer) {
        for (int i = 0; i < kBlockFloats; ++i)
            if (buffer[i] != 0.0f)
                return false;
        return true;
    };
    std::vector<float> data = Noise(16384, 11);
    t.hosted.Process(data.data(), 8191, 3);           // pairs 0 .. 8190
    EXPECT_TRUE(untouched(midB));
    t.hosted.Process(data.data() + 2 * 8191, 1, 3);   // pair 8191 completes pipeline B
    EXPECT_FALSE(untouched(midB));
    EXPECT_EQ(t.machine->engine.blockBPosition, 0u);
    t.hosted.Process(data.data() + 2 * 8192, 8191, 3);   // up to pair 16382
    EXPECT_TRUE(untouched(midA));
    t.hosted.Process(data.data() + 2 * 16383, 1, 3);  // pair 16383 completes pipeline A
    EXPECT_FALSE(untouched(midA));
    EXPECT_EQ(t.machine->engine.blockAPosition, 0u);
    EXPECT_EQ(t.machine->engine.blockBPosition, 8192u);
}

TEST(Engine, InputGainChangeAppliesFromTheNextCallsFirstPair)
{
    Inspected t;
    std::vector<float> data = Noise(200, 12);
    t.hosted.Process(data.data(), 100, 3);
    t.hosted.SetParameters({{0, 1}});   // input gain 0
    t.hosted.Process(data.data() + 200, 100, 3);
    const float* lowA = t.machine->engine.bands.Get(kBandLow, kPipelineA, kLeft);
    EXPECT_NE(lowA[99], 0.0f);
    for (int i = 100; i < 200; ++i)
        EXPECT_EQ(lowA[i], 0.0f) << i;   // +0 or -0: the sample times a gain of 0
}

TEST(Engine, ResumingAfterAPauseContinuesTheHeldSignal)
{
    const std::vector<float> input = Noise(40000, 13);
    auto straight = NewMachine(48000);
    const std::vector<float> expected = Render(*straight, input, 500);
    auto paused = NewMachine(48000);
    std::vector<float> data = input;
    std::vector<float> scratch(1000, 0.5f);
    for (int start = 0; start < 40000; start += 500) {
        if (start == 20000)
            for (int k = 0; k < 30; ++k) {
                paused->Process(scratch.data(), 500, 2);   // silence: the pipelines hold
                paused->Process(scratch.data(), 500, 1);   // input without output is not taken
            }
        paused->Process(data.data() + 2 * start, 500, 3);
    }
    EXPECT_TRUE(SameBits(expected, data));
}

TEST(Engine, SoloHighSilencesALowTone)
{
    const int pairs = 40000;
    std::vector<float> tone(2 * pairs);
    for (int i = 0; i < pairs; ++i)
        tone[2 * i] = tone[2 * i + 1] = float(10000.0 * std::sin(2.0 * std::numbers::pi * 60.0 * i / 48000.0));
    auto energy = [&](int solo) {
        auto machine = NewMachine(48000);
        machine->SetParameters({{5, solo}});
        const std::vector<float> out = Render(*machine, tone, 1024);
        double sum = 0;
        for (int i = 2 * 20000; i < 2 * pairs; ++i)
            sum += double(out[i]) * out[i];
        return sum;
    };
    const double low = energy(1);
    const double high = energy(3);
    EXPECT_GT(low, 0.0);
    // Every band keeps a block's DC term, and a tone that does not fit a block
    // whole leaks a little DC: the high band still stays 30 dB below the low one.
    EXPECT_LT(high, low * 1e-3);
}

TEST(Engine, NonFiniteInputRecoversWithinTwoBlocks)
{
    Inspected t;
    std::vector<float> data = Noise(100000, 14);
    const int badStart = 20000;
    const int badEnd = 20100;
    const float hostile[] = {std::nanf(""), INFINITY, -INFINITY, 3.4e38f, -3.4e38f, 1e-45f};
    for (int i = 2 * badStart; i < 2 * badEnd; ++i)
        data[i] = hostile[i % 6];
    data = Render(t.hosted, data, 256);
    for (const GainState& g : t.machine->engine.gains) {
        EXPECT_GE(g.gain, 0.0f);
        EXPECT_LE(g.gain, 1.0f);
    }
    for (int i = 2 * (badEnd + 2 * kBlockFloats); i < int(data.size()); ++i)
        ASSERT_TRUE(std::isfinite(data[i])) << "float " << i;
}

TEST(Engine, UnusableSampleRatesGiveFiniteOutput)
{
    for (std::int32_t rate : {0, -44100, 1, 2147483647}) {
        SCOPED_TRACE(rate);
        auto machine = NewMachine(rate);
        std::vector<float> data = Render(*machine, Noise(40000, 15), 4096);
        for (float x : data)
            ASSERT_TRUE(std::isfinite(x));
    }
}

} // namespace
} // namespace korvax::test
