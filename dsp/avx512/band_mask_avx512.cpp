// The band masks' gain table on AVX-512.
//
// PrepareGains works out eight gains at a time. Each lane takes the operations
// of Gain in band_mask.cpp in the same order: the same products, sums,
// roundings and limits; a lane a limit sets to zero holds +0.0, as the plain
// code leaves it.
//
// ApplyGains scales sixteen elements at a time: a product in double rounded
// once, or, where every gain of the sixteen is +0.0 or 1.0, the float product.

#include "dsp/kernels.h"

#if !defined(__AVX512F__) || (defined(__FMA__) && !defined(__clang__))
#error "dsp/avx512 must be built with -mavx512f and without FMA"
#endif

#include <cstring>
#include <immintrin.h>

namespace korvax {
namespace {

// Bits 2q and 2q + 1 of an eight-lane mask moved to bits 8q and 8q + 1: each
// step of two entries gets its own byte.
struct SpreadTable {
    std::uint32_t of[256];
    constexpr SpreadTable() : of()
    {
        for (unsigned m = 0; m < 256; ++m)
            for (unsigned q = 0; q < 4; ++q)
                of[m] |= ((m >> (2 * q)) & 3u) << (8 * q);
    }
};
constexpr SpreadTable kSpread;

inline std::uint32_t Spread(__mmask8 m) noexcept
{
    return kSpread.of[m];
}

} // namespace

namespace avx512 {

using mask::kExactStep;

std::int32_t PrepareGains(const mask::GainShape (&shapes)[3], const double* quotients, double k, std::int32_t count,
                          double* const (&gain)[3], std::uint8_t* codes) noexcept
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
        // The four steps' codes at once, a byte each: band b's two "is 1"
        // bits at bits 2b and 2b + 1, and kExactStep where all six gains are
        // 1 or +0.0 (all six bits of the "is 1 or +0.0" word set), else 0.
        const std::uint32_t code = kExactStep * 0x01010101u | Spread(ones[0]) | Spread(ones[1]) << 2 |
                                   Spread(ones[2]) << 4;
        const std::uint32_t exact = Spread(ones[0] | zeros[0]) | Spread(ones[1] | zeros[1]) << 2 |
                                    Spread(ones[2] | zeros[2]) << 4;
        const std::uint32_t whole = ((exact + 0x01010101u) & 0x40404040u) >> 6;   // 1 in each byte of 0x3F
        const std::uint32_t codes4 = code & whole * 0xFFu;
        std::memcpy(codes + entry / 2, &codes4, sizeof codes4);   // x86: the low byte first
    }
    return e;
}

std::int32_t ApplyGains(float* const (&left)[3], float* const (&right)[3], std::int32_t count,
                        const double* const (&gain)[3], const std::uint8_t* codes) noexcept
{
    // Element l of sixteen lies in step l / 4 and is that step's entry (l / 2) % 2:
    // its band-b bit in the step codes (four codes in one word, the first lowest)
    // is bit 8 (l / 4) + (l / 2) % 2 + 2b.
    const __m512i entryBit = _mm512_setr_epi32(0, 0, 1, 1, 8, 8, 9, 9, 16, 16, 17, 17, 24, 24, 25, 25);
    const __m512i lowHalf = _mm512_setr_epi64(0, 0, 1, 1, 2, 2, 3, 3);
    const __m512i highHalf = _mm512_setr_epi64(4, 4, 5, 5, 6, 6, 7, 7);
    const __m512i lowestBit = _mm512_set1_epi32(1);
    const __m512 one = _mm512_set1_ps(1.0f);
    float* const* const channels[2] = {left, right};
    const int channelCount = right[0] != nullptr ? 2 : 1;
    std::int32_t e = 1;
    for (; e + 15 < count; e += 16) {
        const std::int32_t entry = (e - 1) / 2;
        std::uint32_t word;
        std::memcpy(&word, codes + entry / 2, sizeof word);   // x86: the first code lowest
        if ((word & 0x80808080u) == 0x80808080u) {
            // Every gain 0 or 1: a float times it is exact in float (NaN for an
            // infinity times 0, the zero's sign from the element).
            const __m512i bits = _mm512_srlv_epi32(_mm512_set1_epi32(std::int32_t(word)), entryBit);
            __m512 floatGain[3];
#if defined(__GNUC__)
#pragma GCC unroll 3
#endif
            for (int b = 0; b < 3; ++b)
                floatGain[b] = _mm512_maskz_mov_ps(
                    _mm512_test_epi32_mask(_mm512_srli_epi32(bits, unsigned(2 * b)), lowestBit), one);
            for (int c = 0; c < channelCount; ++c) {
                float* const* const band = channels[c];
                const __m512 x = _mm512_loadu_ps(band[0] + e);   // before band 0 is overwritten
#if defined(__GNUC__)
#pragma GCC unroll 3
#endif
                for (int b = 0; b < 3; ++b)
                    _mm512_storeu_ps(band[b] + e, _mm512_mul_ps(x, floatGain[b]));
            }
        } else {
            // Each entry's gain serves two neighbouring elements.
            __m512d low[3], high[3];
#if defined(__GNUC__)
#pragma GCC unroll 3
#endif
            for (int b = 0; b < 3; ++b) {
                const __m512d g = _mm512_loadu_pd(gain[b] + entry);
                low[b] = _mm512_permutexvar_pd(lowHalf, g);
                high[b] = _mm512_permutexvar_pd(highHalf, g);
            }
            for (int c = 0; c < channelCount; ++c) {
                float* const* const band = channels[c];
                const __m512 x = _mm512_loadu_ps(band[0] + e);
                const __m512d xLow = _mm512_cvtps_pd(_mm512_castps512_ps256(x));
                const __m512d xHigh =
                    _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(x), 1)));
#if defined(__GNUC__)
#pragma GCC unroll 3
#endif
                for (int b = 0; b < 3; ++b) {
                    _mm256_storeu_ps(band[b] + e, _mm512_cvtpd_ps(_mm512_mul_pd(xLow, low[b])));
                    _mm256_storeu_ps(band[b] + e + 8, _mm512_cvtpd_ps(_mm512_mul_pd(xHigh, high[b])));
                }
            }
        }
    }
    return e;
}

} // namespace avx512
} // namespace korvax
