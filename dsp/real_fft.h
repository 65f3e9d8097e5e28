#pragma once
// In-place radix-2 transforms of 32-bit float data. No state and no allocation:
// every twiddle factor comes from a trigonometric recurrence (run once into
// tables when the library is loaded, for the sizes the engine uses).
//
// Sign and scale: the forward transform uses the positive exponent and carries
// the factor 1/N, so inverse(forward(x)) = x with no factor left over.

#include <cstdint>

namespace korvax {

// Moves complex point m (floats 2m, 2m+1) of floatCount/2 points to the index
// with its log2(floatCount/2) bits reversed. floatCount is twice a power of two.
void BitReversePairs(float* data, std::int32_t floatCount) noexcept;

// n interleaved complex points, in place. Forward (nonzero flag):
//   Z[k] = 1/(2n) * sum z[m] e^(+2 pi i mk/n); inverse: 2 * sum z[m] e^(-2 pi i mk/n).
// n is a power of two, at least 1.
void ComplexFft(float* data, std::int32_t n, std::int32_t forward) noexcept;

// 2n real samples <-> their packed spectrum, in place. The packed spectrum holds
// DC at element 0, Nyquist at element 1, then re/im of bins 1 .. n-1.
// Forward: X[k] = 1/N * sum x[j] e^(+2 pi i jk/N), N = 2n. Inverse is exact.
void RealFft(float* data, std::int32_t n, std::int32_t forward) noexcept;

// The inverse RealFft of n = kInverseColumnPoints in parts, for a reader that
// takes the samples in order and may spread the work. BeginInverseRealFft does
// most of it; if it returns true, FinishInverseColumns must then be called for
// the groups 0 .. kInverseColumnGroups - 1, in increasing order and in any
// parts, before the samples are read: once groups 0 .. g are done, samples 0 .. 16g + 15 are final, and after
// all of them the array holds exactly what RealFft would have left. If it returns
// false (the plain tier, dsp/kernels.h), the transform is already complete.
// The tier must not change in between (only tests and benchmarks change it).
inline constexpr std::int32_t kInverseColumnPoints = 8192;
inline constexpr std::int32_t kInverseColumnGroups = 32;
inline constexpr std::int32_t kInverseColumnSamples = 512;   // samples that need every group
bool BeginInverseRealFft(float* data) noexcept;
void FinishInverseColumns(float* data, std::int32_t first, std::int32_t end) noexcept;

// The forward RealFft of n = kInverseColumnPoints in parts, for a writer that
// fills the samples in order and may spread the work: ForwardSweepReady tells
// how many of the kForwardSweepSteps steps the first `written` samples allow,
// SweepForwardRealFft runs steps first .. end - 1 (in place, on samples already
// written only), and FinishForwardRealFft, once every sample is written, runs
// the steps from `swept` on and the rest of the transform. The result is exactly
// RealFft's. With the plain tier the steps do nothing and the finish runs the
// whole transform. The tier must not change in between.
inline constexpr std::int32_t kForwardSweepSteps = 512;
std::int32_t ForwardSweepReady(std::int32_t written) noexcept;
void SweepForwardRealFft(float* data, std::int32_t first, std::int32_t end) noexcept;
void FinishForwardRealFft(float* data, std::int32_t swept) noexcept;

} // namespace korvax
