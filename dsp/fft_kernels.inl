// The transform kernels, written once over a four-lane double type and compiled
// once per instruction set: dsp/sse2/fft_sse2.cpp and dsp/avx/fft_avx.cpp each
// define `Ops` (the four-lane double operations) inside an unnamed namespace and
// include this file there, so every function here has internal linkage and no
// code built for one instruction set can stand in for another's
// (dsp/avx512/fft_avx512.cpp takes the parts it shares with the eight-lane code).
//
// The six entry points (ComplexFftKernel .. SplitPassKernel) go into a tier's
// fft::Transforms; the AVX-512 file uses only some of the rest.
//
// Use only intrinsics and plain code here: an inline function from a standard
// header, instantiated in the AVX build, could be merged with the SSE2 one by
// the linker and reach a processor without AVX.
//
// Precision, throughout: exactly the plain transform's, butterfly for butterfly.
// Ops::Widen is the exact float-to-double conversion and Ops::Narrow the one
// rounding to float. Where the plain code adds two floats in double and rounds
// the sum (the imaginary parts ii + ti and ii - ti, and the final scaling by a
// power of two), the float instruction is used instead: double has more than
// twice float's precision plus two bits, so rounding the exact double result to
// float equals rounding the exact result to float once.

using F4 = __m128;
using D4 = Ops::D4;

// Everything below runs inside a few loops; keep it there rather than behind calls
// that pass vectors through the stack.
#if defined(__GNUC__)
#define KORVAX_KERNEL inline __attribute__((always_inline))
#else
#define KORVAX_KERNEL inline
#endif

struct FloatPair {   // four points' real and imaginary parts, float lanes
    F4 re;
    F4 im;
};

// One radix-2 butterfly on four lanes: point i (ir, ii) and point j (jr, ji)
// with the twiddle (wr, wi), as the plain transform does it:
//   tr = wr*jr - wi*ji (double), ti = float(wr*ji + wi*jr),
//   j = (float(ir - tr), ii - ti), i = (float(ir + tr), ii + ti).
KORVAX_KERNEL void Butterfly(FloatPair& i, FloatPair& j, D4 wr, D4 wi)
{
    const D4 jr = Ops::Widen(j.re);
    const D4 ji = Ops::Widen(j.im);
    const D4 ir = Ops::Widen(i.re);
    const D4 tr = Ops::Sub(Ops::Mul(wr, jr), Ops::Mul(wi, ji));
    const F4 ti = Ops::Narrow(Ops::Add(Ops::Mul(wr, ji), Ops::Mul(wi, jr)));
    j.re = Ops::Narrow(Ops::Sub(ir, tr));
    j.im = _mm_sub_ps(i.im, ti);
    i.re = Ops::Narrow(Ops::Add(ir, tr));
    i.im = _mm_add_ps(i.im, ti);
}

KORVAX_KERNEL FloatPair LoadBlock(const float* block)
{
    return {_mm_loadu_ps(block), _mm_loadu_ps(block + 4)};
}

KORVAX_KERNEL void StoreBlock(float* block, const FloatPair& p)
{
    _mm_storeu_ps(block, p.re);
    _mm_storeu_ps(block + 4, p.im);
}

// The reversal of the `bits` low bits of m (0 <= m < 2^bits, bits <= 16):
// all 32 bits reversed by swapping halves of ever smaller fields, then moved down.
KORVAX_KERNEL int Reversed(int m, int bits)
{
    if (bits == 0)
        return 0;
    std::uint32_t v = std::uint32_t(m);
    v = ((v >> 1) & 0x55555555u) | ((v & 0x55555555u) << 1);
    v = ((v >> 2) & 0x33333333u) | ((v & 0x33333333u) << 2);
    v = ((v >> 4) & 0x0F0F0F0Fu) | ((v & 0x0F0F0F0Fu) << 4);
    v = ((v >> 8) & 0x00FF00FFu) | ((v & 0x00FF00FFu) << 8);
    v = (v >> 16) | (v << 16);
    return int(v >> (32 - bits));
}

