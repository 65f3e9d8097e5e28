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

} // namespace korvax
