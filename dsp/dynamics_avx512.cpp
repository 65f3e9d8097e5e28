// The bounded loop of ProcessDynamicsPairs with AVX-512: the three band
// compressors of a pair run in one register, lanes 0 .. 5 holding low L, low R,
// mid L, mid R, high L, high R (lanes 6 and 7 unused). This file alone is built
// with -mavx512f -mavx512vl, and dynamics.cpp calls into it only after the
// processor has reported both.
//
// Every lane takes the operations of ProcessPairsBounded in dynamics.cpp in the
// same order, with the same roundings: the release as a float sum and minimum,
// the attack's product, quotient, comparisons and blend in double, the blend
// rounded to float, the ratio mix and output gain in double, and the compressed
// values rounded where that code rounds them (low L and R, mid R, high L). The
// sums and the limiters then run as there, two lanes at a time.

#include "dsp/dynamics_kernels.h"

#if defined(KORVAX_DYNAMICS_AVX512)

#if !defined(__AVX512F__) || !defined(__AVX512VL__) || (defined(__FMA__) && !defined(__clang__))
#error "dynamics_avx512.cpp must be built with -mavx512f -mavx512vl and without FMA"
#endif

#include <immintrin.h>

namespace korvax::dyn {
namespace {

constexpr float kOne = 1.0f;
constexpr double kHalf = 0.5;
constexpr double kOutputScale = 32768.0;
constexpr __mmask8 kBandLanes = 0x3F;
constexpr __mmask8 kRoundedLanes = 0x1B;   // low L, low R, mid R, high L

inline __m512d Abs(__m512d v) noexcept
{
    return _mm512_castsi512_pd(
        _mm512_and_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7fffffffffffffffLL)));
}

inline __m128d Abs(__m128d v) noexcept
{
    return _mm_andnot_pd(_mm_set1_pd(-0.0), v);
}

inline __m128d RoundToFloat(__m128d v) noexcept
{
    return _mm_cvtps_pd(_mm_cvtpd_ps(v));
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

} // namespace

void ProcessPairsBoundedAvx512(const DynamicsCoefficients& c, GainStates& gains, const BandValues* bands,
                               OutputPair* out, std::int32_t count) noexcept
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
    const __m128d width = _mm_set1_pd(double(c.width));
    const __m128d half = _mm_set1_pd(kHalf);
    const __m128d outputScale = _mm_set1_pd(kOutputScale);
    const bool compress = c.compressorEnable > 0;
    const bool linked = c.stereoLink > 0;

    float* const g = &gains[0].gain;
    __m256 bandGain = _mm256_maskz_loadu_ps(kBandLanes, g);
    __m128 limiterGain = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(g + 6)));

    // The band stage of one pair: its six values after the compressors.
    const auto bandStage = [&](const BandValues& values) {
        __m512d x = _mm512_cvtps_pd(LoadBands(values.data()));
        if (compress) {
            if (linked)
                bandGain = LinkBands(bandGain);
            const __m256 released = _mm256_min_ps(_mm256_add_ps(bandGain, releaseStep), _mm256_set1_ps(kOne));
            const __m512d gd = _mm512_cvtps_pd(released);
            const __mmask8 reached = _mm512_cmp_pd_mask(Abs(_mm512_mul_pd(x, gd)), threshold, _CMP_GE_OQ);
            const __m512d target = Abs(_mm512_div_pd(threshold, x));
            const __mmask8 lower = _mm512_cmp_pd_mask(target, gd, _CMP_LT_OQ);
            const __m256 blended =
                _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(keep, gd), _mm512_mul_pd(blend, target)));
            // Lanes 6 and 7 hold no band: whatever they take is never stored or read.
            bandGain = _mm256_mask_mov_ps(released, reached & lower, blended);
            const __m512d mixed = _mm512_add_pd(_mm512_mul_pd(ratioMix, _mm512_cvtps_pd(bandGain)), dryPart);
            const __m512d compressed = _mm512_mul_pd(_mm512_mul_pd(mixed, x), outputGain);
            x = _mm512_mask_mov_pd(compressed, kRoundedLanes, _mm512_cvtps_pd(_mm512_cvtpd_ps(compressed)));
        }
        return x;
    };

    // The band stage runs one pair ahead of the sums and limiters: the two carry
    // separate gains from pair to pair, and written in this order the processor
    // works on both chains at once instead of one pair's stages in turn.
    __m512d next = count > 0 ? bandStage(bands[0]) : _mm512_setzero_pd();
    for (std::int32_t i = 0; i < count; ++i) {
        const __m512d x = next;
        if (i + 1 < count)
            next = bandStage(bands[i + 1]);
        const __m256d lowMid = _mm512_castpd512_pd256(x);
        const __m128d low = _mm256_castpd256_pd128(lowMid);
        const __m128d mid = _mm256_extractf128_pd(lowMid, 1);
        const __m128d high = _mm256_castpd256_pd128(_mm512_extractf64x4_pd(x, 1));

        // The sums and limiters, as ProcessPairsBounded forms them.
        const __m128d lowR = _mm_unpackhi_pd(low, low);
        const __m128d sum = RoundToFloat(_mm_add_sd(low, lowR));
        const __m128d side = _mm_mul_sd(_mm_sub_sd(low, lowR), width);
        const __m128d sums = _mm_unpacklo_pd(_mm_add_sd(sum, side), _mm_sub_sd(sum, RoundToFloat(side)));
        __m128d y = _mm_add_pd(_mm_add_pd(_mm_mul_pd(sums, half), high), mid);
        y = _mm_move_sd(y, RoundToFloat(y));

        if (linked)
            limiterGain = LinkPair(limiterGain);
        const __m128 released = _mm_min_ps(_mm_add_ps(limiterGain, limiterStep), _mm_set1_ps(kOne));
        const __m128d reached = _mm_cmpge_pd(Abs(_mm_mul_pd(y, _mm_cvtps_pd(released))), limiterThreshold);
        const __m128 target = _mm_cvtpd_ps(Abs(_mm_div_pd(limiterThreshold, y)));
        const __m128 reachedLanes = _mm_castpd_ps(reached);
        const __m128 mask = _mm_shuffle_ps(reachedLanes, reachedLanes, _MM_SHUFFLE(2, 0, 2, 0));
        limiterGain = _mm_or_ps(_mm_and_ps(mask, target), _mm_andnot_ps(mask, released));
        const __m128 o = _mm_cvtpd_ps(_mm_mul_pd(_mm_mul_pd(y, _mm_cvtps_pd(limiterGain)), outputScale));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&out[i]), _mm_castps_si128(o));
    }
    _mm256_mask_storeu_ps(g, kBandLanes, bandGain);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(g + 6), _mm_castps_si128(limiterGain));
}

} // namespace korvax::dyn

#endif