// Bit reversal, the passes of half 1 and 2, and the change to the block layout,
// in one sweep. A point index of n = 2^bits points is split into (h, m, l): two
// high bits, bits - 4 middle bits, two low bits; bit reversal sends (h, m, l) to
// (rev l, rev m, rev h). The sixteen points with middle bits m therefore fill
// four whole target blocks (rev l, rev m), and those four blocks are exactly the
// four-point groups the first two passes work on.
struct Gathered {
    FloatPair p[4];   // p[t] lane u: target point t of target block rev u
};

// Only shufps here, where a shuffle is needed: on recent cores it issues on two
// ports, while unpcklps, movlhps and movhlps share one with the conversions.
KORVAX_KERNEL F4 EvenLanes(F4 a, F4 b)   // a0 a2 b0 b2
{
    return _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
}

KORVAX_KERNEL F4 OddLanes(F4 a, F4 b)   // a1 a3 b1 b3
{
    return _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
}

// Loads the sixteen points with middle bits m; `rows` is n / 4 points. Lane u
// holds the point with low bits l = u, bound for target block rev u.
KORVAX_KERNEL Gathered Gather(const float* data, int m, std::ptrdiff_t rows)
{
    FloatPair row[4];   // row[h] lane u: point (h, m, u)
    for (int h = 0; h < 4; ++h) {
        const float* p = data + 2 * (h * rows + 4 * std::ptrdiff_t(m));   // point (h, m, 0)
        const F4 a = _mm_loadu_ps(p);       // r0 i0 r1 i1
        const F4 b = _mm_loadu_ps(p + 4);   // r2 i2 r3 i3
        row[h] = {EvenLanes(a, b), OddLanes(a, b)};
    }
    // Target point t comes from source point (rev t, m, l).
    return {{row[0], row[2], row[1], row[3]}};
}

// Rows r0 .. r3 become columns.
KORVAX_KERNEL void Transpose(F4& r0, F4& r1, F4& r2, F4& r3)
{
    const F4 t0 = _mm_shuffle_ps(r0, r1, _MM_SHUFFLE(1, 0, 1, 0));   // r00 r01 r10 r11
    const F4 t1 = _mm_shuffle_ps(r0, r1, _MM_SHUFFLE(3, 2, 3, 2));   // r02 r03 r12 r13
    const F4 t2 = _mm_shuffle_ps(r2, r3, _MM_SHUFFLE(1, 0, 1, 0));
    const F4 t3 = _mm_shuffle_ps(r2, r3, _MM_SHUFFLE(3, 2, 3, 2));
    r0 = EvenLanes(t0, t2);
    r1 = OddLanes(t0, t2);
    r2 = EvenLanes(t1, t3);
    r3 = OddLanes(t1, t3);
}

// The twiddles of the passes of half 1 and 2, in every lane.
struct FirstTwiddles {
    D4 w1r, w1i, w2r, w2i, w3r, w3i;
};

// Runs the passes of half 1 and 2 on the gathered points and stores the four
// target blocks at middle bits rm.
KORVAX_KERNEL void FirstPassesAndScatter(Gathered& g, float* data, int rm, std::ptrdiff_t rows, const FirstTwiddles& w)
{
    Butterfly(g.p[0], g.p[1], w.w1r, w.w1i);
    Butterfly(g.p[2], g.p[3], w.w1r, w.w1i);
    Butterfly(g.p[0], g.p[2], w.w2r, w.w2i);
    Butterfly(g.p[1], g.p[3], w.w3r, w.w3i);

    F4 re0 = g.p[0].re, re1 = g.p[1].re, re2 = g.p[2].re, re3 = g.p[3].re;
    F4 im0 = g.p[0].im, im1 = g.p[1].im, im2 = g.p[2].im, im3 = g.p[3].im;
    Transpose(re0, re1, re2, re3);   // re_u: the real parts of target block rev u
    Transpose(im0, im1, im2, im3);
    float* const block = data + 8 * std::ptrdiff_t(rm);
    StoreBlock(block, {re0, im0});
    StoreBlock(block + 4 * rows, {re1, im1});
    StoreBlock(block + 2 * rows, {re2, im2});
    StoreBlock(block + 6 * rows, {re3, im3});
}

KORVAX_KERNEL FirstTwiddles MakeFirstTwiddles(const PassTwiddles& w)
{
    return {Ops::Broadcast(w.wr[1]), Ops::Broadcast(w.wi[1]), Ops::Broadcast(w.wr[2]),
            Ops::Broadcast(w.wi[2]), Ops::Broadcast(w.wr[3]), Ops::Broadcast(w.wi[3])};
}

