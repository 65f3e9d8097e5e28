#pragma once
// Shared test helpers: bit-for-bit float comparison, reference vector files and
// seeded signals.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace korvax::test {

inline std::uint32_t FloatBits(float x)
{
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// Compares bit patterns (so -0.0 differs from 0.0 and NaNs compare by payload);
// reports the first differing element and how many differ.
::testing::AssertionResult SameBits(const std::vector<float>& expected, const std::vector<float>& actual);
::testing::AssertionResult SameBits(const float* expected, const float* actual, std::size_t count);

// Reads a raw little-endian float32 file from the reference vectors folder.
std::vector<float> ReadVector(const std::string& name);

// Seeded uniform floats in [lo, hi).
std::vector<float> RandomFloats(std::size_t count, std::uint32_t seed, float lo, float hi);

} // namespace korvax::test
