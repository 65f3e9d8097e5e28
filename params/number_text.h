#pragma once
// Numbers as text without the C library's printf, and the two functions the
// value texts need beyond their tables. The characters are printf's in the "C"
// locale with round-to-nearest: the decimal point is '.' whatever locale the
// host has set, and the decimal rounding is exact, ties to even, on the exact
// binary value, done in integers. Nothing here depends on the state of the
// floating-point unit beyond the caller's own arithmetic (the slots set it).

#include <cstddef>
#include <cstdint>

namespace korvax::text {

// Appends to a zero-terminated text in a fixed buffer; what does not fit is
// dropped, and the text stays terminated.
class Writer {
public:
    Writer(char* buffer, std::size_t capacity) noexcept;
    void Put(char c) noexcept;
    void Put(const char* text) noexcept;

private:
    char* buffer_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

// printf's "%d" (and "%lld").
void PutInteger(Writer& out, std::int64_t value) noexcept;

// printf's "%.0f" (decimals 0) or "%.1f" (decimals 1), with '+' before a
// number without a minus sign when `plusSign` is set ("%+.1f"): "nan" and
// "inf" as glibc prints them. For magnitudes below 2^53.
void PutFixed(Writer& out, double value, int decimals, bool plusSign) noexcept;

// printf's "%.3g" ("%+.3g" with `plusSign`) for magnitudes of 1000 and above,
// which it prints in exponent form: "5.18e+21", "1e+10"; and "nan", "inf".
void PutExponent3(Writer& out, double value, bool plusSign) noexcept;

// exp and the natural logarithm within a few units in the last place of the
// C library's, from double arithmetic alone, for the texts of values outside
// the tables (arguments the host never passes).
double Exp(double x) noexcept;
double Log(double x) noexcept;

} // namespace korvax::text
