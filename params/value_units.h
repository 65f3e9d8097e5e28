#pragma once
// Parameter values in the units their texts state, for tools and plug-in
// wrappers that let people type or send "-18 dB", "200 Hz" or "10 ms" rather
// than a step 0..128.
//
// Every step of a parameter has an exact value in the parameter's unit: the
// number that the machine's value text rounds (the level in dB, the time in ms)
// or shows (the whole percentage of the width), the split frequency in Hz for the two split controls (whose
// texts show the bare step), and for the ratio the ratio before the text's
// whole-number step, (v * v / 128 + 5) * 0.222222, which rises with every step.
// Each of these rises strictly from step to step.
//
// The rule for a value in units: the step whose exact value is nearest, on a
// logarithmic scale for frequencies and times and a linear one otherwise; of two
// steps equally near, the lower. So the exact value of a step, also after a
// round trip through a 32-bit float, selects that step, and a parameter's text
// selects a step that shows the same text.
//
// The parameter's range is passed in (the caller reads it from the machine's
// description), so that nothing here depends on the library being driven.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvax::units {

enum class Unit {
    kStep,          // the bare step ("Steepness")
    kDecibels,
    kHertz,
    kMilliseconds,
    kRatio,         // n:1
    kPercent,
    kWord,          // an enumeration ("Solo mode")
};

struct UnitInfo {
    Unit unit;
    const char* symbol;   // as printed after a value: "dB", "Hz", "ms", ":1", "%", or ""
    bool logarithmic;     // nearness and display scale are logarithmic
};

inline constexpr int kParameterCount = 17;

// The unit of parameter `index` (0..16); kStep for any other index.
UnitInfo UnitOf(int index) noexcept;

// The exact value of `step` of parameter `index` in its unit (the step itself
// for kStep and kWord).
double StepValue(int index, int step) noexcept;

// The step within minStep..maxStep whose exact value is nearest `value` by the
// rule above. Values beyond the range give its end; NaN gives minStep (callers
// that have a default use it instead).
int NearestStep(int index, double value, int minStep, int maxStep) noexcept;

// Readable words for the steps of an enumeration, used in every listing and
// accepted when parsing: "all bands", "low", "mid", "high", "bypass" for
// "Solo mode". Null for other parameters or steps.
const char* StepWord(int index, int step) noexcept;

// The link switch's word: "on" or "off".
const char* SwitchWord(int value) noexcept;

// A value as typed: a bare whole number is a step (as ever); a number with a
// unit ("-18dB", "-18 dB", "200Hz", "0.2kHz", "10ms", "0.01s", "4:1", "150%")
// selects the nearest step by the rule above; an enumeration also takes its
// words in any letter case (and the machine's own "-", "LOW", ...). A value in
// units more than half a step beyond either end of the range is refused. On
// failure returns nothing and sets `error` to one line naming what is accepted.
std::optional<int> ParseValue(int index, std::string_view text, int minStep, int maxStep, std::string& error);

// "on"/"off", "1"/"0", "true"/"false", "yes"/"no" in any letter case.
std::optional<int> ParseSwitch(std::string_view text) noexcept;

// Text helpers shared by the readers of values, names and preset files: lower
// case (ASCII), and without the spaces, tabs and carriage returns around it.
std::string LowerCase(std::string_view text);
std::string_view TrimSpaces(std::string_view text);

// The exact value of a step as a short text in the parameter's unit ("-23.82 dB",
// "190.8 Hz", "7.39 ms", "8.0:1", "100%"): enough digits to tell neighbouring
// steps apart, independent of the C locale. Words for enumerations.
std::string FormatStepValue(int index, int step);

} // namespace korvax::units
