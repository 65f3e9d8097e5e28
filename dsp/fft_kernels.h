#pragma once
// The interface of the transform kernels (dsp/kernels.h) behind RealFft and
// ComplexFft. Internal to dsp/: the engine and the tests reach the transforms
// through dsp/real_fft.h.
//
// Every kernel performs, butterfly for butterfly, the arithmetic of the plain
// radix-2 transform: the same double products and sums, the same roundings to
// float, the same twiddles. Only the order in which independent butterflies are
// visited and the number of them done per instruction differ. The twiddles come
// from tables that real_fft.cpp fills once, when the library is loaded, by the
// very recurrence the plain transform runs per call.
//
// Working layout. Between the bit-reversal sweep and the last butterfly pass the
// points are held in blocks of four: floats 8b .. 8b+3 hold the real parts of
// points 4b .. 4b+3, floats 8b+4 .. 8b+7 their imaginary parts. Each block takes
// the memory of the same four interleaved points, so the transform stays in place.

#include <cstdint>

namespace korvax::fft {

// Largest transform the tables serve, in complex points; larger sizes run the
// plain code. The smallest the kernels handle is kMinKernelPoints.
inline constexpr std::int32_t kTablePoints = 8192;
inline constexpr std::int32_t kMinKernelPoints = 16;

// Twiddles of the butterfly passes for one direction. The pass that merges
// sub-transforms of half points (half = 1, 2, 4, ... kTablePoints / 2) uses
// twiddle m (m = 0 .. half - 1) from entry half + m.
struct PassTwiddles {
    alignas(64) double wr[kTablePoints];
    alignas(64) double wi[kTablePoints];
};

// Twiddles of the split pass of RealFft with n = kTablePoints: entry k for
// point pair k, n - k (k = 0 .. n / 2), padded to whole vectors.
struct SplitTwiddles {
    alignas(64) double wr[kTablePoints / 2 + 8];
    alignas(64) double wi[kTablePoints / 2 + 8];
};

// The inverse transform of kTablePoints points can also run in parts, so that
// a caller reading the result in order can spread the work. The head runs the
// bit reversal and every pass of half below kMiddleSpan. The passes of half
// kMiddleSpan and 2 * kMiddleSpan combine only points of one group of
// kColumnSpan whose indices agree modulo kMiddleSpan; the later passes, the
// last one with the change back to interleaved points and the scale, combine
// only points a multiple of kColumnSpan apart. So column group g (the points
// whose index modulo kColumnSpan lies in 8g .. 8g + 7) can be finished on its
// own once the middle passes have run for its points, which are those of
// middle group g modulo kMiddleGroups (index modulo kMiddleSpan in 8g' ..
// 8g' + 7). The columns function runs middle group g right before column group
// g for g below kMiddleGroups; so the column groups must be finished in
// increasing order, in any parts, and finishing groups 0 .. g makes every point
// below 8g + 8 final.
//
// A tier's kernels may leave the pass before the middle ones (half
// kMiddleSpan / 2) to the columns function as well: it combines points whose
// indices agree modulo kMiddleSpan / 2, so late group k (index modulo
// kMiddleSpan / 2 in 8k .. 8k + 7) is what middle groups k and k + kLateGroups
// need, and runs right before middle group k. The first column groups, which a
// block completion needs at once, then need half of that pass.
inline constexpr std::int32_t kColumnSpan = 256;
inline constexpr std::int32_t kColumnGroups = kColumnSpan / 8;
inline constexpr std::int32_t kMiddleSpan = kColumnSpan / 4;
inline constexpr std::int32_t kMiddleGroups = kMiddleSpan / 8;
inline constexpr std::int32_t kLateGroups = kMiddleGroups / 2;

// The first sweep of a transform of kTablePoints points works on the sixteen
// points h * kTablePoints / 4 + 4 * m + l (h, l = 0 .. 3) of each middle value m
// together with those of its bit reversal rm. Middle value M stands for the
// pair whose larger member it is (rm <= M; others do nothing), so a caller that
// receives the points in order can sweep M as soon as point
// 3 * kTablePoints / 4 + 4 * M + 3 has arrived.
inline constexpr std::int32_t kSweepMiddles = kTablePoints / 16;

// One tier's transform kernels (the Kernels record's `transforms`).
struct Transforms {
    // ComplexFft of n = 2^bits points (kMinKernelPoints <= n <= kTablePoints),
    // bit reversal included; every element ends multiplied by `scale` (1/(2n) or 2).
    void (*complexFft)(float* data, int bits, const PassTwiddles& w, float scale) noexcept;
    // The split pass of RealFft with n = kTablePoints, for the point pairs
    // k = 4 .. n / 2 - 1; the caller does k = 0 .. 3 and n / 2. c2 is -0.5
    // forward, 0.5 inverse.
    void (*splitPass)(float* data, const SplitTwiddles& w, double c2) noexcept;
    // The parts of ComplexFft of kTablePoints points with the inverse
    // twiddles; columns takes the groups first .. end - 1 (see kColumnSpan).
    void (*complexFftHead)(float* data, const PassTwiddles& w) noexcept;
    void (*complexFftColumns)(float* data, const PassTwiddles& w, float scale, int first, int end) noexcept;
    // ComplexFft of kTablePoints points in the other order of parts: the first
    // sweep (bit reversal and the first two passes) for the middle values
    // first .. end - 1 (see kSweepMiddles), then everything after it.
    void (*firstSweep)(float* data, const PassTwiddles& w, int first, int end) noexcept;
    void (*complexFftAfterSweep)(float* data, const PassTwiddles& w, float scale) noexcept;
};

// Fills the twiddle tables, by the recurrence the plain transforms run per
// call. Run once when the library loads (dsp/kernels.cpp), before any tier's
// transforms are chosen.
void FillTwiddleTables() noexcept;

} // namespace korvax::fft
