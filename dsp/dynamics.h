#pragma once
// Band dynamics and output stage: per sample pair, compress each band with its
// own followers, mix compressed and dry by the ratio, apply the band's output
// gain, set the low band's stereo width, sum the bands and limit the sums.
//
// Levels are linear with full scale 1.0 (the input gain already holds 2^-15);
// only the final output is scaled back by 32768. Nothing here allocates or fails.

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/dynamics_coefficients.h"
#include "params/working_parameters.h"

namespace korvax {

struct GainState {       // 1.0 = no reduction; always within [0, 1]
    float gain;
};

// Low L, low R, mid L, mid R, high L, high R, limiter L, limiter R.
inline constexpr int kGainStateCount = 8;
using GainStates = std::array<GainState, kGainStateCount>;
static_assert(std::is_trivially_copyable_v<GainStates>);

// The six band values of one sample pair: low L, low R, mid L, mid R, high L, high R.
inline constexpr int kBandValueCount = 6;
using BandValues = std::array<float, kBandValueCount>;

struct OutputPair {
    float left;
    float right;
};

// Sets all eight gain states to 0.1.
void ResetGainStates(GainStates& gains) noexcept;

// Evaluates every exponential, cube and square root of the stage, once per call.
DynamicsCoefficients PrepareDynamics(const WorkingParameters& working) noexcept;

// One sample pair: returns the output pair in the host's scale and updates the gains.
OutputPair ProcessDynamics(const DynamicsCoefficients& c, GainStates& gains, const BandValues& bands) noexcept;

// The gain meters: per gain state, the smallest value it held after any pair
// since the meters were last cleared (1.0 when cleared: no reduction), and how
// many pairs that covers. Reading them changes nothing the machine computes.
struct GainMeters {
    std::array<float, kGainStateCount> lowest;
    std::int64_t pairs;
};
void ClearGainMeters(GainMeters& meters) noexcept;

// ProcessDynamics for `count` consecutive pairs: out[i] for bands[i], the gains
// carried from pair to pair. The same results as that many calls. Runs the
// chosen tier's kernel (dsp/kernels.h) for coefficients and gains in their
// usual ranges, which every setting gives, and the plain code otherwise. With
// `meters` not null the pairs also enter the meters.
void ProcessDynamicsPairs(const DynamicsCoefficients& c, GainStates& gains, const BandValues* bands,
                          OutputPair* out, std::int32_t count, GainMeters* meters = nullptr) noexcept;

// The plain code for one pair, one channel at a time, whatever tier is chosen:
// the reference every tier's kernel matches bit for bit.
OutputPair ProcessDynamicsPlain(const DynamicsCoefficients& c, GainStates& gains, const BandValues& bands) noexcept;

} // namespace korvax
