// Every tier's transform kernels this build and processor offer, against the
// plain reference transcription, bit for bit.

#include "dsp/kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "dsp/real_fft.h"
#include "reference_fft.h"
#include "support/test_support.h"

namespace korvax {
namespace {

using test::FloatBits;
using test::SameBits;

// Identical bits, except that a NaN only has to meet a NaN: which of two NaN
// operands an instruction passes on depends on the operand order the compiler
// picks for a commutative operation, in the plain code as much as in the
// kernels, so the sign and payload of a NaN are not part of the result.
::testing::AssertionResult SameBitsOrBothNaN(const std::vector<float>& expected, const std::vector<float>& actual)
{
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const bool bothNaN = std::isnan(expected[i]) && std::isnan(actual[i]);
        if (!bothNaN && FloatBits(expected[i]) != FloatBits(actual[i]))
            return ::testing::AssertionFailure() << "element " << i << ": " << actual[i] << ", expected "
                                                 << expected[i];
    }
    return ::testing::AssertionSuccess();
}

// Runs each test once per tier, with that tier's kernels.
class FftKernels : public ::testing::TestWithParam<Isa> {
protected:
    void SetUp() override
    {
        if (!tier_.Active())
            GTEST_SKIP() << IsaName(GetParam()) << " is not available here";
    }

private:
    ScopedIsa tier_{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(AllTiers, FftKernels, ::testing::Values(Isa::kPlain, Isa::kSse2, Isa::kAvx, Isa::kAvx512),
                         [](const auto& info) { return std::string(IsaName(info.param)); });

// Both transforms, both directions, every size the engine's sizes run through.
TEST_P(FftKernels, IdenticalToPlainReferenceForEveryPowerOfTwo)
{
    for (std::int32_t n = 1; n <= 8192; n *= 2) {
        for (std::int32_t forward = 0; forward <= 1; ++forward) {
            const std::uint32_t seed = 77 + std::uint32_t(n) + 5000 * std::uint32_t(forward);
            std::vector<float> actual = test::RandomFloats(2 * std::size_t(n), seed, -1.0f, 1.0f);
            std::vector<float> expected = actual;
            RealFft(actual.data(), n, forward);
            reference::RealFft(expected.data(), n, forward);
            EXPECT_TRUE(SameBits(expected, actual)) << "real, n " << n << ", forward " << forward;

            actual = test::RandomFloats(2 * std::size_t(n), seed + 1, -1.0f, 1.0f);
            expected = actual;
            ComplexFft(actual.data(), n, forward);
            reference::ComplexFft(expected.data(), n, forward);
            EXPECT_TRUE(SameBits(expected, actual)) << "complex, n " << n << ", forward " << forward;
        }
    }
}

// Values whose roundings the vector code must reproduce exactly: zeros of both
// signs (a butterfly's sums of signed zeros), values a float ulp apart, tiny
// values whose sums and halves fall into the subnormal range, huge values whose
// sums overflow to infinity, and infinities, which turn into NaN through 0 * inf.
// The engine keeps its samples far below such levels; the transforms on their
// own still agree with the plain code.
TEST_P(FftKernels, IdenticalToPlainReferenceOnExtremeValues)
{
    constexpr float kInf = std::numeric_limits<float>::infinity();
    constexpr float kTiny = std::numeric_limits<float>::denorm_min();
    constexpr float kMax = std::numeric_limits<float>::max();
    const float palette[] = {0.0f, -0.0f, 1.0f, -1.0f, std::nextafter(1.0f, 2.0f), 1e-38f, -3e-39f, kTiny,
                             -kTiny, 1e-45f * 7, kMax, -kMax, 3e38f, 0.5f, 1e20f, -1e-20f};
    std::uint32_t state = 12345;
    auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (const std::int32_t n : {16, 64, 8192}) {
        for (const bool withInfinity : {false, true}) {
            for (std::int32_t forward = 0; forward <= 1; ++forward) {
                std::vector<float> actual(2 * std::size_t(n));
                for (float& x : actual)
                    x = next() % 4 == 0 ? palette[next() % std::size(palette)] : float(int(next() % 2001) - 1000);
                if (withInfinity)
                    actual[next() % actual.size()] = next() % 2 == 0 ? kInf : -kInf;
                std::vector<float> expected = actual;
                RealFft(actual.data(), n, forward);
                reference::RealFft(expected.data(), n, forward);
                EXPECT_TRUE(SameBitsOrBothNaN(expected, actual))
                    << "n " << n << ", forward " << forward << ", infinity " << withInfinity;
            }
        }
    }
}

// The same transform run twice on the same input gives the same bits, whatever
// the alignment of the array (the kernels accept any float pointer).
TEST_P(FftKernels, AnyAlignmentGivesTheSameResult)
{
    const std::vector<float> input = test::RandomFloats(16384, 9, -1.0f, 1.0f);
    std::vector<float> expected = input;
    reference::RealFft(expected.data(), 8192, 1);
    for (std::size_t offset = 0; offset < 4; ++offset) {
        std::vector<float> shifted(16384 + offset);
        std::copy(input.begin(), input.end(), shifted.begin() + std::ptrdiff_t(offset));
        RealFft(shifted.data() + offset, 8192, 1);
        EXPECT_TRUE(SameBits(expected.data(), shifted.data() + offset, expected.size())) << "offset " << offset;
    }
}

// The inverse transform in parts: once groups 0 .. g are finished, samples
// 0 .. 16g + 15 are final, and after every group the whole array equals the
// transform done at once, whatever parts the groups come in.
TEST_P(FftKernels, InverseInPartsEqualsTheWholeTransform)
{
    const std::int32_t n = kInverseColumnPoints;
    const std::vector<std::vector<std::int32_t>> cuts = {{0, 1, 2, 3, 4, 32}, {0, 32}, {0, 5, 17, 31, 32}};
    std::uint32_t seed = 900;
    for (const auto& cut : cuts) {
        std::vector<float> spectrum = test::RandomFloats(2 * std::size_t(n), ++seed, -1.0f, 1.0f);
        std::vector<float> expected = spectrum;
        reference::RealFft(expected.data(), n, 0);
        std::vector<float> parts = spectrum;
        const bool pending = BeginInverseRealFft(parts.data());
        EXPECT_EQ(pending, GetParam() != Isa::kPlain);
        if (pending) {
            for (std::size_t c = 0; c + 1 < cut.size(); ++c) {
                FinishInverseColumns(parts.data(), cut[c], cut[c + 1]);
                const std::size_t final = std::min<std::size_t>(16 * std::size_t(cut[c + 1]), parts.size());
                EXPECT_TRUE(SameBits(expected.data(), parts.data(), final)) << "after groups up to " << cut[c + 1];
            }
        }
        EXPECT_TRUE(SameBits(expected, parts));
    }
}

// The forward transform in steps as the samples arrive: every step touches
// only samples already written (the rest hold NaN until they are), and the
// finished transform equals the whole one, for any pattern of arrivals.
TEST_P(FftKernels, ForwardInStepsEqualsTheWholeTransform)
{
    const std::int32_t n = kInverseColumnPoints;
    for (std::uint32_t seed = 0; seed < 3; ++seed) {
        const std::vector<float> samples = test::RandomFloats(2 * std::size_t(n), 700 + seed, -1.0f, 1.0f);
        std::vector<float> expected = samples;
        reference::RealFft(expected.data(), n, 1);

        std::vector<float> data(samples.size(), std::numeric_limits<float>::quiet_NaN());
        std::uint32_t state = 99 + seed;
        std::int32_t written = 0;
        std::int32_t swept = 0;
        while (written < 2 * n) {
            state = state * 1664525u + 1013904223u;
            const std::int32_t arriving = std::min<std::int32_t>(1 + std::int32_t(state >> 20) % 700, 2 * n - written);
            std::copy_n(samples.begin() + written, arriving, data.begin() + written);
            written += arriving;
            if (seed == 2)
                continue;   // no steps on the way: the finish runs them all
            const std::int32_t ready = ForwardSweepReady(written);
            SweepForwardRealFft(data.data(), swept, ready);
            swept = ready;
        }
        EXPECT_EQ(swept, seed == 2 ? 0 : kForwardSweepSteps);
        FinishForwardRealFft(data.data(), swept);
        EXPECT_TRUE(SameBits(expected, data)) << "seed " << seed;
    }
}

} // namespace
} // namespace korvax
