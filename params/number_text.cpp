#include "params/number_text.h"

#include <array>
#include <bit>
#include <limits>

namespace korvax::text {
namespace {

// A finite double's magnitude as mantissa * 2^exponent, with its sign.
struct Binary {
    bool negative;
    bool nan;
    bool infinite;
    std::uint64_t mantissa;
    int exponent;
};

Binary Decompose(double value) noexcept
{
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    const int biased = int((bits >> 52) & 0x7FF);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    Binary b{(bits >> 63) != 0, false, false, 0, 0};
    if (biased == 0x7FF) {
        b.nan = fraction != 0;
        b.infinite = fraction == 0;
    } else if (biased == 0) {
        b.mantissa = fraction;
        b.exponent = -1074;
    } else {
        b.mantissa = fraction | (std::uint64_t{1} << 52);
        b.exponent = biased - 1075;
    }
    return b;
}

// The sign, and "nan" or "inf" for values that are not finite. False when the
// value is finite and its digits are still to come.
bool PutSignAndSpecial(Writer& out, const Binary& b, bool plusSign) noexcept
{
    if (b.negative)
        out.Put('-');
    else if (plusSign)
        out.Put('+');
    if (b.nan)
        out.Put("nan");
    else if (b.infinite)
        out.Put("inf");
    return b.nan || b.infinite;
}

void PutDigits(Writer& out, std::uint64_t value) noexcept
{
    char digits[20];
    int count = 0;
    do {
        digits[count++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0)
        out.Put(digits[--count]);
}

// An unsigned integer of up to 1280 bits: enough for a double's mantissa
// shifted by its largest exponent, and for 5^308 times a few thousand shifted
// by the smallest exponent of a value of 1000 and above.
class BigUnsigned {
public:
    explicit BigUnsigned(std::uint64_t value) noexcept
    {
        limbs_[0] = std::uint32_t(value);
        limbs_[1] = std::uint32_t(value >> 32);
        size_ = limbs_[1] != 0 ? 2 : 1;
    }

    void Multiply(std::uint32_t factor) noexcept
    {
        std::uint64_t carry = 0;
        for (int i = 0; i < size_; ++i) {
            const std::uint64_t product = std::uint64_t(limbs_[i]) * factor + carry;
            limbs_[i] = std::uint32_t(product);
            carry = product >> 32;
        }
        if (carry != 0 && size_ < kLimbs)
            limbs_[size_++] = std::uint32_t(carry);
    }

    void ShiftLeft(int bits) noexcept
    {
        const int whole = bits / 32;
        const int part = bits % 32;
        if (whole + size_ + 1 > kLimbs)
            return;   // beyond every value a double leads to
        for (int i = size_ - 1 + whole + 1; i >= 0; --i) {
            const int from = i - whole;
            const std::uint32_t high = from >= 0 && from < size_ ? limbs_[from] : 0;
            const std::uint32_t low = from - 1 >= 0 && from - 1 < size_ ? limbs_[from - 1] : 0;
            limbs_[i] = part == 0 ? high : (high << part) | (low >> (32 - part));
        }
        size_ += whole + 1;
        while (size_ > 1 && limbs_[size_ - 1] == 0)
            --size_;
    }

    friend int Compare(const BigUnsigned& a, const BigUnsigned& b) noexcept
    {
        if (a.size_ != b.size_)
            return a.size_ < b.size_ ? -1 : 1;
        for (int i = a.size_ - 1; i >= 0; --i)
            if (a.limbs_[i] != b.limbs_[i])
                return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
        return 0;
    }

private:
    static constexpr int kLimbs = 40;
    std::uint32_t limbs_[kLimbs] = {};
    int size_;
};

// The sign of mantissa * 2^exponent - (k + 1/2) * 10^power, exactly: compares
// mantissa * 2^(exponent + 1) with (2k + 1) * 5^power * 2^power.
int CompareWithMidpoint(std::uint64_t mantissa, int exponent, std::int64_t k, int power) noexcept
{
    BigUnsigned left(mantissa);
    BigUnsigned right(std::uint64_t(2 * k + 1));
    constexpr std::uint32_t kFivePower13 = 1220703125;   // the largest power of 5 in 32 bits
    int fives = power;
    for (; fives >= 13; fives -= 13)
        right.Multiply(kFivePower13);
    for (; fives > 0; --fives)
        right.Multiply(5);
    const int common = exponent + 1 < power ? exponent + 1 : power;
    left.ShiftLeft(exponent + 1 - common);
    right.ShiftLeft(power - common);
    return Compare(left, right);
}

// mantissa * 2^exponent / 10^power rounded to a whole number, ties to even.
// `estimate` (the quotient in double arithmetic) is at most a few units off.
std::int64_t RoundedQuotient(std::uint64_t mantissa, int exponent, int power, double estimate) noexcept
{
    std::int64_t q = static_cast<std::int64_t>(estimate + 0.5);
    int above;
    while ((above = CompareWithMidpoint(mantissa, exponent, q, power)) > 0)
        ++q;
    if (above == 0 && (q & 1) != 0)
        return q + 1;
    while (q > 0) {
        const int below = CompareWithMidpoint(mantissa, exponent, q - 1, power);
        if (below > 0)
            break;
        if (below == 0)
            return (q & 1) != 0 ? q - 1 : q;
        --q;
    }
    return q;
}

// 1/i! for the exponential's series, i = 0 .. 13.
constexpr std::array<double, 14> InverseFactorials()
{
    std::array<double, 14> terms{};
    double factorial = 1.0;
    for (int i = 0; i < 14; ++i) {
        factorial *= i > 0 ? double(i) : 1.0;
        terms[i] = 1.0 / factorial;
    }
    return terms;
}
constexpr std::array<double, 14> kInverseFactorials = InverseFactorials();

// 2/(2i + 1) for the logarithm's series, i = 0 .. 13.
constexpr std::array<double, 14> OddReciprocals()
{
    std::array<double, 14> terms{};
    for (int i = 0; i < 14; ++i)
        terms[i] = 2.0 / double(2 * i + 1);
    return terms;
}
constexpr std::array<double, 14> kOddReciprocals = OddReciprocals();

constexpr double kLn2High = 6.93147180369123816490e-01;   // ln 2 to 32 bits: k times it is exact
constexpr double kLn2Low = 1.90821492927058770002e-10;    // the rest of ln 2

} // namespace

Writer::Writer(char* buffer, std::size_t capacity) noexcept : buffer_(buffer), capacity_(capacity)
{
    if (capacity_ > 0)
        buffer_[0] = '\0';
}

void Writer::Put(char c) noexcept
{
    if (length_ + 1 >= capacity_)
        return;
    buffer_[length_++] = c;
    buffer_[length_] = '\0';
}

void Writer::Put(const char* text) noexcept
{
    while (*text != '\0')
        Put(*text++);
}

void PutInteger(Writer& out, std::int64_t value) noexcept
{
    // The magnitude of the most negative value does not fit its own type.
    const std::uint64_t magnitude = value < 0 ? 0 - std::uint64_t(value) : std::uint64_t(value);
    if (value < 0)
        out.Put('-');
    PutDigits(out, magnitude);
}

// value * 10^decimals = mantissa * 10^decimals * 2^exponent, rounded in integers:
// the quotient and remainder of a shift, the remainder compared with one half.
void PutFixed(Writer& out, double value, int decimals, bool plusSign) noexcept
{
    const Binary b = Decompose(value);
    if (PutSignAndSpecial(out, b, plusSign))
        return;
    const std::uint64_t scaled = decimals > 0 ? b.mantissa * 10 : b.mantissa;   // below 2^57
    std::uint64_t q;
    if (b.exponent >= 0) {
        q = scaled << b.exponent;   // the magnitude is below 2^53: no bit is lost
    } else if (-b.exponent >= 58) {
        q = 0;                      // below one half of the last digit
    } else {
        const int shift = -b.exponent;
        q = scaled >> shift;
        const std::uint64_t remainder = scaled & ((std::uint64_t{1} << shift) - 1);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        if (remainder > half || (remainder == half && (q & 1) != 0))
            ++q;
    }
    if (decimals > 0) {
        PutDigits(out, q / 10);
        out.Put('.');
        out.Put(char('0' + q % 10));
    } else {
        PutDigits(out, q);
    }
}

// Three significant digits d.dd * 10^E: the quotient value / 10^(E - 2) rounded,
// with E first estimated from the binary exponent and then moved until the
// rounded quotient has three digits. Trailing zeros are dropped, as %g does.
void PutExponent3(Writer& out, double value, bool plusSign) noexcept
{
    const Binary b = Decompose(value);
    if (PutSignAndSpecial(out, b, plusSign))
        return;
    const double magnitude = b.negative ? -value : value;
    int topBit = b.exponent;
    for (std::uint64_t m = b.mantissa; m > 1; m >>= 1)
        ++topBit;
    int decimalExponent = int(double(topBit) * 0.30102999566398120);   // log10(2): E or E - 1
    std::int64_t q;
    for (;;) {
        const int power = decimalExponent - 2;
        double scale = 1.0;
        for (int i = 0; i < power; ++i)
            scale *= 10.0;
        q = RoundedQuotient(b.mantissa, b.exponent, power, magnitude / scale);
        if (q >= 1000)
            ++decimalExponent;
        else if (q < 100)
            --decimalExponent;
        else
            break;
    }
    int digits[3] = {int(q / 100), int(q / 10 % 10), int(q % 10)};
    int shown = 3;
    while (shown > 1 && digits[shown - 1] == 0)
        --shown;
    out.Put(char('0' + digits[0]));
    if (shown > 1) {
        out.Put('.');
        for (int i = 1; i < shown; ++i)
            out.Put(char('0' + digits[i]));
    }
    out.Put('e');
    out.Put('+');
    if (decimalExponent < 10)
        out.Put('0');
    PutDigits(out, std::uint64_t(decimalExponent));
}

// exp(x) = 2^k * exp(r), r = x - k ln 2 within +-ln(2)/2 (ln 2 in two parts, the
// first with trailing zero bits so that k times it is exact), exp(r) by its
// Taylor series to r^13 (the next term is below 2^-57 there).
double Exp(double x) noexcept
{
    constexpr double kLog2e = 1.4426950408889634;
    if (x != x)
        return x;
    if (x > 709.782712893384)
        return std::numeric_limits<double>::infinity();
    if (x < -745.1332191019412)
        return 0.0;
    const double kd = x * kLog2e;
    const int k = static_cast<int>(kd >= 0.0 ? kd + 0.5 : kd - 0.5);
    const double r = (x - double(k) * kLn2High) - double(k) * kLn2Low;
    double sum = kInverseFactorials[13];
    for (int i = 12; i >= 0; --i)
        sum = sum * r + kInverseFactorials[i];
    // 2^k in at most two factors, so that k below -1022 still reaches the subnormals.
    const int first = k > 1023 ? 1023 : (k < -1022 ? -1022 : k);
    const auto power = [](int e) { return std::bit_cast<double>(std::uint64_t(e + 1023) << 52); };
    return sum * power(first) * power(k - first);
}

// ln x = e ln 2 + ln m with m within [sqrt(1/2), sqrt(2)], and ln m = 2 atanh(s),
// s = (m - 1) / (m + 1), by its series to s^27 (|s| <= 0.1716; the next term is
// below 2^-70).
double Log(double x) noexcept
{
    constexpr double kSqrt2 = 1.4142135623730951;
    if (x != x)
        return x;
    if (x < 0.0)
        return std::numeric_limits<double>::quiet_NaN();
    if (x == 0.0)
        return -std::numeric_limits<double>::infinity();
    if (x == std::numeric_limits<double>::infinity())
        return x;
    int e = 0;
    if (x < 0x1p-1022) {   // subnormal: bring it into the normal range first
        x *= 0x1p54;
        e = -54;
    }
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    e += int(bits >> 52) - 1023;
    double m = std::bit_cast<double>((bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1023} << 52));
    if (m > kSqrt2) {
        m *= 0.5;
        ++e;
    }
    const double s = (m - 1.0) / (m + 1.0);
    const double z = s * s;
    double series = kOddReciprocals[13];
    for (int i = 12; i >= 0; --i)
        series = series * z + kOddReciprocals[i];
    return double(e) * kLn2High + (s * series + double(e) * kLn2Low);
}

} // namespace korvax::text