// The sweep of one pair of middle values m, rm (m == rm: a value that is its
// own reversal).
KORVAX_KERNEL void SweepPair(float* data, int m, int rm, std::ptrdiff_t rows, const FirstTwiddles& t)
{
    Gathered a = Gather(data, m, rows);
    if (rm == m) {
        FirstPassesAndScatter(a, data, m, rows, t);
    } else {
        Gathered b = Gather(data, rm, rows);
        FirstPassesAndScatter(a, data, rm, rows, t);
        FirstPassesAndScatter(b, data, m, rows, t);
    }
}

// The sweep for the middle values first .. end - 1 (of 2^(bits - 4)); each
// pair m, rm is taken at its larger member, so any split of the range into
// parts, in any order, sweeps every pair once.
KORVAX_KERNEL void FirstSweepRange(float* data, int bits, const PassTwiddles& w, int first, int end)
{
    const FirstTwiddles t = MakeFirstTwiddles(w);
    const int middleBits = bits - 4;
    const std::ptrdiff_t rows = std::ptrdiff_t(1) << (bits - 2);
    for (int m = first; m < end; ++m) {
        const int rm = Reversed(m, middleBits);
        if (rm <= m)   // otherwise done at rm
            SweepPair(data, m, rm, rows, t);
    }
}

// ---- the forward transform's later passes as its points arrive ---------------------
//
// After the first sweep, stage s (the pass of half 2^(s - 1)) works on groups of
// 2^s consecutive positions. For 3 <= s <= kLastGroupedStage a group lies within
// one quarter of the positions (two high bits) and holds the middle values
// r 2^(s - 2) .. (r + 1) 2^(s - 2) - 1 there. It can run once the sweep has
// written every one of them, which it does at the step of max(m, rev m) (see
// FirstSweepRange), and once stage s - 1 has run on its two halves, whose
// middle values are among its own. So the groups run in the order of those
// steps, the lower stage first within a step, each as soon as its step is
// swept: stage 3 during the last eighth of the points, stage 4 during the last
// sixteenth, and so on; what a block's last points leave is stages 9 to 11 and
// parts of the stages before, then the two passes over the whole array.
inline constexpr int kFirstGroupedStage = 3;
inline constexpr int kLastGroupedStage = 11;   // groups of a quarter of 8192 points
inline constexpr int kMiddleBits = 9;          // of kTablePoints, beside two high and two low bits
static_assert(kTablePoints == 1 << (kMiddleBits + 4) && kSweepMiddles == 1 << kMiddleBits);

struct GroupOrder {
    struct Group {
        std::int16_t step;   // the sweep step after which the group can run
        std::int16_t stage;
        std::int16_t r;      // the group's index within its quarter
    };
    static constexpr int kGroups = (1 << (kLastGroupedStage - kFirstGroupedStage + 1)) - 1;
    Group group[kGroups];
    std::int16_t firstOfStep[kSweepMiddles + 1];   // groups of step t: firstOfStep[t] .. firstOfStep[t + 1] - 1

    // The reversal of the `bits` low bits of m.
    static constexpr int Reverse(int m, int bits)
    {
        int r = 0;
        for (int b = 0; b < bits; ++b)
            r |= ((m >> b) & 1) << (bits - 1 - b);
        return r;
    }
    // max(m, rev m) over the group's middle values m = r w + t, t < w = 2^(s - 2):
    // the largest m is (r + 1) w - 1, the largest rev m has t's bits all set
    // above rev(r) (rev m = rev(t) 2^(11 - s) + rev(r) in the 9 middle bits).
    static constexpr int Step(int stage, int r)
    {
        const int width = 1 << (stage - 2);
        const int lowBits = kMiddleBits - (stage - 2);
        const int largest = (r + 1) * width - 1;
        const int largestReversed = (width - 1) * (1 << lowBits) + Reverse(r, lowBits);
        return largest > largestReversed ? largest : largestReversed;
    }
    // By counting: the groups of each step, in the order of stage and r.
    constexpr GroupOrder() : group(), firstOfStep()
    {
        std::int16_t count[kSweepMiddles + 1] = {};
        for (int stage = kFirstGroupedStage; stage <= kLastGroupedStage; ++stage)
            for (int r = 0; r < 1 << (kLastGroupedStage - stage); ++r)
                ++count[Step(stage, r) + 1];
        for (int step = 0; step < kSweepMiddles; ++step)
            count[step + 1] = std::int16_t(count[step + 1] + count[step]);
        for (int step = 0; step <= kSweepMiddles; ++step)
            firstOfStep[step] = count[step];
        for (int stage = kFirstGroupedStage; stage <= kLastGroupedStage; ++stage)
            for (int r = 0; r < 1 << (kLastGroupedStage - stage); ++r) {
                const int step = Step(stage, r);
                group[count[step]++] = {std::int16_t(step), std::int16_t(stage), std::int16_t(r)};
            }
    }
};
constexpr GroupOrder kGroupOrder;
static_assert(kGroupOrder.firstOfStep[kSweepMiddles] == GroupOrder::kGroups, "every group has a step");

