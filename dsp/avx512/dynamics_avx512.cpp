// The dynamics stage on AVX-512, for coefficients and gains in their usual
// ranges (BoundedCase in dynamics.cpp). The three band compressors of a pair
// run in one register, lanes 0 .. 5 holding low L, low R, mid L, mid R, high L,
// high R (lanes 6 and 7 unused); the sums, the limiters' divisions and the
// output scaling run for eight pairs at once, a pair to a lane.
//
// Every lane takes the operations of the SSE2 kernel (dsp/sse2/dynamics_sse2.cpp)
// in the same order, with the same roundings: the release as a float sum and minimum,
// the attack's quotient, comparison and blend in double, the blend rounded to
// float, the ratio mix and output gain in double, the compressed values rounded
// where that code rounds them (low L and R, mid R, high L), and the sums and
// limiters as there. The attack's first test is left out: it never decides
// anything (see the band stage).

#include "dsp/kernels.h"
#include "dsp/dynamics_coefficients.h"

#if !defined(__AVX512F__) || !defined(__AVX512VL__) || (defined(__FMA__) && !defined(__clang__))
#error "dsp/avx512 must be built with -mavx512f -mavx512vl and without FMA"
#endif

#include <immintrin.h>

namespace korvax {
namespace {

constexpr float kOne = 1.0f;
constexpr double kHalf = 0.5;
constexpr double kOutputScale = 32768.0;
constexpr __mmask8 kBandLanes = 0x3F;
constexpr __mmask8 kRoundedLanes = 0x1B;   // low L, low R, mid R, high L
constexpr int kGroup = 8;

#if defined(__GNUC__)
#define KORVAX_ALWAYS_INLINE __attribute__((always_inline))
#else
#define KORVAX_ALWAYS_INLINE
#endif

inline __m512d Abs(__m512d v) noexcept
{
    return _mm512_castsi512_pd(
        _mm512_and_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7fffffffffffffffLL)));
}

inline __m128d Abs(__m128d v) noexcept
{
    return _mm_andnot_pd(_mm_set1_pd(-0.0), v);
}

inline __m512d RoundToFloat(__m512d v) noexcept
{
    return _mm512_cvtps_pd(_mm512_cvtpd_ps(v));
}

// The six band values of a pair into float lanes 0 .. 5 (lanes 6, 7 zero).
inline __m256 LoadBands(const float* x) noexcept
{
    return _mm256_maskz_loadu_ps(kBandLanes, x);
}

// Link: both lanes of each band take R < L ? R : L.
inline __m256 LinkBands(__m256 g) noexcept
{
    return _mm256_moveldup_ps(_mm256_min_ps(_mm256_permute_ps(g, _MM_SHUFFLE(2, 3, 0, 1)), g));
}

inline __m128 LinkPair(__m128 g) noexcept
{
    const __m128 low = _mm_min_ps(_mm_shuffle_ps(g, g, _MM_SHUFFLE(3, 2, 0, 1)), g);
    return _mm_shuffle_ps(low, low, _MM_SHUFFLE(0, 0, 0, 0));
}

// Per-lane values of a band coefficient, widened to double.
inline __m512d BandLanesOf(float low, float mid, float high) noexcept
{
    return _mm512_setr_pd(double(low), double(low), double(mid), double(mid), double(high), double(high), 0.0,
                          0.0);
}

