#include "params/working_parameters.h"

namespace korvax {

void StoreParameterValue(WorkingParameters& working, int index, std::uint8_t value) noexcept
{
    const float v = static_cast<float>(value);   // every byte converts exactly
    switch (index) {
    case 0: working.Input = v; break;
    case 1: working.LowSplit = v; break;
    case 2: working.HighSplit = v; break;
    case 3: working.Steepness = v; break;
    case 4: working.StereoWidthLow = v; break;
    case 5: working.SoloMode = value; break;
    case 6: working.ThresholdLow = v; break;
    case 7: working.ThresholdMid = v; break;
    case 8: working.ThresholdHigh = v; break;
    case 9: working.Ratio = v; break;
    case 10: working.Attack = v; break;
    case 11: working.Release = v; break;
    case 12: working.OutLow = v; break;
    case 13: working.OutMid = v; break;
    case 14: working.OutHigh = v; break;
    case 15: working.LimitThreshold = v; break;
    case 16: working.LimitRelease = v; break;
    default: break;
    }
}

void StoreStartValues(WorkingParameters& working) noexcept
{
    working.LowSplit = 47.0f;
    working.HighSplit = 85.0f;
    working.Steepness = 50.0f;
    working.StereoWidthLow = 100.0f;
    working.SoloMode = kSoloAll;
    working.CompressorEnable = 1;
    working.ThresholdLow = 29.0f;
    working.ThresholdMid = 33.0f;
    working.ThresholdHigh = 37.0f;
    working.Ratio = 128.0f;
    working.Attack = 30.0f;
    working.Release = 30.0f;
    working.OutLow = 104.0f;
    working.OutMid = 88.0f;
    working.OutHigh = 71.0f;
    working.LimitThreshold = 1.0f;
    working.LimitRelease = 30.0f;
}

WorkingParameters ConstructionParameters() noexcept
{
    WorkingParameters working{};
    StoreStartValues(working);
    working.Input = 89.0f;
    working.StereoLink = 0;
    return working;
}

int StartValue(int index) noexcept
{
    static constexpr int kStart[17] = {89, 47, 85, 50, 100, 0, 29, 33, 37, 128, 30, 30, 104, 88, 71, 1, 30};
    return index >= 0 && index < 17 ? kStart[index] : 0;
}

} // namespace korvax
