#pragma once
// The texts the host shows for parameter values: decibels for levels, ms for
// times, a ratio, a percentage, words for the solo mode, the bare number for the
// crossover controls. The text depends on the index and the value alone.

#include <cstdint>

namespace korvax {

inline constexpr int kValueTextBytes = 32;

// Formats `value` of parameter `index` into the library's one static 32-byte
// buffer and returns it; null for an index outside 0..16 (tested unsigned). A
// "Solo mode" value outside 0..4 writes nothing and returns the buffer as the
// previous call left it. Any 32-bit value yields a NUL-terminated text within the
// buffer; values within the parameter's range give the machine's own texts.
// Allocates nothing. The text stays valid until the next call on any machine.
const char* DescribeParameterValue(std::int32_t index, std::int32_t value) noexcept;

// The level text's number: log2(CubeGain(v) + 9.6e-6) at six dB per doubling.
double LevelDecibels(std::int32_t value) noexcept;

} // namespace korvax
