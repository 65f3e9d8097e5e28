// The transform kernels on AVX-512: the butterfly passes take eight double lanes
// per register, two four-point blocks at a time. This folder is built with
// -mavx512f -mavx512vl, and the kernel table takes these only after the
// processor (and the system, which must save the wider registers) has reported
// AVX-512.
//
// The bit-reversal sweep with the first two passes, and the split pass, are the
// four-lane kernels of fft_kernels.inl, compiled here once more. The eight-lane
// passes below pair two blocks whose butterflies are independent and whose
// twiddles are the four-lane code's, so every butterfly keeps its arithmetic.
// No fused multiply-add: GCC builds this file with FMA off, and with
// -ffp-contract=off no compiler fuses a product into a sum.

#include "dsp/kernels.h"

// Clang cannot have AVX-512 without FMA; there -ffp-contract=off alone keeps
// products and sums apart, as it does in every file of the build.
#if !defined(__AVX512F__) || (defined(__FMA__) && !defined(__clang__))
#error "dsp/avx512 must be built with -mavx512f and without FMA"
#endif

#include <cstddef>
#include <immintrin.h>

namespace korvax {
namespace fft {
namespace {

#include "dsp/avx/fft_ops_avx.inl"

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

// The low four floats of v to `low`, the high four to `high`.
KORVAX_KERNEL8 void StoreBlocks4(float* low, float* high, F8 v)
{
    _mm_storeu_ps(low, _mm256_castps256_ps128(v));
    _mm_storeu_ps(high, _mm256_extractf128_ps(v, 1));
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

// DoubleBlockStep on eight lanes: the blocks from m and from m + s/2 points
// (s the pairing's second) of the quarters of the group at p0.
KORVAX_KERNEL8 void DoubleBlockStep8(float* p0, std::ptrdiff_t half, std::ptrdiff_t m, std::ptrdiff_t s,
                                     const TwiddleFetch& t)
{
    const std::ptrdiff_t twice = 2 * half;
    float* const p1 = p0 + 2 * half;
    float* const p2 = p0 + 2 * twice;
    float* const p3 = p2 + 2 * half;
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

// DoubleBlockPass on eight lanes, with the same pairing rule.
KORVAX_KERNEL8 void DoubleBlockPass8(float* data, std::ptrdiff_t begin, std::ptrdiff_t end, std::ptrdiff_t half,
                                     const PassTwiddles& w)
{
    const Pairing pairing = PairBlocks(half, 4 * half);
    const TwiddleFetch t{w, pairing.sameTwiddles};
    for (std::ptrdiff_t group = begin; group < end; group += pairing.groupStep)
        for (std::ptrdiff_t m = 0; m < half; m += pairing.mStep)
            DoubleBlockStep8(data + 2 * group, half, m, pairing.second, t);
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

// ---- the bit-reversal sweep with the first two passes ---------------------------

// Two middle-bit values m and rm at once, m's sixteen points in lanes 0-3 of
// each register and rm's in lanes 4-7, as Gathered holds them for one.
struct Gathered8 {
    FloatPair8 p[4];
};

KORVAX_KERNEL8 F8 LoadHalves(const float* low, const float* high)
{
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(low)), _mm_loadu_ps(high), 1);
}

KORVAX_KERNEL8 Gathered8 Gather8(const float* data, int m, int rm, std::ptrdiff_t rows)
{
    FloatPair8 row[4];
    for (int h = 0; h < 4; ++h) {
        const float* const p = data + 2 * (h * rows + 4 * std::ptrdiff_t(m));
        const float* const q = data + 2 * (h * rows + 4 * std::ptrdiff_t(rm));
        const F8 a = LoadHalves(p, q);           // r0 i0 r1 i1 of each
        const F8 b = LoadHalves(p + 4, q + 4);   // r2 i2 r3 i3 of each
        row[h] = {_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))};
    }
    return {{row[0], row[2], row[1], row[3]}};
}

// Transpose of fft_kernels.inl in each half of the registers.
KORVAX_KERNEL8 void Transpose8(F8& r0, F8& r1, F8& r2, F8& r3)
{
    const F8 t0 = _mm256_shuffle_ps(r0, r1, _MM_SHUFFLE(1, 0, 1, 0));
    const F8 t1 = _mm256_shuffle_ps(r0, r1, _MM_SHUFFLE(3, 2, 3, 2));
    const F8 t2 = _mm256_shuffle_ps(r2, r3, _MM_SHUFFLE(1, 0, 1, 0));
    const F8 t3 = _mm256_shuffle_ps(r2, r3, _MM_SHUFFLE(3, 2, 3, 2));
    r0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(2, 0, 2, 0));
    r1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 1, 3, 1));
    r2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(2, 0, 2, 0));
    r3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 1, 3, 1));
}

