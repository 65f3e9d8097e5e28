#include "params/value_units.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>

#include "params/curves.h"
#include "params/value_text.h"

namespace korvax::units {
namespace {

// The time and ratio curves of the value texts, with their float constants.
constexpr float kAttackRate = 0.05f;
constexpr float kReleaseRate = 0.07f;
constexpr float kRatioScale = 0.222222f;
constexpr float kLimitStep = -0.1f;

constexpr int kSoloModeIndex = 5;
constexpr std::array<const char*, 5> kSoloWords = {"all bands", "low", "mid", "high", "bypass"};
// Also accepted: the machine's own words and a few short forms.
constexpr std::array<const char*, 5> kSoloAliases = {"all", "LOW", "MID", "HIGH", "bypass"};

constexpr UnitInfo kUnits[kParameterCount] = {
    {Unit::kDecibels, "dB", false},      // 0 Input
    {Unit::kHertz, "Hz", true},          // 1 LowSplit
    {Unit::kHertz, "Hz", true},          // 2 HighSplit
    {Unit::kStep, "", false},            // 3 Steepness
    {Unit::kPercent, "%", false},        // 4 Stereo wid.low
    {Unit::kWord, "", false},            // 5 Solo mode
    {Unit::kDecibels, "dB", false},      // 6 Comp: Thr.low
    {Unit::kDecibels, "dB", false},      // 7 Comp: Thr.mid
    {Unit::kDecibels, "dB", false},      // 8 Comp: Thr.hi
    {Unit::kRatio, ":1", false},         // 9 Comp: Ratio
    {Unit::kMilliseconds, "ms", true},   // 10 Comp: Attack
    {Unit::kMilliseconds, "ms", true},   // 11 Comp: Releas
    {Unit::kDecibels, "dB", false},      // 12 Comp: Out low
    {Unit::kDecibels, "dB", false},      // 13 Comp: Out mid
    {Unit::kDecibels, "dB", false},      // 14 Comp: Out hi
    {Unit::kDecibels, "dB", false},      // 15 Limit: Thresh.
    {Unit::kMilliseconds, "ms", true},   // 16 Limit: Release
};

// The position of a value on the scale nearness is measured on.
double ScalePosition(const UnitInfo& unit, double value)
{
    return unit.logarithmic ? std::log(value) : value;
}

// A number in plain notation with `decimals` places, whatever the C locale.
std::string Fixed(double value, int decimals)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return std::string(buffer, result.ptr);
}

// About four significant digits: 18.00, 190.8, 2140, 24000.
std::string FourDigits(double value)
{
    const int magnitude = value != 0.0 ? int(std::floor(std::log10(std::fabs(value)))) : 0;
    return Fixed(value, std::max(0, 3 - magnitude));
}

std::string RangeText(int index, int minStep, int maxStep)
{
    const UnitInfo unit = UnitOf(index);
    std::string text = "steps " + std::to_string(minStep) + ".." + std::to_string(maxStep);
    if (unit.unit != Unit::kStep && unit.unit != Unit::kWord)
        text += " (" + FormatStepValue(index, minStep) + " to " + FormatStepValue(index, maxStep) + ")";
    return text;
}

// Whether `suffix` (already lower case) names this unit, and the factor that
// brings a value in it to the unit's own scale.
std::optional<double> SuffixFactor(Unit unit, const std::string& suffix)
{
    switch (unit) {
    case Unit::kDecibels:
        if (suffix == "db")
            return 1.0;
        break;
    case Unit::kHertz:
        if (suffix == "hz")
            return 1.0;
        if (suffix == "khz")
            return 1000.0;
        break;
    case Unit::kMilliseconds:
        if (suffix == "ms")
            return 1.0;
        if (suffix == "s")
            return 1000.0;
        break;
    case Unit::kRatio:
        if (suffix == ":1")
            return 1.0;
        break;
    case Unit::kPercent:
        if (suffix == "%")
            return 1.0;
        break;
    case Unit::kStep:
    case Unit::kWord:
        break;
    }
    return std::nullopt;
}

// How finely the machine's texts show a unit's values.
double TextResolution(Unit unit)
{
    switch (unit) {
    case Unit::kDecibels:
    case Unit::kMilliseconds: return 0.1;
    case Unit::kRatio:
    case Unit::kPercent: return 1.0;
    case Unit::kHertz:
    case Unit::kStep:
    case Unit::kWord: break;
    }
    return 0.0;
}

const char* UnitExample(Unit unit)
{
    switch (unit) {
    case Unit::kDecibels: return "-18dB";
    case Unit::kHertz: return "200Hz or 0.2kHz";
    case Unit::kMilliseconds: return "10ms or 0.01s";
    case Unit::kRatio: return "4:1";
    case Unit::kPercent: return "150%";
    case Unit::kStep:
    case Unit::kWord: break;
    }
    return "";
}

} // namespace