// Calls sweep(m, rm) once for every pair of middle values m, rm (rm the
// reversal of m's middleBits bits; m == rm for a value that is its own), in an
// order that keeps the cache lines in use few. Middle value m = (x, c, y) pairs
// with rm = (rev y, rev c, rev x). For one centre c, the 64 values of x and y
// take 8 runs of 8 consecutive middle values on either side (16 KB of a
// transform of 8192 points, within the first-level cache), and each cache line
// serves neighbouring middle values while it is there; in plain middle-value
// order the reversed side would fetch each line twice from further out. The
// pairs are independent, so the order changes no result.
template <class Sweep>
KORVAX_KERNEL void ForEachSweepPair(int middleBits, const Sweep& sweep)
{
    const int edgeBits = middleBits / 2 < 3 ? middleBits / 2 : 3;
    const int centreBits = middleBits - 2 * edgeBits;
    for (int c = 0; c < 1 << centreBits; ++c) {
        const int rc = Reversed(c, centreBits);
        if (rc < c)
            continue;   // every pair of this centre was taken at rc
        for (int x = 0; x < 1 << edgeBits; ++x) {
            const int rx = Reversed(x, edgeBits);
            for (int y = 0; y < 1 << edgeBits; ++y) {
                const int m = (((x << centreBits) | c) << edgeBits) | y;
                const int rm = (((Reversed(y, edgeBits) << centreBits) | rc) << edgeBits) | rx;
                if (rc > c || rm <= m)   // within one centre, each pair at its larger member
                    sweep(m, rm);
            }
        }
    }
}

KORVAX_KERNEL void BitReverseFirstPasses(float* data, int bits, const PassTwiddles& w)
{
    const FirstTwiddles t = MakeFirstTwiddles(w);
    const std::ptrdiff_t rows = std::ptrdiff_t(1) << (bits - 2);
    ForEachSweepPair(bits - 4, [&](int m, int rm) { SweepPair(data, m, rm, rows, t); });
}

// The pass of the given half (4 <= half) over the groups of 2 * half points that
// start in [begin, end), in memory order, blocks in and blocks out.
KORVAX_KERNEL void BlockPass(float* data, std::ptrdiff_t begin, std::ptrdiff_t end, std::ptrdiff_t half,
                      const PassTwiddles& w)
{
    for (std::ptrdiff_t group = begin; group < end; group += 2 * half) {
        float* const top = data + 2 * group;
        float* const bottom = top + 2 * half;
        for (std::ptrdiff_t m = 0; m < half; m += 4) {
            FloatPair i = LoadBlock(top + 2 * m);
            FloatPair j = LoadBlock(bottom + 2 * m);
            Butterfly(i, j, Ops::Load(w.wr + half + m), Ops::Load(w.wi + half + m));
            StoreBlock(top + 2 * m, i);
            StoreBlock(bottom + 2 * m, j);
        }
    }
}

