#pragma once
// In-place radix-2 transforms of 32-bit float data. No state, no tables, no
// allocation: every twiddle factor comes from a trigonometric recurrence.
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

} // namespace korvax