// FirstPassesAndScatter for both: m's blocks go to middle bits rm, rm's to m.
KORVAX_KERNEL8 void FirstPassesAndScatter8(Gathered8& g, float* data, int m, int rm, std::ptrdiff_t rows,
                                           const D8 (&w)[6])
{
    Butterfly8(g.p[0], g.p[1], w[0], w[1]);
    Butterfly8(g.p[2], g.p[3], w[0], w[1]);
    Butterfly8(g.p[0], g.p[2], w[2], w[3]);
    Butterfly8(g.p[1], g.p[3], w[4], w[5]);

    F8 re0 = g.p[0].re, re1 = g.p[1].re, re2 = g.p[2].re, re3 = g.p[3].re;
    F8 im0 = g.p[0].im, im1 = g.p[1].im, im2 = g.p[2].im, im3 = g.p[3].im;
    Transpose8(re0, re1, re2, re3);
    Transpose8(im0, im1, im2, im3);
    float* const toRm = data + 8 * std::ptrdiff_t(rm);
    float* const toM = data + 8 * std::ptrdiff_t(m);
    StoreBlocks(toRm, toM, {re0, im0});
    StoreBlocks(toRm + 4 * rows, toM + 4 * rows, {re1, im1});
    StoreBlocks(toRm + 2 * rows, toM + 2 * rows, {re2, im2});
    StoreBlocks(toRm + 6 * rows, toM + 6 * rows, {re3, im3});
}

// The twiddles of the passes of half 1 and 2 for four and for eight lanes.
struct FirstSweepTwiddles {
    FirstTwiddles four;
    D8 eight[6];
};

KORVAX_KERNEL8 FirstSweepTwiddles MakeFirstSweepTwiddles(const PassTwiddles& w)
{
    return {MakeFirstTwiddles(w),
            {_mm512_set1_pd(w.wr[1]), _mm512_set1_pd(w.wi[1]), _mm512_set1_pd(w.wr[2]), _mm512_set1_pd(w.wi[2]),
             _mm512_set1_pd(w.wr[3]), _mm512_set1_pd(w.wi[3])}};
}

// SweepPair with m and rm in one set of registers; a middle value that is its
// own reversal takes the four-lane code.
KORVAX_KERNEL8 void SweepPair8(float* data, int m, int rm, std::ptrdiff_t rows, const FirstSweepTwiddles& t)
{
    if (rm == m) {
        Gathered a = Gather(data, m, rows);
        FirstPassesAndScatter(a, data, m, rows, t.four);
    } else {
        Gathered8 both = Gather8(data, m, rm, rows);
        FirstPassesAndScatter8(both, data, m, rm, rows, t.eight);
    }
}

// FirstSweepRange with each pair m, rm in one set of registers.
KORVAX_KERNEL8 void FirstSweepRange8(float* data, int bits, const PassTwiddles& w, int first, int end)
{
    const FirstSweepTwiddles t = MakeFirstSweepTwiddles(w);
    const int middleBits = bits - 4;
    const std::ptrdiff_t rows = std::ptrdiff_t(1) << (bits - 2);
    for (int m = first; m < end; ++m) {
        const int rm = Reversed(m, middleBits);
        if (rm <= m)   // otherwise done at rm
            SweepPair8(data, m, rm, rows, t);
    }
}

KORVAX_KERNEL8 void BitReverseFirstPasses8(float* data, int bits, const PassTwiddles& w)
{
    const FirstSweepTwiddles t = MakeFirstSweepTwiddles(w);
    const std::ptrdiff_t rows = std::ptrdiff_t(1) << (bits - 2);
    ForEachSweepPair(bits - 4, [&](int m, int rm) { SweepPair8(data, m, rm, rows, t); });
}

