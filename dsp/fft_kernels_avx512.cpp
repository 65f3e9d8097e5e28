// The transform kernels on AVX-512: the butterfly passes take eight double lanes
// per register, two four-point blocks at a time. This file alone is built with
// -mavx512f, and real_fft.cpp calls into it only after the processor (and the
// system, which must save the wider registers) has reported AVX-512.
//
// The bit-reversal sweep with the first two passes, and the split pass, are the
// four-lane kernels of fft_kernels.inl, compiled here once more. The eight-lane
// passes below pair two blocks whose butterflies are independent and whose
// twiddles are the four-lane code's, so every butterfly keeps its arithmetic.
// No fused multiply-add: GCC builds this file with FMA off, and with
// -ffp-contract=off no compiler fuses a product into a sum.

#include "dsp/fft_kernels.h"

#if defined(KORVAX_FFT_AVX512)

// Clang cannot have AVX-512 without FMA; there -ffp-contract=off alone keeps
// products and sums apart, as it does in every file of the build.
#if !defined(__AVX512F__) || (defined(__FMA__) && !defined(__clang__))
#error "fft_kernels_avx512.cpp must be built with -mavx512f and without FMA"
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

#if defined(__GNUC__)
#define KORVAX_KERNEL8 inline __attribute__((always_inline))
#else
#define KORVAX_KERNEL8 inline
#endif

using F8 = __m256;
using D8 = __m512d;

// Two four-point blocks side by side: lanes 0-3 the first block's points,
// lanes 4-7 the second's.
struct FloatPair8 {
    F8 re;
    F8 im;
};

// Loads the block at `first` into lanes 0-3 and the one at `second` into 4-7.
KORVAX_KERNEL8 FloatPair8 LoadBlocks(const float* first, const float* second)
{
    return {_mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(first)), _mm_loadu_ps(second), 1),
            _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(first + 4)), _mm_loadu_ps(second + 4), 1)};
}

KORVAX_KERNEL8 void StoreBlocks(float* first, float* second, const FloatPair8& p)
{
    _mm_storeu_ps(first, _mm256_castps256_ps128(p.re));
    _mm_storeu_ps(first + 4, _mm256_castps256_ps128(p.im));
    _mm_storeu_ps(second, _mm256_extractf128_ps(p.re, 1));
    _mm_storeu_ps(second + 4, _mm256_extractf128_ps(p.im, 1));
}

// Butterfly of fft_kernels.inl on eight lanes: the same operations in the same order.
KORVAX_KERNEL8 void Butterfly8(FloatPair8& i, FloatPair8& j, D8 wr, D8 wi)
{
    const D8 jr = _mm512_cvtps_pd(j.re);
    const D8 ji = _mm512_cvtps_pd(j.im);
    const D8 ir = _mm512_cvtps_pd(i.re);
    const D8 tr = _mm512_sub_pd(_mm512_mul_pd(wr, jr), _mm512_mul_pd(wi, ji));
    const F8 ti = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_mul_pd(wr, ji), _mm512_mul_pd(wi, jr)));
    j.re = _mm512_cvtpd_ps(_mm512_sub_pd(ir, tr));
    j.im = _mm256_sub_ps(i.im, ti);
    i.re = _mm512_cvtpd_ps(_mm512_add_pd(ir, tr));
    i.im = _mm256_add_ps(i.im, ti);
}

// The twiddles of the four-lane code for two blocks: either the eight
// consecutive entries from `index` (blocks m and m + 4 of one group), or the
// four from `index` in both halves (block m of two groups).
struct TwiddleFetch {
    const PassTwiddles& w;
    bool sameInBoth;

    KORVAX_KERNEL8 D8 Re(std::ptrdiff_t index) const { return Fetch(w.wr + index); }
    KORVAX_KERNEL8 D8 Im(std::ptrdiff_t index) const { return Fetch(w.wi + index); }
    KORVAX_KERNEL8 D8 Fetch(const double* p) const
    {
        return sameInBoth ? _mm512_broadcast_f64x4(_mm256_load_pd(p)) : _mm512_loadu_pd(p);
    }
};

// How a pass pairs its blocks. With half >= 8 a group holds blocks m and m + 4
// next to each other (second block 8 floats on); with half == 4 a group has one
// block per half and two neighbouring groups go together (second block a whole
// group on). `groupStep` is the distance between the groups a sweep starts from.
struct Pairing {
    std::ptrdiff_t second;      // floats from the first block to the second
    std::ptrdiff_t mStep;       // points of m per sweep
    std::ptrdiff_t groupStep;   // points between the first groups of two sweeps
    bool sameTwiddles;
};

KORVAX_KERNEL8 Pairing PairBlocks(std::ptrdiff_t half, std::ptrdiff_t groupPoints)
{
    if (half >= 8)
        return {8, 8, groupPoints, false};
    return {2 * groupPoints, 4, 2 * groupPoints, true};
}

// BlockPass on eight lanes; `begin` .. `end` must hold an even number of groups
// when half is 4, as every pass of the transforms served here does.
KORVAX_KERNEL8 void BlockPass8(float* data, std::ptrdiff_t begin, std::ptrdiff_t end, std::ptrdiff_t half,
                               const PassTwiddles& w)
{
    const Pairing pairing = PairBlocks(half, 2 * half);
    const TwiddleFetch t{w, pairing.sameTwiddles};
    for (std::ptrdiff_t group = begin; group < end; group += pairing.groupStep) {
        float* const top = data + 2 * group;
        float* const bottom = top + 2 * half;
        for (std::ptrdiff_t m = 0; m < half; m += pairing.mStep) {
            FloatPair8 i = LoadBlocks(top + 2 * m, top + 2 * m + pairing.second);
            FloatPair8 j = LoadBlocks(bottom + 2 * m, bottom + 2 * m + pairing.second);
            Butterfly8(i, j, t.Re(half + m), t.Im(half + m));
            StoreBlocks(top + 2 * m, top + 2 * m + pairing.second, i);
            StoreBlocks(bottom + 2 * m, bottom + 2 * m + pairing.second, j);
        }
    }
}

