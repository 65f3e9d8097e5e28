#include "dsp/band_mask.h"

#include <cmath>
#include <cstring>

#include "dsp/band_mask_kernels.h"
#include "dsp/fpu_guard.h"
#include "dsp/processor.h"
#include "params/curves.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvax {
namespace {

// Ramps switch off for edges outside this range: a lower edge below it lets the
// band reach down to DC, an upper edge above it lets the band reach Nyquist.
constexpr double kLowestRampedEdgeHz = 19.0;
constexpr double kHighestRampedEdgeHz = 23995.0;

// The engine's block length. For it the per-element quotients count / i come
// from a table, filled when the library is loaded with the very divisions the
// loop would make, so the mask does no division at run time.
constexpr std::int32_t kTableCount = 16384;
double gQuotients[kTableCount / 2];   // entry (i - 1) / 2: double(count) / double(i), i odd
const bool gQuotientsReady = [] {
    const FpuGuard guard;   // the loading thread's state is the host's
    for (std::int32_t i = 1; i < kTableCount; i += 2)
        gQuotients[(i - 1) / 2] = double(kTableCount) / double(i);
    return true;
}();

// Element at which an edge lies: count * (2 * edgeHz / sampleRate), truncated
// toward zero and limited to 0 .. count. The limits are applied in double before
// the conversion, so no out-of-range, infinite or NaN value reaches the integer.
// Below 0 only an edge under 0 Hz lands, whose ramp is switched off anyway.
//
// A sample rate of zero or below has no meaningful spectrum position; such an
// edge, and a NaN position, are placed at the top of the spectrum (count), the
// limit as the rate falls towards zero. Every band's edges then coincide there,
// so the bands still add up to one: the low band passes almost everything, the
// mid band nothing, the high band the complement of the low band.
//
// Precision: the position in double; one truncation to an integer.
std::int32_t EdgeIndex(float edgeHz, std::int32_t count, std::int32_t sampleRate) noexcept
{
    if (sampleRate <= 0)
        return count;
    const double position = double(count) * ((2.0 * double(edgeHz)) / double(sampleRate));
    if (!(position < double(count)))
        return count;
    if (position < 0.0)
        return 0;
    return static_cast<std::int32_t>(position);
}

// One band's mask for one call. The edge indices are whole numbers, held as
// doubles: index - i is then formed exactly in double, as in integers.
struct MaskShape {
    double lowIndex;
    double highIndex;
    bool lowRampOn;
    bool highRampOn;
};

MaskShape Shape(std::int32_t count, std::int32_t sampleRate, float lowEdgeHz, float highEdgeHz) noexcept
{
    return {double(EdgeIndex(lowEdgeHz, count, sampleRate)), double(EdgeIndex(highEdgeHz, count, sampleRate)),
            !(double(lowEdgeHz) < kLowestRampedEdgeHz), !(double(highEdgeHz) > kHighestRampedEdgeHz)};
}

// Precision: k = exp(...) / exp(11) rounded to float, every constant a double.
double SlopeFactor(float steepness) noexcept
{
    return double(SteepnessSlope(steepness));
}

// (count / i) * k for odd i.
inline double Slope(std::int32_t count, std::int32_t i, double k) noexcept
{
    const double quotient = count == kTableCount && gQuotientsReady ? gQuotients[(i - 1) / 2]
                                                                     : double(count) / double(i);
    return quotient * k;
}

// Per odd element i, with s = (count / i) * k:
//   lowRamp  = (lowIndex - i) * s * 0.1 + 0.5,  highRamp = (i - highIndex) * s * 0.1 + 0.5,
//   gain = 1 - (highRamp + lowRamp), each ramp and the gain limited to 0 .. 1.
// Since s falls as 1/i, the transition depends on the ratio of frequency to edge.
//
// Precision: lowRamp is rounded to float; s, highRamp and the gain stay double.
inline double Gain(const MaskShape& shape, double i, double s) noexcept
{
    // The limits are written so that a NaN ramp (from a non-finite steepness)
    // counts as 0 rather than spreading into the spectrum.
    float lowRamp = static_cast<float>((shape.lowIndex - i) * s * 0.1 + 0.5);
    if (!(lowRamp >= 0.0f) || !shape.lowRampOn)
        lowRamp = 0.0f;

    double highRamp = (i - shape.highIndex) * s * 0.1 + 0.5;
    if (!(highRamp >= 0.0) || !shape.highRampOn)
        highRamp = 0.0;

    double gain = 1.0 - (highRamp + double(lowRamp));
    if (gain < 0.0)
        gain = 0.0;
    else if (gain > 1.0)
        gain = 1.0;
    return gain;
}

// Each element is multiplied by the gain in double and rounded once.
inline float Scaled(float x, double gain) noexcept
{
    return static_cast<float>(double(x) * gain);
}

// The masks of `Bands` bands over `Channels` spectra, elements from odd `first`
// on: the gains of element pair i, i + 1 scale the spectrum's two elements into
// each band, except that element count is each band's own.
template <int Bands, int Channels>
inline void ScalePair(const ChannelBands* channels, std::int32_t i, std::int32_t count, const double* gains) noexcept
{
    for (int c = 0; c < Channels; ++c) {
        float* const* band = channels[c].band;
        const float x0 = band[0][i];
        const float x1 = band[0][i + 1];
        for (int b = 0; b < Bands; ++b) {
            band[b][i] = Scaled(x0, gains[b]);
            band[b][i + 1] = Scaled(i + 1 < count || b == 0 ? x1 : band[b][i + 1], gains[b]);
        }
    }
}

template <int Bands, int Channels>
void ScalarMasks(const ChannelBands* channels, std::int32_t first, std::int32_t count, const MaskShape* shapes,
                 double k) noexcept
{
    for (std::int32_t i = first; i < count; i += 2) {
        const double s = Slope(count, i, k);
        double gains[Bands];
        for (int b = 0; b < Bands; ++b)
            gains[b] = Gain(shapes[b], double(i), s);
        ScalePair<Bands, Channels>(channels, i, count, gains);
    }
}

#if defined(__SSE2__)
// Gain() on two odd elements at once (lanes i and i + 2). The limits become
// masks: a ramp failing "ramp >= 0" (NaN included) or switched off is +0, a gain
// below 0 is +0 and one above 1 is 1, as in the scalar code.
struct VectorShape {
    __m128d lowIndex;
    __m128d highIndex;
    __m128d lowRampOn;    // all ones or all zeros
    __m128d highRampOn;
};

VectorShape Widen(const MaskShape& shape) noexcept
{
    const __m128d on = _mm_castsi128_pd(_mm_set1_epi32(-1));
    const __m128d off = _mm_setzero_pd();
    return {_mm_set1_pd(shape.lowIndex), _mm_set1_pd(shape.highIndex), shape.lowRampOn ? on : off,
            shape.highRampOn ? on : off};
}

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

// Four elements (i .. i + 3) times the gains of lanes i and i + 2, each product
// in double and rounded once; `x` points to element i.
inline void VectorScaled(const float* x, float* out, __m128d gains) noexcept
{
    const __m128d low = _mm_mul_pd(_mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x)))),
                                   _mm_unpacklo_pd(gains, gains));
    const __m128d high = _mm_mul_pd(
        _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(x + 2)))),
        _mm_unpackhi_pd(gains, gains));
    _mm_storel_pi(reinterpret_cast<__m64*>(out), _mm_cvtpd_ps(low));
    _mm_storel_pi(reinterpret_cast<__m64*>(out + 2), _mm_cvtpd_ps(high));
}

