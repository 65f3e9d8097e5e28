#include "dsp/dynamics.h"

#include <cmath>

#include "dsp/kernels.h"
#include "params/curves.h"

namespace korvax {
namespace {

constexpr float kStartGain = 0.1f;
constexpr float kOne = 1.0f;
constexpr float kHalf = 0.5f;
constexpr float kOutputScale = 32768.0f;   // back to the host's full scale

// Time-constant factors per band (low, mid, high): the low band reacts slowest.
constexpr float kAttackFactor[3] = {0.09f, 0.07f, 0.05f};
constexpr float kReleaseFactor[3] = {0.0961f, 0.0761f, 0.0561f};
constexpr float kLimiterReleaseFactor = 0.0761f;
constexpr float kWidthScale = 0.015625f;                    // 1/64

constexpr int kLimiterLeft = 6;
constexpr int kLimiterRight = 7;

// Stores a new gain, rounded to float once, limited to 0 .. 1. The upper limit
// is the release's stop at exactly 1.0; otherwise the followers stay in range
// with finite coefficients (a blend lies between the gain and a smaller target),
// and the lower limit and the NaN test only keep the invariant should a
// non-finite value ever reach here.
// Precision: value in double, one rounding to float.
inline void StoreGain(float& gain, double value) noexcept
{
    if (std::isnan(value))
        return;
    if (value < 0.0)
        value = 0.0;
    else if (value > double(kOne))
        value = double(kOne);
    gain = static_cast<float>(value);
}

// Release step: g + step per pair, stopping at exactly 1.0 (StoreGain's limit).
// Precision: the sum in double, rounded to float when stored.
inline void Release(float& gain, float step) noexcept
{
    if (gain < kOne)
        StoreGain(gain, double(gain) + double(step));
}

// Compressor attack: when |x * g| reaches the threshold, move g the fraction
// `blend` of the way to the target |T / x| that would bring it to the threshold.
// A NaN level or target (NaN input, or 0 / 0 for a zero band value against a
// zero threshold) fails the comparisons and leaves the gain unchanged; an
// infinite band value gives the target 0.
// Precision: product, target and blend in double; one rounding when stored.
inline void CompressorAttack(float& gain, double x, float threshold, float blend) noexcept
{
    if (!(std::fabs(x * double(gain)) >= double(threshold)))
        return;
    const double target = std::fabs(double(threshold) / x);
    if (!(target < double(gain)))
        return;
    StoreGain(gain, (double(kOne) - double(blend)) * double(gain) + double(blend) * target);
}

// Limiter attack: instant, g becomes |L / y| once |y * g| reaches L.
// Precision: product and target in double; one rounding when stored.
inline void LimiterAttack(float& gain, double y, float threshold) noexcept
{
    if (!(std::fabs(y * double(gain)) >= double(threshold)) || !(gain > 0.0f))
        return;
    StoreGain(gain, std::fabs(double(threshold) / y));
}

// Both gains of a pair take the smaller one.
inline void Link(float& a, float& b) noexcept
{
    const float lower = b < a ? b : a;
    a = lower;
    b = lower;
}

// Ratio mix and output gain of one compressed band value: ((U * g) + (1 - U)) * x * G.
// Precision: double throughout; the caller rounds where the value is held as float.
inline double Compressed(const DynamicsCoefficients& c, float gain, float x, float outputGain) noexcept
{
    return ((double(c.ratioMix) * double(gain) + double(c.dryPart)) * double(x)) * double(outputGain);
}

} // namespace

void ResetGainStates(GainStates& gains) noexcept
{
    for (GainState& state : gains)
        state.gain = kStartGain;
}

// Precision: every constant a float widened to double; the curves in double with
// the double-precision C library; each coefficient rounded to float once, and the
// dry part formed from the rounded U.
DynamicsCoefficients PrepareDynamics(const WorkingParameters& working) noexcept
{
    DynamicsCoefficients c{};
    const float thresholds[3] = {working.ThresholdLow, working.ThresholdMid, working.ThresholdHigh};
    const float outputs[3] = {working.OutLow, working.OutMid, working.OutHigh};
    for (int band = 0; band < 3; ++band) {
        c.band[band].threshold = CubeGain(thresholds[band]);
        c.band[band].attackBlend = AttackBlend(working.Attack, kAttackFactor[band]);
        c.band[band].releaseStep = ReleaseStep(working.Release, kReleaseFactor[band]);
        c.band[band].outputGain = CubeGain(outputs[band]);
    }
    c.ratioMix = RatioMix(working.Ratio);
    c.dryPart = static_cast<float>(double(kOne) - double(c.ratioMix));
    c.width = static_cast<float>(double(working.StereoWidthLow) * double(kWidthScale));
    c.limiterReleaseStep = ReleaseStep(working.LimitRelease, kLimiterReleaseFactor);
    c.limiterThreshold = LimiterThreshold(working.LimitThreshold);
    c.compressorEnable = working.CompressorEnable;
    c.stereoLink = working.StereoLink;
    return c;
}

namespace {

// The output stage after the band compressors: low-band width, the two sums and
// the limiters. Takes the six band values as the compressors leave them.
// Precision: arithmetic in double. Held as float when formed: S = lowL + lowR,
// the copy of D = (lowL - lowR) * w that enters the right sum, the left sum,
// both limiter gains and both outputs. The D of the left sum and the right sum
// stay double.
inline OutputPair MixAndLimit(const DynamicsCoefficients& c, float& limiterL, float& limiterR, bool linked,
                              double lowL, double lowR, double midL, double midR, double highL, double highR) noexcept
{
    const float sum = static_cast<float>(lowL + lowR);
    const double side = (lowL - lowR) * double(c.width);
    const float sideRounded = static_cast<float>(side);
    const float left = static_cast<float>(((double(sum) + side) * double(kHalf) + highL) + midL);
    const double right = ((double(sum) - double(sideRounded)) * double(kHalf) + highR) + midR;

    if (linked)
        Link(limiterL, limiterR);
    Release(limiterL, c.limiterReleaseStep);
    LimiterAttack(limiterL, double(left), c.limiterThreshold);
    Release(limiterR, c.limiterReleaseStep);
    LimiterAttack(limiterR, right, c.limiterThreshold);

    return {static_cast<float>(double(left) * double(limiterL) * double(kOutputScale)),
            static_cast<float>(right * double(limiterR) * double(kOutputScale))};
}

// Whether the coefficients and gains are those of every real setting: release
// steps finite and not negative, blends within 0 .. 1, a positive finite
// limiter threshold, every gain within 0 .. 1. The kernels take only these.
inline bool IsStep(float step) noexcept
{
    return step >= 0.0f && step <= 3.4028235e38f;
}

inline bool IsBlend(float blend) noexcept
{
    return blend >= 0.0f && blend <= kOne;
}

bool BoundedCase(const DynamicsCoefficients& c, const GainStates& gains) noexcept
{
    for (const BandCoefficients& b : c.band)
        if (!IsStep(b.releaseStep) || !IsBlend(b.attackBlend))
            return false;
    if (!IsStep(c.limiterReleaseStep) || !(c.limiterThreshold > 0.0f && c.limiterThreshold <= 3.4028235e38f))
        return false;
    for (const GainState& g : gains)
        if (!(g.gain >= 0.0f && g.gain <= kOne))
            return false;
    return true;
}

// One pair: the eight gains g[0 .. 7], the six band values x[0 .. 5].
// Precision: arithmetic in double. Held as float when formed: the compressed low
// left, low right, mid right and high left values, every gain state, and what
// MixAndLimit rounds. The compressed mid left and high right values stay double.
OutputPair PlainPair(const DynamicsCoefficients& c, float* g, const float* x) noexcept
{
    const bool linked = c.stereoLink > 0;

    double lowL = x[0];
    double lowR = x[1];
    double midL = x[2];
    double midR = x[3];
    double highL = x[4];
    double highR = x[5];

    if (c.compressorEnable > 0) {
        if (linked) {
            for (int band = 0; band < 3; ++band)
                Link(g[2 * band], g[2 * band + 1]);
        }
        for (int band = 0; band < 3; ++band) {
            const BandCoefficients& b = c.band[band];
            float& gainL = g[2 * band];
            float& gainR = g[2 * band + 1];
            const float xL = x[2 * band];
            const float xR = x[2 * band + 1];
            Release(gainL, b.releaseStep);
            CompressorAttack(gainL, double(xL), b.threshold, b.attackBlend);
            Release(gainR, b.releaseStep);
            CompressorAttack(gainR, double(xR), b.threshold, b.attackBlend);
            const double left = Compressed(c, gainL, xL, b.outputGain);
            const double right = Compressed(c, gainR, xR, b.outputGain);
            switch (band) {
            case 0:
                lowL = static_cast<float>(left);
                lowR = static_cast<float>(right);
                break;
            case 1:
                midL = left;
                midR = static_cast<float>(right);
                break;
            default:
                highL = static_cast<float>(left);
                highR = right;
                break;
            }
        }
    }
    return MixAndLimit(c, g[kLimiterLeft], g[kLimiterRight], linked, lowL, lowR, midL, midR, highL, highR);
}

} // namespace

namespace plain {

void DynamicsPairs(const DynamicsCoefficients& c, float* gains, const float* bands, float* out,
                   std::int32_t count, float* lowest) noexcept
{
    for (std::int32_t i = 0; i < count; ++i) {
        const OutputPair o = PlainPair(c, gains, bands + kBandValueCount * i);
        out[2 * i] = o.left;
        out[2 * i + 1] = o.right;
        if (lowest != nullptr)
            for (int k = 0; k < kGainStateCount; ++k)
                lowest[k] = gains[k] < lowest[k] ? gains[k] : lowest[k];
    }
}

} // namespace plain

OutputPair ProcessDynamicsPlain(const DynamicsCoefficients& c, GainStates& gains, const BandValues& bands) noexcept
{
    return PlainPair(c, &gains[0].gain, bands.data());
}

// The kernels see the band values, outputs and gains as rows of floats.
static_assert(sizeof(BandValues) == kBandValueCount * sizeof(float) && sizeof(OutputPair) == 2 * sizeof(float) &&
              sizeof(GainStates) == kGainStateCount * sizeof(float));

void ClearGainMeters(GainMeters& meters) noexcept
{
    meters.lowest.fill(1.0f);
    meters.pairs = 0;
}

void ProcessDynamicsPairs(const DynamicsCoefficients& c, GainStates& gains, const BandValues* bands,
                          OutputPair* out, std::int32_t count, GainMeters* meters) noexcept
{
    if (count <= 0)
        return;
    float* const g = &gains[0].gain;
    const float* const x = bands[0].data();
    float* const o = &out[0].left;
    float* const lowest = meters != nullptr ? meters->lowest.data() : nullptr;
    if (BoundedCase(c, gains))
        ActiveKernels().dynamics(c, g, x, o, count, lowest);
    else
        plain::DynamicsPairs(c, g, x, o, count, lowest);
    if (meters != nullptr)
        meters->pairs += count;
}

OutputPair ProcessDynamics(const DynamicsCoefficients& c, GainStates& gains, const BandValues& bands) noexcept
{
    OutputPair out{};
    ProcessDynamicsPairs(c, gains, &bands, &out, 1);
    return out;
}

} // namespace korvax