// PassesAfterSweep with the eight-lane passes: the same passes over the same
// ranges of groups, in the same order.
KORVAX_KERNEL8 void PassesAfterSweep8(float* data, int bits, const PassTwiddles& w, float scale)
{
    const std::ptrdiff_t n = std::ptrdiff_t(1) << bits;
    const std::ptrdiff_t chunk = n < kCachePoints ? n : kCachePoints;
    const std::ptrdiff_t lastChunked = chunk / 2 < n / 4 ? chunk / 2 : n / 4;
    for (std::ptrdiff_t c = 0; c < n; c += chunk)
        BlockPasses8(data, c, c + chunk, 4, lastChunked, w);
    BlockPasses8(data, 0, n, 2 * lastChunked, n / 4, w);
    LastPass8(data, n / 2, w, scale);
}

void ComplexFftKernel8(float* data, int bits, const PassTwiddles& w, float scale) noexcept
{
    BitReverseFirstPasses8(data, bits, w);
    PassesAfterSweep8(data, bits, w, scale);
}

// FirstSweep of fft_kernels.inl with pairs in eight lanes, and the groups of
// eight points on four lanes (the eight-lane pass pairs two of them).
void FirstSweep8(float* data, const PassTwiddles& w, int first, int end) noexcept
{
    FirstSweepRange8(data, TableBits(), w, first, end);
    ReadyGroups(first, end, [&](std::ptrdiff_t begin, std::ptrdiff_t size) {
        if (size == 8)
            BlockPass(data, begin, begin + size, size / 2, w);
        else
            BlockPass8(data, begin, begin + size, size / 2, w);
    });
}

void ComplexFftAfterSweep8(float* data, const PassTwiddles& w, float scale) noexcept
{
    BlockPass8(data, 0, kTablePoints, kTablePoints / 4, w);
    LastPass8(data, kTablePoints / 2, w, scale);
}

// ---- the inverse transform in two parts -------------------------------------------

// ComplexFftHead with the eight-lane passes.
void ComplexFftHead8(float* data, const PassTwiddles& w) noexcept
{
    constexpr std::ptrdiff_t n = kTablePoints;
    BitReverseFirstPasses8(data, TableBits(), w);
    for (std::ptrdiff_t c = 0; c < n; c += kCachePoints)
        BlockPasses8(data, c, c + kCachePoints, 4, kMiddleSpan / 2, w);
}

// MiddlePasses on eight lanes: blocks m and m + 4 together.
KORVAX_KERNEL8 void MiddlePasses8(float* data, int s, const PassTwiddles& w)
{
    const TwiddleFetch t{w, false};
    for (std::ptrdiff_t group = 0; group < kTablePoints; group += kColumnSpan)
        DoubleBlockStep8(data + 2 * group, kMiddleSpan, 8 * std::ptrdiff_t(s), 8, t);
}