// Whether every lane of every gain is exactly 0 or 1, as across most of the
// spectrum. A float times such a gain is exact in float: the product rounded
// from double and the float product are the same number (NaN for an infinity
// times 0, the zero's sign from the element).
template <int Bands>
inline bool AllZeroOrOne(const __m128d (&gains)[Bands]) noexcept
{
    const __m128d zero = _mm_setzero_pd();
    const __m128d one = _mm_set1_pd(1.0);
    __m128d exact = _mm_or_pd(_mm_cmpeq_pd(gains[0], zero), _mm_cmpeq_pd(gains[0], one));
    for (int b = 1; b < Bands; ++b)
        exact = _mm_and_pd(exact, _mm_or_pd(_mm_cmpeq_pd(gains[b], zero), _mm_cmpeq_pd(gains[b], one)));
    return _mm_movemask_pd(exact) == 3;
}

// The gains of lanes i and i + 2 as floats for elements i, i + 1, i + 2, i + 3.
inline __m128 PairedFloatGains(__m128d gains) noexcept
{
    const __m128 g = _mm_cvtpd_ps(gains);   // exact: each gain is 0 or 1
    return _mm_unpacklo_ps(g, g);
}

// Elements e .. e + 3 (e odd) of every band and channel times float gains
// (each 0 or 1, paired as PairedFloatGains pairs them).
template <int Bands, int Channels>
inline void ScaleFourExact(const ChannelBands* channels, std::int32_t e, const __m128* floatGains) noexcept
{
    for (int c = 0; c < Channels; ++c) {
        float* const* band = channels[c].band;
        const __m128 x = _mm_loadu_ps(band[0] + e);
        for (int b = 0; b < Bands; ++b)
            _mm_storeu_ps(band[b] + e, _mm_mul_ps(x, floatGains[b]));
    }
}

