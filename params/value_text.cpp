#include "params/value_text.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace korvax {
namespace {

// One buffer for the whole library, zero-filled at load: the empty text.
char gValueText[kValueTextBytes];

constexpr float kLevelScale = 4.8818994e-05f;
constexpr float kLevelFloor = 0.00016f;
constexpr float kLevelFactor = 0.06f;
constexpr float kSixDecibelsPerDoubling = 0.16666667f;
constexpr float kRatioScale = 0.222222f;
constexpr float kAttackRate = 0.05f;
constexpr float kReleaseRate = 0.07f;
constexpr float kLimitStep = -0.1f;

// Magnitudes at or above this print in exponent form. Far beyond every in-range
// value; keeps out-of-range texts short and printf from needing big-number work.
constexpr double kFixedLimit = 1e9;

// Prints `number` with `decimals` places and `suffix` (itself a printf format
// tail such as " ms"), bounded to the buffer. A zero prints without its sign.
void FormatNumber(const char* fixedFormat, const char* exponentFormat, double number)
{
    if (number == 0.0 || std::isnan(number))
        number = std::fabs(number);   // no sign on a zero, nor on a NaN (runtimes differ there)
    const bool fixed = std::isnan(number) || std::fabs(number) < kFixedLimit;
    std::snprintf(gValueText, sizeof gValueText, fixed ? fixedFormat : exponentFormat, number);
}

} // namespace

double LevelDecibels(std::int32_t value) noexcept
{
    const std::int64_t n = std::int64_t(value) - 1;   // widened: v - 1 overflows for INT32_MIN
    const double m = double(n) * double(n) * double(n);
    const double x = (m * double(kLevelScale) + double(kLevelFloor)) * double(kLevelFactor);
    return std::log(x) / (std::log(2.0) * double(kSixDecibelsPerDoubling));
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
        FormatNumber("%+.1f dB", "%+.3g dB", LevelDecibels(value));
        break;
    case 1:
    case 2:
    case 3:
        std::snprintf(gValueText, sizeof gValueText, "%d", int(value));
        break;
    case 4: {
        // Integer quotient, truncating; widened so that large values cannot overflow.
        const std::int64_t percent = std::int64_t(value) * 200 / 128;
        std::snprintf(gValueText, sizeof gValueText, "%lld%%", static_cast<long long>(percent));
        break;
    }
    case 5: {
        static constexpr const char* kWords[5] = {"-", "LOW", "MID", "HIGH", "bypass"};
        if (value >= 0 && value <= 4)
            std::snprintf(gValueText, sizeof gValueText, "%s", kWords[value]);
        break;
    }
    case 9: {
        const std::int64_t squared = std::int64_t(value) * value / 128;
        const double ratio = (double(squared) + 5.0) * double(kRatioScale);
        FormatNumber("%.0f:1", "%.3g:1", ratio);
        break;
    }
    case 10:
        FormatNumber("%.1f ms", "%.3g ms", std::exp(double(value) * double(kAttackRate)));
        break;
    case 11:
    case 16:
        FormatNumber("%.1f ms", "%.3g ms", std::exp(double(value) * double(kReleaseRate)));
        break;
    case 15:
        FormatNumber("%-1.1f dB", "%.3g dB", double(value) * double(kLimitStep));
        break;
    default:
        return nullptr;
    }
    return gValueText;
}

} // namespace korvax
