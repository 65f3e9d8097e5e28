#include "dsp/dynamics.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/dynamics_kernels.h"
#include "dsp/processor.h"
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
inline OutputPair MixAndLimit(const DynamicsCoefficients& c, GainStates& gains, bool linked, double lowL,
                              double lowR, double midL, double midR, double highL, double highR) noexcept
{
    const float sum = static_cast<float>(lowL + lowR);
    const double side = (lowL - lowR) * double(c.width);
    const float sideRounded = static_cast<float>(side);
    const float left = static_cast<float>(((double(sum) + side) * double(kHalf) + highL) + midL);
    const double right = ((double(sum) - double(sideRounded)) * double(kHalf) + highR) + midR;

    float& limiterL = gains[kLimiterLeft].gain;
    float& limiterR = gains[kLimiterRight].gain;
    if (linked)
        Link(limiterL, limiterR);
    Release(limiterL, c.limiterReleaseStep);
    LimiterAttack(limiterL, double(left), c.limiterThreshold);
    Release(limiterR, c.limiterReleaseStep);
    LimiterAttack(limiterR, right, c.limiterThreshold);

    return {static_cast<float>(double(left) * double(limiterL) * double(kOutputScale)),
            static_cast<float>(right * double(limiterR) * double(kOutputScale))};
}

#if defined(__SSE2__)
// The stage two channels at a time: lane 0 holds a band's (or the limiter's)
// left channel, lane 1 its right. Every lane takes exactly the scalar operations
// of Release, CompressorAttack, LimiterAttack, StoreGain and Compressed above, in
// the same order and with the same roundings; a lane whose condition fails keeps
// its gain, as the scalar early returns do. Quotients are formed in both lanes
// and dropped where the condition fails (with exceptions masked this changes
// nothing). Gains are held in double between pairs: each is a float value, so
// widening it once and narrowing it at the end is exact.

inline __m128d AbsPd(__m128d v) noexcept
{
    return _mm_andnot_pd(_mm_set1_pd(-0.0), v);
}

inline __m128d RoundToFloatPd(__m128d v) noexcept
{
    return _mm_cvtps_pd(_mm_cvtpd_ps(v));
}

inline __m128d SelectPd(__m128d mask, __m128d ifSet, __m128d otherwise) noexcept
{
    return _mm_or_pd(_mm_and_pd(mask, ifSet), _mm_andnot_pd(mask, otherwise));
}

// StoreGain in both lanes: where `update` is set and the value is not NaN, the
// value limited to 0 .. 1 and rounded to float; elsewhere the old gain.
inline __m128d StoreGainPd(__m128d gain, __m128d value, __m128d update) noexcept
{
    update = _mm_and_pd(update, _mm_cmpord_pd(value, value));
    // max(0, v) keeps v unless 0 > v (so -0.0 stays), min(1, v) keeps v unless 1 < v.
    value = _mm_min_pd(_mm_set1_pd(1.0), _mm_max_pd(_mm_setzero_pd(), value));
    return SelectPd(update, RoundToFloatPd(value), gain);
}

// Link: both lanes take R < L ? R : L, which is lane 0 of minpd((R, L), (L, R)).
inline __m128d LinkPd(__m128d g) noexcept
{
    const __m128d low = _mm_min_pd(_mm_shuffle_pd(g, g, 1), g);
    return _mm_unpacklo_pd(low, low);
}

inline __m128d ReleasePd(__m128d g, __m128d step) noexcept
{
    return StoreGainPd(g, _mm_add_pd(g, step), _mm_cmplt_pd(g, _mm_set1_pd(1.0)));
}

// Loads two adjacent floats widened to double.
inline __m128d LoadPairPd(const float* p) noexcept
{
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

inline void StorePairPs(float* p, __m128d v) noexcept
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
}

// The coefficients widened to double and set in both lanes, once per run of pairs.
struct BandLanes {
    __m128d threshold, blend, keep, releaseStep, outputGain;   // keep = 1 - blend, in double
};

struct StageLanes {
    BandLanes band[3];
    __m128d ratioMix, dryPart, limiterStep, limiterThreshold;
};

