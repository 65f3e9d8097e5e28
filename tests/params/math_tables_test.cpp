// The tables of C library results against the C library, entry by entry, and
// the curves' choice between table and library.

#include <cstring>

#include <gtest/gtest.h>

#include "params/curves.h"
#include "params/library_math.h"
#include "params/math_tables.h"

namespace korvax {
namespace {

template <class T>
bool SameBits(T a, T b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(MathTables, EveryCurveEntryIsTheLibrarysResult)
{
    for (int v = 0; v < tables::kBytes; ++v) {
        const float x = float(v);
        EXPECT_TRUE(SameBits(tables::kInputGain[v], libm::InputGain(x))) << "input gain " << v;
        EXPECT_TRUE(SameBits(tables::kSplitFrequency[v], libm::SplitFrequency(x))) << "split frequency " << v;
        EXPECT_TRUE(SameBits(tables::kSteepnessSlope[v], libm::SteepnessSlope(x * 0.0078125f))) << "slope " << v;
        EXPECT_TRUE(SameBits(tables::kRatioMix[v], libm::RatioMix(x))) << "ratio mix " << v;
        EXPECT_TRUE(SameBits(tables::kLimiterThreshold[v], libm::LimiterThreshold(x))) << "limiter threshold " << v;
        for (int f = 0; f < 3; ++f) {
            EXPECT_TRUE(SameBits(tables::kAttackBlend[f][v], libm::AttackBlend(x, tables::kAttackFactors[f])))
                << "attack blend " << f << " " << v;
            EXPECT_TRUE(SameBits(tables::kReleaseStep[f][v], libm::ReleaseStep(x, tables::kReleaseFactors[f])))
                << "release step " << f << " " << v;
        }
        EXPECT_TRUE(SameBits(tables::kLevelDecibels[v], libm::LevelDecibels(v))) << "level " << v;
        EXPECT_TRUE(SameBits(tables::kAttackMilliseconds[v], libm::AttackMilliseconds(v))) << "attack ms " << v;
        EXPECT_TRUE(SameBits(tables::kReleaseMilliseconds[v], libm::ReleaseMilliseconds(v))) << "release ms " << v;
    }
}

// Every span a pass can have (2 .. 2^29 floats) and every point count (1 .. 2^29).
TEST(MathTables, EveryTwiddleStepIsTheLibrarysResult)
{
    for (int forward = 0; forward <= 1; ++forward) {
        for (int log2 = 0; log2 < tables::kSizeSteps; ++log2) {
            const std::int32_t size = std::int32_t{1} << log2;
            const libm::TwiddleStep split = libm::SplitTwiddleStep(size, forward != 0);
            EXPECT_TRUE(SameBits(tables::kSplitTwiddleStep[forward][log2].wpr, split.wpr)) << forward << " " << log2;
            EXPECT_TRUE(SameBits(tables::kSplitTwiddleStep[forward][log2].wpi, split.wpi)) << forward << " " << log2;
            if (log2 == 0)
                continue;
            const libm::TwiddleStep pass = libm::PassTwiddleStep(size, forward != 0);
            EXPECT_TRUE(SameBits(tables::kPassTwiddleStep[forward][log2].wpr, pass.wpr)) << forward << " " << log2;
            EXPECT_TRUE(SameBits(tables::kPassTwiddleStep[forward][log2].wpi, pass.wpi)) << forward << " " << log2;
        }
    }
}

// Whole numbers 0 .. 254 come from the tables; everything else (fractions, a
// negative zero, values beyond, factors the stage does not use) is computed, so
// the curves keep their definition for every argument.
TEST(MathTables, CurvesReadBytesFromTheTablesAndComputeTheRest)
{
    EXPECT_TRUE(SameBits(SplitFrequency(42.0f), tables::kSplitFrequency[42]));
    EXPECT_TRUE(SameBits(SteepnessSlope(0.5f), tables::kSteepnessSlope[64]));
    EXPECT_TRUE(SameBits(ReleaseStep(40.0f, 0.0761f), tables::kReleaseStep[1][40]));
    for (const float v : {-0.0f, 0.5f, 42.25f, 254.5f, 255.0f, 1000.0f, -3.0f, 1e30f}) {
        EXPECT_TRUE(SameBits(InputGain(v), libm::InputGain(v))) << v;
        EXPECT_TRUE(SameBits(SplitFrequency(v), libm::SplitFrequency(v))) << v;
        EXPECT_TRUE(SameBits(RatioMix(v), libm::RatioMix(v))) << v;
        EXPECT_TRUE(SameBits(LimiterThreshold(v), libm::LimiterThreshold(v))) << v;
        EXPECT_TRUE(SameBits(AttackBlend(v, 0.07f), libm::AttackBlend(v, 0.07f))) << v;
        EXPECT_TRUE(SameBits(SteepnessSlope(v / 128.0f), libm::SteepnessSlope(v / 128.0f))) << v;
    }
    EXPECT_TRUE(SameBits(RatioMix(-0.0f), -0.0f));   // the table's entry 0 is +0
    EXPECT_TRUE(SameBits(AttackBlend(40.0f, 0.08f), libm::AttackBlend(40.0f, 0.08f)));
    EXPECT_TRUE(SameBits(SteepnessSlope(0.3f), libm::SteepnessSlope(0.3f)));
}

} // namespace
} // namespace korvax