// The passes of half and 2 * half together, over the groups of 4 * half points
// that start in [begin, end): each sweep loads four blocks a quarter group
// apart, runs the two butterflies of the first pass and then the two of the
// second on them, and stores them once. The butterflies and twiddles are those
// of two BlockPass sweeps; only the order of independent butterflies changes.
// One sweep of DoubleBlockPass: the four blocks from point m of the quarters of
// the group at p0 (4 * half points).
KORVAX_KERNEL void DoubleBlockStep(float* p0, std::ptrdiff_t half, std::ptrdiff_t m, const PassTwiddles& w)
{
    const std::ptrdiff_t twice = 2 * half;
    float* const p1 = p0 + 2 * half;
    float* const p2 = p0 + 2 * twice;
    float* const p3 = p2 + 2 * half;
    FloatPair a = LoadBlock(p0 + 2 * m);
    FloatPair b = LoadBlock(p1 + 2 * m);
    FloatPair c = LoadBlock(p2 + 2 * m);
    FloatPair d = LoadBlock(p3 + 2 * m);
    const D4 wr = Ops::Load(w.wr + half + m);
    const D4 wi = Ops::Load(w.wi + half + m);
    Butterfly(a, b, wr, wi);
    Butterfly(c, d, wr, wi);
    Butterfly(a, c, Ops::Load(w.wr + twice + m), Ops::Load(w.wi + twice + m));
    Butterfly(b, d, Ops::Load(w.wr + twice + half + m), Ops::Load(w.wi + twice + half + m));
    StoreBlock(p0 + 2 * m, a);
    StoreBlock(p1 + 2 * m, b);
    StoreBlock(p2 + 2 * m, c);
    StoreBlock(p3 + 2 * m, d);
}

KORVAX_KERNEL void DoubleBlockPass(float* data, std::ptrdiff_t begin, std::ptrdiff_t end, std::ptrdiff_t half,
                                   const PassTwiddles& w)
{
    for (std::ptrdiff_t group = begin; group < end; group += 4 * half)
        for (std::ptrdiff_t m = 0; m < half; m += 4)
            DoubleBlockStep(data + 2 * group, half, m, w);
}

// The passes of half = first, 2 * first, .. last over the groups starting in
// [begin, end), two per sweep while two remain.
KORVAX_KERNEL void BlockPasses(float* data, std::ptrdiff_t begin, std::ptrdiff_t end, std::ptrdiff_t first,
                               std::ptrdiff_t last, const PassTwiddles& w)
{
    std::ptrdiff_t half = first;
    for (; 2 * half <= last; half *= 4)
        DoubleBlockPass(data, begin, end, half, w);
    if (half <= last)
        BlockPass(data, begin, end, half, w);
}

// Stores a block's four points interleaved again, each float times `scale`.
KORVAX_KERNEL void StoreInterleaved(float* p, const FloatPair& block, F4 scale)
{
    _mm_storeu_ps(p, _mm_mul_ps(_mm_unpacklo_ps(block.re, block.im), scale));
    _mm_storeu_ps(p + 4, _mm_mul_ps(_mm_unpackhi_ps(block.re, block.im), scale));
}

// The last pass (half = n / 2), which also leaves the interleaved layout and
// applies the final scale factor.
KORVAX_KERNEL void LastPass(float* data, std::ptrdiff_t half, const PassTwiddles& w, float scale)
{
    const F4 s = _mm_set1_ps(scale);
    float* const bottom = data + 2 * half;
    for (std::ptrdiff_t m = 0; m < half; m += 4) {
        FloatPair i = LoadBlock(data + 2 * m);
        FloatPair j = LoadBlock(bottom + 2 * m);
        Butterfly(i, j, Ops::Load(w.wr + half + m), Ops::Load(w.wi + half + m));
        StoreInterleaved(data + 2 * m, i, s);
        StoreInterleaved(bottom + 2 * m, j, s);
    }
}

// Passes whose groups fit this many points run group after group, so that one
// group's data stays in the first-level cache through all of them.
constexpr std::ptrdiff_t kCachePoints = 1024;

// Everything after the first sweep of a transform of 2^bits points: the passes
// whose groups fit kCachePoints group after group, the larger ones over the
// whole array, then the last pass.
KORVAX_KERNEL void PassesAfterSweep(float* data, int bits, const PassTwiddles& w, float scale)
{
    const std::ptrdiff_t n = std::ptrdiff_t(1) << bits;
    const std::ptrdiff_t chunk = n < kCachePoints ? n : kCachePoints;
    const std::ptrdiff_t lastChunked = chunk / 2 < n / 4 ? chunk / 2 : n / 4;
    for (std::ptrdiff_t c = 0; c < n; c += chunk)
        BlockPasses(data, c, c + chunk, 4, lastChunked, w);
    BlockPasses(data, 0, n, 2 * lastChunked, n / 4, w);
    LastPass(data, n / 2, w, scale);
}

