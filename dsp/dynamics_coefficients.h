#pragma once
// The dynamics stage's coefficients, apart from the rest of dsp/dynamics.h so
// that the stage's kernels (dsp/kernels.h) can read them with nothing else.

#include <cstdint>

namespace korvax {

struct BandCoefficients {
    float threshold;     // linear level
    float attackBlend;   // fraction of the way to the target, per sample pair
    float releaseStep;   // gain added per sample pair
    float outputGain;    // linear
};

// Derived once per processing call by PrepareDynamics.
struct DynamicsCoefficients {
    BandCoefficients band[3];         // low, mid, high
    float ratioMix;                   // U = sqrt(v / 128)
    float dryPart;                    // 1 - U, from the stored U
    float width;                      // low-band width, 1.0 = unchanged
    float limiterReleaseStep;
    float limiterThreshold;           // linear level
    std::int32_t compressorEnable;    // copied from the working parameters
    std::int32_t stereoLink;
};

} // namespace korvax
