#pragma once
// A plain, literal transcription of the block crossover engine's processing call,
// built on the plain reference transform, a literal band mask, literal parameter
// curves and a literal dynamics stage: nothing of the production code but the
// working values it is handed. It is the yardstick the machine's engine must
// match bit for bit; keep it simple and never optimise it.

#include <cstdint>
#include <vector>

#include "params/working_parameters.h"

namespace korvax::reference {

void ApplyBandMask(float* spectrum, std::int32_t count, std::int32_t sampleRate, float lowEdgeHz,
                   float highEdgeHz, float steepness);

struct Engine {
    Engine();
    float gains[8];   // low L, low R, mid L, mid R, high L, high R, limiter L, limiter R
    std::int32_t silenceTail = 0;
    std::uint32_t positionA = 0;
    std::uint32_t positionB = 8192;
    std::vector<std::vector<float>> buffers;   // [band * 4 + pipeline * 2 + channel][16386]

    bool Process(const WorkingParameters& working, std::int32_t sampleRate, float* samples, std::int32_t pairCount,
                 std::int32_t mode);
};

} // namespace korvax::reference
