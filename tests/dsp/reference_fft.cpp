#include "reference_fft.h"

#include <cmath>
#include <utility>

namespace korvax::reference {
namespace {

// Every place a value is held as a 32-bit float goes through this.
float Round32(double x)
{
    return static_cast<float>(x);
}

} // namespace

void BitReversePairs(float* data, std::int32_t floatCount)
{
    std::int32_t j = 0;
    for (std::int32_t i = 0; i < floatCount; i += 2) {
        if (j > i) {
            std::swap(data[i], data[j]);
            std::swap(data[i + 1], data[j + 1]);
        }
        std::int32_t m = floatCount / 2;
        while (m >= 2 && j >= m) {
            j = j - m;
            m = m / 2;
        }
        j = j + m;
    }
}

void ComplexFft(float* data, std::int32_t n, std::int32_t forward)
{
    const std::int32_t floats = 2 * n;
    BitReversePairs(data, floats);
    for (std::int32_t span = 2; span < floats; span = 2 * span) {
        const std::int32_t step = 2 * span;
        double theta = 0.0;
        if (forward != 0)
            theta = 6.283185307179586 / double(span);
        else
            theta = 6.283185307179586 / double(-span);
        const double halfAngleSine = std::sin(theta / 2.0);
        const float wpr = Round32(-2.0 * halfAngleSine * halfAngleSine);
        const float wpi = Round32(std::sin(double(Round32(theta))));
        double wr = 1.0;
        double wi = 0.0;
        for (std::int32_t m = 0; m <= span - 2; m += 2) {
            for (std::int32_t i = m; i < floats; i += step) {
                const std::int32_t j = i + span;
                const double tr = wr * double(data[j]) - wi * double(data[j + 1]);
                const float ti = Round32(wr * double(data[j + 1]) + wi * double(data[j]));
                data[j] = Round32(double(data[i]) - tr);
                data[j + 1] = Round32(double(data[i + 1]) - double(ti));
                data[i] = Round32(double(data[i]) + tr);
                data[i + 1] = Round32(double(data[i + 1]) + double(ti));
            }
            const double oldWr = wr;
            const double oldWi = wi;
            wr = oldWr + (oldWr * double(wpr) - oldWi * double(wpi));
            wi = oldWi * (1.0 + double(wpr)) + oldWr * double(wpi);
        }
    }
    float factor = 2.0f;
    if (forward != 0)
        factor = Round32(1.0 / double(floats));
    for (std::int32_t i = 0; i < floats; ++i)
        data[i] = Round32(double(data[i]) * double(factor));
}

void RealFft(float* data, std::int32_t n, std::int32_t forward)
{
    const float theta = Round32(3.141592653589793 / double(n));
    const double c1 = 0.5;
    double c2 = 0.0;
    float angle = 0.0f;
    float mirror[2] = {0.0f, 0.0f};   // stands in for point n

    if (forward != 0) {
        ComplexFft(data, n, forward);
        c2 = -0.5;
        angle = theta;
        mirror[0] = data[0];
        mirror[1] = data[1];
    } else {
        mirror[0] = data[1];
        mirror[1] = 0.0f;
        data[1] = 0.0f;
        c2 = 0.5;
        angle = -theta;
    }

    const double halfAngleSine = std::sin(double(angle) / 2.0);
    const float wpr = Round32(-2.0 * halfAngleSine * halfAngleSine);
    const float wpi = Round32(std::sin(double(angle)));
    const double onePlusWpr = 1.0 + double(wpr);
    double wr = 1.0;
    double wi = 0.0;

    for (std::int32_t k = 0; k <= n / 2; ++k) {
        float* a = &data[2 * k];
        float* b = (k == 0) ? mirror : &data[2 * (n - k)];
        const float are = a[0];
        const float aim = a[1];
        const float bre = b[0];
        const float bim = b[1];

        const double h1r = c1 * (double(are) + double(bre));
        const float h1i = Round32(c1 * (double(aim) - double(bim)));
        const double h2r = -c2 * (double(aim) + double(bim));
        const double h2i = c2 * (double(are) - double(bre));

        const float wrH2r = Round32(wr * h2r);
        const float wiH2i = Round32(wi * h2i);
        const double imaginarySum = wr * h2i + wi * h2r;

        a[0] = Round32(double(h1r) + double(wrH2r) - double(wiH2i));
        a[1] = Round32(double(h1i) + imaginarySum);
        b[0] = Round32(double(h1r) - double(wrH2r) + double(wiH2i));
        b[1] = Round32(-double(h1i) + double(Round32(imaginarySum)));

        const double oldWr = wr;
        const double oldWi = wi;
        wr = oldWr + (oldWr * double(wpr) - oldWi * double(wpi));
        wi = oldWi * onePlusWpr + oldWr * double(wpi);
    }

    if (forward != 0)
        data[1] = mirror[0];
    else
        ComplexFft(data, n, forward);
}

} // namespace korvax::reference
