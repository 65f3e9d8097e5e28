#include "params/value_text.h"

#include <cmath>

#include "params/library_math.h"
#include "params/math_tables.h"
#include "params/number_text.h"

namespace korvax {
namespace {

// One buffer for the whole library, zero-filled at load: the empty text.
char gValueText[kValueTextBytes];

constexpr float kSixDecibelsPerDoubling = 0.16666667f;
constexpr double kLn2 = 0.6931471805599453;   // the double nearest ln 2, as log(2.0) gives it
constexpr float kRatioScale = 0.222222f;
constexpr float kAttackRate = 0.05f;
constexpr float kReleaseRate = 0.07f;
constexpr float kLimitStep = -0.1f;

// Magnitudes at or above this print in exponent form. Far beyond every in-range
// value; keeps out-of-range texts short.
constexpr double kFixedLimit = 1e9;

// Writes `number` with `decimals` places ("%.0f", "%.1f", "%+.1f" with
// `plusSign`), or in exponent form ("%.3g") when it is that large, followed by
// `suffix`. A zero prints without its sign, and so does a NaN (whose sign the
// maths libraries set differently).
void FormatNumber(double number, int decimals, bool plusSign, const char* suffix) noexcept
{
    if (number == 0.0 || number != number)
        number = std::fabs(number);
    text::Writer out(gValueText, sizeof gValueText);
    const bool fixed = number != number || (number < kFixedLimit && number > -kFixedLimit);
    if (fixed)
        text::PutFixed(out, number, decimals, plusSign);
    else
        text::PutExponent3(out, number, plusSign);
    out.Put(suffix);
}

// exp(v * rate) from the table for the bytes, computed for the rest.
double Milliseconds(std::int32_t value, float rate, const double (&table)[tables::kBytes]) noexcept
{
    if (value >= 0 && value < tables::kBytes)
        return table[value];
    return text::Exp(double(value) * double(rate));
}

} // namespace

double LevelDecibels(std::int32_t value) noexcept
{
    if (value >= 0 && value < tables::kBytes)
        return tables::kLevelDecibels[value];
    return text::Log(libm::LevelArgument(value)) / (kLn2 * double(kSixDecibelsPerDoubling));
}

const char* DescribeParameterValue(std::int32_t index, std::int32_t value) noexcept
{
    switch (static_cast<std::uint32_t>(index)) {
    case 0:
    case 6:
    case 7:
    case 8:
    case 12:
    case 13:
    case 14:
        FormatNumber(LevelDecibels(value), 1, true, " dB");
        break;
    case 1:
    case 2:
    case 3: {
        text::Writer out(gValueText, sizeof gValueText);
        text::PutInteger(out, value);
        break;
    }
    case 4: {
        // Integer quotient, truncating; widened so that large values cannot overflow.
        text::Writer out(gValueText, sizeof gValueText);
        text::PutInteger(out, std::int64_t(value) * 200 / 128);
        out.Put('%');
        break;
    }
    case 5: {
        static constexpr const char* kWords[5] = {"-", "LOW", "MID", "HIGH", "bypass"};
        if (value >= 0 && value <= 4) {
            text::Writer out(gValueText, sizeof gValueText);
            out.Put(kWords[value]);
        }
        break;
    }
    case 9: {
        const std::int64_t squared = std::int64_t(value) * value / 128;
        FormatNumber((double(squared) + 5.0) * double(kRatioScale), 0, false, ":1");
        break;
    }
    case 10:
        FormatNumber(Milliseconds(value, kAttackRate, tables::kAttackMilliseconds), 1, false, " ms");
        break;
    case 11:
    case 16:
        FormatNumber(Milliseconds(value, kReleaseRate, tables::kReleaseMilliseconds), 1, false, " ms");
        break;
    case 15:
        FormatNumber(double(value) * double(kLimitStep), 1, false, " dB");
        break;
    default:
        return nullptr;
    }
    return gValueText;
}

} // namespace korvax