inline StageLanes MakeLanes(const DynamicsCoefficients& c) noexcept
{
    StageLanes l;
    for (int band = 0; band < 3; ++band) {
        const BandCoefficients& b = c.band[band];
        l.band[band].threshold = _mm_set1_pd(double(b.threshold));
        l.band[band].blend = _mm_set1_pd(double(b.attackBlend));
        l.band[band].keep = _mm_set1_pd(double(kOne) - double(b.attackBlend));
        l.band[band].releaseStep = _mm_set1_pd(double(b.releaseStep));
        l.band[band].outputGain = _mm_set1_pd(double(b.outputGain));
    }
    l.ratioMix = _mm_set1_pd(double(c.ratioMix));
    l.dryPart = _mm_set1_pd(double(c.dryPart));
    l.limiterStep = _mm_set1_pd(double(c.limiterReleaseStep));
    l.limiterThreshold = _mm_set1_pd(double(c.limiterThreshold));
    return l;
}

// Release, compressor attack and ratio mix of one band's two channels (gains
// already linked); returns the two compressed values in double, before any rounding.
inline __m128d CompressBand(const StageLanes& l, const BandLanes& b, __m128d& gain, __m128d x) noexcept
{
    __m128d g = ReleasePd(gain, b.releaseStep);
    const __m128d reached = _mm_cmpge_pd(AbsPd(_mm_mul_pd(x, g)), b.threshold);
    const __m128d target = AbsPd(_mm_div_pd(b.threshold, x));
    const __m128d lower = _mm_cmplt_pd(target, g);
    const __m128d blended = _mm_add_pd(_mm_mul_pd(b.keep, g), _mm_mul_pd(b.blend, target));
    g = StoreGainPd(g, blended, _mm_and_pd(reached, lower));
    gain = g;
    const __m128d mixed = _mm_add_pd(_mm_mul_pd(l.ratioMix, g), l.dryPart);
    return _mm_mul_pd(_mm_mul_pd(mixed, x), b.outputGain);
}

// Release and instant attack of the two limiter gains (already linked) for the
// sums y; returns the new gains.
inline __m128d LimitPd(const StageLanes& l, __m128d gain, __m128d y) noexcept
{
    const __m128d g = ReleasePd(gain, l.limiterStep);
    const __m128d reached = _mm_and_pd(_mm_cmpge_pd(AbsPd(_mm_mul_pd(y, g)), l.limiterThreshold),
                                       _mm_cmpgt_pd(g, _mm_setzero_pd()));
    return StoreGainPd(g, AbsPd(_mm_div_pd(l.limiterThreshold, y)), reached);
}

// ---- the same stage with gains held as floats ----------------------------------
//
// With the coefficients of every real setting (release steps finite and not
// negative, blends within 0 .. 1, a positive finite limiter threshold) and every
// gain within 0 .. 1, most of StoreGain's work has nothing to do, and the loop
// below leaves it out; the results are those of the code above, bit for bit:
//   - Release: g + step is at least 0 and never NaN, so it is min(1, g + step)
//     rounded to float, which is the float sum (double has more than twice
//     float's precision plus two bits, so rounding the double sum to float
//     rounds the exact sum once). At g = 1 this gives 1, as skipping does.
//   - Compressor attack: where the gain moves, 0 <= target < g <= 1, so
//     (1 - b) g + b target, with every product and the sum rounded, lies within
//     0 .. 1 and is not NaN: only the rounding to float is left.
//   - Limiter attack: |y g| >= L > 0 already means g > 0, and then |L / y| lies
//     within 0 .. 1 (within g to a double rounding, and g is either 1, where
//     |y| >= L, or below 1 by a float step): again only the rounding is left.
// Each pair's gains then pass through fewer, shorter operations, which is what
// bounds this loop: every pair waits for the previous pair's gains.

struct FloatLanes {
    __m128 releaseStep[3];
    __m128 limiterStep;
};

inline bool IsStep(float step) noexcept
{
    return step >= 0.0f && step <= 3.4028235e38f;
}

inline bool IsBlend(float blend) noexcept
{
    return blend >= 0.0f && blend <= kOne;
}

inline bool AllGainsBounded(const GainStates& gains) noexcept
{
    for (const GainState& g : gains)
        if (!(g.gain >= 0.0f && g.gain <= kOne))
            return false;
    return true;
}

bool BoundedCase(const DynamicsCoefficients& c, const GainStates& gains) noexcept
{
    for (const BandCoefficients& b : c.band)
        if (!IsStep(b.releaseStep) || !IsBlend(b.attackBlend))
            return false;
    return IsStep(c.limiterReleaseStep) && c.limiterThreshold > 0.0f && c.limiterThreshold <= 3.4028235e38f &&
           AllGainsBounded(gains);
}

