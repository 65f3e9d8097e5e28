#include "dsp/band_mask.h"

#include <cmath>

namespace korvax {
namespace {

// Ramps switch off for edges outside this range: a lower edge below it lets the
// band reach down to DC, an upper edge above it lets the band reach Nyquist.
constexpr double kLowestRampedEdgeHz = 19.0;
constexpr double kHighestRampedEdgeHz = 23995.0;

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

} // namespace

// Per odd element i, with s = (count / i) * k:
//   lowRamp  = (lowIndex - i) * s * 0.1 + 0.5,  highRamp = (i - highIndex) * s * 0.1 + 0.5,
//   gain = 1 - (highRamp + lowRamp), each ramp and the gain limited to 0 .. 1.
// Since s falls as 1/i, the transition depends on the ratio of frequency to edge.
//
// Precision: every decimal constant is a double; k = exp(...) / exp(11) and
// lowRamp are rounded to float; s, highRamp and the gain stay double; each
// element is multiplied by the gain in double and rounded once.
void ApplyBandMask(float* spectrum, std::int32_t count, std::int32_t sampleRate, float lowEdgeHz,
                   float highEdgeHz, float steepness) noexcept
{
    if (count <= 1)
        return;

    const std::int32_t lowIndex = EdgeIndex(lowEdgeHz, count, sampleRate);
    const std::int32_t highIndex = EdgeIndex(highEdgeHz, count, sampleRate);
    const float k = static_cast<float>(std::exp((0.5 * double(steepness) + 0.15) * 9.0) / std::exp(11.0));
    const bool lowRampOn = !(double(lowEdgeHz) < kLowestRampedEdgeHz);
    const bool highRampOn = !(double(highEdgeHz) > kHighestRampedEdgeHz);

    for (std::int32_t i = 1; i < count; i += 2) {
        const double s = (double(count) / double(i)) * double(k);

        // The limits are written so that a NaN ramp (from a non-finite steepness)
        // counts as 0 rather than spreading into the spectrum.
        float lowRamp = static_cast<float>(double(lowIndex - i) * s * 0.1 + 0.5);
        if (!(lowRamp >= 0.0f) || !lowRampOn)
            lowRamp = 0.0f;

        double highRamp = double(i - highIndex) * s * 0.1 + 0.5;
        if (!(highRamp >= 0.0) || !highRampOn)
            highRamp = 0.0;

        double gain = 1.0 - (highRamp + double(lowRamp));
        if (gain < 0.0)
            gain = 0.0;
        else if (gain > 1.0)
            gain = 1.0;

        spectrum[i] = static_cast<float>(double(spectrum[i]) * gain);
        spectrum[i + 1] = static_cast<float>(double(spectrum[i + 1]) * gain);
    }
}

} // namespace korvax
