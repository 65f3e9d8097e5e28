// The engine's gathering and cross-fade on AVX-512, eight pairs at a time. Each
// pair takes the operations of GatherPair and FadePair in block_engine.cpp: the
// input times the gain in double,
// rounded once and held within the level limit; the weights from the position,
// exactly, and per band and channel weightB * B + weightA * A in double,
// rounded once.

#include "dsp/kernels.h"

#if !defined(__AVX512F__) || (defined(__FMA__) && !defined(__clang__))
#error "dsp/avx512 must be built with -mavx512f and without FMA"
#endif

#include <immintrin.h>

namespace korvax {
namespace {

constexpr double kCrossFadeScale = 0.0001220703125;   // 2^-13, exact

// Six vectors of eight pairs (value v of pair k in lane k of r[v]) become the
// pairs' six values in a row: output float t is value t % 6 of pair t / 6.
// r[2q] and r[2q + 1] share one 16-lane register zq (r[2q] in lanes 0-7); the
// tables give, per output register, each float's lane in z0|z1 (bit 4 picks z1)
// and its lane in z2.
struct InterleaveTables {
    alignas(64) std::int32_t fromLow[3][16];
    alignas(64) std::int32_t fromHigh[3][16];
    std::uint16_t high[3];   // the floats taken from z2
};

constexpr InterleaveTables MakeInterleaveTables() noexcept
{
    InterleaveTables tables{};
    for (int m = 0; m < 3; ++m) {
        for (int e = 0; e < 16; ++e) {
            const int t = 16 * m + e;
            const int value = t % 6;
            const int pair = t / 6;
            const int lane = 8 * (value % 2) + pair;   // within its register
            tables.fromLow[m][e] = value / 2 == 1 ? 16 + lane : lane;
            tables.fromHigh[m][e] = lane;
            if (value / 2 == 2)
                tables.high[m] = static_cast<std::uint16_t>(tables.high[m] | (1u << e));
        }
    }
    return tables;
}

// Constant data, built by the compiler: nothing here runs when the library loads.
constexpr InterleaveTables kInterleave = MakeInterleaveTables();

// Eight pairs' band values, six floats a pair, in a row: 48 floats, written
// as three registers of sixteen.
constexpr int kGroupPairs = 8;
constexpr int kValuesPerPair = 6;
static_assert(kGroupPairs * kValuesPerPair == 3 * 16, "eight pairs' values fill three registers");

} // namespace

namespace avx512 {

std::int32_t CrossFade(const float* const (&fromA)[6], const float* const (&fromB)[6], std::uint32_t first,
                       float* bands, std::int32_t count) noexcept
{
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512i absMask = _mm512_set1_epi64(0x7fffffffffffffffLL);
    __m512d position = _mm512_add_pd(_mm512_set1_pd(double(first)),
                                     _mm512_setr_pd(0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0));
    std::int32_t j = 0;
    for (; j + 8 <= count; j += 8, position = _mm512_add_pd(position, _mm512_set1_pd(8.0))) {
        // 1 - |1 - w| is w up to 1 and 2 - w above, exactly.
        const __m512d w = _mm512_mul_pd(position, _mm512_set1_pd(kCrossFadeScale));
        const __m512d wA = _mm512_sub_pd(
            one, _mm512_castsi512_pd(_mm512_and_si512(_mm512_castpd_si512(_mm512_sub_pd(one, w)), absMask)));
        const __m512d wB = _mm512_sub_pd(one, wA);
        __m512 z[3];
#if defined(__GNUC__)
#pragma GCC unroll 3
#endif
        for (int q = 0; q < 3; ++q) {
            __m256 r[2];
#if defined(__GNUC__)
#pragma GCC unroll 2
#endif
            for (int h = 0; h < 2; ++h) {
                const int v = 2 * q + h;
                const __m512d a = _mm512_cvtps_pd(_mm256_loadu_ps(fromA[v] + j));
                const __m512d b = _mm512_cvtps_pd(_mm256_loadu_ps(fromB[v] + j));
                r[h] = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(wB, b), _mm512_mul_pd(wA, a)));
            }
            z[q] = _mm512_castpd_ps(
                _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(r[0])), _mm256_castps_pd(r[1]), 1));
        }
        float* const out = bands + kValuesPerPair * j;   // eight pairs, 48 floats in a row
#if defined(__GNUC__)
#pragma GCC unroll 3
#endif
        for (int m = 0; m < 3; ++m) {
            const __m512 lowTwo = _mm512_permutex2var_ps(z[0], _mm512_load_si512(kInterleave.fromLow[m]), z[1]);
            _mm512_storeu_ps(out + 16 * m, _mm512_mask_permutexvar_ps(lowTwo, kInterleave.high[m],
                                                                       _mm512_load_si512(kInterleave.fromHigh[m]),
                                                                       z[2]));
        }
    }
    return j;
}

std::int32_t Gather(const float* input, double gain, float limit, float* const (&toA)[2], float* const (&toB)[2],
                    std::int32_t count) noexcept
{
    const __m512d g = _mm512_set1_pd(gain);
    const __m512 high = _mm512_set1_ps(limit);
    const __m512 low = _mm512_set1_ps(-limit);
    // Lefts (even floats) to lanes 0-7, rights to lanes 8-15.
    const __m512i split = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    std::int32_t j = 0;
    for (; j + 8 <= count; j += 8) {
        const __m512 x = _mm512_loadu_ps(input + 2 * j);   // L R of pairs j .. j + 7
        const __m256 first = _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_cvtps_pd(_mm512_castps512_ps256(x)), g));
        const __m256 second = _mm512_cvtpd_ps(
            _mm512_mul_pd(_mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1))), g));
        const __m512 gained =
            _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(first)),
                                                _mm256_castps_pd(second), 1));
        // min(limit, x) and max(-limit, x) keep x unless it lies beyond the
        // limit, NaN included.
        const __m512 held = _mm512_permutexvar_ps(split, _mm512_max_ps(low, _mm512_min_ps(high, gained)));
        const __m256 left = _mm512_castps512_ps256(held);
        const __m256 right = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(held), 1));
        _mm256_storeu_ps(toA[0] + j, left);
        _mm256_storeu_ps(toA[1] + j, right);
        _mm256_storeu_ps(toB[0] + j, left);
        _mm256_storeu_ps(toB[1] + j, right);
    }
    return j;
}

} // namespace avx512
} // namespace korvax