[[maybe_unused]] void ComplexFftKernel(float* data, int bits, const PassTwiddles& w, float scale) noexcept
{
    BitReverseFirstPasses(data, bits, w);
    PassesAfterSweep(data, bits, w, scale);
}

// Split constants, in every lane.
struct SplitConstants4 {
    D4 c1;        // 0.5
    D4 c2;
    D4 minusC2;
};

KORVAX_KERNEL SplitConstants4 MakeSplitConstants4(double c2Value)
{
    return {Ops::Broadcast(0.5), Ops::Broadcast(c2Value), Ops::Broadcast(-c2Value)};
}

constexpr int TableBits()
{
    int bits = 0;
    while ((1 << bits) < kTablePoints)
        ++bits;
    return bits;
}

// The groups of the grouped stages whose steps lie in first .. end - 1, through
// `pass` (a BlockPass over the group's positions).
template <class Pass>
KORVAX_KERNEL void ReadyGroups(int first, int end, const Pass& pass)
{
    constexpr std::ptrdiff_t quarter = kTablePoints / 4;
    for (int e = kGroupOrder.firstOfStep[first]; e < kGroupOrder.firstOfStep[end]; ++e) {
        const GroupOrder::Group g = kGroupOrder.group[e];
        const std::ptrdiff_t size = std::ptrdiff_t(1) << g.stage;
        for (std::ptrdiff_t h = 0; h < 4; ++h)
            pass(h * quarter + g.r * size, size);
    }
}

// The first sweep of a transform of kTablePoints points for middle values
// first .. end - 1, and the groups of the later stages it makes ready.
[[maybe_unused]] void FirstSweep(float* data, const PassTwiddles& w, int first, int end) noexcept
{
    FirstSweepRange(data, TableBits(), w, first, end);
    ReadyGroups(first, end, [&](std::ptrdiff_t begin, std::ptrdiff_t size) {
        BlockPass(data, begin, begin + size, size / 2, w);
    });
}

// ComplexFftKernel for kTablePoints points after every step of FirstSweep:
// the two passes over the whole array.
[[maybe_unused]] void ComplexFftAfterSweep(float* data, const PassTwiddles& w, float scale) noexcept
{
    static_assert(std::ptrdiff_t(1) << (kLastGroupedStage + 1) == kTablePoints / 2, "then half n / 4 and n / 2");
    BlockPass(data, 0, kTablePoints, kTablePoints / 4, w);
    LastPass(data, kTablePoints / 2, w, scale);
}

// ComplexFftKernel for kTablePoints points up to the late pass (half
// kMiddleSpan / 2), which the columns function runs in groups.
[[maybe_unused]] void ComplexFftHead(float* data, const PassTwiddles& w) noexcept
{
    constexpr std::ptrdiff_t n = kTablePoints;
    static_assert(kCachePoints <= n && kMiddleSpan / 2 < kCachePoints);
    BitReverseFirstPasses(data, TableBits(), w);
    for (std::ptrdiff_t c = 0; c < n; c += kCachePoints)
        BlockPasses(data, c, c + kCachePoints, 4, kMiddleSpan / 4, w);
}

// The late pass (half kMiddleSpan / 2) for late group k: in every group of
// kMiddleSpan points, the butterflies from point m = 8k .. 8k + 7.
KORVAX_KERNEL void LatePass(float* data, int k, const PassTwiddles& w)
{
    constexpr std::ptrdiff_t half = kMiddleSpan / 2;
    for (std::ptrdiff_t group = 0; group < kTablePoints; group += 2 * half) {
        float* const top = data + 2 * group;
        float* const bottom = top + 2 * half;
        for (std::ptrdiff_t m = 8 * std::ptrdiff_t(k); m < 8 * std::ptrdiff_t(k) + 8; m += 4) {
            FloatPair i = LoadBlock(top + 2 * m);
            FloatPair j = LoadBlock(bottom + 2 * m);
            Butterfly(i, j, Ops::Load(w.wr + half + m), Ops::Load(w.wi + half + m));
            StoreBlock(top + 2 * m, i);
            StoreBlock(bottom + 2 * m, j);
        }
    }
}

