#pragma once
// A plain, literal transcription of the block crossover engine's processing call,
// built on the plain reference transform and a literal band mask. It is the
// yardstick the machine's engine must match bit for bit; keep it simple and
// never optimise it.

#include <cstdint>
#include <vector>

#include "dsp/dynamics.h"
#include "params/working_parameters.h"

namespace korvax::reference {

void ApplyBandMask(float* spectrum, std::int32_t count, std::int32_t sampleRate, float lowEdgeHz,
                   float highEdgeHz, float steepness);

struct Engine {
    Engine();
    GainStates gains;
    std::int32_t silenceTail = 0;
    std::uint32_t positionA = 0;
    std::uint32_t positionB = 8192;
    std::vector<std::vector<float>> buffers;   // [band * 4 + pipeline * 2 + channel][16386]

    bool Process(const WorkingParameters& working, std::int32_t sampleRate, float* samples, std::int32_t pairCount,
                 std::int32_t mode);
};

} // namespace korvax::reference
