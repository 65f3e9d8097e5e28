#pragma once
// The block crossover engine: input gain, two staggered FFT block pipelines half
// a block apart, triangular cross-fade read-out, solo routing, the dynamics stage,
// the processing modes and the silence tail. The output is 16383 pairs late.

#include <array>
#include <cstdint>
#include <type_traits>

#include "dsp/band_mask.h"
#include "dsp/dynamics.h"
#include "params/working_parameters.h"

namespace korvax {

inline constexpr std::int32_t kBlockFloats = 16384;       // real samples per block
inline constexpr std::int32_t kBlockHalfLength = 8192;    // complex points per transform
inline constexpr std::int32_t kBufferFloats = 16386;      // a block plus two floats the mask may scale
// Buffers lie 65792 bytes apart: 256 bytes past a multiple of 4 KB, so the
// same position in the twelve buffers falls in twelve different first-level
// cache sets (at a multiple of 4 KB they would all share one or two, and the
// read-out, which reads all twelve at one position, would evict its own lines).
inline constexpr std::int32_t kBufferStride = 16448;
inline constexpr std::int32_t kLatencyPairs = 16383;
inline constexpr std::int32_t kSilenceTailFloats = 10000;

inline constexpr std::int32_t kModeInput = 1;
inline constexpr std::int32_t kModeOutput = 2;

enum Band : int { kBandLow = 0, kBandMid = 1, kBandHigh = 2 };
enum Pipeline : int { kPipelineA = 0, kPipelineB = 1 };
enum Channel : int { kLeft = 0, kRight = 1 };

// Twelve buffers: low (A left, A right, B left, B right), then mid, then high.
struct BandBuffers {
    alignas(64) float buffer[12][kBufferStride];

    float* Get(int band, int pipeline, int channel) noexcept { return buffer[band * 4 + pipeline * 2 + channel]; }
    const float* Get(int band, int pipeline, int channel) const noexcept
    {
        return buffer[band * 4 + pipeline * 2 + channel];
    }
};

// Values derived once per processing call from the working values and the
// host's sample rate.
struct CallValues {
    float inputGain;
    float lowSplitHz;
    float highSplitHz;
    float steepness;
    std::int32_t sampleRate;
    DynamicsCoefficients dynamics;
};

// The last call's values and what they were derived from: a call that brings
// the same working values and rate takes them as they are (the derivation, with
// its exponentials and cubes, gives the same bits every time).
struct CallCache {
    bool valid;
    WorkingParameters working;
    CallValues values;
};

struct EngineState {
    GainStates gains;
    std::int32_t silenceTail;        // output floats still reported as signal
    std::uint32_t blockAPosition;    // 0 .. 16383
    std::uint32_t blockBPosition;    // always (A + 8192) mod 16384
    BandBuffers bands;
    BandGainTable maskGains;         // the band masks' gains for the last setting used
    bool maskGainsAhead;             // worked out by a call since the last block completion
    // Per pipeline, the column groups of its six inverse transforms finished so
    // far (kInverseColumnGroups: none outstanding). A block completion leaves
    // the groups to be finished as the read-out reaches them.
    std::int32_t columnsDone[2];
    // Per pipeline, the steps of the next forward transforms already run on the
    // samples gathered so far (0 .. kForwardSweepSteps).
    std::int32_t forwardSwept[2];
    CallCache callCache;
    // The gain meters, kept only while switched on (SwitchMeters): nothing the
    // machine computes reads them.
    bool metersOn;
    GainMeters meters;
};
static_assert(std::is_trivially_copyable_v<EngineState>);

// Engine reset: gains 0.1, tail 0, positions 0 and 8192, every buffer float 0.0,
// no mask gains, the meters cleared (whether they are on stays as it was).
void ResetEngine(EngineState& state) noexcept;

// Switches the gain meters on or off; either way they start cleared. While on,
// every pair through the dynamics stage enters them.
void SwitchMeters(EngineState& state, bool on) noexcept;

// The meters since they were last taken (or cleared), which clears them. A
// pair count of 0 means no pair went through the dynamics stage since (with
// the meters off, always).
GainMeters TakeMeters(EngineState& state) noexcept;

// Processes 2 * pairCount interleaved floats in place. sampleRate points to the
// host's sample rate field (Hz); it is read only when both mode bits are set.
// Returns whether the buffer carries signal.
bool ProcessStereo(EngineState& state, const WorkingParameters& working, const std::int32_t* sampleRate,
                   float* samples, std::int32_t pairCount, std::int32_t mode) noexcept;

} // namespace korvax
