#include "dsp/real_fft.h"

#include "dsp/fft_kernels.h"
#include "dsp/kernels.h"
#include "params/math_tables.h"

namespace korvax {
namespace {

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

int Log2(std::int32_t n) noexcept
{
    int bits = 0;
    while ((std::int32_t{1} << bits) < n)
        ++bits;
    return bits;
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

// The per-pass recurrence constants of ComplexFft for a pass of `span` floats,
// and the split pass's for n points, in the given direction: the C library's
// sines as params/library_math.h defines them, from their table.
using PassRecurrence = libm::TwiddleStep;

PassRecurrence PassConstants(std::int32_t span, std::int32_t forward) noexcept
{
    return tables::kPassTwiddleStep[forward != 0 ? 1 : 0][Log2(span)];
}

PassRecurrence SplitConstants(std::int32_t n, std::int32_t forward) noexcept
{
    return tables::kSplitTwiddleStep[forward != 0 ? 1 : 0][Log2(n)];
}

// ---- twiddle tables and kernels --------------------------------------------------

// Filled once while the library is loaded, by the recurrence the plain code runs
// per call; read-only afterwards and shared by every machine. Index 0 of each
// pair is the inverse direction, 1 the forward one.
struct Tables {
    fft::PassTwiddles pass[2];
    fft::SplitTwiddles split[2];
};
Tables gTables;

void FillTables() noexcept
{
    for (std::int32_t forward = 0; forward <= 1; ++forward) {
        fft::PassTwiddles& pass = gTables.pass[forward];
        for (std::int32_t span = 2; span < 2 * fft::kTablePoints; span *= 2) {
            const PassRecurrence c = PassConstants(span, forward);
            const double onePlusWpr = 1.0 + double(c.wpr);
            double wr = 1.0;
            double wi = 0.0;
            for (std::int32_t m = 0; m < span / 2; ++m) {
                pass.wr[span / 2 + m] = wr;
                pass.wi[span / 2 + m] = wi;
                AdvanceTwiddle(wr, wi, double(c.wpr), double(c.wpi), onePlusWpr);
            }
        }

        fft::SplitTwiddles& split = gTables.split[forward];
        const PassRecurrence c = SplitConstants(fft::kTablePoints, forward);
        const double onePlusWpr = 1.0 + double(c.wpr);
        double wr = 1.0;
        double wi = 0.0;
        for (std::int32_t k = 0; k <= fft::kTablePoints / 2; ++k) {
            split.wr[k] = wr;
            split.wi[k] = wi;
            AdvanceTwiddle(wr, wi, double(c.wpr), double(c.wpi), onePlusWpr);
        }
    }
}

// The chosen tier's transform kernels, or null for the plain code throughout.
inline const fft::Transforms* TransformKernels() noexcept
{
    return ActiveKernels().transforms;
}

// ---- the plain code --------------------------------------------------------------

// Radix-2 decimation in time over 2n floats; `span` counts floats.
// Precision: the twiddle (wr, wi) in double; tr stays double, ti is rounded to
// float; every element is rounded to float when stored, and the scale factor is
// a float.
void PlainComplexFft(float* data, std::int32_t n, std::int32_t forward) noexcept
{
    const std::int32_t floatCount = 2 * n;
    BitReversePairs(data, floatCount);

    for (std::int32_t span = 2; span < floatCount; span *= 2) {
        const std::int32_t step = 2 * span;
        const PassRecurrence c = PassConstants(span, forward);
        const double onePlusWpr = 1.0 + double(c.wpr);
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
            AdvanceTwiddle(wr, wi, double(c.wpr), double(c.wpi), onePlusWpr);
        }
    }

    const float scale = forward != 0 ? static_cast<float>(1.0 / double(floatCount)) : 2.0f;
    for (std::int32_t i = 0; i < floatCount; ++i)
        data[i] = static_cast<float>(double(data[i]) * double(scale));
}

// One step of the split pass: point k and point n - k (the mirror pair standing
// in for point n when k is 0).
// Precision: h1r, h2r and h2i in double; rounded to float: h1i, the products
// P1 = wr * h2r and P2 = wi * h2i, S = wr * h2i + wi * h2r where it enters point
// n - k (point k takes S in double), and every stored element.
struct SplitPoint {
    float* data;
    std::int32_t n;
    double c2;
    float mirrorRe;
    float mirrorIm;