// The middle passes (half kMiddleSpan and 2 * kMiddleSpan, one double pass) for
// middle group s: in every group of kColumnSpan points, the sweeps from point
// m = 8s .. 8s + 7. The butterflies of the whole-array double pass.
static_assert(4 * kMiddleSpan == kColumnSpan, "the middle passes are one double pass");
KORVAX_KERNEL void MiddlePasses(float* data, int s, const PassTwiddles& w)
{
    for (std::ptrdiff_t group = 0; group < kTablePoints; group += kColumnSpan)
        for (std::ptrdiff_t m = 8 * std::ptrdiff_t(s); m < 8 * std::ptrdiff_t(s) + 8; m += 4)
            DoubleBlockStep(data + 2 * group, kMiddleSpan, m, w);
}

// The passes after the head for the four-point column block from point r
// (r a multiple of 4 below kColumnSpan): the points r + j * kColumnSpan,
// j = 0 .. n / kColumnSpan - 1, two passes per sweep as DoubleBlockPass pairs
// them, then LastPass. Twiddles and operations are those of the whole-array passes.
// The block's rows lie kColumnSpan points (2 KB) apart, which puts all of them
// in two sets of the first-level cache, more rows than those sets hold. So the
// first passes read the rows where they lie and leave them in `rows`, one after
// another; the middle passes stay there; the last pass writes them back.
KORVAX_KERNEL void ColumnBlockPasses(float* data, std::ptrdiff_t r, const PassTwiddles& w, F4 scale)
{
    constexpr std::ptrdiff_t n = kTablePoints;
    constexpr std::ptrdiff_t span = kColumnSpan;
    constexpr std::ptrdiff_t rowCount = n / span;
    constexpr std::ptrdiff_t rowFloats = 8;   // one block
    static_assert(rowCount >= 4, "the last pass pairs rows j and j + rows / 2");
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
                FloatPair a = LoadBlock(from(row));
                FloatPair b = LoadBlock(from(row + stride));
                FloatPair c = LoadBlock(from(row + 2 * stride));
                FloatPair d = LoadBlock(from(row + 3 * stride));
                const D4 wr = Ops::Load(w.wr + half + m);
                const D4 wi = Ops::Load(w.wi + half + m);
                Butterfly(a, b, wr, wi);
                Butterfly(c, d, wr, wi);
                Butterfly(a, c, Ops::Load(w.wr + 2 * half + m), Ops::Load(w.wi + 2 * half + m));
                Butterfly(b, d, Ops::Load(w.wr + 3 * half + m), Ops::Load(w.wi + 3 * half + m));
                StoreBlock(to(row), a);
                StoreBlock(to(row + stride), b);
                StoreBlock(to(row + 2 * stride), c);
                StoreBlock(to(row + 3 * stride), d);
            }
        }
    };
    doublePass(span, original, held);
    doublePass(4 * span, held, held);
    static_assert(n / 2 == kColumnSpan * 16, "the passes after the head pair up, leaving only the last");
    for (std::ptrdiff_t row = 0; row < rowCount / 2; ++row) {
        const std::ptrdiff_t m = r + row * span;
        FloatPair i = LoadBlock(held(row));
        FloatPair j = LoadBlock(held(row + rowCount / 2));
        Butterfly(i, j, Ops::Load(w.wr + n / 2 + m), Ops::Load(w.wi + n / 2 + m));
        StoreInterleaved(original(row), i, scale);
        StoreInterleaved(original(row + rowCount / 2), j, scale);
    }
}

[[maybe_unused]] void ComplexFftColumns(float* data, const PassTwiddles& w, float scale, int first, int end) noexcept
{
    const F4 s = _mm_set1_ps(scale);
    for (int g = first; g < end; ++g) {
        if (g < kLateGroups)
            LatePass(data, g, w);
        if (g < kMiddleGroups)
            MiddlePasses(data, g, w);
        ColumnBlockPasses(data, 8 * std::ptrdiff_t(g), w, s);
        ColumnBlockPasses(data, 8 * std::ptrdiff_t(g) + 4, w, s);
    }
}

