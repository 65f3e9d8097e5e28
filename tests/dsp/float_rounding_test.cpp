// Guards the build flags against a GCC 12 SLP-vectoriser fault: in a loop of the
// transforms' split-pass shape it packs two values that are rounded to float
// (h1i and p2 below) into one double vector and feeds the unrounded doubles into
// the following double sums. -fno-tree-slp-vectorize avoids it. This shape
// (in-place pairs, each rounded value used both in a double sum and as a float)
// is the smallest found to trigger it at -O2; simpler elementwise loops do not.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/test_support.h"

namespace korvax {
namespace {

constexpr double kWr = 0.8;
constexpr double kWi = 0.6;

// Written plainly, for the optimiser to work on.
__attribute__((noinline)) void PairLoop(float* data, std::int32_t n)
{
    for (std::int32_t k = 1; k <= n / 2; ++k) {
        float* a = data + 2 * k;
        float* b = data + 2 * (n - k);
        const float aRe = a[0], aIm = a[1], bRe = b[0], bIm = b[1];
        const double h1r = 0.5 * (double(aRe) + double(bRe));
        const float h1i = static_cast<float>(0.5 * (double(aIm) - double(bIm)));
        const double h2r = 0.5 * (double(aIm) + double(bIm));
        const double h2i = -0.5 * (double(aRe) - double(bRe));
        const float p1 = static_cast<float>(kWr * h2r);
        const float p2 = static_cast<float>(kWi * h2i);
        const double s = kWr * h2i + kWi * h2r;
        a[0] = static_cast<float>((h1r + double(p1)) - double(p2));
        a[1] = static_cast<float>(double(h1i) + s);
        b[0] = static_cast<float>((h1r - double(p1)) + double(p2));
        b[1] = static_cast<float>(-double(h1i) + double(static_cast<float>(s)));
    }
}

// The same, with every float rounding forced through memory; `rounded` false
// instead keeps the values in double, as the faulty code does.
__attribute__((noinline)) void PairLoopScalar(float* data, std::int32_t n, bool rounded)
{
    for (std::int32_t k = 1; k <= n / 2; ++k) {
        float* a = data + 2 * k;
        float* b = data + 2 * (n - k);
        const float aRe = a[0], aIm = a[1], bRe = b[0], bIm = b[1];
        const double h1r = 0.5 * (double(aRe) + double(bRe));
        const double h1iExact = 0.5 * (double(aIm) - double(bIm));
        const double h2r = 0.5 * (double(aIm) + double(bIm));
        const double h2i = -0.5 * (double(aRe) - double(bRe));
        const double p2Exact = kWi * h2i;
        volatile float h1i = static_cast<float>(h1iExact);
        volatile float p1 = static_cast<float>(kWr * h2r);
        volatile float p2 = static_cast<float>(p2Exact);
        const double s = kWr * h2i + kWi * h2r;
        volatile float sRounded = static_cast<float>(s);
        const double h1iUsed = rounded ? double(h1i) : h1iExact;
        const double p2Used = rounded ? double(p2) : p2Exact;
        a[0] = static_cast<float>((h1r + double(p1)) - p2Used);
        a[1] = static_cast<float>(h1iUsed + s);
        b[0] = static_cast<float>((h1r - double(p1)) + double(p2));
        b[1] = static_cast<float>(-double(h1i) + double(sRounded));
    }
}

TEST(FloatRounding, RoundedProductFeedingDoubleSumSurvivesOptimisation)
{
    constexpr std::int32_t n = 256;
    const std::vector<float> input = test::RandomFloats(2 * n, 42, -1.0f, 1.0f);

    std::vector<float> optimised = input;
    std::vector<float> expected = input;
    std::vector<float> unrounded = input;
    PairLoop(optimised.data(), n);
    PairLoopScalar(expected.data(), n, true);
    PairLoopScalar(unrounded.data(), n, false);

    ASSERT_FALSE(test::SameBits(expected, unrounded)) << "the data must expose a dropped rounding";
    EXPECT_TRUE(test::SameBits(expected, optimised))
        << "the compiler dropped a float rounding: check -fno-tree-slp-vectorize and -ffp-contract=off";
}

} // namespace
} // namespace korvax
