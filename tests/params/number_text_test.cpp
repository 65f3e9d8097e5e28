// The value texts' number formatting against printf in the "C" locale (this
// test program never sets another), and the texts of values outside the tables
// against the same texts made with the C library's exp and log.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "params/library_math.h"
#include "params/number_text.h"
#include "params/value_text.h"

namespace korvax {
namespace {

std::string Fixed(double value, int decimals, bool plusSign)
{
    char buffer[64];
    text::Writer out(buffer, sizeof buffer);
    text::PutFixed(out, value, decimals, plusSign);
    return buffer;
}

std::string Exponent3(double value, bool plusSign)
{
    char buffer[64];
    text::Writer out(buffer, sizeof buffer);
    text::PutExponent3(out, value, plusSign);
    return buffer;
}

std::string Printf(const char* format, double value)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

// Magnitudes spread over many binades, with both signs.
double RandomDouble(std::mt19937_64& random, double maxLog2)
{
    std::uniform_real_distribution<double> exponent(-30.0, maxLog2);
    std::uniform_int_distribution<int> sign(0, 1);
    const double value = std::exp2(exponent(random));
    return sign(random) ? -value : value;
}

TEST(NumberText, FixedEqualsPrintf)
{
    const std::uint64_t seed = 20261208;
    std::mt19937_64 random(seed);
    std::vector<double> values = {0.0, -0.0, 0.05, 0.25, 0.75, 2.5, 3.5, -2.5, 0.45, 0.95, 9.95, 99.95,
                                  1e-300, 4.9e-324, 123456789.25, 999999999.95, 7785.4, -100.0};
    for (int i = 0; i < 50000; ++i)
        values.push_back(RandomDouble(random, 29.8));
    // Exact halves of the last digit: ties go to the even digit.
    for (int i = -2000; i <= 2000; ++i) {
        values.push_back(i + 0.5);
        values.push_back((i + 0.5) / 10.0);
    }
    for (double v : values) {
        ASSERT_EQ(Fixed(v, 1, false), Printf("%.1f", v)) << std::hexfloat << v << " seed " << seed;
        ASSERT_EQ(Fixed(v, 1, true), Printf("%+.1f", v)) << std::hexfloat << v << " seed " << seed;
        ASSERT_EQ(Fixed(v, 0, false), Printf("%.0f", v)) << std::hexfloat << v << " seed " << seed;
    }
    const double nan = std::nan("");
    const double inf = HUGE_VAL;
    EXPECT_EQ(Fixed(nan, 1, false), "nan");
    EXPECT_EQ(Fixed(nan, 1, true), "+nan");
    EXPECT_EQ(Fixed(-inf, 1, true), "-inf");
}

TEST(NumberText, ExponentFormEqualsPrintf)
{
    const std::uint64_t seed = 8122026;
    std::mt19937_64 random(seed);
    std::vector<double> values = {1000.0, 999.5, 1005000.0, 1015000.0, 9995000000.0, 9.985e9, 1.125e10,
                                  5.18e21, 1.7976931348623157e308, 1e308, 1e9, 123456789012.0};
    for (int i = 0; i < 50000; ++i) {
        const double v = RandomDouble(random, 1023.9);
        if (std::fabs(v) >= 1000.0)
            values.push_back(v);
    }
    // Three digits and an exact half: 1.235e12 and the like.
    for (int digits = 1000; digits < 10000; digits += 5)
        values.push_back(double(digits) * 1e9);
    for (double v : values) {
        ASSERT_EQ(Exponent3(v, false), Printf("%.3g", v)) << std::hexfloat << v << " seed " << seed;
        ASSERT_EQ(Exponent3(v, true), Printf("%+.3g", v)) << std::hexfloat << v << " seed " << seed;
    }
    EXPECT_EQ(Exponent3(HUGE_VAL, false), "inf");
    EXPECT_EQ(Exponent3(-HUGE_VAL, true), "-inf");
}

// Within two units in the last place of the C library's, wherever the results
// are normal numbers.
TEST(NumberText, ExpAndLogAgreeWithTheLibrary)
{
    const auto ulps = [](double a, double b) {
        return std::fabs(a - b) / (std::nextafter(std::fabs(b), HUGE_VAL) - std::fabs(b));
    };
    for (double x = -700.0; x <= 709.0; x += 0.0137) {
        ASSERT_LE(ulps(text::Exp(x), std::exp(x)), 2.0) << x;
    }
    for (double x = 1e-300; x < 1e300; x *= 1.0371) {
        ASSERT_LE(ulps(text::Log(x), std::log(x)), 2.0) << x;
    }
    EXPECT_EQ(text::Exp(1000.0), HUGE_VAL);
    EXPECT_EQ(text::Exp(-1000.0), 0.0);
    EXPECT_EQ(text::Log(0.0), -HUGE_VAL);
    EXPECT_TRUE(std::isnan(text::Log(-1.0)));
    EXPECT_EQ(text::Log(1.0), 0.0);
    EXPECT_NEAR(text::Log(4.9e-324), std::log(4.9e-324), 1e-12);
}

// Outside 0 .. 254 the texts come from the computed exp and log: they read as
// the C library's would, over a wide spread of values.
TEST(NumberText, OutOfTableTextsEqualTheLibrarysTexts)
{
    const auto expected = [](int index, std::int32_t v) {
        double number;
        const char* fixed;
        const char* exponent;
        if (index == 0) {
            number = libm::LevelDecibels(v);
            fixed = "%+.1f dB";
            exponent = "%+.3g dB";
        } else if (index == 10) {
            number = libm::AttackMilliseconds(v);
            fixed = "%.1f ms";
            exponent = "%.3g ms";
        } else {
            number = libm::ReleaseMilliseconds(v);
            fixed = "%.1f ms";
            exponent = "%.3g ms";
        }
        if (number == 0.0 || std::isnan(number))
            number = std::fabs(number);
        return Printf(std::isnan(number) || std::fabs(number) < 1e9 ? fixed : exponent, number);
    };
    std::vector<std::int32_t> values = {-2147483647 - 1, 2147483647, -1000000, 1000000, 14190, 14191, 10139, 10140};
    for (std::int32_t v = -3000; v < 0; ++v)
        values.push_back(v);
    for (std::int32_t v = 255; v < 20000; ++v)
        values.push_back(v);
    for (std::int64_t v = 20000; v < 2000000000; v += v / 7)
        values.push_back(std::int32_t(v));
    for (const int index : {0, 10, 11}) {
        for (const std::int32_t v : values) {
            const char* text = DescribeParameterValue(index, v);
            ASSERT_NE(text, nullptr);
            ASSERT_EQ(std::string(text), expected(index, v)) << "parameter " << index << " value " << v;
        }
    }
}

} // namespace
} // namespace korvax
