// The transform kernels on AVX: four double lanes per register. This folder is
// built with -mavx (and without FMA: every product is rounded before it is
// added, as in the plain transform); the kernel table takes these only when the
// processor has reported AVX.

#include "dsp/kernels.h"

#if !defined(__AVX__) || defined(__FMA__)
#error "dsp/avx must be built with -mavx and without FMA"
#endif

#include <cstddef>
#include <immintrin.h>

namespace korvax {
namespace fft {
namespace {

#include "dsp/avx/fft_ops_avx.inl"

#include "dsp/fft_kernels.inl"

} // namespace
} // namespace fft

namespace avx {
const fft::Transforms kTransforms = {&fft::ComplexFftKernel, &fft::SplitPassKernel,   &fft::ComplexFftHead,
                                     &fft::ComplexFftColumns, &fft::FirstSweep, &fft::ComplexFftAfterSweep};
} // namespace avx
} // namespace korvax
