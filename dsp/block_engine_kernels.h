#pragma once
// The wide kernels behind the engine's gathering and cross-fade, and the choice
// of them.
// Internal to dsp/; the tests use the choice below to run both paths.

#include <cstdint>

#include "dsp/dynamics.h"

namespace korvax::engine {

// The cross-fade of GatherAndFadeRun for pairs 0 .. count - 1 in steps of
// eight: pair j reads the twelve buffers at offset j (fromA[2 * band +
// channel] points at the position pair 0 reads in pipeline A's buffer, fromB[..]
// in B's; `first` is that position in A), weighs
// them as the engine does and writes bands[j]. Returns the pairs done, a
// multiple of eight. Built for AVX-512.
std::int32_t CrossFadeAvx512(const float* const* fromA, const float* const* fromB, std::uint32_t first,
                             BandValues* bands, std::int32_t count) noexcept;

// The gathering of GatherAndFadeRun for pairs 0 .. count - 1 in steps of
// eight: pair j's input (input[2j], input[2j + 1]) times `gain` in double,
// rounded to float and held within +-limit (NaN passing), to toA[channel][j]
// and toB[channel][j]. Returns the pairs done, a multiple of eight. Built for
// AVX-512.
std::int32_t GatherAvx512(const float* input, double gain, float limit, float* const (&toA)[2],
                          float* const (&toB)[2], std::int32_t count) noexcept;

// For tests: whether the engine uses the wide kernels where the processor has
// them (the default). Returns false, changing nothing, when asked for a kernel
// this build or processor lacks.
bool UseWideCrossFade(bool wide) noexcept;
bool WideCrossFadeAvailable() noexcept;

} // namespace korvax::engine
