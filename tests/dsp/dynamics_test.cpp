#include "dsp/dynamics.h"
#include "dsp/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "params/working_parameters.h"
#include "support/test_support.h"

namespace korvax {
namespace {

using test::ReadVector;
using test::SameBits;

constexpr BandValues kSilence = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};

GainStates AllGains(float value)
{
    GainStates gains;
    for (GainState& g : gains)
        g.gain = value;
    return gains;
}

TEST(Dynamics, MatchesReferenceVectorsBitForBit)
{
    WorkingParameters working = ConstructionParameters();
    working.CompressorEnable = 1;
    working.StereoLink = 1;
    const DynamicsCoefficients c = PrepareDynamics(working);

    const std::vector<float> bands = ReadVector("dynamics-bands.f32");
    ASSERT_EQ(bands.size(), 6000u * 6u);
    GainStates gains;
    ResetGainStates(gains);
    std::vector<float> out;
    for (std::size_t pair = 0; pair < 6000; ++pair) {
        const BandValues values = {bands[6 * pair], bands[6 * pair + 1], bands[6 * pair + 2],
                                   bands[6 * pair + 3], bands[6 * pair + 4], bands[6 * pair + 5]};
        const OutputPair o = ProcessDynamics(c, gains, values);
        out.push_back(o.left);
        out.push_back(o.right);
    }
    EXPECT_TRUE(SameBits(ReadVector("dynamics-out.f32"), out));
    std::vector<float> finalGains;
    for (const GainState& g : gains)
        finalGains.push_back(g.gain);
    EXPECT_TRUE(SameBits(ReadVector("dynamics-gains.f32"), finalGains));
}

// Release from 0.1 to 1.0, counting the float rounding of every step.
TEST(Dynamics, ReleaseTimesPerBandAndLimiter)
{
    WorkingParameters working = ConstructionParameters();
    working.Release = 40.0f;
    working.LimitRelease = 46.0f;
    const DynamicsCoefficients c = PrepareDynamics(working);
    GainStates gains;
    ResetGainStates(gains);

    const int expectedPairs[kGainStateCount] = {5890, 5890, 2583, 2583, 1097, 1097, 4145, 4145};
    int reachedAt[kGainStateCount] = {};
    for (int pair = 1; pair <= 6000; ++pair) {
        ProcessDynamics(c, gains, kSilence);
        for (int s = 0; s < kGainStateCount; ++s) {
            if (reachedAt[s] == 0 && gains[s].gain == 1.0f)
                reachedAt[s] = pair;
            ASSERT_LE(gains[s].gain, 1.0f);
        }
    }
    for (int s = 0; s < kGainStateCount; ++s)
        EXPECT_EQ(reachedAt[s], expectedPairs[s]) << "gain state " << s;
}

TEST(Dynamics, LimiterKeepsOutputWithinThreshold)
{
    constexpr int kPairs = 20000;
    const std::vector<float> loud = test::RandomFloats(6 * kPairs, 5, -4.0f, 4.0f);
    for (const float limitThreshold : {0.0f, 60.0f}) {
        WorkingParameters working = ConstructionParameters();
        working.LimitThreshold = limitThreshold;
        const DynamicsCoefficients c = PrepareDynamics(working);
        const double bound = limitThreshold == 0.0f ? 32768.0 : 16384.0;
        GainStates gains = AllGains(1.0f);
        for (int pair = 0; pair < kPairs; ++pair) {
            const float* v = &loud[6 * std::size_t(pair)];
            const OutputPair o = ProcessDynamics(c, gains, {v[0], v[1], v[2], v[3], v[4], v[5]});
            // The new gain |L / y| and the output are each rounded to float: two
            // float ulps (2 x 6e-8, relative) of slack.
            ASSERT_LE(std::fabs(o.left), bound * (1.0 + 1.2e-7)) << "pair " << pair;
            ASSERT_LE(std::fabs(o.right), bound * (1.0 + 1.2e-7)) << "pair " << pair;
        }
    }
}

// Loud left channel only. Unlinked, the right gains just release; linked, they
// take the left channel's reduction at the start of the next pair. The limiter
// link works even with the compressor off.
TEST(Dynamics, StereoLinkCarriesReductionsToTheOtherChannelOnePairLater)
{
    const BandValues leftOnly = {2.0f, 0.0f, 2.0f, 0.0f, 2.0f, 0.0f};
    for (const std::int32_t link : {0, 1}) {
        for (const std::int32_t compressor : {0, 1}) {
            WorkingParameters working = ConstructionParameters();
            working.StereoLink = link;
            working.CompressorEnable = compressor;
            working.StereoWidthLow = 64.0f;   // keeps the left low band out of the right sum
            const DynamicsCoefficients c = PrepareDynamics(working);
            GainStates gains = AllGains(1.0f);
            ProcessDynamics(c, gains, leftOnly);
            const GainStates afterFirst = gains;
            ProcessDynamics(c, gains, leftOnly);

            for (int band = 0; band < 4; ++band) {
                const int left = 2 * band;
                const int right = left + 1;
                EXPECT_EQ(afterFirst[right].gain, 1.0f);
                const bool limiter = band == 3;
                if (!limiter && compressor == 0) {
                    EXPECT_EQ(gains[left].gain, 1.0f) << "band gains untouched while the compressor is off";
                    EXPECT_EQ(gains[right].gain, 1.0f);
                    continue;
                }
                EXPECT_LT(afterFirst[left].gain, 1.0f) << "band " << band;
                const float step = limiter ? c.limiterReleaseStep : c.band[band].releaseStep;
                const float linkedRight = static_cast<float>(double(afterFirst[left].gain) + double(step));
                EXPECT_EQ(gains[right].gain, link > 0 ? linkedRight : 1.0f)
                    << "band " << band << ", link " << link << ", compressor " << compressor;
            }
        }
    }
}

TEST(Dynamics, SilentBandWithZeroThresholdOnlyReleases)
{
    WorkingParameters working = ConstructionParameters();
    working.ThresholdLow = 1.0f;   // threshold exactly 0
    const DynamicsCoefficients c = PrepareDynamics(working);
    ASSERT_EQ(c.band[0].threshold, 0.0f);
    GainStates gains;
    ResetGainStates(gains);
    const BandValues negativeZero = {-0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    ProcessDynamics(c, gains, negativeZero);
    EXPECT_EQ(gains[0].gain, static_cast<float>(double(0.1f) + double(c.band[0].releaseStep)));
    EXPECT_EQ(gains[1].gain, gains[0].gain);
}

TEST(Dynamics, NonFiniteBandValuesKeepGainsWithinRange)
{
    constexpr float kInf = std::numeric_limits<float>::infinity();
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    constexpr float kMax = std::numeric_limits<float>::max();
    const float hostile[] = {kNaN, kInf, -kInf, kMax, -kMax, 0.0f, 1e-45f, 0.5f};
    for (const float threshold : {0.0f, 1.0f, 29.0f}) {
        for (const std::int32_t link : {0, 1}) {
            WorkingParameters working = ConstructionParameters();
            working.ThresholdLow = working.ThresholdMid = working.ThresholdHigh = threshold;
            working.StereoLink = link;
            const DynamicsCoefficients c = PrepareDynamics(working);
            GainStates gains;
            ResetGainStates(gains);
            int pair = 0;
            for (const float a : hostile) {
                for (const float b : hostile) {
                    ProcessDynamics(c, gains, {a, b, b, a, a, b});
                    ++pair;
                    for (int s = 0; s < kGainStateCount; ++s)
                        ASSERT_TRUE(gains[s].gain >= 0.0f && gains[s].gain <= 1.0f)
                            << "state " << s << " is " << gains[s].gain << " after pair " << pair << " (" << a
                            << ", " << b << "), threshold " << threshold << ", link " << link;
                }
            }
        }
    }
}

// ProcessDynamicsPairs runs the chosen tier's kernel, which holds the gains in
// registers through a run, when coefficients and gains are in their usual
// ranges, and the plain code otherwise. Every tier must give the plain code's
// bits (ProcessDynamicsPlain, pair by pair) for every output and gain,
// including the link, the release stop at 1.0, zero and non-finite band values,
// zero thresholds and extreme blends. Outputs may differ only in which NaN they
// are.
void CompareWithPlainCode()
{
    constexpr float kInf = std::numeric_limits<float>::infinity();
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    constexpr float kMax = std::numeric_limits<float>::max();
    const float specials[] = {0.0f, -0.0f, kInf, -kInf, kNaN, kMax, -kMax, 1e-45f, -1e-45f, 1.0f, -1.0f, 1e-30f};
    const float gainSpecials[] = {0.0f, 1.0f, 0.99999994f, 0.1f, 1e-45f};

    std::mt19937 random(77);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> setting(0.0f, 128.0f);
    const auto band = [&]() -> float {
        const float pick = unit(random);
        if (pick < 0.08f)
            return specials[random() % std::size(specials)];
        // Levels spanning far below to far above any threshold.
        const float magnitude = std::ldexp(unit(random), int(random() % 40) - 30);
        return pick < 0.54f ? magnitude : -magnitude;
    };
    const auto gain = [&]() -> float {
        if (random() % 97 == 0)   // outside 0 .. 1, as no run leaves a gain: the general path
            return 1.5f;
        return unit(random) < 0.3f ? gainSpecials[random() % std::size(gainSpecials)] : unit(random);
    };

    int compared = 0;
    for (int round = 0; round < 400; ++round) {
        WorkingParameters working = ConstructionParameters();
        working.ThresholdLow = setting(random);
        working.ThresholdMid = round % 7 == 0 ? 1.0f : setting(random);   // 1: threshold 0
        working.ThresholdHigh = setting(random);
        working.OutLow = setting(random);
        working.OutMid = setting(random);
        working.OutHigh = setting(random);
        working.Attack = setting(random);
        working.Release = setting(random);
        working.Ratio = setting(random);
        working.StereoWidthLow = setting(random);
        working.LimitRelease = setting(random);
        working.LimitThreshold = setting(random);
        working.CompressorEnable = round % 5 == 4 ? 0 : 1;
        working.StereoLink = (round / 2) % 2;
        DynamicsCoefficients c = PrepareDynamics(working);
        if (round % 11 == 3) {   // blends at their ends, a release that jumps past 1.0
            c.band[0].attackBlend = 1.0f;
            c.band[1].attackBlend = 0.0f;
            c.band[2].releaseStep = 2.0f;
        }
        if (round % 13 == 5) {   // coefficients no setting yields: the general path
            c.band[0].releaseStep = -1e-3f;
            c.band[1].attackBlend = 1.5f;
            c.limiterThreshold = round % 2 == 0 ? 0.0f : std::numeric_limits<float>::quiet_NaN();
        }

        GainStates fast;
        for (GainState& g : fast)
            g.gain = gain();
        GainStates plain = fast;
        // Every other round keeps the gain meters: the outputs and gains must
        // not change, and the meters must hold the smallest gain of each state
        // after any pair, as the plain code goes through them.
        const bool metered = round % 2 == 1;
        GainMeters meters;
        ClearGainMeters(meters);
        std::array<float, kGainStateCount> lowest;
        lowest.fill(1.0f);
        // Runs through ProcessDynamicsPairs, which carries the gains from pair
        // to pair within a run: mostly 1 .. 40 pairs, now and then up to 150.
        for (int pair = 0; pair < 200;) {
            const int longest = random() % 4 == 0 ? 150 : 40;
            const int run = std::min(1 + int(random() % longest), 200 - pair);
            std::vector<BandValues> values(run);
            for (BandValues& v : values)
                v = {band(), band(), band(), band(), band(), band()};
            std::vector<OutputPair> out(run);
            ProcessDynamicsPairs(c, fast, values.data(), out.data(), run, metered ? &meters : nullptr);
            for (int i = 0; i < run; ++i, ++pair) {
                const OutputPair b = ProcessDynamicsPlain(c, plain, values[i]);
                for (int k = 0; k < kGainStateCount; ++k)
                    lowest[k] = std::min(lowest[k], plain[k].gain);
                const auto same = [](float x, float y) {
                    return test::FloatBits(x) == test::FloatBits(y) || (std::isnan(x) && std::isnan(y));
                };
                ASSERT_TRUE(same(out[i].left, b.left)) << "round " << round << ", pair " << pair;
                ASSERT_TRUE(same(out[i].right, b.right)) << "round " << round << ", pair " << pair;
                ++compared;
            }
            for (int s = 0; s < kGainStateCount; ++s)
                ASSERT_EQ(test::FloatBits(fast[s].gain), test::FloatBits(plain[s].gain))
                    << "state " << s << ", round " << round << ", pair " << pair;
            if (metered) {
                ASSERT_EQ(meters.pairs, pair);
                for (int s = 0; s < kGainStateCount; ++s)
                    ASSERT_EQ(test::FloatBits(meters.lowest[s]), test::FloatBits(lowest[s]))
                        << "meter " << s << ", round " << round << ", pair " << pair;
            }
        }
    }
    EXPECT_EQ(compared, 400 * 200);
}

// Band values right at a threshold: the threshold is |x * g| rounded to float,
// so it falls just below, on or just above the exact level, and the target
// |T / x| just below, on or above g. The wide path decides the attack by the
// target alone; here the attack's first test and the target's test meet.
void CompareAtThresholds()
{
    std::mt19937 random(5);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int trial = 0; trial < 3000; ++trial) {
        WorkingParameters working = ConstructionParameters();
        working.StereoLink = trial % 2;
        DynamicsCoefficients c = PrepareDynamics(working);
        GainStates fast;
        for (GainState& g : fast)
            g.gain = unit(random);
        BandValues values;
        for (int b = 0; b < 3; ++b) {
            c.band[b].releaseStep = 0.0f;   // the gain tested is the gain held
            const float x = std::ldexp(unit(random) - 0.5f, int(random() % 20) - 10);
            values[2 * b] = x;
            values[2 * b + 1] = -x * 0.75f;
            const float g = std::min(fast[2 * b].gain, fast[2 * b + 1].gain);
            fast[2 * b].gain = fast[2 * b + 1].gain = g;
            c.band[b].threshold = static_cast<float>(std::fabs(double(x) * double(g)));
        }
        GainStates plain = fast;
        OutputPair out;
        ProcessDynamicsPairs(c, fast, &values, &out, 1);
        const OutputPair expected = ProcessDynamicsPlain(c, plain, values);
        ASSERT_EQ(test::FloatBits(out.left), test::FloatBits(expected.left)) << "trial " << trial;
        ASSERT_EQ(test::FloatBits(out.right), test::FloatBits(expected.right)) << "trial " << trial;
        for (int s = 0; s < kGainStateCount; ++s)
            ASSERT_EQ(test::FloatBits(fast[s].gain), test::FloatBits(plain[s].gain))
                << "state " << s << ", trial " << trial;
    }
}

TEST(Dynamics, EveryTierMatchesThePlainCodeBitForBit)
{
    for (const Isa isa : {Isa::kPlain, Isa::kSse2, Isa::kAvx, Isa::kAvx512}) {
        const ScopedIsa tier(isa);
        if (!tier.Active())
            continue;
        SCOPED_TRACE(IsaName(isa));
        CompareWithPlainCode();
        CompareAtThresholds();
    }
}

} // namespace
} // namespace korvax
