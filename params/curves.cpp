#include "params/curves.h"

#include <cmath>

#if defined(__FAST_MATH__)
#error "Results are compared bit for bit: build without fast-math."
#endif
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "Build with SSE2 scalar arithmetic; x87 excess precision changes results."
#endif

namespace korvax {
namespace {

constexpr float kCubeScale = 2.9291398e-6f;
constexpr double kInputScale = 3.0517578125e-05;   // 2^-15, exact
constexpr float kTimeOffset = 0.9f;
constexpr float kReleaseNumerator = 0.007f;
constexpr float kAttackNumerator = 0.055f;

double TimeConstant(float numerator, float v, float k) noexcept
{
    const double denominator = std::exp(double(v) * double(k)) - double(kTimeOffset);
    return double(numerator) / denominator;
}

} // namespace

float CubeGain(float v) noexcept
{
    const double d = double(v) - 1.0;
    return static_cast<float>(d * d * d * double(kCubeScale));
}

float InputGain(float v) noexcept
{
    const double cube = std::pow(double(v) - 1.0, 3.0);
    return static_cast<float>(cube * double(kCubeScale) * kInputScale);
}

float SplitFrequency(float v) noexcept
{
    const double ln18 = std::log(18.0);
    const double ln24000 = std::log(24000.0);
    return static_cast<float>(std::exp(ln18 + (ln24000 - ln18) * double(v) * 0.0078125));
}

float ReleaseStep(float v, float k) noexcept
{
    return static_cast<float>(TimeConstant(kReleaseNumerator, v, k));
}

float AttackBlend(float v, float k) noexcept
{
    return static_cast<float>(TimeConstant(kAttackNumerator, v, k));
}

} // namespace korvax
