#pragma once
// The bytes the host writes to change a machine's controls: one unsigned byte per
// parameter, in parameter-index order, followed at once by the "Stereo link"
// attribute as a little-endian 32-bit integer that is not aligned. 21 bytes, no gaps.

#include <cstdint>
#include <cstring>

namespace korvax {

inline constexpr int kParameterCount = 17;
inline constexpr int kAttributeCount = 1;

struct ParameterBlock {
    std::uint8_t values[kParameterCount];    // parameter i at byte i
    std::uint8_t attribute[4];               // signed 32-bit, byte 17, unaligned
};
static_assert(sizeof(ParameterBlock) == 21);
static_assert(alignof(ParameterBlock) == 1);

// Reads the unaligned attribute without forming a misaligned int pointer.
inline std::int32_t ReadAttribute(const ParameterBlock& block) noexcept
{
    std::int32_t value;
    std::memcpy(&value, block.attribute, sizeof value);
    return value;
}

inline void WriteAttribute(ParameterBlock& block, std::int32_t value) noexcept
{
    std::memcpy(block.attribute, &value, sizeof value);
}

} // namespace korvax