// The split pass for the point pairs k = 4 .. n/2 - 1, four k at a time: point
// k and point n - k, as RealFft describes it:
//   h1r = 0.5 (ar + br), h1i = float(0.5 (ai - bi)), h2r = -c2 (ai + bi), h2i = c2 (ar - br),
//   p1 = float(wr h2r), p2 = float(wi h2i), s = wr h2i + wi h2r,
//   a = (float((h1r + p1) - p2), float(h1i + s)),
//   b = (float((h1r - p1) + p2), -h1i + float(s)).
// One step: the point pairs k .. k + 3 (4 <= k, k + 3 < n / 2).
KORVAX_KERNEL void SplitStep(float* data, const SplitTwiddles& w, std::ptrdiff_t k, const SplitConstants4& c)
{
    constexpr std::ptrdiff_t n = kTablePoints;
    const F4 signBit = _mm_set1_ps(-0.0f);
    float* const a = data + 2 * k;             // points k .. k+3
    float* const b = data + 2 * (n - k - 3);   // points n-k-3 .. n-k
    const F4 a0 = _mm_loadu_ps(a);
    const F4 a1 = _mm_loadu_ps(a + 4);
    const F4 b0 = _mm_loadu_ps(b);
    const F4 b1 = _mm_loadu_ps(b + 4);
    // Lane u holds point k + u of a and point n - k - u of b.
    const D4 ar = Ops::Widen(_mm_shuffle_ps(a0, a1, _MM_SHUFFLE(2, 0, 2, 0)));
    const D4 ai = Ops::Widen(_mm_shuffle_ps(a0, a1, _MM_SHUFFLE(3, 1, 3, 1)));
    const D4 br = Ops::Widen(_mm_shuffle_ps(b1, b0, _MM_SHUFFLE(0, 2, 0, 2)));
    const D4 bi = Ops::Widen(_mm_shuffle_ps(b1, b0, _MM_SHUFFLE(1, 3, 1, 3)));
    const D4 wr = Ops::Load(w.wr + k);
    const D4 wi = Ops::Load(w.wi + k);

    const D4 h1r = Ops::Mul(c.c1, Ops::Add(ar, br));
    const F4 h1i = Ops::Narrow(Ops::Mul(c.c1, Ops::Sub(ai, bi)));
    const D4 h2r = Ops::Mul(c.minusC2, Ops::Add(ai, bi));
    const D4 h2i = Ops::Mul(c.c2, Ops::Sub(ar, br));
    const D4 p1 = Ops::Widen(Ops::Narrow(Ops::Mul(wr, h2r)));
    const D4 p2 = Ops::Widen(Ops::Narrow(Ops::Mul(wi, h2i)));
    const D4 sum = Ops::Add(Ops::Mul(wr, h2i), Ops::Mul(wi, h2r));

    const F4 outAr = Ops::Narrow(Ops::Sub(Ops::Add(h1r, p1), p2));
    const F4 outAi = Ops::Narrow(Ops::Add(Ops::Widen(h1i), sum));
    const F4 outBr = Ops::Narrow(Ops::Add(Ops::Sub(h1r, p1), p2));
    const F4 outBi = _mm_add_ps(_mm_xor_ps(h1i, signBit), Ops::Narrow(sum));

    _mm_storeu_ps(a, _mm_unpacklo_ps(outAr, outAi));
    _mm_storeu_ps(a + 4, _mm_unpackhi_ps(outAr, outAi));
    // b in memory order: lanes 3, 2 then lanes 1, 0.
    const F4 bLow = _mm_unpacklo_ps(outBr, outBi);    // lanes 0, 1
    const F4 bHigh = _mm_unpackhi_ps(outBr, outBi);   // lanes 2, 3
    _mm_storeu_ps(b, _mm_shuffle_ps(bHigh, bHigh, _MM_SHUFFLE(1, 0, 3, 2)));
    _mm_storeu_ps(b + 4, _mm_shuffle_ps(bLow, bLow, _MM_SHUFFLE(1, 0, 3, 2)));
}

[[maybe_unused]] void SplitPassKernel(float* data, const SplitTwiddles& w, double c2Value) noexcept
{
    const SplitConstants4 c = MakeSplitConstants4(c2Value);
    for (std::ptrdiff_t k = 4; k < kTablePoints / 2; k += 4)
        SplitStep(data, w, k, c);
}

#undef KORVAX_KERNEL