// Lanes 0 and 1 of a float register from the two 64-bit lanes of a double mask.
inline __m128 FloatMask(__m128d mask) noexcept
{
    const __m128 m = _mm_castpd_ps(mask);
    return _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 0, 2, 0));
}

inline __m128 SelectPs(__m128 mask, __m128 ifSet, __m128 otherwise) noexcept
{
    return _mm_or_ps(_mm_and_ps(mask, ifSet), _mm_andnot_ps(mask, otherwise));
}

// Link on float lanes: both take R < L ? R : L.
inline __m128 LinkPs(__m128 g) noexcept
{
    const __m128 low = _mm_min_ps(_mm_shuffle_ps(g, g, _MM_SHUFFLE(3, 2, 0, 1)), g);
    return _mm_shuffle_ps(low, low, _MM_SHUFFLE(0, 0, 0, 0));
}

inline __m128 ReleasePs(__m128 g, __m128 step) noexcept
{
    return _mm_min_ps(_mm_add_ps(g, step), _mm_set1_ps(kOne));
}

// CompressBand with the gain in float lanes; returns the compressed values.
inline __m128d CompressBandBounded(const StageLanes& l, const BandLanes& b, __m128 step, __m128& gain,
                                   __m128d x) noexcept
{
    const __m128 released = ReleasePs(gain, step);
    const __m128d g = _mm_cvtps_pd(released);
    const __m128d reached = _mm_cmpge_pd(AbsPd(_mm_mul_pd(x, g)), b.threshold);
    const __m128d target = AbsPd(_mm_div_pd(b.threshold, x));
    const __m128d lower = _mm_cmplt_pd(target, g);
    const __m128 blended = _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(b.keep, g), _mm_mul_pd(b.blend, target)));
    gain = SelectPs(FloatMask(_mm_and_pd(reached, lower)), blended, released);
    const __m128d mixed = _mm_add_pd(_mm_mul_pd(l.ratioMix, _mm_cvtps_pd(gain)), l.dryPart);
    return _mm_mul_pd(_mm_mul_pd(mixed, x), b.outputGain);
}

inline __m128 LimitBounded(const StageLanes& l, __m128 step, __m128 gain, __m128d y) noexcept
{
    const __m128 released = ReleasePs(gain, step);
    const __m128d reached = _mm_cmpge_pd(AbsPd(_mm_mul_pd(y, _mm_cvtps_pd(released))), l.limiterThreshold);
    const __m128 target = _mm_cvtpd_ps(AbsPd(_mm_div_pd(l.limiterThreshold, y)));
    return SelectPs(FloatMask(reached), target, released);
}

using WideLoop = void (*)(const DynamicsCoefficients&, GainStates&, const BandValues*, OutputPair*,
                         std::int32_t) noexcept;

// The wide kernel, where the processor has it; chosen when the library loads.
WideLoop WidestDynamics() noexcept
{
#if defined(KORVAX_DYNAMICS_AVX512)
    if (processor::HasAvx512())
        return &dyn::ProcessPairsBoundedAvx512;
#endif
    return nullptr;
}

WideLoop gWideDynamics = WidestDynamics();

