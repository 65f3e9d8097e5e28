#pragma once
// The crossover's three band masks as magnitude responses, for pictures and
// tests: what the engine's block completion multiplies each spectrum element by,
// at given settings. Not for the audio path (it allocates).

#include <cstdint>
#include <vector>

namespace korvax {

// The fixed outer edges of the low and the high band: beyond the limits at which
// the mask applies a ramp, so the low band has no lower slope and the high band
// no upper slope. The steepness control's steps scale by 1/128 to 0 .. 1.
inline constexpr float kLowBandLowEdgeHz = 10.0f;
inline constexpr float kHighBandHighEdgeHz = 24000.0f;
inline constexpr double kSteepnessScale = 0.0078125;   // 1/128, exact

struct CrossoverResponse {
    float lowSplitHz = 0;
    float highSplitHz = 0;
    // At the odd spectrum elements i = 1, 3, ... of a block: the frequency
    // i * sampleRate / (2 * block) and each band's gain there (low, mid, high),
    // which scales elements i and i + 1.
    std::vector<double> hz;
    std::vector<float> gain[3];
};

// The masks for the working values LowSplit, HighSplit and Steepness (steps as
// floats) at `sampleRate`, on blocks of 16384 samples as the engine uses them.
CrossoverResponse CrossoverGains(float lowSplit, float highSplit, float steepness, std::int32_t sampleRate);

} // namespace korvax
