#include "plugin/description.h"

#include "params/parameter_block.h"

namespace korvax {
namespace {

constexpr std::int32_t kByteParameter = 2;
constexpr std::int32_t kNoValue = 255;
constexpr std::int32_t kParameterFlags = 2;

constexpr ParameterDescriptor Row(const char* name, const char* description, std::int32_t minValue,
                                  std::int32_t maxValue, std::int32_t defaultValue)
{
    return {kByteParameter, name, description, minValue, maxValue, kNoValue, kParameterFlags, defaultValue};
}

constexpr ParameterDescriptor kParameters[kParameterCount] = {
    Row("Input", "Input volume gain", 1, 128, 89),
    Row("LowSplit", "Frequency that separates the low from the middle band", 0, 128, 42),
    Row("HighSplit", "Frequency that separates the middle from the high band", 0, 128, 85),
    Row("Steepness", "Filter slope steepness", 0, 128, 64),
    Row("Stereo wid.low", "Low band stereo width", 0, 128, 64),
    Row("Solo mode", "Listen solo or bypass", 0, 4, 0),
    Row("Comp: Thr.low", "Compressor: Low threshold level (compressor kicks in above this volume)", 1, 128, 29),
    Row("Comp: Thr.mid", "Compressor: Mid threshold level (compressor kicks in above this volume)", 1, 128, 33),
    Row("Comp: Thr.hi", "Compressor: High threshold level (compressor kicks in above this volume)", 1, 128, 37),
    Row("Comp: Ratio", "Compressor: ratio (works a bit like mix between wet/dry)", 1, 128, 128),
    Row("Comp: Attack", "Compressor: Attack time (affects the clickyness)", 1, 128, 40),
    Row("Comp: Releas", "Compressor: Release time (affects how instruments sustain / fade out)", 1, 128, 40),
    Row("Comp: Out low", "Compressor: Output volume gain Low", 1, 128, 71),
    Row("Comp: Out mid", "Compressor: Output volume gain Mid", 1, 128, 71),
    Row("Comp: Out hi", "Compressor: Output volume gain High", 1, 128, 71),
    Row("Limit: Thresh.", "Limiter threshold level (limiter kicks in above this volume)", 0, 60, 5),
    Row("Limit: Release", "Release time (adjust pumping vs. saturation)", 1, 128, 46),
};

constexpr const ParameterDescriptor* kParameterList[kParameterCount] = {
    &kParameters[0],  &kParameters[1],  &kParameters[2],  &kParameters[3],  &kParameters[4],  &kParameters[5],
    &kParameters[6],  &kParameters[7],  &kParameters[8],  &kParameters[9],  &kParameters[10], &kParameters[11],
    &kParameters[12], &kParameters[13], &kParameters[14], &kParameters[15], &kParameters[16],
};

constexpr AttributeDescriptor kStereoLink = {"Stereo link", 0, 1, 0};
constexpr const AttributeDescriptor* kAttributeList[kAttributeCount] = {&kStereoLink};

constexpr MachineDescription kDescription = {
    2,  // Type
    15, // Version
    16, // Flags
    0,
    0,
    kParameterCount,
    0,
    kParameterList,
    kAttributeCount,
    kAttributeList,
    "Orlems Korvax v2",
    "Korvax",
    "Orlem Dastrove",
    nullptr,
    nullptr,
};

} // namespace

const MachineDescription& Description() noexcept
{
    return kDescription;
}

} // namespace korvax
