#pragma once
// Shapes one band out of a packed spectrum: gain 1 between the edges, 0 well
// outside them, and at each edge a ramp through exactly 0.5 whose slope the
// steepness sets. In place; no state, no allocation.

#include <cstdint>

namespace korvax {

// Scales elements 1 .. count (the element just past the spectrum too, so the
// array holds count + 1 floats) two at a time; element 0 (DC) is never touched.
// A lower edge below 19 Hz switches the lower ramp off, an upper edge above
// 23995 Hz the upper one.
void ApplyBandMask(float* spectrum, std::int32_t count, std::int32_t sampleRate, float lowEdgeHz,
                   float highEdgeHz, float steepness) noexcept;

// Three bands out of one channel's spectrum at once, as a block completion
// needs them. band[0] holds the spectrum on entry; on return band[b] holds what
// copying elements 0 .. count - 1 of it into band[b] and then calling
// ApplyBandMask(band[b], count, sampleRate, edges[b].lowHz, edges[b].highHz,
// steepness) leaves, for b = 0, 1, 2. Element count of each band (past the
// spectrum) is that band's own, scaled as ApplyBandMask scales it. The gains are
// formed once per element for all the channels given.
struct BandEdges {
    float lowHz;
    float highHz;
};
struct ChannelBands {
    float* band[3];
};
void ApplyBandMasks(const ChannelBands* channels, int channelCount, std::int32_t count, std::int32_t sampleRate,
                    const BandEdges (&edges)[3], float steepness) noexcept;

} // namespace korvax