// ColumnBlockPasses of fft_kernels.inl for the two column blocks from point r
// (r a multiple of 8): each register holds the block at r and the one at r + 4.
// A group's 32 rows lie kColumnSpan points (2 KB) apart, which puts all of
// them in two sets of the first-level cache, more rows than those sets hold.
// So the first passes read the rows where they lie and leave them in `rows`,
// 64 bytes apart; the middle passes stay there; the last pass writes them back.
// The same butterflies in the same order: only where values wait changes.
KORVAX_KERNEL8 void ColumnGroupPasses8(float* data, std::ptrdiff_t r, const PassTwiddles& w, F8 scale)
{
    constexpr std::ptrdiff_t n = kTablePoints;
    constexpr std::ptrdiff_t span = kColumnSpan;
    constexpr std::ptrdiff_t rowCount = n / span;
    constexpr std::ptrdiff_t rowFloats = 16;   // two blocks
    static_assert(2 * span <= n / 4 && 8 * span <= n / 4 && 32 * span > n / 4,
                  "two double passes, then the last pass");
    alignas(64) float rows[rowCount * rowFloats];
    const auto original = [&](std::ptrdiff_t row) { return data + 2 * (r + row * span); };
    const auto held = [&](std::ptrdiff_t row) { return rows + row * rowFloats; };

    // The double pass of half h (rows stride = h / span apart), from rows where
    // `from` finds them to rows where `to` puts them.
    const auto doublePass = [&](std::ptrdiff_t half, auto from, auto to) {
        const std::ptrdiff_t stride = half / span;
        for (std::ptrdiff_t group = 0; group < rowCount; group += 4 * stride) {
            for (std::ptrdiff_t offset = 0; offset < stride; ++offset) {
                const std::ptrdiff_t row = group + offset;
                const std::ptrdiff_t m = r + offset * span;
                FloatPair8 a = LoadBlocks(from(row), from(row) + 8);
                FloatPair8 b = LoadBlocks(from(row + stride), from(row + stride) + 8);
                FloatPair8 c = LoadBlocks(from(row + 2 * stride), from(row + 2 * stride) + 8);
                FloatPair8 d = LoadBlocks(from(row + 3 * stride), from(row + 3 * stride) + 8);
                const D8 wr = _mm512_load_pd(w.wr + half + m);
                const D8 wi = _mm512_load_pd(w.wi + half + m);
                Butterfly8(a, b, wr, wi);
                Butterfly8(c, d, wr, wi);
                Butterfly8(a, c, _mm512_load_pd(w.wr + 2 * half + m), _mm512_load_pd(w.wi + 2 * half + m));
                Butterfly8(b, d, _mm512_load_pd(w.wr + 3 * half + m), _mm512_load_pd(w.wi + 3 * half + m));
                StoreBlocks(to(row), to(row) + 8, a);
                StoreBlocks(to(row + stride), to(row + stride) + 8, b);
                StoreBlocks(to(row + 2 * stride), to(row + 2 * stride) + 8, c);
                StoreBlocks(to(row + 3 * stride), to(row + 3 * stride) + 8, d);
            }
        }
    };
    doublePass(span, original, held);
    doublePass(4 * span, held, held);
    for (std::ptrdiff_t row = 0; row < rowCount / 2; ++row) {
        const std::ptrdiff_t m = r + row * span;
        FloatPair8 i = LoadBlocks(held(row), held(row) + 8);
        FloatPair8 j = LoadBlocks(held(row + rowCount / 2), held(row + rowCount / 2) + 8);
        Butterfly8(i, j, _mm512_load_pd(w.wr + n / 2 + m), _mm512_load_pd(w.wi + n / 2 + m));
        StoreInterleaved8(original(row), original(row) + 8, i, scale);
        StoreInterleaved8(original(row + rowCount / 2), original(row + rowCount / 2) + 8, j, scale);
    }
}

void ComplexFftColumns8(float* data, const PassTwiddles& w, float scale, int first, int end) noexcept
{
    const F8 s = _mm256_set1_ps(scale);
    for (int g = first; g < end; ++g) {
        if (g < kMiddleGroups)
            MiddlePasses8(data, g, w);
        ColumnGroupPasses8(data, 8 * std::ptrdiff_t(g), w, s);
    }
}

// ---- the split pass -------------------------------------------------------------

