#pragma once
// A plain transcription of the transform algorithms, kept deliberately simple
// as the yardstick for the production transforms: they must agree with it bit
// for bit. Keep it literal; speed work belongs in dsp/real_fft.cpp only.

#include <cstdint>

namespace korvax::reference {

void BitReversePairs(float* data, std::int32_t floatCount);
void ComplexFft(float* data, std::int32_t n, std::int32_t forward);
void RealFft(float* data, std::int32_t n, std::int32_t forward);

} // namespace korvax::reference