// The loop of ProcessDynamicsPairs for the bounded case.
void ProcessPairsBounded(const DynamicsCoefficients& c, GainStates& gains, const BandValues* bands,
                         OutputPair* out, std::int32_t count) noexcept
{
    const StageLanes l = MakeLanes(c);
    const __m128 steps[3] = {_mm_set1_ps(c.band[0].releaseStep), _mm_set1_ps(c.band[1].releaseStep),
                             _mm_set1_ps(c.band[2].releaseStep)};
    const __m128 limiterStep = _mm_set1_ps(c.limiterReleaseStep);
    const bool compress = c.compressorEnable > 0;
    const bool linked = c.stereoLink > 0;
    const __m128d width = _mm_set1_pd(double(c.width));
    const __m128d half = _mm_set1_pd(double(kHalf));
    const __m128d outputScale = _mm_set1_pd(double(kOutputScale));
    float* const g = &gains[0].gain;
    const auto loadGains = [](const float* p) {
        return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    };
    __m128 lowGain = loadGains(g);
    __m128 midGain = loadGains(g + 2);
    __m128 highGain = loadGains(g + 4);
    __m128 limiterGain = loadGains(g + 6);

    // The band stage of one pair: low, mid and high after the compressors.
    struct Banded {
        __m128d low, mid, high;
    };
    const auto bandStage = [&](const BandValues& values) {
        const float* const x = values.data();
        Banded v = {LoadPairPd(x), LoadPairPd(x + 2), LoadPairPd(x + 4)};
        if (compress) {
            if (linked) {
                lowGain = LinkPs(lowGain);
                midGain = LinkPs(midGain);
                highGain = LinkPs(highGain);
            }
            v.low = RoundToFloatPd(CompressBandBounded(l, l.band[0], steps[0], lowGain, v.low));
            const __m128d midMixed = CompressBandBounded(l, l.band[1], steps[1], midGain, v.mid);
            const __m128d highMixed = CompressBandBounded(l, l.band[2], steps[2], highGain, v.high);
            v.mid = _mm_move_sd(RoundToFloatPd(midMixed), midMixed);
            v.high = _mm_move_sd(highMixed, RoundToFloatPd(highMixed));
        }
        return v;
    };

    // The band stage runs one pair ahead of the sums and limiters: the two carry
    // separate gains from pair to pair, and written in this order the processor
    // works on both chains at once instead of one pair's stages in turn.
    Banded next = count > 0 ? bandStage(bands[0]) : Banded{};
    for (std::int32_t i = 0; i < count; ++i) {
        const Banded v = next;
        if (i + 1 < count)
            next = bandStage(bands[i + 1]);
        const __m128d low = v.low;
        const __m128d lowR = _mm_unpackhi_pd(low, low);
        const __m128d sum = RoundToFloatPd(_mm_add_sd(low, lowR));
        const __m128d side = _mm_mul_sd(_mm_sub_sd(low, lowR), width);
        const __m128d sums = _mm_unpacklo_pd(_mm_add_sd(sum, side), _mm_sub_sd(sum, RoundToFloatPd(side)));
        __m128d y = _mm_add_pd(_mm_add_pd(_mm_mul_pd(sums, half), v.high), v.mid);
        y = _mm_move_sd(y, RoundToFloatPd(y));

        if (linked)
            limiterGain = LinkPs(limiterGain);
        limiterGain = LimitBounded(l, limiterStep, limiterGain, y);
        const __m128 o = _mm_cvtpd_ps(_mm_mul_pd(_mm_mul_pd(y, _mm_cvtps_pd(limiterGain)), outputScale));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&out[i]), _mm_castps_si128(o));
    }
    const auto storeGains = [](float* p, __m128 v) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(v));
    };
    storeGains(g, lowGain);
    storeGains(g + 2, midGain);
    storeGains(g + 4, highGain);
    storeGains(g + 6, limiterGain);
}
#endif


} // namespace

