// PrepareBandGains's gains eight at a time on AVX-512. This file alone is built
// with -mavx512f, and band_mask.cpp calls into it only after the processor has
// reported AVX-512. Each lane takes the operations of VectorGain in
// band_mask.cpp in the same order: the same products, sums, roundings and
// limits; a lane a limit sets to zero holds +0.0, as the two-lane code's masks
// leave it.

#include "dsp/band_mask_kernels.h"

#if defined(KORVAX_MASK_AVX512)

#if !defined(__AVX512F__) || (defined(__FMA__) && !defined(__clang__))
#error "band_mask_avx512.cpp must be built with -mavx512f and without FMA"
#endif

#include <immintrin.h>

namespace korvax::mask {

std::int32_t PrepareGainsAvx512(const GainShape (&shapes)[3], const double* quotients, double k,
                                std::int32_t count, double* const (&gain)[3], std::uint8_t* codes) noexcept
{
    const __m512d tenth = _mm512_set1_pd(0.1);
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d slope = _mm512_set1_pd(k);
    __m512d lowIndex[3], highIndex[3];
    __mmask8 lowOn[3], highOn[3];
    for (int b = 0; b < 3; ++b) {
        lowIndex[b] = _mm512_set1_pd(shapes[b].lowIndex);
        highIndex[b] = _mm512_set1_pd(shapes[b].highIndex);
        lowOn[b] = shapes[b].lowRampOn ? 0xFF : 0;
        highOn[b] = shapes[b].highRampOn ? 0xFF : 0;
    }

    __m512d i = _mm512_setr_pd(1.0, 3.0, 5.0, 7.0, 9.0, 11.0, 13.0, 15.0);
    std::int32_t e = 1;
    for (; e + 15 < count; e += 16, i = _mm512_add_pd(i, _mm512_set1_pd(16.0))) {
        const std::int32_t entry = (e - 1) / 2;
        const __m512d s = _mm512_mul_pd(_mm512_loadu_pd(quotients + entry), slope);
        __mmask8 ones[3], zeros[3];
#if defined(__GNUC__)
#pragma GCC unroll 3
#endif
        for (int b = 0; b < 3; ++b) {
            __m512d lowRamp = _mm512_cvtps_pd(_mm512_cvtpd_ps(
                _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(_mm512_sub_pd(lowIndex[b], i), s), tenth), half)));
            lowRamp = _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(lowRamp, zero, _CMP_GE_OQ) & lowOn[b], lowRamp);
            __m512d highRamp =
                _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(_mm512_sub_pd(i, highIndex[b]), s), tenth), half);
            highRamp = _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(highRamp, zero, _CMP_GE_OQ) & highOn[b], highRamp);

            __m512d g = _mm512_sub_pd(one, _mm512_add_pd(highRamp, lowRamp));
            g = _mm512_mask_mov_pd(g, _mm512_cmp_pd_mask(g, zero, _CMP_LT_OQ), zero);
            g = _mm512_mask_mov_pd(g, _mm512_cmp_pd_mask(g, one, _CMP_GT_OQ), one);
            _mm512_storeu_pd(gain[b] + entry, g);
            ones[b] = _mm512_cmp_pd_mask(g, one, _CMP_EQ_OQ);
            zeros[b] = _mm512_cmpeq_epi64_mask(_mm512_castpd_si512(g), _mm512_setzero_si512());   // +0.0 only
        }
#if defined(__GNUC__)
#pragma GCC unroll 4
#endif
        for (int q = 0; q < 4; ++q) {
            unsigned code = kExactStep;
            unsigned allExact = 3;
            for (int b = 0; b < 3; ++b) {
                const unsigned o = (unsigned(ones[b]) >> (2 * q)) & 3;
                allExact &= o | ((unsigned(zeros[b]) >> (2 * q)) & 3);
                code |= o << (2 * b);
            }
            codes[entry / 2 + q] = static_cast<std::uint8_t>(allExact == 3 ? code : 0);
        }
    }
    return e;
}

} // namespace korvax::mask

#endif