std::string LowerCase(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string_view TrimSpaces(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

UnitInfo UnitOf(int index) noexcept
{
    if (index < 0 || index >= kParameterCount)
        return {Unit::kStep, "", false};
    return kUnits[index];
}

double StepValue(int index, int step) noexcept
{
    const double v = double(step);
    switch (index) {
    case 0: case 6: case 7: case 8: case 12: case 13: case 14:
        return LevelDecibels(step);
    case 1: case 2:
        return double(SplitFrequency(static_cast<float>(step)));
    case 4:
        return double(step * 200 / 128);   // the text's whole percentage, truncated as it is
    case 9:
        return (v * v / 128.0 + 5.0) * double(kRatioScale);
    case 10:
        return std::exp(v * double(kAttackRate));
    case 11: case 16:
        return std::exp(v * double(kReleaseRate));
    case 15:
        return v * double(kLimitStep);
    default:
        return v;
    }
}

int NearestStep(int index, double value, int minStep, int maxStep) noexcept
{
    if (std::isnan(value) || maxStep <= minStep)
        return minStep;
    const UnitInfo unit = UnitOf(index);
    if (unit.logarithmic && !(value > 0.0))
        return minStep;
    // At most 129 steps: a plain scan, which also serves the falling curve of
    // the limiter threshold. Strictly nearer wins, so a tie keeps the lower step.
    const double target = ScalePosition(unit, value);
    int best = minStep;
    double bestDistance = std::fabs(ScalePosition(unit, StepValue(index, minStep)) - target);
    for (int step = minStep + 1; step <= maxStep; ++step) {
        const double distance = std::fabs(ScalePosition(unit, StepValue(index, step)) - target);
        if (distance < bestDistance) {
            best = step;
            bestDistance = distance;
        }
    }
    return best;
}

const char* StepWord(int index, int step) noexcept
{
    if (index != kSoloModeIndex || step < 0 || step >= int(kSoloWords.size()))
        return nullptr;
    return kSoloWords[std::size_t(step)];
}

const char* SwitchWord(int value) noexcept
{
    return value > 0 ? "on" : "off";
}

std::optional<int> ParseSwitch(std::string_view text) noexcept
{
    const std::string word = LowerCase(TrimSpaces(text));
    if (word == "on" || word == "1" || word == "true" || word == "yes")
        return 1;
    if (word == "off" || word == "0" || word == "false" || word == "no")
        return 0;
    return std::nullopt;
}

std::optional<int> ParseValue(int index, std::string_view text, int minStep, int maxStep, std::string& error)
{
    const UnitInfo unit = UnitOf(index);
    std::string value(TrimSpaces(text));
    // A minus sign as typeset (U+2212) reads as '-'.
    if (value.rfind("\xE2\x88\x92", 0) == 0)
        value.replace(0, 3, "-");

    if (unit.unit == Unit::kWord) {
        const std::string lower = LowerCase(value);
        for (int step = minStep; step <= maxStep; ++step) {
            const char* word = StepWord(index, step);
            if (word == nullptr)
                continue;
            const std::string alias = LowerCase(kSoloAliases[std::size_t(step)]);
            if (lower == word || lower == alias || (step == 0 && lower == "-"))
                return step;
        }
    }

    // The number, then an optional unit (spaces allowed between them).
    const char* const begin = value.data();
    const char* const end = begin + value.size();
    const char* const digits = (begin != end && *begin == '+') ? begin + 1 : begin;
    double number = 0.0;
    const auto [stop, parseError] = std::from_chars(digits, end, number);
    const bool isNumber = !value.empty() && parseError == std::errc() && digits != end;
    const std::string suffix = isNumber ? LowerCase(TrimSpaces(std::string_view(stop, std::size_t(end - stop)))) : "";

    auto refuse = [&](const std::string& why) -> std::optional<int> {
        error = "'" + std::string(TrimSpaces(text)) + "' " + why;
        return std::nullopt;
    };
    std::string accepted = "takes a step " + std::to_string(minStep) + ".." + std::to_string(maxStep);
    if (unit.unit == Unit::kWord) {
        accepted += " or a word:";
        for (int step = minStep; step <= maxStep; ++step)
            if (const char* word = StepWord(index, step))
                accepted += std::string(step == minStep ? " " : ", ") + word;
    } else if (unit.unit != Unit::kStep) {
        accepted += " or a value in " + std::string(unit.symbol) + " such as " + UnitExample(unit.unit);
    }

    if (!isNumber || !std::isfinite(number))
        return refuse("is not a value; it " + accepted);

    if (suffix.empty()) {
        if (number != std::floor(number) || number < minStep || number > maxStep)
            return refuse("is not a step; it " + accepted);
        return int(number);
    }

    const std::optional<double> factor = SuffixFactor(unit.unit, suffix);
    if (!factor)
        return refuse("has a unit this parameter does not use; it " + accepted);
    const double inUnits = number * *factor;
    if (unit.logarithmic && !(inUnits > 0.0))
        return refuse("must be above zero; " + RangeText(index, minStep, maxStep));

    // Refused beyond either end by more than half a step, and by more than the
    // end's own text rounds away (the ratio's "1:1" stands for 1.11).
    auto beyond = [&](int end, int neighbour) {
        const double endValue = StepValue(index, end);
        const double halfStep = std::fabs(ScalePosition(unit, StepValue(index, neighbour)) -
                                          ScalePosition(unit, endValue)) / 2;
        const bool outward = (inUnits - endValue) * (endValue - StepValue(index, neighbour)) > 0;
        return outward && std::fabs(ScalePosition(unit, inUnits) - ScalePosition(unit, endValue)) > halfStep &&
               std::fabs(inUnits - endValue) > TextResolution(unit.unit) / 2;
    };
    if (maxStep > minStep && (beyond(minStep, minStep + 1) || beyond(maxStep, maxStep - 1)))
        return refuse("is out of range: " + RangeText(index, minStep, maxStep));
    return NearestStep(index, inUnits, minStep, maxStep);
}

std::string FormatStepValue(int index, int step)
{
    const UnitInfo unit = UnitOf(index);
    double value = StepValue(index, step);
    if (value == 0.0)
        value = 0.0;   // "0.0 dB", not "-0.0 dB"
    switch (unit.unit) {
    case Unit::kDecibels: {
        // Neighbouring steps lie at least 0.1 dB apart.
        const int decimals = index == 15 ? 1 : 2;
        return (value > 0.0 ? "+" : "") + Fixed(value, decimals) + " dB";
    }
    case Unit::kHertz:
        return FourDigits(value) + " Hz";
    case Unit::kMilliseconds:
        return FourDigits(value) + " ms";
    case Unit::kRatio:
        return FourDigits(value) + ":1";
    case Unit::kPercent:
        return Fixed(value, 0) + "%";
    case Unit::kWord:
        if (const char* word = StepWord(index, step))
            return word;
        break;
    case Unit::kStep:
        break;
    }
    return std::to_string(step);
}

} // namespace korvax::units