// Elements e .. e + 3 (e odd) of every band and channel times the gains of
// lanes e and e + 2; `exact` says every gain is 0 or 1.
template <int Bands, int Channels>
inline void ScaleFour(const ChannelBands* channels, std::int32_t e, const __m128d* gains, bool exact) noexcept
{
    if (exact) {
        __m128 floatGains[Bands];
        for (int b = 0; b < Bands; ++b)
            floatGains[b] = PairedFloatGains(gains[b]);
        ScaleFourExact<Bands, Channels>(channels, e, floatGains);
    } else {
        for (int c = 0; c < Channels; ++c) {
            float* const* band = channels[c].band;
            float x[4];
            _mm_storeu_ps(x, _mm_loadu_ps(band[0] + e));   // before band 0 is overwritten
            for (int b = 0; b < Bands; ++b)
                VectorScaled(x, band[b] + e, gains[b]);
        }
    }
}

// Element pairs i = 1, 5, 9, ... (two pairs per step) while the step ends below
// element count; returns the first odd element left for ScalarMasks.
template <int Bands, int Channels>
std::int32_t VectorMasks(const ChannelBands* channels, std::int32_t count, const MaskShape* shapes,
                         double k) noexcept
{
    VectorShape v[Bands];
    for (int b = 0; b < Bands; ++b)
        v[b] = Widen(shapes[b]);
    const __m128d slope = _mm_set1_pd(k);
    const __m128d step = _mm_set1_pd(4.0);
    const __m128d countValue = _mm_set1_pd(double(count));
    const bool table = count == kTableCount && gQuotientsReady;
    __m128d i = _mm_set_pd(3.0, 1.0);
    std::int32_t e = 1;
    for (; e + 3 < count; e += 4, i = _mm_add_pd(i, step)) {
        const __m128d quotient = table ? _mm_loadu_pd(gQuotients + (e - 1) / 2) : _mm_div_pd(countValue, i);
        const __m128d s = _mm_mul_pd(quotient, slope);
        __m128d gains[Bands];
        for (int b = 0; b < Bands; ++b)
            gains[b] = VectorGain(v[b], i, s);
        ScaleFour<Bands, Channels>(channels, e, gains, AllZeroOrOne(gains));
    }
    return e;
}
#endif

template <int Bands, int Channels>
void Masks(const ChannelBands* channels, std::int32_t count, const MaskShape* shapes, double k) noexcept
{
#if defined(__SSE2__)
    const std::int32_t rest = VectorMasks<Bands, Channels>(channels, count, shapes, k);
#else
    const std::int32_t rest = 1;
#endif
    ScalarMasks<Bands, Channels>(channels, rest, count, shapes, k);
}

} // namespace

// Precision: every decimal constant is a double; k = exp(...) / exp(11) and
// lowRamp are rounded to float; s, highRamp and the gain stay double; each
// element is multiplied by the gain in double and rounded once.
void ApplyBandMask(float* spectrum, std::int32_t count, std::int32_t sampleRate, float lowEdgeHz,
                   float highEdgeHz, float steepness) noexcept
{
    if (count <= 1)
        return;
    const MaskShape shape = Shape(count, sampleRate, lowEdgeHz, highEdgeHz);
    const ChannelBands channel = {{spectrum, nullptr, nullptr}};
    Masks<1, 1>(&channel, count, &shape, SlopeFactor(steepness));
}