// The run of pairs; with kMeters also the smallest gain of each follower after
// any pair, into lowest[0 .. 7] (compiled apart, so that the run without meters
// does the same work as before they existed).
template <bool kMeters>
void Pairs(const DynamicsCoefficients& c, float* g, const float* bands, float* out, std::int32_t count,
           float* lowest) noexcept
{
    const BandCoefficients* const b = c.band;
    const __m512d threshold = BandLanesOf(b[0].threshold, b[1].threshold, b[2].threshold);
    const __m512d blend = BandLanesOf(b[0].attackBlend, b[1].attackBlend, b[2].attackBlend);
    const __m512d keep = _mm512_sub_pd(_mm512_set1_pd(double(kOne)), blend);
    const __m512d outputGain = BandLanesOf(b[0].outputGain, b[1].outputGain, b[2].outputGain);
    const __m256 releaseStep = _mm256_setr_ps(b[0].releaseStep, b[0].releaseStep, b[1].releaseStep,
                                              b[1].releaseStep, b[2].releaseStep, b[2].releaseStep, 0.0f, 0.0f);
    const __m512d ratioMix = _mm512_set1_pd(double(c.ratioMix));
    const __m512d dryPart = _mm512_set1_pd(double(c.dryPart));
    const __m128 limiterStep = _mm_set1_ps(c.limiterReleaseStep);
    const __m128d limiterThreshold = _mm_set1_pd(double(c.limiterThreshold));
    const bool compress = c.compressorEnable > 0;
    const bool linked = c.stereoLink > 0;

    __m256 bandGain = _mm256_maskz_loadu_ps(kBandLanes, g);
    __m128 limiterGain = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(g + 6)));
    __m256 bandLowest = _mm256_setzero_ps();   // the meters
    __m128 limiterLowest = _mm_setzero_ps();
    if constexpr (kMeters) {
        bandLowest = _mm256_maskz_loadu_ps(kBandLanes, lowest);
        limiterLowest = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(lowest + 6)));
    }

    // The band stage of one pair: its six values after the compressors.
    const auto bandStage = [&](const float* values) KORVAX_ALWAYS_INLINE {
        __m512d x = _mm512_cvtps_pd(LoadBands(values));
        if (compress) {
            if (linked)
                bandGain = LinkBands(bandGain);
            const __m256 released = _mm256_min_ps(_mm256_add_ps(bandGain, releaseStep), _mm256_set1_ps(kOne));
            const __m512d gd = _mm512_cvtps_pd(released);
            // The attack's first test, |x * g| >= T, is left out, as the SSE2
            // kernel leaves it out (its comment gives the argument). Lanes
            // whose band value is 0 (lanes 6 and 7 among them) divide by
            // nothing and take the target 1, which lies below no gain; the
            // blend is rounded to float only where the gain moves.
            const __mmask8 nonzero = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_NEQ_UQ);
            const __m512d target = Abs(_mm512_mask_div_pd(_mm512_set1_pd(1.0), nonzero, threshold, x));
            const __mmask8 lower = _mm512_cmp_pd_mask(target, gd, _CMP_LT_OQ);
            bandGain = _mm512_mask_cvtpd_ps(released, lower,
                                            _mm512_add_pd(_mm512_mul_pd(keep, gd), _mm512_mul_pd(blend, target)));
            const __m512d mixed = _mm512_add_pd(_mm512_mul_pd(ratioMix, _mm512_cvtps_pd(bandGain)), dryPart);
            const __m512d compressed = _mm512_mul_pd(_mm512_mul_pd(mixed, x), outputGain);
            x = _mm512_mask_mov_pd(compressed, kRoundedLanes,
                                   _mm512_cvtps_pd(_mm512_maskz_cvtpd_ps(kRoundedLanes, compressed)));
        }
        if constexpr (kMeters)
            bandLowest = _mm256_min_ps(bandLowest, bandGain);
        return x;
    };

    // The pairs go in groups of eight: the band stage pair by pair, then the
    // sums and the limiters' targets for the whole group, then the limiters
    // pair by pair and the outputs for the whole group. Only the band gains and
    // the limiter gains carry values from pair to pair; everything between
    // them depends on one pair alone and runs eight pairs to a register. The
    // band stage of group k is interleaved with the limiters of group k - 1,
    // so that the two chains overlap; each lane still sees the operations of
    // the SSE2 kernel.
    const __m512d width = _mm512_set1_pd(double(c.width));
    const __m512d half = _mm512_set1_pd(kHalf);
    const __m512d limiterThresholds = _mm512_set1_pd(double(c.limiterThreshold));
    const __m512d outputScale = _mm512_set1_pd(kOutputScale);
    alignas(64) __m512d banded[kGroup];   // the band stage's values of the group, pair by pair
    alignas(64) double sums[2 * kGroup];  // left and right sum of each pair of the group before
    alignas(64) float limiterTargets[2 * kGroup];
    alignas(64) float limited[2 * kGroup] = {};   // the limiter gains each pair ended with

    // The limiter of pair p of the group before, from its sums and targets.
    const auto limit = [&](int p) KORVAX_ALWAYS_INLINE {
        const __m128d y = _mm_load_pd(sums + 2 * p);
        if (linked)
            limiterGain = LinkPair(limiterGain);
        const __m128 released = _mm_min_ps(_mm_add_ps(limiterGain, limiterStep), _mm_set1_ps(kOne));
        const __mmask8 reached =
            _mm_cmp_pd_mask(Abs(_mm_mul_pd(y, _mm_cvtps_pd(released))), limiterThreshold, _CMP_GE_OQ);
        const __m128 target = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(limiterTargets + 2 * p)));
        limiterGain = _mm_mask_mov_ps(released, reached, target);
        if constexpr (kMeters)
            limiterLowest = _mm_min_ps(limiterLowest, limiterGain);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(limited + 2 * p), _mm_castps_si128(limiterGain));
    };

    // The outputs of the group before, `pairs` of them, once its limiters have run.
    const auto emit = [&](float* to, int pairs) KORVAX_ALWAYS_INLINE {
        for (int h = 0; h < 2; ++h) {   // four pairs at a time
            const __m512d gd = _mm512_cvtps_pd(_mm256_load_ps(limited + 8 * h));
            const __m512d y = _mm512_load_pd(sums + 8 * h);
            const __m256 o = _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_mul_pd(y, gd), outputScale));
            const int these = pairs - 4 * h;
            const __mmask8 floats = these >= 4 ? 0xFF : these <= 0 ? 0 : __mmask8((1u << (2 * these)) - 1);
            _mm256_mask_storeu_ps(to + 8 * h, floats, o);
        }
    };

    // The sums and limiter targets of a group from its band values.
    const auto gather = [&]() KORVAX_ALWAYS_INLINE {
        // Lanes 0 .. 5 of the eight values become six registers of eight pairs.
        __m512d u[4], v[4];
        for (int q = 0; q < 4; ++q) {
            u[q] = _mm512_unpacklo_pd(banded[2 * q], banded[2 * q + 1]);   // lanes 0 2 4 6 of two pairs
            v[q] = _mm512_unpackhi_pd(banded[2 * q], banded[2 * q + 1]);   // lanes 1 3 5 7
        }
        const __m512d u04a = _mm512_shuffle_f64x2(u[0], u[1], _MM_SHUFFLE(2, 0, 2, 0));
        const __m512d u04b = _mm512_shuffle_f64x2(u[2], u[3], _MM_SHUFFLE(2, 0, 2, 0));
        const __m512d u26a = _mm512_shuffle_f64x2(u[0], u[1], _MM_SHUFFLE(3, 1, 3, 1));
        const __m512d u26b = _mm512_shuffle_f64x2(u[2], u[3], _MM_SHUFFLE(3, 1, 3, 1));
        const __m512d v15a = _mm512_shuffle_f64x2(v[0], v[1], _MM_SHUFFLE(2, 0, 2, 0));
        const __m512d v15b = _mm512_shuffle_f64x2(v[2], v[3], _MM_SHUFFLE(2, 0, 2, 0));
        const __m512d v37a = _mm512_shuffle_f64x2(v[0], v[1], _MM_SHUFFLE(3, 1, 3, 1));
        const __m512d v37b = _mm512_shuffle_f64x2(v[2], v[3], _MM_SHUFFLE(3, 1, 3, 1));
        const __m512d lowL = _mm512_shuffle_f64x2(u04a, u04b, _MM_SHUFFLE(2, 0, 2, 0));
        const __m512d highL = _mm512_shuffle_f64x2(u04a, u04b, _MM_SHUFFLE(3, 1, 3, 1));
        const __m512d midL = _mm512_shuffle_f64x2(u26a, u26b, _MM_SHUFFLE(2, 0, 2, 0));
        const __m512d lowR = _mm512_shuffle_f64x2(v15a, v15b, _MM_SHUFFLE(2, 0, 2, 0));
        const __m512d highR = _mm512_shuffle_f64x2(v15a, v15b, _MM_SHUFFLE(3, 1, 3, 1));
        const __m512d midR = _mm512_shuffle_f64x2(v37a, v37b, _MM_SHUFFLE(2, 0, 2, 0));

        // The sums, as the SSE2 kernel forms them: S and the copy of D that
        // enters right rounded to float, left rounded to float, right in double.
        const __m512d sum = RoundToFloat(_mm512_add_pd(lowL, lowR));
        const __m512d side = _mm512_mul_pd(_mm512_sub_pd(lowL, lowR), width);
        const __m512d left = RoundToFloat(
            _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(_mm512_add_pd(sum, side), half), highL), midL));
        const __m512d right = _mm512_add_pd(
            _mm512_add_pd(_mm512_mul_pd(_mm512_sub_pd(sum, RoundToFloat(side)), half), highR), midR);
        // The limiter divides only where |y| >= L (where |y g| >= L can hold;
        // y 0 or NaN never): there |L / y| lies within 0 .. 1, and elsewhere
        // the target is 0 and never taken.
        const __mmask8 reachL = _mm512_cmp_pd_mask(Abs(left), limiterThresholds, _CMP_GE_OQ);
        const __mmask8 reachR = _mm512_cmp_pd_mask(Abs(right), limiterThresholds, _CMP_GE_OQ);
        const __m256 targetL = _mm512_cvtpd_ps(Abs(_mm512_maskz_div_pd(reachL, limiterThresholds, left)));
        const __m256 targetR = _mm512_cvtpd_ps(Abs(_mm512_maskz_div_pd(reachR, limiterThresholds, right)));

        // Left and right of each pair side by side.
        _mm512_store_pd(sums, _mm512_permutex2var_pd(left, _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11), right));
        _mm512_store_pd(sums + 8,
                        _mm512_permutex2var_pd(left, _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15), right));
        _mm512_store_ps(limiterTargets, _mm512_permutex2var_ps(_mm512_castps256_ps512(targetL),
                                                        _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5,
                                                                          21, 6, 22, 7, 23),
                                                        _mm512_castps256_ps512(targetR)));
    };

    int before = 0;   // pairs in the group before, whose limiters are still to run
    for (std::int32_t start = 0; start < count; start += kGroup) {
        const int pairs = count - start < kGroup ? int(count - start) : kGroup;
        if (pairs == kGroup && before == kGroup) {
            for (int p = 0; p < kGroup; ++p) {
                banded[p] = bandStage(bands + 6 * (start + p));
                limit(p);
            }
        } else {
            for (int p = 0; p < pairs; ++p)
                banded[p] = bandStage(bands + 6 * (start + p));
            for (int p = 0; p < before; ++p)
                limit(p);
        }
        for (int p = pairs; p < kGroup; ++p)
            banded[p] = _mm512_setzero_pd();
        if (before > 0)
            emit(out + 2 * (start - kGroup), before);
        gather();
        before = pairs;
    }
    for (int p = 0; p < before; ++p)
        limit(p);
    if (before > 0)
        emit(out + 2 * (count - before), before);
    _mm256_mask_storeu_ps(g, kBandLanes, bandGain);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(g + 6), _mm_castps_si128(limiterGain));
    if constexpr (kMeters) {
        _mm256_mask_storeu_ps(lowest, kBandLanes, bandLowest);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(lowest + 6), _mm_castps_si128(limiterLowest));
    }
}

} // namespace

namespace avx512 {

void DynamicsPairs(const DynamicsCoefficients& c, float* g, const float* bands, float* out, std::int32_t count,
                   float* lowest) noexcept
{
    if (lowest != nullptr)
        Pairs<true>(c, g, bands, out, count, lowest);
    else
        Pairs<false>(c, g, bands, out, count, nullptr);
}

} // namespace avx512
} // namespace korvax
