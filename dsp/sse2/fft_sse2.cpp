// The transform kernels on SSE2: each four-lane double value is a pair of
// two-lane registers. SSE2 is part of every x86-64 processor and of the 32-bit
// build (-msse2), so these need no check at run time.

#include "dsp/kernels.h"

#include <cstddef>
#include <emmintrin.h>

namespace korvax {
namespace fft {
namespace {

struct Ops {
    struct D4 {
        __m128d lo;
        __m128d hi;
    };
    static D4 Widen(__m128 f) { return {_mm_cvtps_pd(f), _mm_cvtps_pd(_mm_movehl_ps(f, f))}; }
    static __m128 Narrow(D4 d) { return _mm_movelh_ps(_mm_cvtpd_ps(d.lo), _mm_cvtpd_ps(d.hi)); }
    static D4 Add(D4 a, D4 b) { return {_mm_add_pd(a.lo, b.lo), _mm_add_pd(a.hi, b.hi)}; }
    static D4 Sub(D4 a, D4 b) { return {_mm_sub_pd(a.lo, b.lo), _mm_sub_pd(a.hi, b.hi)}; }
    static D4 Mul(D4 a, D4 b) { return {_mm_mul_pd(a.lo, b.lo), _mm_mul_pd(a.hi, b.hi)}; }
    static D4 Load(const double* p) { return {_mm_load_pd(p), _mm_load_pd(p + 2)}; }
    static D4 Broadcast(double x) { return {_mm_set1_pd(x), _mm_set1_pd(x)}; }
};

#include "dsp/fft_kernels.inl"

} // namespace
} // namespace fft

namespace sse2 {
const fft::Transforms kTransforms = {&fft::ComplexFftKernel, &fft::SplitPassKernel,   &fft::ComplexFftHead,
                                     &fft::ComplexFftColumns, &fft::FirstSweep, &fft::ComplexFftAfterSweep};
} // namespace sse2
} // namespace korvax
