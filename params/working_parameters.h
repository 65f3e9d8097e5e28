#pragma once
// The machine's working copy of its controls, in the parameters' own units: the
// byte values held as floats, the solo mode, the link switch and the compressor
// switch as integers. The field order is the machine's own, not the parameter
// order ("Stereo wid.low" is parameter 4 but field 13). Nothing treats it as an array.

#include <cstdint>
#include <type_traits>

namespace korvax {

struct WorkingParameters {
    float Input;
    float LowSplit;
    float HighSplit;
    float Steepness;
    std::int32_t SoloMode;           // 0 all, 1 low, 2 mid, 3 high, 4 bypass
    std::int32_t CompressorEnable;   // band dynamics run while above 0
    float ThresholdLow;
    float ThresholdMid;
    float ThresholdHigh;
    float Ratio;
    float Attack;
    float Release;
    float StereoWidthLow;
    float OutLow;
    float OutMid;
    float OutHigh;
    std::int32_t StereoLink;         // followers linked while above 0
    float LimitThreshold;
    float LimitRelease;
};
static_assert(sizeof(WorkingParameters) == 19 * 4);
static_assert(std::is_trivially_copyable_v<WorkingParameters>);

// Solo mode values.
inline constexpr std::int32_t kSoloAll = 0;
inline constexpr std::int32_t kSoloLow = 1;
inline constexpr std::int32_t kSoloMid = 2;
inline constexpr std::int32_t kSoloHigh = 3;
inline constexpr std::int32_t kSoloBypass = 4;

// Stores one parameter byte (known to differ from the parameter's no-value byte)
// into its working field: as a float for every float field, as an integer for
// the solo mode. No range check; an index outside 0..16 is ignored.
void StoreParameterValue(WorkingParameters& working, int index, std::uint8_t value) noexcept;

// The values every field holds right after construction: the start values, plus
// the declared defaults for Input (89) and StereoLink (0), which the engine
// initialisation leaves alone.
WorkingParameters ConstructionParameters() noexcept;

// Stores the machine's start values (not the declared defaults) into every field
// except Input and StereoLink, and sets CompressorEnable to 1.
void StoreStartValues(WorkingParameters& working) noexcept;

// The start value the engine initialisation stores for parameter `index`, as the
// parameter's own number; Input has none and reports its declared default.
int StartValue(int index) noexcept;

} // namespace korvax