    void Step(std::int32_t k, double wr, double wi) noexcept
    {
        constexpr double c1 = 0.5;
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
    }
};

// The inverse transform's final factor.
constexpr float kInverseScale = 2.0f;


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

void ComplexFft(float* data, std::int32_t n, std::int32_t forward) noexcept
{
    if (!IsSupportedSize(n))
        return;
    const fft::Transforms* const kernels = TransformKernels();
    if (kernels != nullptr && n >= fft::kMinKernelPoints && n <= fft::kTablePoints) {
        const float scale = forward != 0 ? static_cast<float>(1.0 / double(2 * n)) : kInverseScale;
        kernels->complexFft(data, Log2(n), gTables.pass[forward != 0 ? 1 : 0], scale);
    } else {
        PlainComplexFft(data, n, forward);
    }
}

// The split pass untangles the complex transform of the 2n samples, taken as n
// complex points, into the spectrum of the real samples (and back). Point n,
// which the array has no room for, is carried in the mirror pair. Its twiddles
// run the recurrence of the angle pi / n rounded to float (positive forward).
namespace {

// The split pass of RealFft in the given direction, the mirror pair's final
// value included.
void SplitPass(float* data, std::int32_t n, std::int32_t forward) noexcept
{
    SplitPoint split{data, n, 0.0, 0.0f, 0.0f};
    if (forward != 0) {
        split.c2 = -0.5;
        split.mirrorRe = data[0];
        split.mirrorIm = data[1];
    } else {
        split.mirrorRe = data[1];   // the Nyquist term
        split.mirrorIm = 0.0f;
        data[1] = 0.0f;
        split.c2 = 0.5;
    }

    const fft::Transforms* const kernels = TransformKernels();
    if (n == fft::kTablePoints && kernels != nullptr) {
        const fft::SplitTwiddles& w = gTables.split[forward != 0 ? 1 : 0];
        for (std::int32_t k = 0; k < 4; ++k)
            split.Step(k, w.wr[k], w.wi[k]);
        kernels->splitPass(data, w, split.c2);
        split.Step(n / 2, w.wr[n / 2], w.wi[n / 2]);
    } else {
        const PassRecurrence c = SplitConstants(n, forward);
        const double onePlusWpr = 1.0 + double(c.wpr);
        double wr = 1.0;
        double wi = 0.0;
        for (std::int32_t k = 0; k <= n / 2; ++k) {
            split.Step(k, wr, wi);
            AdvanceTwiddle(wr, wi, double(c.wpr), double(c.wpi), onePlusWpr);
        }
    }

    if (forward != 0)
        data[1] = split.mirrorRe;
}

} // namespace

void RealFft(float* data, std::int32_t n, std::int32_t forward) noexcept
{
    if (!IsSupportedSize(n))
        return;
    if (forward != 0)
        ComplexFft(data, n, forward);
    SplitPass(data, n, forward);
    if (forward == 0)
        ComplexFft(data, n, forward);
}

static_assert(kInverseColumnPoints == fft::kTablePoints && kInverseColumnGroups == fft::kColumnGroups &&
              kInverseColumnSamples == 2 * fft::kColumnSpan);

bool BeginInverseRealFft(float* data) noexcept
{
    const fft::Transforms* const kernels = TransformKernels();
    if (kernels == nullptr) {
        RealFft(data, kInverseColumnPoints, 0);
        return false;
    }
    SplitPass(data, kInverseColumnPoints, 0);
    kernels->complexFftHead(data, gTables.pass[0]);
    return true;
}

static_assert(kForwardSweepSteps == fft::kSweepMiddles);

// Step M needs point 3n/4 + 4M + 3, so samples up to 2 (3n/4 + 4M + 3) + 1.
std::int32_t ForwardSweepReady(std::int32_t written) noexcept
{
    constexpr std::int32_t firstNeeded = 2 * (3 * fft::kTablePoints / 4 + 3) + 2;   // samples step 0 needs
    if (written < firstNeeded)
        return 0;
    const std::int32_t ready = (written - firstNeeded) / 8 + 1;
    return ready < kForwardSweepSteps ? ready : kForwardSweepSteps;
}

void SweepForwardRealFft(float* data, std::int32_t first, std::int32_t end) noexcept
{
    const fft::Transforms* const kernels = TransformKernels();
    if (kernels == nullptr || first < 0 || end > kForwardSweepSteps || first >= end)
        return;
    kernels->firstSweep(data, gTables.pass[1], first, end);
}

void FinishForwardRealFft(float* data, std::int32_t swept) noexcept
{
    constexpr std::int32_t n = kInverseColumnPoints;
    const fft::Transforms* const kernels = TransformKernels();
    if (kernels == nullptr) {
        RealFft(data, n, 1);
        return;
    }
    if (swept < 0)
        swept = 0;
    if (swept < kForwardSweepSteps)
        kernels->firstSweep(data, gTables.pass[1], swept, kForwardSweepSteps);
    kernels->complexFftAfterSweep(data, gTables.pass[1], static_cast<float>(1.0 / double(2 * n)));
    SplitPass(data, n, 1);
}

void FinishInverseColumns(float* data, std::int32_t first, std::int32_t end) noexcept
{
    const fft::Transforms* const kernels = TransformKernels();
    if (kernels == nullptr || first < 0 || end > kInverseColumnGroups || first >= end)
        return;
    kernels->complexFftColumns(data, gTables.pass[0], kInverseScale, first, end);
}

namespace fft {

void FillTwiddleTables() noexcept
{
    FillTables();
}

} // namespace fft
} // namespace korvax
