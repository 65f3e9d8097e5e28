#pragma once
// The wide kernel behind PrepareBandGains, and the choice of it. Internal to
// dsp/: the engine and the tests reach the masks through dsp/band_mask.h; the
// tests use the choice below to run both paths.

#include <cstdint>

namespace korvax::mask {

// One band's mask shape: the edge indices (whole numbers held as doubles) and
// whether each ramp is on.
struct GainShape {
    double lowIndex;
    double highIndex;
    bool lowRampOn;
    bool highRampOn;
};

// The gains of the odd elements e = 1, 3, 5, ... in steps of sixteen elements
// while e + 15 < count, as the two-lane code forms them, for the three bands:
// gain[b][(e - 1) / 2], with quotients[(e - 1) / 2] = count / e and the slope
// factor k; and the step codes of PrepareBandGains for every two entries.
// Returns the first odd element not done. Built for AVX-512.
using PrepareGainsWide = std::int32_t (*)(const GainShape (&shapes)[3], const double* quotients, double k,
                                          std::int32_t count, double* const (&gain)[3], std::uint8_t* codes);
std::int32_t PrepareGainsAvx512(const GainShape (&shapes)[3], const double* quotients, double k,
                                std::int32_t count, double* const (&gain)[3], std::uint8_t* codes) noexcept;

// TableMasks's loop for one channel's three bands (right[0] null) or two
// channels' (band 0 the spectrum, scaled in place): from element 1, sixteen
// elements at a time while the last of them lies below count, with the table's
// gains and step codes. Returns the first element not done (odd). Built for
// AVX-512.
using ApplyGainsWide = std::int32_t (*)(float* const (&left)[3], float* const (&right)[3], std::int32_t count,
                                        const double* const (&gain)[3], const std::uint8_t* codes);
std::int32_t ApplyGainsAvx512(float* const (&left)[3], float* const (&right)[3], std::int32_t count,
                              const double* const (&gain)[3], const std::uint8_t* codes) noexcept;

// The code of a step whose six gains are each +0.0 or 1.0 (see band_mask.cpp).
inline constexpr unsigned kExactStep = 0x80;

// For tests: whether PrepareBandGains and ApplyBandGains use the wide kernels
// where the processor has them (the default) or the two-lane code. Returns
// false, changing nothing, when asked for a kernel this build or processor lacks.
bool UseWideGains(bool wide) noexcept;
bool WideGainsAvailable() noexcept;

} // namespace korvax::mask
