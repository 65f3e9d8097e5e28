#include "params/curves.h"

#include "params/library_math.h"
#include "params/math_tables.h"

#if defined(__FAST_MATH__)
#error "Results are compared bit for bit: build without fast-math."
#endif
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "Build with SSE2 scalar arithmetic; x87 excess precision changes results."
#endif

namespace korvax {
namespace {

constexpr float kCubeScale = 2.9291398e-6f;
constexpr float kSteepnessBytes = 128.0f;   // steepness = byte / 128, exact

// The index of `k` in a table's list of factors, or -1.
int FactorIndex(const float (&factors)[3], float k) noexcept
{
    for (int i = 0; i < 3; ++i)
        if (factors[i] == k)
            return i;
    return -1;
}

} // namespace

float CubeGain(float v) noexcept
{
    const double d = double(v) - 1.0;
    return static_cast<float>(d * d * d * double(kCubeScale));
}

float InputGain(float v) noexcept
{
    const int byte = tables::ByteIndex(v);
    return byte >= 0 ? tables::kInputGain[byte] : libm::InputGain(v);
}

float SplitFrequency(float v) noexcept
{
    const int byte = tables::ByteIndex(v);
    return byte >= 0 ? tables::kSplitFrequency[byte] : libm::SplitFrequency(v);
}

float ReleaseStep(float v, float k) noexcept
{
    const int byte = tables::ByteIndex(v);
    const int factor = FactorIndex(tables::kReleaseFactors, k);
    return byte >= 0 && factor >= 0 ? tables::kReleaseStep[factor][byte] : libm::ReleaseStep(v, k);
}

float AttackBlend(float v, float k) noexcept
{
    const int byte = tables::ByteIndex(v);
    const int factor = FactorIndex(tables::kAttackFactors, k);
    return byte >= 0 && factor >= 0 ? tables::kAttackBlend[factor][byte] : libm::AttackBlend(v, k);
}

float RatioMix(float v) noexcept
{
    const int byte = tables::ByteIndex(v);
    return byte >= 0 ? tables::kRatioMix[byte] : libm::RatioMix(v);
}

float LimiterThreshold(float v) noexcept
{
    const int byte = tables::ByteIndex(v);
    return byte >= 0 ? tables::kLimiterThreshold[byte] : libm::LimiterThreshold(v);
}

// The engine's steepness is byte * 2^-7, which times 128 gives the byte back exactly.
float SteepnessSlope(float steepness) noexcept
{
    const int byte = tables::ByteIndex(steepness * kSteepnessBytes);
    return byte >= 0 ? tables::kSteepnessSlope[byte] : libm::SteepnessSlope(steepness);
}

} // namespace korvax
