#include "dsp/band_mask.h"
#include "dsp/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "params/curves.h"
#include "support/test_support.h"

namespace korvax {
namespace {

using test::ReadVector;
using test::SameBits;

constexpr std::int32_t kCount = 16384;
constexpr std::int32_t kRate = 44100;

struct Edges {
    float lowSplitHz;
    float highSplitHz;
};

Edges DefaultSplits()
{
    return {SplitFrequency(42.0f), SplitFrequency(85.0f)};
}

// The mask's gains themselves: the mask applied to a buffer of ones.
std::vector<float> Gains(std::int32_t sampleRate, float lowEdgeHz, float highEdgeHz, float steepness)
{
    std::vector<float> ones(kCount + 2, 1.0f);
    ApplyBandMask(ones.data(), kCount, sampleRate, lowEdgeHz, highEdgeHz, steepness);
    return ones;
}

struct BandGains {
    std::vector<float> low, mid, high;
};

BandGains ThreeBands(std::int32_t sampleRate, Edges edges, float steepness)
{
    return {Gains(sampleRate, 10.0f, edges.lowSplitHz, steepness),
            Gains(sampleRate, edges.lowSplitHz, edges.highSplitHz, steepness),
            Gains(sampleRate, edges.highSplitHz, 24000.0f, steepness)};
}

TEST(BandMask, MatchesReferenceVectorsBitForBit)
{
    const std::vector<float> spectrum = ReadVector("mask-spectrum.f32");
    ASSERT_EQ(spectrum.size(), std::size_t(kCount + 2));
    const Edges e = DefaultSplits();
    const struct {
        const char* file;
        float lowHz, highHz;
    } cases[] = {{"mask-low-44100.f32", 10.0f, e.lowSplitHz},
                 {"mask-mid-44100.f32", e.lowSplitHz, e.highSplitHz},
                 {"mask-high-44100.f32", e.highSplitHz, 24000.0f}};
    for (const auto& c : cases) {
        std::vector<float> data = spectrum;
        ApplyBandMask(data.data(), kCount, kRate, c.lowHz, c.highHz, 0.5f);
        EXPECT_TRUE(SameBits(ReadVector(c.file), data)) << c.file;
    }
}

TEST(BandMask, RampsCrossHalfGainExactlyAtTheEdgeIndex)
{
    const BandGains g = ThreeBands(kRate, DefaultSplits(), 0.5f);
    // The low split lies at element 141.79, truncated to 141.
    EXPECT_EQ(g.low[141], 0.5f);
    EXPECT_EQ(g.mid[141], 0.5f);
    EXPECT_EQ(g.low[93], 1.0f);
    EXPECT_LT(g.low[95], 1.0f);
    EXPECT_GT(g.low[281], 0.0f);
    EXPECT_EQ(g.low[283], 0.0f);
    // Element 1 (Nyquist, sharing the gain of index 1) is in the low band only.
    EXPECT_EQ(g.low[1], 1.0f);
    EXPECT_EQ(g.mid[1], 0.0f);
    EXPECT_EQ(g.high[1], 0.0f);
    // The low band has no lower ramp whatever the steepness.
    EXPECT_EQ(Gains(kRate, 10.0f, DefaultSplits().lowSplitHz, 0.0f)[1], 1.0f);
}

TEST(BandMask, BandsAddUpToOneAndLeaveDcAlone)
{
    for (const float steepness : {0.0f, 0.5f, 1.0f}) {
        std::vector<float> dcCheck(kCount + 2, 3.0f);
        ApplyBandMask(dcCheck.data(), kCount, kRate, DefaultSplits().lowSplitHz, DefaultSplits().highSplitHz,
                      steepness);
        EXPECT_EQ(dcCheck[0], 3.0f);

        const BandGains g = ThreeBands(kRate, DefaultSplits(), steepness);
        for (std::int32_t e = 1; e <= kCount; ++e) {
            // Only the float rounding of one ramp (below 2^-25) keeps this from exact.
            ASSERT_NEAR(double(g.low[e]) + g.mid[e] + g.high[e], 1.0, 1e-7)
                << "element " << e << ", steepness " << steepness;
        }
        EXPECT_EQ(g.low[kCount + 1], 1.0f) << "element count + 1 lies outside the mask";
    }
}

TEST(BandMask, RampSwitchesAtTheirEdgeLimits)
{
    // A 19 Hz lower edge is at element 14: its ramp holds element 1 at gain 0.
    EXPECT_EQ(Gains(kRate, 19.0f, 24000.0f, 0.5f)[1], 0.0f);
    EXPECT_EQ(Gains(kRate, 18.99f, 24000.0f, 0.5f)[1], 1.0f);
    // An upper edge of 23995 Hz (past Nyquist, clamped to count) halves the top.
    EXPECT_NEAR(Gains(kRate, 10.0f, 23995.0f, 0.5f)[kCount - 1], 0.5, 1e-3);
    EXPECT_EQ(Gains(kRate, 10.0f, 23995.5f, 0.5f)[kCount - 1], 1.0f);
}

TEST(BandMask, TinyCountsLeaveTheArrayUnchanged)
{
    for (const std::int32_t count : {1, 0, -5}) {
        std::vector<float> data = {0.7f, 0.7f, 0.7f, 0.7f};
        ApplyBandMask(data.data(), count, kRate, 100.0f, 200.0f, 0.5f);
        EXPECT_TRUE(SameBits(std::vector<float>(4, 0.7f), data)) << "count " << count;
    }
}

// Zero and negative sample rates place every edge at the top of the spectrum:
// the bands stay complementary and nothing turns into NaN or an undefined
// conversion. Extreme and non-finite edges and steepness give finite gains.
TEST(BandMask, HostileArgumentsGiveFiniteGainsInRange)
{
    constexpr float kInf = std::numeric_limits<float>::infinity();
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    constexpr float kMax = std::numeric_limits<float>::max();

    for (const std::int32_t rate : {0, -44100, std::numeric_limits<std::int32_t>::min()}) {
        const BandGains g = ThreeBands(rate, DefaultSplits(), 0.5f);
        EXPECT_EQ(g.low[1], 1.0f) << "rate " << rate;
        for (std::int32_t e = 1; e <= kCount; ++e)
            ASSERT_NEAR(double(g.low[e]) + g.mid[e] + g.high[e], 1.0, 1e-7) << "rate " << rate << " element " << e;
    }

    const float edges[] = {kNaN, kInf, -kInf, kMax, -kMax, 0.0f, -100.0f, 1e-30f};
    const float steepnesses[] = {0.5f, kNaN, kInf, -kInf, 1e30f, -1e30f};
    const std::int32_t rates[] = {kRate, 1, std::numeric_limits<std::int32_t>::max(), 0};
    for (const std::int32_t rate : rates) {
        for (const float low : edges) {
            for (const float high : edges) {
                for (const float steepness : steepnesses) {
                    const std::vector<float> g = Gains(rate, low, high, steepness);
                    for (std::int32_t e = 1; e <= kCount; ++e)
                        ASSERT_TRUE(g[e] >= 0.0f && g[e] <= 1.0f)
                            << "gain " << g[e] << " at " << e << ": rate " << rate << ", edges " << low << " "
                            << high << ", steepness " << steepness;
                }
            }
        }
    }
}


// The mask as a plain loop: one division per element pair, no table, no vectors.
void PlainMask(float* spectrum, std::int32_t count, std::int32_t sampleRate, float lowEdgeHz, float highEdgeHz,
               float steepness)
{
    if (count <= 1)
        return;
    auto edgeIndex = [&](float edgeHz) {
        if (sampleRate <= 0)
            return count;
        const double position = double(count) * ((2.0 * double(edgeHz)) / double(sampleRate));
        if (!(position < double(count)))
            return count;
        return position < 0.0 ? 0 : std::int32_t(position);
    };
    const std::int32_t lowIndex = edgeIndex(lowEdgeHz);
    const std::int32_t highIndex = edgeIndex(highEdgeHz);
    const float k = float(std::exp((0.5 * double(steepness) + 0.15) * 9.0) / std::exp(11.0));
    for (std::int32_t i = 1; i < count; i += 2) {
        const double s = (double(count) / double(i)) * double(k);
        float lowRamp = float(double(lowIndex - i) * s * 0.1 + 0.5);
        if (!(lowRamp >= 0.0f) || double(lowEdgeHz) < 19.0)
            lowRamp = 0.0f;
        double highRamp = double(i - highIndex) * s * 0.1 + 0.5;
        if (!(highRamp >= 0.0) || double(highEdgeHz) > 23995.0)
            highRamp = 0.0;
        double gain = 1.0 - (highRamp + double(lowRamp));
        gain = gain < 0.0 ? 0.0 : (gain > 1.0 ? 1.0 : gain);
        spectrum[i] = float(double(spectrum[i]) * gain);
        spectrum[i + 1] = float(double(spectrum[i + 1]) * gain);
    }
}

struct MaskCase {
    std::int32_t count;
    std::int32_t rate;
    float lowSplitHz;
    float highSplitHz;
    float steepness;
};

// The engine's count (whose quotients come from a table) and others, odd ones
// included, ordinary and hostile settings.
const MaskCase kMaskCases[] = {
    {kCount, 44100, 190.83f, 2140.07f, 0.5f}, {kCount, 48000, 18.0f, 24000.0f, 0.0f},
    {kCount, 96000, 5000.0f, 300.0f, 1.0f},   {kCount, 22050, 19.0f, 23995.0f, 0.25f},
    {kCount, 0, 100.0f, 200.0f, 0.5f},        {kCount, 44100, 100.0f, 200.0f, std::nanf("")},
    {kCount, 44100, 100.0f, 200.0f, 1e30f},   {1000, 44100, 190.83f, 2140.07f, 0.75f},
    {999, 48000, 1000.0f, 5000.0f, 0.5f},     {2, 44100, 100.0f, 20000.0f, 0.5f},
    {3, 44100, 100.0f, 20000.0f, 0.5f},       {5, 8000, 100.0f, 2000.0f, 1.0f},
    // Hard edges (no element between 0 and 1) at every place within a run of
    // sixteen elements: 3 Hz is about 1.1 gain entries here.
    {kCount, 44100, 100.0f, 20000.0f, 1e30f}, {kCount, 44100, 103.0f, 20003.0f, 1e30f},
    {kCount, 44100, 106.0f, 20006.0f, 1e30f}, {kCount, 44100, 109.0f, 20009.0f, 1e30f},
    {kCount, 44100, 112.0f, 20012.0f, 1e30f}, {kCount, 44100, 115.0f, 20015.0f, 1e30f},
    {kCount, 44100, 118.0f, 20018.0f, 1e30f}, {kCount, 44100, 121.0f, 20021.0f, 1e30f},
    {kCount, 44100, 124.0f, 20024.0f, 1e30f}, {kCount, 44100, 127.0f, 20027.0f, 1e30f},
};

TEST(BandMask, IdenticalToThePlainLoopForEveryShape)
{
    for (const MaskCase& c : kMaskCases) {
        for (const auto& edges : {std::pair{10.0f, c.lowSplitHz}, std::pair{c.lowSplitHz, c.highSplitHz},
                                  std::pair{c.highSplitHz, 24000.0f}}) {
            std::vector<float> actual = test::RandomFloats(std::size_t(c.count) + 2, 17, -2.0f, 2.0f);
            std::vector<float> expected = actual;
            ApplyBandMask(actual.data(), c.count, c.rate, edges.first, edges.second, c.steepness);
            PlainMask(expected.data(), c.count, c.rate, edges.first, edges.second, c.steepness);
            EXPECT_TRUE(SameBits(expected, actual)) << "count " << c.count << ", rate " << c.rate << ", edges "
                                                    << edges.first << " " << edges.second;
        }
    }
}

const Isa kTiers[] = {Isa::kPlain, Isa::kSse2, Isa::kAvx, Isa::kAvx512};

// The three masks of a block completion in one pass over both channels, through
// a gain table worked out for the setting, equal a copy of each spectrum into
// the mid and high buffers followed by three masks, down to the element past
// the spectrum, which each buffer keeps as its own; with every tier's kernels.
TEST(BandMask, GainTableEqualsCopyThenMaskEach)
{
    for (const Isa isa : kTiers) {
        const ScopedIsa tier(isa);
        if (!tier.Active())
            continue;
        for (const MaskCase& c : kMaskCases) {
            const std::size_t size = std::size_t(c.count) + 2;
            const BandEdges edges[3] = {
                {10.0f, c.lowSplitHz}, {c.lowSplitHz, c.highSplitHz}, {c.highSplitHz, 24000.0f}};
            for (const int channelCount : {1, 2}) {
                std::vector<float> actual[2][3];
                std::vector<float> expected[2][3];
                ChannelBands channels[2];
                for (int ch = 0; ch < channelCount; ++ch) {
                    for (int b = 0; b < 3; ++b) {
                        actual[ch][b] = test::RandomFloats(size, 100 + 10 * ch + b, -1.0f, 1.0f);
                        // Values whose products with 0 or 1 show how they were formed.
                        const float specials[] = {std::numeric_limits<float>::infinity(),
                                                  -std::numeric_limits<float>::infinity(),
                                                  std::numeric_limits<float>::quiet_NaN(), -0.0f, 1e-40f, -3e38f};
                        for (std::size_t k = 0; k < std::size(specials); ++k)
                            for (const std::size_t at : {5 + 7 * k, size / 2 + 11 * k, size - 9 - 5 * k})
                                if (at < size)
                                    actual[ch][b][at] = specials[k];
                        expected[ch][b] = actual[ch][b];
                        channels[ch].band[b] = actual[ch][b].data();
                    }
                    for (int b = 1; b < 3; ++b)
                        std::copy_n(expected[ch][0].begin(), std::max(c.count, 0), expected[ch][b].begin());
                    for (int b = 0; b < 3; ++b)
                        ApplyBandMask(expected[ch][b].data(), c.count, c.rate, edges[b].lowHz, edges[b].highHz,
                                      c.steepness);
                }
                auto table = std::make_unique<BandGainTable>();
                PrepareBandGains(*table, c.count, c.rate, edges, c.steepness);
                ASSERT_TRUE(BandGainsMatch(*table, c.count, c.rate, edges, c.steepness));
                ApplyBandGains(channels, channelCount, *table);
                for (int ch = 0; ch < channelCount; ++ch)
                    for (int b = 0; b < 3; ++b)
                        EXPECT_TRUE(SameBits(expected[ch][b], actual[ch][b]))
                            << IsaName(isa) << ", count " << c.count << ", channels " << channelCount
                            << ", channel " << ch << ", band " << b;
            }
        }
    }
}

// Every tier fills the gain table with the same bits, step codes included, so
// a table worked out with one tier's kernels serves every other's.
TEST(BandMask, EveryTierFillsTheSameGainTable)
{
    auto plain = std::make_unique<BandGainTable>();
    auto other = std::make_unique<BandGainTable>();
    for (const MaskCase& c : kMaskCases) {
        const BandEdges edges[3] = {{10.0f, c.lowSplitHz}, {c.lowSplitHz, c.highSplitHz}, {c.highSplitHz, 24000.0f}};
        std::memset(plain.get(), 0x5A, sizeof *plain);
        {
            const ScopedIsa tier(Isa::kPlain);
            PrepareBandGains(*plain, c.count, c.rate, edges, c.steepness);
        }
        const std::size_t entries = std::size_t(std::max(c.count, 0)) / 2;
        for (const Isa isa : kTiers) {
            const ScopedIsa tier(isa);
            if (!tier.Active())
                continue;
            std::memset(other.get(), 0xA5, sizeof *other);
            PrepareBandGains(*other, c.count, c.rate, edges, c.steepness);
            for (int b = 0; b < 3; ++b)
                EXPECT_EQ(std::memcmp(other->gain[b], plain->gain[b], entries * sizeof(double)), 0)
                    << IsaName(isa) << ", count " << c.count << ", rate " << c.rate << ", band " << b;
            EXPECT_EQ(std::memcmp(other->exact, plain->exact, (entries + 1) / 2), 0)
                << IsaName(isa) << ", count " << c.count;
        }
    }
}

// A gain table answers only for the setting it was worked out for, bit for bit
// (a NaN steepness included), and a spectrum too long for it is left alone.
TEST(BandMask, GainTableBelongsToOneSetting)
{
    const BandEdges edges[3] = {{10.0f, 200.0f}, {200.0f, 3000.0f}, {3000.0f, 24000.0f}};
    auto table = std::make_unique<BandGainTable>();
    table->valid = false;
    EXPECT_FALSE(BandGainsMatch(*table, kCount, 44100, edges, 0.5f));

    PrepareBandGains(*table, kCount, 44100, edges, 0.5f);
    EXPECT_TRUE(BandGainsMatch(*table, kCount, 44100, edges, 0.5f));
    EXPECT_FALSE(BandGainsMatch(*table, kCount, 48000, edges, 0.5f));
    EXPECT_FALSE(BandGainsMatch(*table, kCount - 2, 44100, edges, 0.5f));
    EXPECT_FALSE(BandGainsMatch(*table, kCount, 44100, edges, std::nextafter(0.5f, 1.0f)));
    EXPECT_FALSE(BandGainsMatch(*table, kCount, 44100, edges, -0.5f));
    for (int b = 0; b < 3; ++b) {
        BandEdges moved[3] = {edges[0], edges[1], edges[2]};
        moved[b].highHz = std::nextafter(moved[b].highHz, 0.0f);
        EXPECT_FALSE(BandGainsMatch(*table, kCount, 44100, moved, 0.5f)) << "band " << b;
    }

    PrepareBandGains(*table, kCount, 44100, edges, std::nanf(""));
    EXPECT_TRUE(BandGainsMatch(*table, kCount, 44100, edges, std::nanf("")));

    PrepareBandGains(*table, 2 * kBandGainCount + 2, 44100, edges, 0.5f);
    EXPECT_FALSE(BandGainsMatch(*table, 2 * kBandGainCount + 2, 44100, edges, 0.5f));
    std::vector<float> spectrum = test::RandomFloats(3, 5, -1.0f, 1.0f);
    const std::vector<float> before = spectrum;
    const ChannelBands channel = {{spectrum.data(), spectrum.data() + 1, spectrum.data() + 2}};
    ApplyBandGains(&channel, 1, *table);
    EXPECT_TRUE(SameBits(before, spectrum));
}

} // namespace
} // namespace korvax