namespace {

// DC, which no mask scales, is copied into the other bands as it is.
void CopyDc(const ChannelBands* channels, int channelCount) noexcept
{
    for (int c = 0; c < channelCount; ++c) {
        float* const* band = channels[c].band;
        band[1][0] = band[0][0];
        band[2][0] = band[0][0];
    }
}

void Shapes(MaskShape (&shapes)[3], std::int32_t count, std::int32_t sampleRate, const BandEdges (&edges)[3]) noexcept
{
    for (int b = 0; b < 3; ++b)
        shapes[b] = Shape(count, sampleRate, edges[b].lowHz, edges[b].highHz);
}

bool SameBits(float a, float b) noexcept
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

#if defined(__SSE2__)
// A step of two entries whose six gains are each +0.0 or 1.0 gets kExactStep
// and, per band b, bit 2b for entry e at 1.0 and bit 2b + 1 for entry e + 1;
// any other step gets 0 and takes the products in double.
using mask::kExactStep;

std::uint8_t ExactCode(const __m128d (&gains)[3]) noexcept
{
    const __m128d one = _mm_set1_pd(1.0);
    unsigned code = kExactStep;
    unsigned allExact = 3;
    for (int b = 0; b < 3; ++b) {
        const unsigned ones = unsigned(_mm_movemask_pd(_mm_cmpeq_pd(gains[b], one)));
        // +0.0 only: both 32-bit halves of the lane zero.
        const unsigned zeroHalves =
            unsigned(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(_mm_castpd_si128(gains[b]), _mm_setzero_si128()))));
        const unsigned zeros = ((zeroHalves & 3) == 3 ? 1u : 0u) | ((zeroHalves & 12) == 12 ? 2u : 0u);
        allExact &= ones | zeros;
        code |= ones << (2 * b);
    }
    return static_cast<std::uint8_t>(allExact == 3 ? code : 0);
}
#endif

// The wide kernels for working out and applying the gain table, where the
// processor has them (both or neither); chosen when the library loads.
struct WideKernels {
    mask::PrepareGainsWide prepare;
    mask::ApplyGainsWide apply;
};

WideKernels WidestKernels() noexcept
{
#if defined(KORVAX_MASK_AVX512)
    if (processor::HasAvx512())
        return {&mask::PrepareGainsAvx512, &mask::ApplyGainsAvx512};
#endif
    return {nullptr, nullptr};
}

WideKernels gWide = WidestKernels();

template <int Channels>
void TableMasks(const ChannelBands* channels, const BandGainTable& table) noexcept
{
    const std::int32_t count = table.count;
    std::int32_t e = 1;
    if (gWide.apply != nullptr) {
        float* const none[3] = {nullptr, nullptr, nullptr};
        const double* const gains[3] = {table.gain[0], table.gain[1], table.gain[2]};
        e = gWide.apply(channels[0].band, Channels == 2 ? channels[1].band : none, count, gains, table.exact);
    }
#if defined(__SSE2__)
    // The float gains an exact step's pattern stands for (see ExactCode).
    alignas(16) static const float kPatterns[4][4] = {{0, 0, 0, 0}, {1, 1, 0, 0}, {0, 0, 1, 1}, {1, 1, 1, 1}};
    for (; e + 3 < count; e += 4) {
        const std::int32_t entry = (e - 1) / 2;
        const unsigned code = table.exact[entry / 2];
        if ((code & kExactStep) != 0) {
            const __m128 floatGains[3] = {_mm_load_ps(kPatterns[code & 3]), _mm_load_ps(kPatterns[(code >> 2) & 3]),
                                          _mm_load_ps(kPatterns[(code >> 4) & 3])};
            ScaleFourExact<3, Channels>(channels, e, floatGains);
        } else {
            const __m128d gains[3] = {_mm_loadu_pd(table.gain[0] + entry), _mm_loadu_pd(table.gain[1] + entry),
                                      _mm_loadu_pd(table.gain[2] + entry)};
            ScaleFour<3, Channels>(channels, e, gains, false);
        }
    }
#endif
    for (; e < count; e += 2) {
        const std::int32_t entry = (e - 1) / 2;
        const double gains[3] = {table.gain[0][entry], table.gain[1][entry], table.gain[2][entry]};
        ScalePair<3, Channels>(channels, e, count, gains);
    }
}

} // namespace

bool BandGainsMatch(const BandGainTable& table, std::int32_t count, std::int32_t sampleRate,
                    const BandEdges (&edges)[3], float steepness) noexcept
{
    if (!table.valid || table.count != count || table.sampleRate != sampleRate ||
        !SameBits(table.steepness, steepness))
        return false;
    for (int b = 0; b < 3; ++b)
        if (!SameBits(table.edges[b].lowHz, edges[b].lowHz) || !SameBits(table.edges[b].highHz, edges[b].highHz))
            return false;
    return true;
}

