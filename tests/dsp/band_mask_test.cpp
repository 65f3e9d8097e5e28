#include "dsp/band_mask.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

} // namespace
} // namespace korvax