// Precision: arithmetic in double. Held as float when formed: the compressed low
// left, low right, mid right and high left values, every gain state, and what
// MixAndLimit rounds. The compressed mid left and high right values stay double.
OutputPair ProcessDynamicsPortable(const DynamicsCoefficients& c, GainStates& gains, const BandValues& bands) noexcept
{
    const bool linked = c.stereoLink > 0;

    double lowL = bands[0];
    double lowR = bands[1];
    double midL = bands[2];
    double midR = bands[3];
    double highL = bands[4];
    double highR = bands[5];

    if (c.compressorEnable > 0) {
        if (linked) {
            for (int band = 0; band < 3; ++band)
                Link(gains[2 * band].gain, gains[2 * band + 1].gain);
        }
        for (int band = 0; band < 3; ++band) {
            const BandCoefficients& b = c.band[band];
            float& gainL = gains[2 * band].gain;
            float& gainR = gains[2 * band + 1].gain;
            const float xL = bands[2 * band];
            const float xR = bands[2 * band + 1];
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
    return MixAndLimit(c, gains, linked, lowL, lowR, midL, midR, highL, highR);
}

#if defined(__SSE2__)
// The same results as ProcessDynamicsPortable, bit for bit, pair after pair.
void ProcessDynamicsPairs(const DynamicsCoefficients& c, GainStates& gains, const BandValues* bands,
                          OutputPair* out, std::int32_t count) noexcept
{
    static_assert(sizeof(GainState) == sizeof(float) && sizeof(GainStates) == kGainStateCount * sizeof(float));
    if (BoundedCase(c, gains)) {
        if (gWideDynamics != nullptr)
            gWideDynamics(c, gains, bands, out, count);
        else
            ProcessPairsBounded(c, gains, bands, out, count);
        return;
    }
    const StageLanes l = MakeLanes(c);
    const bool compress = c.compressorEnable > 0;
    const bool linked = c.stereoLink > 0;
    const __m128d width = _mm_set1_pd(double(c.width));
    const __m128d half = _mm_set1_pd(double(kHalf));
    const __m128d outputScale = _mm_set1_pd(double(kOutputScale));
    float* const g = &gains[0].gain;
    __m128d lowGain = LoadPairPd(g);
    __m128d midGain = LoadPairPd(g + 2);
    __m128d highGain = LoadPairPd(g + 4);
    __m128d limiterGain = LoadPairPd(g + 6);

    for (std::int32_t i = 0; i < count; ++i) {
        const float* const x = bands[i].data();
        __m128d low = LoadPairPd(x);
        __m128d mid = LoadPairPd(x + 2);
        __m128d high = LoadPairPd(x + 4);
        if (compress) {
            if (linked) {
                lowGain = LinkPd(lowGain);
                midGain = LinkPd(midGain);
                highGain = LinkPd(highGain);
            }
            low = RoundToFloatPd(CompressBand(l, l.band[0], lowGain, low));
            const __m128d midMixed = CompressBand(l, l.band[1], midGain, mid);
            const __m128d highMixed = CompressBand(l, l.band[2], highGain, high);
            mid = _mm_move_sd(RoundToFloatPd(midMixed), midMixed);     // left double, right float
            high = _mm_move_sd(highMixed, RoundToFloatPd(highMixed));  // left float, right double
        }

        // MixAndLimit, the left sum in lane 0 and the right in lane 1.
        const __m128d lowR = _mm_unpackhi_pd(low, low);
        const __m128d sum = RoundToFloatPd(_mm_add_sd(low, lowR));        // S, lane 0
        const __m128d side = _mm_mul_sd(_mm_sub_sd(low, lowR), width);    // D, lane 0
        // Lane 0: S + D; lane 1: S - float(D).
        const __m128d sums = _mm_unpacklo_pd(_mm_add_sd(sum, side), _mm_sub_sd(sum, RoundToFloatPd(side)));
        // Lane 0 takes highL and midL, lane 1 highR and midR; the left sum is then rounded.
        __m128d y = _mm_add_pd(_mm_add_pd(_mm_mul_pd(sums, half), high), mid);
        y = _mm_move_sd(y, RoundToFloatPd(y));

        if (linked)
            limiterGain = LinkPd(limiterGain);
        limiterGain = LimitPd(l, limiterGain, y);
        const __m128 o = _mm_cvtpd_ps(_mm_mul_pd(_mm_mul_pd(y, limiterGain), outputScale));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&out[i]), _mm_castps_si128(o));
    }
    StorePairPs(g, lowGain);
    StorePairPs(g + 2, midGain);
    StorePairPs(g + 4, highGain);
    StorePairPs(g + 6, limiterGain);
}
#else
void ProcessDynamicsPairs(const DynamicsCoefficients& c, GainStates& gains, const BandValues* bands,
                          OutputPair* out, std::int32_t count) noexcept
{
    for (std::int32_t i = 0; i < count; ++i)
        out[i] = ProcessDynamicsPortable(c, gains, bands[i]);
}
#endif

namespace dyn {

bool WideDynamicsAvailable() noexcept
{
#if defined(__SSE2__)
    return WidestDynamics() != nullptr;
#else
    return false;
#endif
}

bool UseWideDynamics(bool wide) noexcept
{
    if (wide && !WideDynamicsAvailable())
        return false;
#if defined(__SSE2__)
    gWideDynamics = wide ? WidestDynamics() : nullptr;
#endif
    return true;
}

} // namespace dyn

OutputPair ProcessDynamics(const DynamicsCoefficients& c, GainStates& gains, const BandValues& bands) noexcept
{
    OutputPair out{};
    ProcessDynamicsPairs(c, gains, &bands, &out, 1);
    return out;
}

} // namespace korvax
