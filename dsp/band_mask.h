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

// Three bands out of a channel's spectrum at once, as a block completion needs
// them, with their gains worked out once per setting and kept in a table while
// the setting holds (an engine's settings change far less often than it
// completes blocks). Band b of the setting has the edges edges[b].
struct BandEdges {
    float lowHz;
    float highHz;
};
struct ChannelBands {
    float* band[3];
};

// Serves spectra of up to kBandGainCount * 2 elements.
inline constexpr std::int32_t kBandGainCount = 8192;
struct BandGainTable {
    double gain[3][kBandGainCount];   // entry (i - 1) / 2: the gain of element pair i, i + 1 (i odd)
    // Per step of entries 2s, 2s + 1: whether (and how) every gain of the step
    // is +0.0 or 1.0 (mask::kExactStep in dsp/kernels.h).
    std::uint8_t exact[kBandGainCount / 2];
    // The setting the gains belong to; `valid` false until the first one.
    bool valid;
    std::int32_t count;
    std::int32_t sampleRate;
    BandEdges edges[3];
    float steepness;
};

// Whether the table holds the gains of this setting (floats compared bit for bit).
bool BandGainsMatch(const BandGainTable& table, std::int32_t count, std::int32_t sampleRate,
                    const BandEdges (&edges)[3], float steepness) noexcept;

// Works out the gains for this setting. count above 2 * kBandGainCount leaves
// the table invalid.
void PrepareBandGains(BandGainTable& table, std::int32_t count, std::int32_t sampleRate,
                      const BandEdges (&edges)[3], float steepness) noexcept;

// band[0] of each channel holds the spectrum on entry; on return band[b] holds
// what copying elements 0 .. count - 1 of it into band[b] and then calling
// ApplyBandMask(band[b], count, sampleRate, edges[b].lowHz, edges[b].highHz,
// steepness) with the table's setting leaves, for b = 0, 1, 2, bit for bit.
// Element count of each band (past the spectrum) is that band's own, scaled as
// ApplyBandMask scales it. Does nothing with an invalid table.
void ApplyBandGains(const ChannelBands* channels, int channelCount, const BandGainTable& table) noexcept;

} // namespace korvax
