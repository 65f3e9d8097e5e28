// The band masks' gain table on SSE2: gains worked out two odd elements at a
// time, and spectra scaled four elements at a time. Each lane takes the
// operations of Gain and Scaled in band_mask.cpp, in the same order.

#include "dsp/kernels.h"

#include <emmintrin.h>

namespace korvax {
namespace {

// A band's shape in both lanes. The limits of Gain become masks: a ramp
// failing "ramp >= 0" (NaN included) or switched off is +0, a gain below 0 is
// +0 and one above 1 is 1.
struct VectorShape {
    __m128d lowIndex;
    __m128d highIndex;
    __m128d lowRampOn;    // all ones or all zeros
    __m128d highRampOn;
};

VectorShape Widen(const mask::GainShape& shape) noexcept
{
    const __m128d on = _mm_castsi128_pd(_mm_set1_epi32(-1));
    const __m128d off = _mm_setzero_pd();
    return {_mm_set1_pd(shape.lowIndex), _mm_set1_pd(shape.highIndex), shape.lowRampOn ? on : off,
            shape.highRampOn ? on : off};
}

// The gains of the odd elements in lanes i and i + 2.
inline __m128d VectorGain(const VectorShape& shape, __m128d i, __m128d s) noexcept
{
    const __m128d tenth = _mm_set1_pd(0.1);
    const __m128d half = _mm_set1_pd(0.5);
    const __m128d zero = _mm_setzero_pd();
    const __m128d one = _mm_set1_pd(1.0);

    __m128d lowRamp = _mm_cvtps_pd(_mm_cvtpd_ps(
        _mm_add_pd(_mm_mul_pd(_mm_mul_pd(_mm_sub_pd(shape.lowIndex, i), s), tenth), half)));
    lowRamp = _mm_and_pd(lowRamp, _mm_and_pd(_mm_cmpge_pd(lowRamp, zero), shape.lowRampOn));

    __m128d highRamp = _mm_add_pd(_mm_mul_pd(_mm_mul_pd(_mm_sub_pd(i, shape.highIndex), s), tenth), half);
    highRamp = _mm_and_pd(highRamp, _mm_and_pd(_mm_cmpge_pd(highRamp, zero), shape.highRampOn));

    __m128d gain = _mm_sub_pd(one, _mm_add_pd(highRamp, lowRamp));
    gain = _mm_andnot_pd(_mm_cmplt_pd(gain, zero), gain);
    const __m128d above = _mm_cmpgt_pd(gain, one);
    return _mm_or_pd(_mm_and_pd(above, one), _mm_andnot_pd(above, gain));
}

// The step code of the two entries in the lanes of gains[0 .. 2].
std::uint8_t StepCode(const __m128d (&gains)[3]) noexcept
{
    const __m128d one = _mm_set1_pd(1.0);
    unsigned code = mask::kExactStep;
    unsigned allExact = 3;
    for (int b = 0; b < 3; ++b) {
        const unsigned ones = unsigned(_mm_movemask_pd(_mm_cmpeq_pd(gains[b], one)));
        // +0.0 only: both 32-bit halves of the lane zero.
        const unsigned zeroHalves = unsigned(
            _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castpd_si128(gains[b]), _mm_setzero_si128()))));
        const unsigned zeros = ((zeroHalves & 3) == 3 ? 1u : 0u) | ((zeroHalves & 12) == 12 ? 2u : 0u);
        allExact &= ones | zeros;
        code |= ones << (2 * b);
    }
    return static_cast<std::uint8_t>(allExact == 3 ? code : 0);
}

// Two adjacent floats at any float address (the 64-bit moves need no alignment).
inline __m128d LoadTwoWidened(const float* p) noexcept
{
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

inline void StoreTwoNarrowed(float* p, __m128d v) noexcept
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
}

// One channel's elements e .. e + 3 in its three bands: band 0's values times
// each band's gains, element pair e, e + 1 by the gain of lane 0 and e + 2,
// e + 3 by that of lane 1, each product in double and rounded once.
inline void ScaleFour(float* const (&band)[3], std::int32_t e, const __m128d (&gains)[3]) noexcept
{
    const __m128d low = LoadTwoWidened(band[0] + e);   // before band 0 is overwritten
    const __m128d high = LoadTwoWidened(band[0] + e + 2);
    for (int b = 0; b < 3; ++b) {
        StoreTwoNarrowed(band[b] + e, _mm_mul_pd(low, _mm_unpacklo_pd(gains[b], gains[b])));
        StoreTwoNarrowed(band[b] + e + 2, _mm_mul_pd(high, _mm_unpackhi_pd(gains[b], gains[b])));
    }
}

// The same where every gain of the step is +0.0 or 1.0: a float times such a
// gain is exact in float, so the float product is the same number (NaN for an
// infinity times 0, the zero's sign from the element).
inline void ScaleFourExact(float* const (&band)[3], std::int32_t e, const __m128 (&gains)[3]) noexcept
{
    const __m128 x = _mm_loadu_ps(band[0] + e);
    for (int b = 0; b < 3; ++b)
        _mm_storeu_ps(band[b] + e, _mm_mul_ps(x, gains[b]));
}

} // namespace

namespace sse2 {

std::int32_t PrepareGains(const mask::GainShape (&shapes)[3], const double* quotients, double k, std::int32_t count,
                          double* const (&gain)[3], std::uint8_t* codes) noexcept
{
    VectorShape v[3];
    for (int b = 0; b < 3; ++b)
        v[b] = Widen(shapes[b]);
    const __m128d slope = _mm_set1_pd(k);
    std::int32_t e = 1;
    for (__m128d i = _mm_set_pd(3.0, 1.0); e + 3 < count; e += 4, i = _mm_add_pd(i, _mm_set1_pd(4.0))) {
        const std::int32_t entry = (e - 1) / 2;
        const __m128d s = _mm_mul_pd(_mm_loadu_pd(quotients + entry), slope);
        __m128d gains[3];
        for (int b = 0; b < 3; ++b) {
            gains[b] = VectorGain(v[b], i, s);
            _mm_storeu_pd(gain[b] + entry, gains[b]);
        }
        codes[entry / 2] = StepCode(gains);
    }
    return e;
}

std::int32_t ApplyGains(float* const (&left)[3], float* const (&right)[3], std::int32_t count,
                        const double* const (&gain)[3], const std::uint8_t* codes) noexcept
{
    // The float gains a code's two bits stand for, each entry's gain twice.
    alignas(16) static const float kPatterns[4][4] = {{0, 0, 0, 0}, {1, 1, 0, 0}, {0, 0, 1, 1}, {1, 1, 1, 1}};
    const bool stereo = right[0] != nullptr;
    std::int32_t e = 1;
    for (; e + 3 < count; e += 4) {
        const std::int32_t entry = (e - 1) / 2;
        const unsigned code = codes[entry / 2];
        if ((code & mask::kExactStep) != 0) {
            const __m128 gains[3] = {_mm_load_ps(kPatterns[code & 3]), _mm_load_ps(kPatterns[(code >> 2) & 3]),
                                     _mm_load_ps(kPatterns[(code >> 4) & 3])};
            ScaleFourExact(left, e, gains);
            if (stereo)
                ScaleFourExact(right, e, gains);
        } else {
            const __m128d gains[3] = {_mm_loadu_pd(gain[0] + entry), _mm_loadu_pd(gain[1] + entry),
                                      _mm_loadu_pd(gain[2] + entry)};
            ScaleFour(left, e, gains);
            if (stereo)
                ScaleFour(right, e, gains);
        }
    }
    return e;
}

} // namespace sse2
} // namespace korvax
