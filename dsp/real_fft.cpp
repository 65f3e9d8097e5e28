#include "dsp/real_fft.h"

#include <cmath>

namespace korvax {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

// The transforms are defined for n a power of two of at least 1; other sizes
// would index outside the array, so they leave the data unchanged. The largest
// n keeps every float index (below 2 * 2n) within a 32-bit integer.
constexpr std::int32_t kMaxPoints = std::int32_t{1} << 29;

constexpr bool IsPowerOfTwo(std::int32_t n) noexcept
{
    return n >= 1 && (n & (n - 1)) == 0;
}

constexpr bool IsSupportedSize(std::int32_t n) noexcept
{
    return IsPowerOfTwo(n) && n <= kMaxPoints;
}

// One step of the twiddle recurrence: (wr, wi) turns by the angle whose
// (cos - 1, sin) are (wpr, wpi). Both new values come from the old pair.
// Precision: all double; onePlusWpr is 1 + wpr formed once by the caller.
inline void AdvanceTwiddle(double& wr, double& wi, double wpr, double wpi, double onePlusWpr) noexcept
{
    const double oldWr = wr;
    wr = oldWr + (oldWr * wpr - wi * wpi);
    wi = wi * onePlusWpr + oldWr * wpi;
}

} // namespace

// Precision: integer index arithmetic only; floats are moved, never changed.
void BitReversePairs(float* data, std::int32_t floatCount) noexcept
{
    if (floatCount % 2 != 0 || !IsSupportedSize(floatCount / 2))
        return;
    std::int32_t j = 0;
    for (std::int32_t i = 0; i < floatCount; i += 2) {
        if (j > i) {
            const float re = data[j];
            const float im = data[j + 1];
            data[j] = data[i];
            data[j + 1] = data[i + 1];
            data[i] = re;
            data[i + 1] = im;
        }
        std::int32_t m = floatCount / 2;
        while (m >= 2 && j >= m) {
            j -= m;
            m /= 2;
        }
        j += m;
    }
}

// Radix-2 decimation in time over 2n floats; `span` counts floats.
// Precision: theta and the twiddle (wr, wi) in double; wpr and wpi rounded to
// float once per pass (wpr from the double half angle, wpi from sin of theta
// rounded to float); tr stays double, ti is rounded to float; every element is
// rounded to float when stored, and the scale factor is a float.
void ComplexFft(float* data, std::int32_t n, std::int32_t forward) noexcept
{
    if (!IsSupportedSize(n))
        return;
    const std::int32_t floatCount = 2 * n;
    BitReversePairs(data, floatCount);

    for (std::int32_t span = 2; span < floatCount; span *= 2) {
        const std::int32_t step = 2 * span;
        const double theta = kTwoPi / double(forward != 0 ? span : -span);
        const double halfSine = std::sin(theta * 0.5);
        const float wpr = static_cast<float>(-2.0 * halfSine * halfSine);
        const float wpi = static_cast<float>(std::sin(double(static_cast<float>(theta))));
        const double onePlusWpr = 1.0 + double(wpr);
        double wr = 1.0;
        double wi = 0.0;
        for (std::int32_t m = 0; m < span; m += 2) {
            for (std::int32_t i = m; i < floatCount; i += step) {
                const std::int32_t j = i + span;
                const double tr = wr * double(data[j]) - wi * double(data[j + 1]);
                const float ti = static_cast<float>(wr * double(data[j + 1]) + wi * double(data[j]));
                data[j] = static_cast<float>(double(data[i]) - tr);
                data[j + 1] = static_cast<float>(double(data[i + 1]) - double(ti));
                data[i] = static_cast<float>(double(data[i]) + tr);
                data[i + 1] = static_cast<float>(double(data[i + 1]) + double(ti));
            }
            AdvanceTwiddle(wr, wi, double(wpr), double(wpi), onePlusWpr);
        }
    }

    const float scale = forward != 0 ? static_cast<float>(1.0 / double(floatCount)) : 2.0f;
    for (std::int32_t i = 0; i < floatCount; ++i)
        data[i] = static_cast<float>(double(data[i]) * double(scale));
}

// The split pass untangles the complex transform of the 2n samples, taken as n
// complex points, into the spectrum of the real samples (and back). Point n,
// which the array has no room for, is carried in the mirror pair.
// Precision: theta, wpr and wpi rounded to float (the half angle taken from the
// float theta); the twiddle, 1 + wpr, h1r, h2r and h2i in double. Rounded to
// float: h1i; the products P1 = wr * h2r and P2 = wi * h2i; S = wr * h2i + wi * h2r
// where it enters point n - k (point k takes S in double); every stored element.
void RealFft(float* data, std::int32_t n, std::int32_t forward) noexcept
{
    if (!IsSupportedSize(n))
        return;
    constexpr double c1 = 0.5;
    const float theta = static_cast<float>(kPi / double(n));
    double c2 = 0.0;
    float angle = 0.0f;
    float mirrorRe = 0.0f;
    float mirrorIm = 0.0f;
    if (forward != 0) {
        ComplexFft(data, n, forward);
        c2 = -0.5;
        angle = theta;
        mirrorRe = data[0];
        mirrorIm = data[1];
    } else {
        mirrorRe = data[1];   // the Nyquist term
        mirrorIm = 0.0f;
        data[1] = 0.0f;
        c2 = 0.5;
        angle = -theta;
    }

    const double halfSine = std::sin(double(angle) * 0.5);
    const float wpr = static_cast<float>(-2.0 * halfSine * halfSine);
    const float wpi = static_cast<float>(std::sin(double(angle)));
    const double onePlusWpr = 1.0 + double(wpr);
    double wr = 1.0;
    double wi = 0.0;

    for (std::int32_t k = 0; k <= n / 2; ++k) {
        float* const a = data + 2 * k;
        float* const b = k == 0 ? nullptr : data + 2 * (n - k);
        const float aRe = a[0];
        const float aIm = a[1];
        const float bRe = b != nullptr ? b[0] : mirrorRe;
        const float bIm = b != nullptr ? b[1] : mirrorIm;

        const double h1r = c1 * (double(aRe) + double(bRe));
        const float h1i = static_cast<float>(c1 * (double(aIm) - double(bIm)));
        const double h2r = -c2 * (double(aIm) + double(bIm));
        const double h2i = c2 * (double(aRe) - double(bRe));

        const float p1 = static_cast<float>(wr * h2r);
        const float p2 = static_cast<float>(wi * h2i);
        const double sum = wr * h2i + wi * h2r;
        const float sumRounded = static_cast<float>(sum);

        a[0] = static_cast<float>((h1r + double(p1)) - double(p2));
        a[1] = static_cast<float>(double(h1i) + sum);
        const float otherRe = static_cast<float>((h1r - double(p1)) + double(p2));
        const float otherIm = static_cast<float>(-double(h1i) + double(sumRounded));
        if (b != nullptr) {
            b[0] = otherRe;
            b[1] = otherIm;
        } else {
            mirrorRe = otherRe;
            mirrorIm = otherIm;
        }

        AdvanceTwiddle(wr, wi, double(wpr), double(wpi), onePlusWpr);
    }

    if (forward != 0)
        data[1] = mirrorRe;
    else
        ComplexFft(data, n, forward);
}

} // namespace korvax
