#pragma once
// The machine's formulas that call the C library's maths functions (exp, log,
// pow, sin, sqrt), written out with the library as they are defined. The
// machine itself reads their results from tables (params/math_tables.h) for
// every argument it uses; these evaluate any argument, and they are what the
// tables are made from and checked against.
//
// Precision: arithmetic in double with the double-precision library functions;
// every constant the 32-bit float named, widened; each result held as a float
// rounded once at the end, except the value texts' numbers, which stay double.

#include <cstdint>

namespace korvax::libm {

// CubeGain(v) * 2^-15 with (v - 1) raised to the power 3.0.
float InputGain(float v) noexcept;

// exp(ln 18 + (ln 24000 - ln 18) * v * 0.0078125) Hz.
float SplitFrequency(float v) noexcept;

// The band mask's slope factor k = exp((0.5 * steepness + 0.15) * 9.0) / exp(11.0).
float SteepnessSlope(float steepness) noexcept;

// numerator / (exp(v * k) - 0.9): the attack blend (0.055) and release step (0.007).
float AttackBlend(float v, float k) noexcept;
float ReleaseStep(float v, float k) noexcept;

// The ratio mix U = sqrt(v * 0.0078125).
float RatioMix(float v) noexcept;

// The limiter threshold exp(v * -0.011552453), that is 2^(-v/60).
float LimiterThreshold(float v) noexcept;

// The value texts' numbers: log2(CubeGain(v) + 9.6e-6) at six dB per doubling,
// and exp(v * 0.05) and exp(v * 0.07) milliseconds.
double LevelDecibels(std::int32_t v) noexcept;
double AttackMilliseconds(std::int32_t v) noexcept;
double ReleaseMilliseconds(std::int32_t v) noexcept;

// The argument of the level text's logarithm: (m * 4.8818994e-05 + 0.00016) * 0.06
// with m = (v - 1) cubed in double. No library function is involved.
double LevelArgument(std::int32_t v) noexcept;

// The constants of the transforms' twiddle recurrence: (wpr, wpi) = (-2 sin^2(a/2),
// sin a), each rounded to float, for the angle a of one butterfly pass of `span`
// floats (2 pi / span, negated for the inverse) and of the real transform's split
// pass for n points (pi / n held as a float, negated for the inverse).
struct TwiddleStep {
    float wpr;
    float wpi;
};
TwiddleStep PassTwiddleStep(std::int32_t span, bool forward) noexcept;
TwiddleStep SplitTwiddleStep(std::int32_t n, bool forward) noexcept;

} // namespace korvax::libm