// The gains are those ScalarMasks and VectorMasks form, element pair by element
// pair; the pairs the vector loop covers take the vector code's gains.
namespace mask {

bool WideGainsAvailable() noexcept
{
    return WidestKernels().prepare != nullptr;
}

bool UseWideGains(bool wide) noexcept
{
    if (wide && !WideGainsAvailable())
        return false;
    gWide = wide ? WidestKernels() : WideKernels{nullptr, nullptr};
    return true;
}

} // namespace mask

void PrepareBandGains(BandGainTable& table, std::int32_t count, std::int32_t sampleRate,
                      const BandEdges (&edges)[3], float steepness) noexcept
{
    table.valid = false;
    if (count > 2 * kBandGainCount)
        return;
    MaskShape shapes[3];
    Shapes(shapes, count, sampleRate, edges);
    const double k = SlopeFactor(steepness);
    std::int32_t e = 1;
    const bool quotientTable = count == kTableCount && gQuotientsReady;
    if (quotientTable && gWide.prepare != nullptr) {
        const mask::GainShape wide[3] = {
            {shapes[0].lowIndex, shapes[0].highIndex, shapes[0].lowRampOn, shapes[0].highRampOn},
            {shapes[1].lowIndex, shapes[1].highIndex, shapes[1].lowRampOn, shapes[1].highRampOn},
            {shapes[2].lowIndex, shapes[2].highIndex, shapes[2].lowRampOn, shapes[2].highRampOn}};
        double* const gains[3] = {table.gain[0], table.gain[1], table.gain[2]};
        e = gWide.prepare(wide, gQuotients, k, count, gains, table.exact);
    }
#if defined(__SSE2__)
    VectorShape v[3];
    for (int b = 0; b < 3; ++b)
        v[b] = Widen(shapes[b]);
    const __m128d slope = _mm_set1_pd(k);
    const __m128d countValue = _mm_set1_pd(double(count));
    for (__m128d i = _mm_set_pd(double(e + 2), double(e)); e + 3 < count;
         e += 4, i = _mm_add_pd(i, _mm_set1_pd(4.0))) {
        const std::int32_t entry = (e - 1) / 2;
        const __m128d quotient =
            quotientTable ? _mm_loadu_pd(gQuotients + entry) : _mm_div_pd(countValue, i);
        const __m128d s = _mm_mul_pd(quotient, slope);
        __m128d gains[3];
        for (int b = 0; b < 3; ++b) {
            gains[b] = VectorGain(v[b], i, s);
            _mm_storeu_pd(table.gain[b] + entry, gains[b]);
        }
        table.exact[entry / 2] = ExactCode(gains);
    }
#endif
    for (; e < count; e += 2) {
        const double s = Slope(count, e, k);
        for (int b = 0; b < 3; ++b)
            table.gain[b][(e - 1) / 2] = Gain(shapes[b], double(e), s);
    }
    table.count = count;
    table.sampleRate = sampleRate;
    for (int b = 0; b < 3; ++b)
        table.edges[b] = edges[b];
    table.steepness = steepness;
    table.valid = true;
}

void ApplyBandGains(const ChannelBands* channels, int channelCount, const BandGainTable& table) noexcept
{
    if (!table.valid || table.count <= 0)
        return;
    CopyDc(channels, channelCount);
    for (int c = 0; c + 1 < channelCount; c += 2)
        TableMasks<2>(channels + c, table);
    if (channelCount % 2 != 0)
        TableMasks<1>(channels + channelCount - 1, table);
}

void ApplyBandMasks(const ChannelBands* channels, int channelCount, std::int32_t count, std::int32_t sampleRate,
                    const BandEdges (&edges)[3], float steepness) noexcept
{
    if (count <= 0)
        return;
    CopyDc(channels, channelCount);
    if (count <= 1)
        return;
    MaskShape shapes[3];
    Shapes(shapes, count, sampleRate, edges);
    const double k = SlopeFactor(steepness);
    for (int c = 0; c + 1 < channelCount; c += 2)
        Masks<3, 2>(channels + c, count, shapes, k);
    if (channelCount % 2 != 0)
        Masks<3, 1>(channels + channelCount - 1, count, shapes, k);
}

} // namespace korvax
