#include "params/library_math.h"

#include <cmath>

namespace korvax::libm {
namespace {

constexpr float kCubeScale = 2.9291398e-6f;
constexpr double kInputScale = 3.0517578125e-05;   // 2^-15, exact
constexpr float kTimeOffset = 0.9f;
constexpr float kReleaseNumerator = 0.007f;
constexpr float kAttackNumerator = 0.055f;
constexpr float kRatioScale = 0.0078125f;                   // 1/128
constexpr float kLimiterThresholdFactor = -0.011552453f;   // -ln 2 / 60

constexpr float kLevelScale = 4.8818994e-05f;
constexpr float kLevelFloor = 0.00016f;
constexpr float kLevelFactor = 0.06f;
constexpr float kSixDecibelsPerDoubling = 0.16666667f;
constexpr float kAttackRate = 0.05f;
constexpr float kReleaseRate = 0.07f;

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

double TimeConstant(float numerator, float v, float k) noexcept
{
    const double denominator = std::exp(double(v) * double(k)) - double(kTimeOffset);
    return double(numerator) / denominator;
}

// Precision: the half angle's sine in double, squared in double; both values
// rounded to float once.
TwiddleStep Step(double halfAngleSine, double angleSine) noexcept
{
    return {static_cast<float>(-2.0 * halfAngleSine * halfAngleSine), static_cast<float>(angleSine)};
}

} // namespace

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

float SteepnessSlope(float steepness) noexcept
{
    return static_cast<float>(std::exp((0.5 * double(steepness) + 0.15) * 9.0) / std::exp(11.0));
}

float AttackBlend(float v, float k) noexcept
{
    return static_cast<float>(TimeConstant(kAttackNumerator, v, k));
}

float ReleaseStep(float v, float k) noexcept
{
    return static_cast<float>(TimeConstant(kReleaseNumerator, v, k));
}

float RatioMix(float v) noexcept
{
    return static_cast<float>(std::sqrt(double(v) * double(kRatioScale)));
}

float LimiterThreshold(float v) noexcept
{
    return static_cast<float>(std::exp(double(v) * double(kLimiterThresholdFactor)));
}

double LevelArgument(std::int32_t v) noexcept
{
    const std::int64_t n = std::int64_t(v) - 1;   // widened: v - 1 overflows for INT32_MIN
    const double m = double(n) * double(n) * double(n);
    return (m * double(kLevelScale) + double(kLevelFloor)) * double(kLevelFactor);
}

double LevelDecibels(std::int32_t v) noexcept
{
    return std::log(LevelArgument(v)) / (std::log(2.0) * double(kSixDecibelsPerDoubling));
}

double AttackMilliseconds(std::int32_t v) noexcept
{
    return std::exp(double(v) * double(kAttackRate));
}

double ReleaseMilliseconds(std::int32_t v) noexcept
{
    return std::exp(double(v) * double(kReleaseRate));
}

// theta in double; the half angle from it at full precision, the sine for wpi
// taken of theta held as a float.
TwiddleStep PassTwiddleStep(std::int32_t span, bool forward) noexcept
{
    const double theta = kTwoPi / double(forward ? span : -span);
    return Step(std::sin(theta * 0.5), std::sin(double(static_cast<float>(theta))));
}

// theta and the angle are floats; the half angle is taken from the float.
TwiddleStep SplitTwiddleStep(std::int32_t n, bool forward) noexcept
{
    const float theta = static_cast<float>(kPi / double(n));
    const float angle = forward ? theta : -theta;
    return Step(std::sin(double(angle) * 0.5), std::sin(double(angle)));
}

} // namespace korvax::libm
