#pragma once
// Level, frequency and time-constant curves of the parameters. Each is evaluated
// once per processing call, never per sample.
//
// The machine evaluates them at whole numbers 0 .. 254 only, and for those the
// curves that need the C library's maths functions read its results from
// tables (params/math_tables.h), whatever the maths library and the state of
// the floating-point unit. Any other argument is evaluated with the library as
// params/library_math.h defines the curve: the same bits on a build whose
// library gives the same results.

namespace korvax {

// g(v) = (v - 1)^3 * 2.9291398e-6: 0 at v = 1, about 1.0 at 71, about 6.0 at 128.
// The cube is formed in double, multiplied by the float constant, rounded once.
float CubeGain(float v) noexcept;

// The input gain: CubeGain(v) * 2^-15, with (v - 1) raised to the power 3.0, so
// that full scale of the host's buffers (32768) becomes 1.0 at a CubeGain of 1.
float InputGain(float v) noexcept;

// f(v) = exp(ln 18 + (ln 24000 - ln 18) * v * 0.0078125) Hz, with the logarithms
// in double: f(0) = 18 Hz and f(128) = 24000 Hz exactly.
float SplitFrequency(float v) noexcept;

// The time-constant curves, numerator / (exp(v * k) - 0.9), all constants floats.
// Release: numerator 0.007, the gain added per sample pair.
// Attack: numerator 0.055, the fraction of the way to the target per sample pair.
float ReleaseStep(float v, float k) noexcept;
float AttackBlend(float v, float k) noexcept;

// The compressor's ratio mix U = sqrt(v / 128).
float RatioMix(float v) noexcept;

// The limiter threshold 2^(-v/60), as exp(v * -0.011552453).
float LimiterThreshold(float v) noexcept;

// The band mask's slope factor for a steepness of 0 .. 1 (the parameter / 128):
// k = exp((0.5 * steepness + 0.15) * 9.0) / exp(11.0), held as a float.
float SteepnessSlope(float steepness) noexcept;

} // namespace korvax