// DoubleBlockPass on eight lanes, with the same pairing rule.
KORVAX_KERNEL8 void DoubleBlockPass8(float* data, std::ptrdiff_t begin, std::ptrdiff_t end, std::ptrdiff_t half,
                                     const PassTwiddles& w)
{
    const std::ptrdiff_t twice = 2 * half;
    const Pairing pairing = PairBlocks(half, 2 * twice);
    const TwiddleFetch t{w, pairing.sameTwiddles};
    const std::ptrdiff_t s = pairing.second;
    for (std::ptrdiff_t group = begin; group < end; group += pairing.groupStep) {
        float* const p0 = data + 2 * group;
        float* const p1 = p0 + 2 * half;
        float* const p2 = p0 + 2 * twice;
        float* const p3 = p2 + 2 * half;
        for (std::ptrdiff_t m = 0; m < half; m += pairing.mStep) {
            const std::ptrdiff_t f = 2 * m;
            FloatPair8 a = LoadBlocks(p0 + f, p0 + f + s);
            FloatPair8 b = LoadBlocks(p1 + f, p1 + f + s);
            FloatPair8 c = LoadBlocks(p2 + f, p2 + f + s);
            FloatPair8 d = LoadBlocks(p3 + f, p3 + f + s);
            const D8 wr = t.Re(half + m);
            const D8 wi = t.Im(half + m);
            Butterfly8(a, b, wr, wi);
            Butterfly8(c, d, wr, wi);
            Butterfly8(a, c, t.Re(twice + m), t.Im(twice + m));
            Butterfly8(b, d, t.Re(twice + half + m), t.Im(twice + half + m));
            StoreBlocks(p0 + f, p0 + f + s, a);
            StoreBlocks(p1 + f, p1 + f + s, b);
            StoreBlocks(p2 + f, p2 + f + s, c);
            StoreBlocks(p3 + f, p3 + f + s, d);
        }
    }
}

KORVAX_KERNEL8 void BlockPasses8(float* data, std::ptrdiff_t begin, std::ptrdiff_t end, std::ptrdiff_t first,
                                 std::ptrdiff_t last, const PassTwiddles& w)
{
    std::ptrdiff_t half = first;
    for (; 2 * half <= last; half *= 4)
        DoubleBlockPass8(data, begin, end, half, w);
    if (half <= last)
        BlockPass8(data, begin, end, half, w);
}

// Stores two blocks' eight points interleaved again, each float times `scale`.
KORVAX_KERNEL8 void StoreInterleaved8(float* first, float* second, const FloatPair8& blocks, F8 scale)
{
    const F8 low = _mm256_mul_ps(_mm256_unpacklo_ps(blocks.re, blocks.im), scale);    // points 0 1 | 4 5
    const F8 high = _mm256_mul_ps(_mm256_unpackhi_ps(blocks.re, blocks.im), scale);   // points 2 3 | 6 7
    _mm_storeu_ps(first, _mm256_castps256_ps128(low));
    _mm_storeu_ps(first + 4, _mm256_castps256_ps128(high));
    _mm_storeu_ps(second, _mm256_extractf128_ps(low, 1));
    _mm_storeu_ps(second + 4, _mm256_extractf128_ps(high, 1));
}

// LastPass on eight lanes (half >= 8: blocks m and m + 4 together).
KORVAX_KERNEL8 void LastPass8(float* data, std::ptrdiff_t half, const PassTwiddles& w, float scale)
{
    const F8 s = _mm256_set1_ps(scale);
    float* const bottom = data + 2 * half;
    for (std::ptrdiff_t m = 0; m < half; m += 8) {
        FloatPair8 i = LoadBlocks(data + 2 * m, data + 2 * m + 8);
        FloatPair8 j = LoadBlocks(bottom + 2 * m, bottom + 2 * m + 8);
        Butterfly8(i, j, _mm512_load_pd(w.wr + half + m), _mm512_load_pd(w.wi + half + m));
        StoreInterleaved8(data + 2 * m, data + 2 * m + 8, i, s);
        StoreInterleaved8(bottom + 2 * m, bottom + 2 * m + 8, j, s);
    }
}

// ComplexFftKernel with the eight-lane passes: the same passes over the same
// ranges of groups, in the same order.
void ComplexFftKernel8(float* data, int bits, const PassTwiddles& w, float scale)
{
    const std::ptrdiff_t n = std::ptrdiff_t(1) << bits;
    BitReverseFirstPasses(data, bits, w);
    const std::ptrdiff_t chunk = n < kCachePoints ? n : kCachePoints;
    const std::ptrdiff_t lastChunked = chunk / 2 < n / 4 ? chunk / 2 : n / 4;
    for (std::ptrdiff_t c = 0; c < n; c += chunk)
        BlockPasses8(data, c, c + chunk, 4, lastChunked, w);
    BlockPasses8(data, 0, n, 2 * lastChunked, n / 4, w);
    LastPass8(data, n / 2, w, scale);
}

constexpr KernelSet kKernelSet8 = {&ComplexFftKernel8, &SplitPassKernel};

#undef KORVAX_KERNEL8

} // namespace

const KernelSet& Avx512Kernels() noexcept
{
    return kKernelSet8;
}

} // namespace korvax::fft

#endif
