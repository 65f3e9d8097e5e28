// The engine's gathering and cross-fade on SSE2, two pairs at a time. Each pair
// takes the operations of GatherPair and FadePair in block_engine.cpp: the
// input times the gain in double, rounded once and held within the level
// limit; the weights from the position, exactly, and per band and channel
// weightB * B + weightA * A in double, rounded once.

#include "dsp/kernels.h"

#include <emmintrin.h>

namespace korvax {
namespace {

constexpr double kCrossFadeScale = 0.0001220703125;   // 2^-13, exact

// Two adjacent floats at any float address (the 64-bit moves need no alignment).
inline __m128 LoadTwoFloats(const float* p) noexcept
{
    return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

inline void StoreTwoFloats(float* p, __m128 v) noexcept
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(v));
}

} // namespace

namespace sse2 {

std::int32_t Gather(const float* input, double gain, float limit, float* const (&toA)[2], float* const (&toB)[2],
                    std::int32_t count) noexcept
{
    // min(limit, x) and max(-limit, x) keep x unless it lies beyond the limit,
    // NaN included.
    const __m128d g = _mm_set1_pd(gain);
    const __m128 high = _mm_set1_ps(limit);
    const __m128 low = _mm_set1_ps(-limit);
    std::int32_t j = 0;
    for (; j + 2 <= count; j += 2) {
        const __m128 x = _mm_loadu_ps(input + 2 * j);   // L R of pair j, then of j + 1
        const __m128 gained = _mm_movelh_ps(_mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(x), g)),
                                            _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), g)));
        const __m128 held = _mm_max_ps(low, _mm_min_ps(high, gained));
        const __m128 left = _mm_shuffle_ps(held, held, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 right = _mm_shuffle_ps(held, held, _MM_SHUFFLE(3, 1, 3, 1));
        StoreTwoFloats(toA[0] + j, left);
        StoreTwoFloats(toA[1] + j, right);
        StoreTwoFloats(toB[0] + j, left);
        StoreTwoFloats(toB[1] + j, right);
    }
    return j;
}

std::int32_t CrossFade(const float* const (&fromA)[6], const float* const (&fromB)[6], std::uint32_t first,
                       float* bands, std::int32_t count) noexcept
{
    // Lane 0 pair j, lane 1 pair j + 1.
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    __m128d position = _mm_set_pd(double(first) + 1.0, double(first));
    std::int32_t j = 0;
    for (; j + 2 <= count; j += 2, position = _mm_add_pd(position, _mm_set1_pd(2.0))) {
        // 1 - |1 - w| is w up to 1 and 2 - w above, exactly.
        const __m128d w = _mm_mul_pd(position, _mm_set1_pd(kCrossFadeScale));
        const __m128d wA = _mm_sub_pd(one, _mm_and_pd(_mm_sub_pd(one, w), absMask));
        const __m128d wB = _mm_sub_pd(one, wA);
#if defined(__GNUC__)
#pragma GCC unroll 3
#endif
        for (int v = 0; v < 6; v += 2) {
            const __m128 left = _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(wB, _mm_cvtps_pd(LoadTwoFloats(fromB[v] + j))),
                                                        _mm_mul_pd(wA, _mm_cvtps_pd(LoadTwoFloats(fromA[v] + j)))));
            const __m128 right =
                _mm_cvtpd_ps(_mm_add_pd(_mm_mul_pd(wB, _mm_cvtps_pd(LoadTwoFloats(fromB[v + 1] + j))),
                                        _mm_mul_pd(wA, _mm_cvtps_pd(LoadTwoFloats(fromA[v + 1] + j)))));
            const __m128 pairs = _mm_unpacklo_ps(left, right);   // L R of pair j, then of j + 1
            StoreTwoFloats(bands + 6 * j + v, pairs);
            StoreTwoFloats(bands + 6 * (j + 1) + v, _mm_movehl_ps(pairs, pairs));
        }
    }
    return j;
}

} // namespace sse2
} // namespace korvax