// SplitStep of fft_kernels.inl on eight point pairs, k .. k + 7. The lanes take
// the points in the order 0 1 4 5 2 3 6 7 (from k, and back from n - k), the
// order in which in-lane shuffles of two interleaved registers leave them, so
// the twiddles are loaded in that order too.
KORVAX_KERNEL8 void SplitStep8(float* data, const SplitTwiddles& w, std::ptrdiff_t k, D8 c1, D8 c2, D8 minusC2,
                               __m512i order)
{
    constexpr std::ptrdiff_t n = kTablePoints;
    float* const a = data + 2 * k;             // points k .. k+7
    float* const b = data + 2 * (n - k - 7);   // points n-k-7 .. n-k
    const F8 a0 = _mm256_loadu_ps(a);          // points k+0 .. k+3
    const F8 a1 = _mm256_loadu_ps(a + 8);      // points k+4 .. k+7
    // Mirror point n - k - o is "offset o". x: offsets 1 0 | 3 2, y: offsets 5 4 | 7 6.
    const F8 x = LoadHalves(b + 12, b + 8);
    const F8 y = LoadHalves(b + 4, b);
    const D8 ar = _mm512_cvtps_pd(_mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(2, 0, 2, 0)));
    const D8 ai = _mm512_cvtps_pd(_mm256_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 1, 3, 1)));
    const D8 br = _mm512_cvtps_pd(_mm256_shuffle_ps(x, y, _MM_SHUFFLE(0, 2, 0, 2)));
    const D8 bi = _mm512_cvtps_pd(_mm256_shuffle_ps(x, y, _MM_SHUFFLE(1, 3, 1, 3)));
    const D8 wr = _mm512_permutexvar_pd(order, _mm512_loadu_pd(w.wr + k));
    const D8 wi = _mm512_permutexvar_pd(order, _mm512_loadu_pd(w.wi + k));

    const D8 h1r = _mm512_mul_pd(c1, _mm512_add_pd(ar, br));
    const F8 h1i = _mm512_cvtpd_ps(_mm512_mul_pd(c1, _mm512_sub_pd(ai, bi)));
    const D8 h2r = _mm512_mul_pd(minusC2, _mm512_add_pd(ai, bi));
    const D8 h2i = _mm512_mul_pd(c2, _mm512_sub_pd(ar, br));
    const D8 p1 = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_mul_pd(wr, h2r)));
    const D8 p2 = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_mul_pd(wi, h2i)));
    const D8 sum = _mm512_add_pd(_mm512_mul_pd(wr, h2i), _mm512_mul_pd(wi, h2r));

    const F8 outAr = _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_add_pd(h1r, p1), p2));
    const F8 outAi = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_cvtps_pd(h1i), sum));
    const F8 outBr = _mm512_cvtpd_ps(_mm512_add_pd(_mm512_sub_pd(h1r, p1), p2));
    const F8 outBi = _mm256_add_ps(_mm256_xor_ps(h1i, _mm256_set1_ps(-0.0f)), _mm512_cvtpd_ps(sum));

    _mm256_storeu_ps(a, _mm256_unpacklo_ps(outAr, outAi));       // points 0 1 | 2 3
    _mm256_storeu_ps(a + 8, _mm256_unpackhi_ps(outAr, outAi));   // points 4 5 | 6 7
    // Offsets 0 1 | 2 3 and 4 5 | 6 7, each pair turned round: 1 0 | 3 2 and 5 4 | 7 6.
    const F8 near = _mm256_shuffle_ps(_mm256_unpacklo_ps(outBr, outBi), _mm256_unpacklo_ps(outBr, outBi),
                                      _MM_SHUFFLE(1, 0, 3, 2));
    const F8 far = _mm256_shuffle_ps(_mm256_unpackhi_ps(outBr, outBi), _mm256_unpackhi_ps(outBr, outBi),
                                     _MM_SHUFFLE(1, 0, 3, 2));
    StoreBlocks4(b + 12, b + 8, near);   // offsets 1 0 at n-k-1, 3 2 at n-k-3
    StoreBlocks4(b + 4, b, far);         // offsets 5 4 at n-k-5, 7 6 at n-k-7
}

void SplitPassKernel8(float* data, const SplitTwiddles& w, double c2Value) noexcept
{
    const D8 c1 = _mm512_set1_pd(0.5);
    const D8 c2 = _mm512_set1_pd(c2Value);
    const D8 minusC2 = _mm512_set1_pd(-c2Value);
    const __m512i order = _mm512_setr_epi64(0, 1, 4, 5, 2, 3, 6, 7);
    std::ptrdiff_t k = 4;
    for (; k + 8 <= kTablePoints / 2; k += 8)
        SplitStep8(data, w, k, c1, c2, minusC2, order);
    const SplitConstants4 c = MakeSplitConstants4(c2Value);
    for (; k < kTablePoints / 2; k += 4)
        SplitStep(data, w, k, c);
}

#undef KORVAX_KERNEL8

} // namespace
} // namespace fft

namespace avx512 {
const fft::Transforms kTransforms = {&fft::ComplexFftKernel8,  &fft::SplitPassKernel8, &fft::ComplexFftHead8,
                                     &fft::ComplexFftColumns8, &fft::FirstSweep8,      &fft::ComplexFftAfterSweep8};
} // namespace avx512
} // namespace korvax
