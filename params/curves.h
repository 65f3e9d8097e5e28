#pragma once
// Level, frequency and time-constant curves of the parameters. Each is evaluated
// once per processing call, never per sample.
//
// Precision: arithmetic in double with the double-precision C library functions;
// every constant is the 32-bit float named in the comment, widened; one rounding
// to float at the end.

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

} // namespace korvax
