#include "dsp/band_mask.h"

#include <cmath>
#include <cstring>

#include "dsp/fpu_guard.h"
#include "dsp/kernels.h"
#include "params/curves.h"

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
using mask::GainShape;

GainShape Shape(std::int32_t count, std::int32_t sampleRate, float lowEdgeHz, float highEdgeHz) noexcept
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
inline double Gain(const GainShape& shape, double i, double s) noexcept
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

// Each element pair of one channel's three bands, from odd element `first`
// on: band 0 holds the spectrum and is scaled in place, bands 1 and 2 receive
// it scaled; element count (past the spectrum) is each band's own.
void ScaleBands(float* const (&band)[3], std::int32_t first, std::int32_t count,
                const double* const (&gain)[3]) noexcept
{
    for (std::int32_t i = first; i < count; i += 2) {
        const std::int32_t entry = (i - 1) / 2;
        const float x0 = band[0][i];
        const float x1 = band[0][i + 1];
        for (int b = 0; b < 3; ++b) {
            band[b][i] = Scaled(x0, gain[b][entry]);
            band[b][i + 1] = Scaled(i + 1 < count || b == 0 ? x1 : band[b][i + 1], gain[b][entry]);
        }
    }
}

// Whether a gain is +0.0 or 1.0, which a float times it reproduces exactly.
bool IsZeroOrOne(double gain) noexcept
{
    std::uint64_t bits;
    std::memcpy(&bits, &gain, sizeof bits);
    return bits == 0 || gain == 1.0;
}

// The step code (mask::kExactStep) of gain entries `entry` and `entry` + 1.
std::uint8_t StepCode(const double* const (&gain)[3], std::int32_t entry) noexcept
{
    unsigned code = mask::kExactStep;
    for (int b = 0; b < 3; ++b) {
        for (int half = 0; half < 2; ++half) {
            const double g = gain[b][entry + half];
            if (!IsZeroOrOne(g))
                return 0;
            if (g == 1.0)
                code |= 1u << (2 * b + half);
        }
    }
    return static_cast<std::uint8_t>(code);
}

// The gains of the odd elements from `first` on, and the codes of the steps
// whose second entry they complete (a last step of one entry gets code 0).
void GainsFrom(std::int32_t first, const GainShape (&shapes)[3], double k, std::int32_t count,
               double* const (&gain)[3], std::uint8_t* codes) noexcept
{
    for (std::int32_t e = first; e < count; e += 2) {
        const std::int32_t entry = (e - 1) / 2;
        const double s = Slope(count, e, k);
        for (int b = 0; b < 3; ++b)
            gain[b][entry] = Gain(shapes[b], double(e), s);
        if (entry % 2 == 1)
            codes[entry / 2] = StepCode(gain, entry - 1);
        else if (e + 2 >= count)
            codes[entry / 2] = 0;
    }
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
    const GainShape shape = Shape(count, sampleRate, lowEdgeHz, highEdgeHz);
    const double k = SlopeFactor(steepness);
    for (std::int32_t i = 1; i < count; i += 2) {
        const double gain = Gain(shape, double(i), Slope(count, i, k));
        spectrum[i] = Scaled(spectrum[i], gain);
        spectrum[i + 1] = Scaled(spectrum[i + 1], gain);
    }
}

namespace plain {

std::int32_t PrepareGains(const mask::GainShape (&shapes)[3], const double*, double k, std::int32_t count,
                          double* const (&gain)[3], std::uint8_t* codes) noexcept
{
    GainsFrom(1, shapes, k, count, gain, codes);
    return count;
}

std::int32_t ApplyGains(float* const (&left)[3], float* const (&right)[3], std::int32_t count,
                        const double* const (&gain)[3], const std::uint8_t*) noexcept
{
    ScaleBands(left, 1, count, gain);
    if (right[0] != nullptr)
        ScaleBands(right, 1, count, gain);
    return count;
}

} // namespace plain

namespace {

bool SameBits(float a, float b) noexcept
{
    return std::memcmp(&a, &b, sizeof a) == 0;
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

// The kernels take the engine's length, whose quotients come from the table,
// as far as their steps reach; the plain code does the rest.
void PrepareBandGains(BandGainTable& table, std::int32_t count, std::int32_t sampleRate,
                      const BandEdges (&edges)[3], float steepness) noexcept
{
    table.valid = false;
    if (count > 2 * kBandGainCount)
        return;
    GainShape shapes[3];
    for (int b = 0; b < 3; ++b)
        shapes[b] = Shape(count, sampleRate, edges[b].lowHz, edges[b].highHz);
    const double k = SlopeFactor(steepness);
    double* const gain[3] = {table.gain[0], table.gain[1], table.gain[2]};
    std::int32_t e = 1;
    if (count == kTableCount && gQuotientsReady)
        e = ActiveKernels().prepareGains(shapes, gQuotients, k, count, gain, table.exact);
    GainsFrom(e, shapes, k, count, gain, table.exact);
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
    const std::int32_t count = table.count;
    const double* const gain[3] = {table.gain[0], table.gain[1], table.gain[2]};
    const Kernels& kernels = ActiveKernels();
    float* const none[3] = {nullptr, nullptr, nullptr};
    for (int c = 0; c < channelCount; c += 2) {
        float* const (&left)[3] = channels[c].band;
        float* const (&right)[3] = c + 1 < channelCount ? channels[c + 1].band : none;
        // DC, which no mask scales, is copied into the other bands as it is.
        left[1][0] = left[2][0] = left[0][0];
        if (right[0] != nullptr)
            right[1][0] = right[2][0] = right[0][0];
        const std::int32_t e = kernels.applyGains(left, right, count, gain, table.exact);
        ScaleBands(left, e, count, gain);
        if (right[0] != nullptr)
            ScaleBands(right, e, count, gain);
    }
}

} // namespace korvax
