#include "dsp/real_fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "reference_fft.h"
#include "support/test_support.h"

namespace korvax {
namespace {

using test::ReadVector;
using test::SameBits;

constexpr double kPi = 3.141592653589793;

std::vector<float> RandomBlock(std::size_t floats, std::uint32_t seed)
{
    return test::RandomFloats(floats, seed, -1.0f, 1.0f);
}

// The packed spectrum by the definition, X[k] = 1/N * sum x[j] e^(+2 pi i jk/N),
// in double with the angle reduced exactly (jk mod N) before the sine.
std::vector<double> NaiveForward(const std::vector<float>& x)
{
    const std::int64_t total = std::int64_t(x.size());
    std::vector<double> packed(x.size());
    for (std::int64_t bin = 0; bin <= total / 2; ++bin) {
        double re = 0.0;
        double im = 0.0;
        for (std::int64_t j = 0; j < total; ++j) {
            const double angle = 2.0 * kPi * double((j * bin) % total) / double(total);
            re += double(x[j]) * std::cos(angle);
            im += double(x[j]) * std::sin(angle);
        }
        re /= double(total);
        im /= double(total);
        if (bin == 0)
            packed[0] = re;
        else if (bin == total / 2)
            packed[1] = re;
        else {
            packed[2 * bin] = re;
            packed[2 * bin + 1] = im;
        }
    }
    return packed;
}

// x[j] = P0 + (-1)^j P1 + 2 * sum Re((P[2k] + i P[2k+1]) e^(-2 pi i jk/N)).
std::vector<double> NaiveInverse(const std::vector<float>& p)
{
    const std::int64_t total = std::int64_t(p.size());
    std::vector<double> x(p.size());
    for (std::int64_t j = 0; j < total; ++j) {
        double sum = double(p[0]) + (j % 2 == 0 ? 1.0 : -1.0) * double(p[1]);
        for (std::int64_t bin = 1; bin < total / 2; ++bin) {
            const double angle = 2.0 * kPi * double((j * bin) % total) / double(total);
            sum += 2.0 * (double(p[2 * bin]) * std::cos(angle) + double(p[2 * bin + 1]) * std::sin(angle));
        }
        x[j] = sum;
    }
    return x;
}

TEST(RealFft, MatchesReferenceVectorsBitForBit)
{
    const std::vector<float> input = ReadVector("fft8192-input.f32");
    ASSERT_EQ(input.size(), 16384u);

    std::vector<float> data = input;
    RealFft(data.data(), 8192, 1);
    EXPECT_TRUE(SameBits(ReadVector("fft8192-forward.f32"), data)) << "forward";
    RealFft(data.data(), 8192, 0);
    EXPECT_TRUE(SameBits(ReadVector("fft8192-roundtrip.f32"), data)) << "round trip";

    data = ReadVector("fft8192-spectrum.f32");
    ASSERT_EQ(data.size(), 16384u);
    RealFft(data.data(), 8192, 0);
    EXPECT_TRUE(SameBits(ReadVector("fft8192-inverse.f32"), data)) << "inverse";
}

TEST(RealFft, IdenticalToPlainReferenceForEveryPowerOfTwo)
{
    for (std::int32_t n = 1; n <= 8192; n *= 2) {
        const std::uint32_t seed = 1000 + std::uint32_t(n);
        for (std::int32_t forward = 0; forward <= 1; ++forward) {
            std::vector<float> actual = RandomBlock(2 * std::size_t(n), seed);
            std::vector<float> expected = actual;
            RealFft(actual.data(), n, forward);
            reference::RealFft(expected.data(), n, forward);
            EXPECT_TRUE(SameBits(expected, actual)) << "n " << n << ", forward " << forward << ", seed " << seed;

            actual = RandomBlock(2 * std::size_t(n), seed);
            expected = actual;
            ComplexFft(actual.data(), n, forward);
            reference::ComplexFft(expected.data(), n, forward);
            EXPECT_TRUE(SameBits(expected, actual)) << "complex, n " << n << ", forward " << forward;
        }
    }
}

TEST(RealFft, AgreesWithNaiveDftInBothDirections)
{
    constexpr std::int32_t n = 512;
    const std::vector<float> x = RandomBlock(2 * n, 7);
    // Inputs lie in [-1, 1), N = 1024. The spectrum values stay below about 0.08
    // (four standard deviations of 1/sqrt(3N)), where a float ulp is 7.5e-9; the
    // ten passes (nine butterfly passes and the split pass) each round a value by
    // under one ulp, so 7.5e-8 bounds the forward error. The samples stay below 1
    // (ulp 6e-8): ten passes give 6e-7, rounded up to 1e-6. Measured errors are
    // about a tenth (forward) and half (inverse) of these bounds.
    const std::vector<double> spectrum = NaiveForward(x);
    std::vector<float> data = x;
    RealFft(data.data(), n, 1);
    for (std::size_t e = 0; e < data.size(); ++e)
        ASSERT_NEAR(data[e], spectrum[e], 7.5e-8) << "element " << e;

    const std::vector<double> samples = NaiveInverse(data);
    RealFft(data.data(), n, 0);
    for (std::size_t j = 0; j < data.size(); ++j)
        ASSERT_NEAR(data[j], samples[j], 1e-6) << "sample " << j;
}

TEST(RealFft, SineAndCosineLandOnTheirBinWithPositiveExponent)
{
    constexpr std::int32_t n = 64;
    constexpr std::int32_t total = 2 * n;
    for (const std::int32_t bin : {1, 5, 32, 63}) {
        std::vector<float> sine(total);
        std::vector<float> cosine(total);
        for (std::int32_t j = 0; j < total; ++j) {
            sine[j] = float(std::sin(2.0 * kPi * double(j * bin % total) / total));
            cosine[j] = float(std::cos(2.0 * kPi * double(j * bin % total) / total));
        }
        RealFft(sine.data(), n, 1);
        RealFft(cosine.data(), n, 1);
        // A float ulp at 0.5 is 6e-8; the input is rounded to float and seven
        // passes round again, which leaves errors under one such ulp (4.4e-8
        // measured). 1e-7 allows less than two.
        for (std::int32_t e = 0; e < total; ++e) {
            EXPECT_NEAR(sine[e], e == 2 * bin + 1 ? 0.5 : 0.0, 1e-7) << "sine bin " << bin << " element " << e;
            EXPECT_NEAR(cosine[e], e == 2 * bin ? 0.5 : 0.0, 1e-7) << "cosine bin " << bin << " element " << e;
        }
    }
}

TEST(RealFft, ImpulseConstantAndAlternatingSignals)
{
    constexpr std::int32_t n = 256;
    constexpr std::int32_t total = 2 * n;
    // Exact in exact arithmetic; the twiddle recurrence and the 1/N scaling round.
    // A float ulp at 1/N = 1/512 is 2.3e-10: 1e-9 allows about four.
    constexpr float kTolerance = 1e-9f;

    std::vector<float> impulse(total, 0.0f);
    impulse[0] = 1.0f;
    RealFft(impulse.data(), n, 1);
    for (std::int32_t e = 0; e < total; ++e)
        EXPECT_NEAR(impulse[e], (e < 2 || e % 2 == 0) ? 1.0f / total : 0.0f, kTolerance) << "impulse " << e;

    std::vector<float> constant(total, 0.25f);
    std::vector<float> alternating(total);
    for (std::int32_t j = 0; j < total; ++j)
        alternating[j] = j % 2 == 0 ? 1.0f : -1.0f;
    RealFft(constant.data(), n, 1);
    RealFft(alternating.data(), n, 1);
    for (std::int32_t e = 0; e < total; ++e) {
        EXPECT_NEAR(constant[e], e == 0 ? 0.25f : 0.0f, kTolerance) << "constant " << e;
        EXPECT_NEAR(alternating[e], e == 1 ? 1.0f : 0.0f, kTolerance) << "alternating " << e;
    }
}

TEST(RealFft, SinglePointTransformsAreExact)
{
    float pair[2] = {1.0f, 5.0f};
    RealFft(pair, 1, 1);
    EXPECT_EQ(pair[0], 3.0f);
    EXPECT_EQ(pair[1], -2.0f);
    RealFft(pair, 1, 0);
    EXPECT_EQ(pair[0], 1.0f);
    EXPECT_EQ(pair[1], 5.0f);

    float point[2] = {1.0f, 3.0f};   // ComplexFft of one point only scales
    ComplexFft(point, 1, 1);
    EXPECT_EQ(point[0], 0.5f);
    EXPECT_EQ(point[1], 1.5f);
}

TEST(RealFft, RoundTripRestoresTheBlock)
{
    const std::vector<float> x = RandomBlock(16384, 11);
    std::vector<float> data = x;
    RealFft(data.data(), 8192, 1);
    RealFft(data.data(), 8192, 0);
    for (std::size_t j = 0; j < x.size(); ++j)
        ASSERT_NEAR(data[j], x[j], 1e-6) << "sample " << j;
}

TEST(RealFft, UnsupportedSizesLeaveTheDataAlone)
{
    std::vector<float> data = RandomBlock(24, 3);
    const std::vector<float> before = data;
    for (const std::int32_t n : {0, -4, 3, 12}) {
        RealFft(data.data(), n, 1);
        ComplexFft(data.data(), n, 0);
    }
    BitReversePairs(data.data(), 24);
    BitReversePairs(data.data(), 7);
    EXPECT_TRUE(SameBits(before, data));
}

} // namespace
} // namespace korvax
