#include "dsp/crossover_response.h"

#include "dsp/band_mask.h"
#include "params/curves.h"

namespace korvax {
namespace {

constexpr std::int32_t kBlockFloats = 16384;

} // namespace

CrossoverResponse CrossoverGains(float lowSplit, float highSplit, float steepness, std::int32_t sampleRate)
{
    CrossoverResponse response;
    response.lowSplitHz = SplitFrequency(lowSplit);
    response.highSplitHz = SplitFrequency(highSplit);
    const float slope = static_cast<float>(double(steepness) * kSteepnessScale);
    const float edges[3][2] = {{kLowBandLowEdgeHz, response.lowSplitHz},
                               {response.lowSplitHz, response.highSplitHz},
                               {response.highSplitHz, kHighBandHighEdgeHz}};

    // Each mask applied to a spectrum of ones leaves its gains.
    std::vector<float> ones(kBlockFloats + 2);
    for (int band = 0; band < 3; ++band) {
        ones.assign(ones.size(), 1.0f);
        ApplyBandMask(ones.data(), kBlockFloats, sampleRate, edges[band][0], edges[band][1], slope);
        for (std::int32_t i = 1; i < kBlockFloats; i += 2)
            response.gain[band].push_back(ones[std::size_t(i)]);
    }
    for (std::int32_t i = 1; i < kBlockFloats; i += 2)
        response.hz.push_back(double(i) * double(sampleRate) / (2.0 * kBlockFloats));
    return response;
}

} // namespace korvax
