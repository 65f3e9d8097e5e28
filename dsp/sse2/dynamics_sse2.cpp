// The dynamics stage on SSE2, for coefficients and gains in their usual ranges
// (BoundedCase in dynamics.cpp): lane 0 holds a band's (or the limiter's) left
// channel, lane 1 its right. Every lane takes the operations of the plain code
// in dynamics.cpp (Release, CompressorAttack, LimiterAttack, StoreGain,
// Compressed, MixAndLimit) in the same order and with the same roundings; a
// lane whose condition fails keeps its gain, as the plain code's early returns
// do. The gains are held in registers through a run of pairs.

#include "dsp/kernels.h"
#include "dsp/dynamics_coefficients.h"

#include <emmintrin.h>

namespace korvax {
namespace {

constexpr float kOne = 1.0f;
constexpr float kHalf = 0.5f;
constexpr float kOutputScale = 32768.0f;   // back to the host's full scale

inline __m128d AbsPd(__m128d v) noexcept
{
    return _mm_andnot_pd(_mm_set1_pd(-0.0), v);
}

inline __m128d RoundToFloatPd(__m128d v) noexcept
{
    return _mm_cvtps_pd(_mm_cvtpd_ps(v));
}

// Loads two adjacent floats widened to double.
inline __m128d LoadPairPd(const float* p) noexcept
{
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
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

// ---- gains held as floats -----------------------------------------------------
//
// With the coefficients of every real setting (release steps finite and not
// negative, blends within 0 .. 1, a positive finite limiter threshold) and every
// gain within 0 .. 1, most of StoreGain's work has nothing to do, and the code
// below leaves it out; the results are the plain code's, bit for bit:
//   - Release: g + step is at least 0 and never NaN, so it is min(1, g + step)
//     rounded to float, which is the float sum (double has more than twice
//     float's precision plus two bits, so rounding the double sum to float
//     rounds the exact sum once). At g = 1 this gives 1, as skipping does.
//   - Compressor attack: where the gain moves, 0 <= target < g <= 1, so
//     (1 - b) g + b target, with every product and the sum rounded, lies within
//     0 .. 1 and is not NaN: only the rounding to float is left. Its first
//     test, |x g| >= T, need not be made: whenever the target lies below g it
//     holds. For x finite and not 0, and T at least 0, a float g above the
//     nearest double to T / |x| is no less than T / |x| itself (no double lies
//     between the two), and x g, a product of two floats, is exact in double.
//     For T below 0 the test always holds, for x infinite the target is 0 and
//     g above 0 passes, and for x NaN the target is NaN and lies below no g.
//     A band value of 0 is never divided by (the plain code divides by it
//     only when T is 0 or below, and then finds no target below g either).
//   - Limiter attack: |y g| >= L > 0 already means g > 0, and then |L / y| lies
//     within 0 .. 1 (within g to a double rounding, and g is either 1, where
//     |y| >= L, or below 1 by a float step): again only the rounding is left.
// Each pair's gains then pass through fewer, shorter operations, which is what
// bounds this loop: every pair waits for the previous pair's gains.
//
// A lane whose result is not used raises no floating-point exception flag the
// plain code would not: no division by 0, and a value is rounded to float only
// where the plain code rounds it (the blend where the gain moves, the limiter's
// target at most 1, the compressed mid left and high right values and the
// right sum never).

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

inline __m128d SelectPd(__m128d mask, __m128d ifSet, __m128d otherwise) noexcept
{
    return _mm_or_pd(_mm_and_pd(mask, ifSet), _mm_andnot_pd(mask, otherwise));
}

// |t / x|, with 1.0 where x is 0 (without dividing by it).
inline __m128d TargetOrOne(__m128d t, __m128d x) noexcept
{
    const __m128d oneWhereZero = _mm_and_pd(_mm_cmpeq_pd(x, _mm_setzero_pd()), _mm_set1_pd(1.0));
    return _mm_max_pd(oneWhereZero, AbsPd(_mm_div_pd(t, _mm_or_pd(x, oneWhereZero))));
}

// Release and attack of a band's two gains (already linked); returns the
// compressed values. The target depends on x alone, so the division is not on
// the chain from gain to gain.
inline __m128d CompressBand(const StageLanes& l, const BandLanes& b, __m128 step, __m128& gain, __m128d x) noexcept
{
    const __m128 released = ReleasePs(gain, step);
    const __m128d g = _mm_cvtps_pd(released);
    const __m128d target = TargetOrOne(b.threshold, x);   // 1 where x is 0: below no gain
    const __m128d lower = _mm_cmplt_pd(target, g);
    const __m128d blended = _mm_add_pd(_mm_mul_pd(b.keep, g), _mm_mul_pd(b.blend, target));
    gain = _mm_cvtpd_ps(SelectPd(lower, blended, g));
    const __m128d mixed = _mm_add_pd(_mm_mul_pd(l.ratioMix, _mm_cvtps_pd(gain)), l.dryPart);
    return _mm_mul_pd(_mm_mul_pd(mixed, x), b.outputGain);
}

// Release and instant attack of the two limiter gains (already linked) for the
// sums y; returns the new gains.
inline __m128 Limit(const StageLanes& l, __m128 step, __m128 gain, __m128d y) noexcept
{
    const __m128 released = ReleasePs(gain, step);
    const __m128d reached = _mm_cmpge_pd(AbsPd(_mm_mul_pd(y, _mm_cvtps_pd(released))), l.limiterThreshold);
    const __m128 target = _mm_cvtpd_ps(_mm_min_pd(TargetOrOne(l.limiterThreshold, y), _mm_set1_pd(1.0)));
    return SelectPs(FloatMask(reached), target, released);
}

// The run of pairs; with kMeters also the smallest gain of each follower after
// any pair, into lowest[0 .. 7] (compiled apart, so that the run without meters
// does the same work as before they existed).
template <bool kMeters>
void Pairs(const DynamicsCoefficients& c, float* g, const float* bands, float* out, std::int32_t count,
           float* lowest) noexcept
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
    const auto loadGains = [](const float* p) {
        return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    };
    __m128 lowGain = loadGains(g);
    __m128 midGain = loadGains(g + 2);
    __m128 highGain = loadGains(g + 4);
    __m128 limiterGain = loadGains(g + 6);
    __m128 lowest01 = _mm_setzero_ps();   // the meters: low and mid gains, then high and limiter
    __m128 lowest23 = _mm_setzero_ps();
    if constexpr (kMeters) {
        lowest01 = _mm_loadu_ps(lowest);
        lowest23 = _mm_loadu_ps(lowest + 4);
    }

    // The band stage of one pair: low, mid and high after the compressors.
    struct Banded {
        __m128d low, mid, high;
    };
    const auto bandStage = [&](const float* x) __attribute__((always_inline)) {
        Banded v = {LoadPairPd(x), LoadPairPd(x + 2), LoadPairPd(x + 4)};
        if (compress) {
            if (linked) {
                lowGain = LinkPs(lowGain);
                midGain = LinkPs(midGain);
                highGain = LinkPs(highGain);
            }
            v.low = RoundToFloatPd(CompressBand(l, l.band[0], steps[0], lowGain, v.low));
            const __m128d mid = CompressBand(l, l.band[1], steps[1], midGain, v.mid);
            const __m128d high = CompressBand(l, l.band[2], steps[2], highGain, v.high);
            // Mid: left double, right rounded; high: left rounded, right double.
            v.mid = _mm_move_sd(RoundToFloatPd(_mm_unpackhi_pd(mid, mid)), mid);
            v.high = _mm_move_sd(high, RoundToFloatPd(_mm_unpacklo_pd(high, high)));
        }
        if constexpr (kMeters) {
            lowest01 = _mm_min_ps(lowest01, _mm_movelh_ps(lowGain, midGain));
            // Lanes 0 and 1 the high gains, 2 and 3 the limiter's meters as they are.
            lowest23 = _mm_min_ps(lowest23, _mm_shuffle_ps(highGain, lowest23, _MM_SHUFFLE(3, 2, 1, 0)));
        }
        return v;
    };

    // The band stage runs one pair ahead of the sums and limiters: the two carry
    // separate gains from pair to pair, and written in this order the processor
    // works on both chains at once instead of one pair's stages in turn.
    Banded next = count > 0 ? bandStage(bands) : Banded{};
    for (std::int32_t i = 0; i < count; ++i) {
        const Banded v = next;
        if (i + 1 < count)
            next = bandStage(bands + 6 * (i + 1));
        const __m128d low = v.low;
        const __m128d lowR = _mm_unpackhi_pd(low, low);
        const __m128d sum = RoundToFloatPd(_mm_add_sd(low, lowR));
        const __m128d side = _mm_mul_sd(_mm_sub_sd(low, lowR), width);
        const __m128d sums = _mm_unpacklo_pd(_mm_add_sd(sum, side), _mm_sub_sd(sum, RoundToFloatPd(side)));
        __m128d y = _mm_add_pd(_mm_add_pd(_mm_mul_pd(sums, half), v.high), v.mid);
        y = _mm_move_sd(y, RoundToFloatPd(_mm_unpacklo_pd(y, y)));   // the left sum rounded, the right not

        if (linked)
            limiterGain = LinkPs(limiterGain);
        limiterGain = Limit(l, limiterStep, limiterGain, y);
        if constexpr (kMeters)
            lowest23 = _mm_min_ps(lowest23, _mm_shuffle_ps(lowest23, limiterGain, _MM_SHUFFLE(1, 0, 1, 0)));
        const __m128 o = _mm_cvtpd_ps(_mm_mul_pd(_mm_mul_pd(y, _mm_cvtps_pd(limiterGain)), outputScale));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * i), _mm_castps_si128(o));
    }
    const auto storeGains = [](float* p, __m128 v) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(v));
    };
    storeGains(g, lowGain);
    storeGains(g + 2, midGain);
    storeGains(g + 4, highGain);
    storeGains(g + 6, limiterGain);
    if constexpr (kMeters) {
        _mm_storeu_ps(lowest, lowest01);
        _mm_storeu_ps(lowest + 4, lowest23);
    }
}

} // namespace

namespace sse2 {

void DynamicsPairs(const DynamicsCoefficients& c, float* g, const float* bands, float* out, std::int32_t count,
                   float* lowest) noexcept
{
    if (lowest != nullptr)
        Pairs<true>(c, g, bands, out, count, lowest);
    else
        Pairs<false>(c, g, bands, out, count, nullptr);
}

} // namespace sse2
} // namespace korvax
