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

struct Ops {
    using D4 = __m256d;
    static D4 Widen(__m128 f) { return _mm256_cvtps_pd(f); }
    static __m128 Narrow(D4 d) { return _mm256_cvtpd_ps(d); }
    static D4 Add(D4 a, D4 b) { return _mm256_add_pd(a, b); }
    static D4 Sub(D4 a, D4 b) { return _mm256_sub_pd(a, b); }
    static D4 Mul(D4 a, D4 b) { return _mm256_mul_pd(a, b); }
    static D4 Load(const double* p) { return _mm256_load_pd(p); }
    static D4 Broadcast(double x) { return _mm256_set1_pd(x); }
};

#include "dsp/fft_kernels.inl"

} // namespace

const KernelSet& AvxKernels() noexcept
{
    return kKernelSet;
}

} // namespace korvax::fft

#endif
