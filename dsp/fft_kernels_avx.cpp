// The transform kernels on AVX: four double lanes per register. This file alone
// is built with -mavx, and real_fft.cpp calls into it only after the processor
// has reported AVX. No fused multiply-add: -mavx does not enable it, and every
// product is rounded before it is added, as in the plain transform.

#include "dsp/fft_kernels.h"

#if defined(KORVAX_FFT_AVX)

#if !defined(__AVX__) || defined(__FMA__)
#error "fft_kernels_avx.cpp must be built with -mavx and without FMA"
#endif

#include <cstddef>
#include <immintrin.h>

namespace korvax::fft {
namespace {

#include "dsp/fft_ops_avx.inl"

#include "dsp/fft_kernels.inl"

} // namespace

const KernelSet& AvxKernels() noexcept
{
    return kKernelSet;
}

} // namespace korvax::fft

#endif
