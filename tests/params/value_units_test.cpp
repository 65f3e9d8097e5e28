// Values in units: every step reachable from its own value and from its text,
// the nearest-step rule at ties and ends, and one-line refusals.

#include "params/value_units.h"

#include <gtest/gtest.h>

#include <string>

#include "params/value_text.h"
#include "plugin/description.h"

namespace korvax::units {
namespace {

const ParameterDescriptor& Descriptor(int index)
{
    return *Description().Parameters[index];
}

std::optional<int> Parse(int index, const std::string& text, std::string* error = nullptr)
{
    std::string message;
    const auto step = ParseValue(index, text, Descriptor(index).MinValue, Descriptor(index).MaxValue, message);
    if (error != nullptr)
        *error = message;
    return step;
}

std::string Text(int index, int step)
{
    return DescribeParameterValue(index, step);
}

TEST(ValueUnits, EveryStepIsTheNearestToItsOwnValueAlsoAsAFloat)
{
    for (int index = 0; index < kParameterCount; ++index) {
        const ParameterDescriptor& d = Descriptor(index);
        for (int step = d.MinValue; step <= d.MaxValue; ++step) {
            const double value = StepValue(index, step);
            EXPECT_EQ(NearestStep(index, value, d.MinValue, d.MaxValue), step) << index << " " << step;
            EXPECT_EQ(NearestStep(index, double(static_cast<float>(value)), d.MinValue, d.MaxValue), step)
                << index << " " << step;
            if (step > d.MinValue) {
                // Every curve moves strictly one way (the limiter threshold falls).
                const double direction = index == 15 ? -1.0 : 1.0;
                EXPECT_LT(direction * StepValue(index, step - 1), direction * value) << index << " " << step;
            }
        }
    }
}

// A text the machine shows, typed back, selects a step that shows the same text
// (several neighbouring steps can share one, such as 1:1 or 1.1 ms).
TEST(ValueUnits, TheMachinesOwnTextsSelectAStepWithTheSameText)
{
    for (int index = 0; index < kParameterCount; ++index) {
        const ParameterDescriptor& d = Descriptor(index);
        for (int step = d.MinValue; step <= d.MaxValue; ++step) {
            const std::string text = Text(index, step);
            std::string error;
            const auto parsed = Parse(index, text, &error);
            ASSERT_TRUE(parsed) << index << " '" << text << "': " << error;
            EXPECT_EQ(Text(index, *parsed), text) << index << " step " << step << " -> " << *parsed;
        }
    }
}

TEST(ValueUnits, UnitsAsPeopleTypeThem)
{
    // Levels in dB, with or without a space, any letter case, a typeset minus.
    const int thresholdStep = *Parse(6, "-18dB");
    EXPECT_EQ(Parse(6, "-18 dB"), thresholdStep);
    EXPECT_EQ(Parse(6, "-18DB"), thresholdStep);
    EXPECT_EQ(Parse(6, "\xE2\x88\x92" "18 dB"), thresholdStep);
    EXPECT_NEAR(StepValue(6, thresholdStep), -18.0, 0.3);
    EXPECT_EQ(Parse(12, "+0dB"), 71);   // the unity step shows +0.0 dB

    // Frequencies in Hz or kHz select the same step; the split steps stand for
    // 18 Hz .. 24 kHz.
    EXPECT_EQ(Parse(1, "200Hz"), Parse(1, "0.2kHz"));
    EXPECT_EQ(Parse(1, "18Hz"), 0);
    EXPECT_EQ(Parse(2, "24kHz"), 128);
    EXPECT_NEAR(StepValue(1, *Parse(1, "200 Hz")), 200.0, 200.0 * 0.03);

    // Times in ms or s, ratios, percentages, the bare step.
    EXPECT_EQ(Parse(10, "10ms"), Parse(10, "0.01s"));
    EXPECT_EQ(Text(10, *Parse(10, "10ms")), "10.0 ms");
    EXPECT_EQ(Text(9, *Parse(9, "4:1")), "4:1");
    EXPECT_EQ(Parse(9, "30:1"), 128);
    EXPECT_EQ(Parse(4, "100%"), 64);
    EXPECT_EQ(Parse(4, "200%"), 128);
    EXPECT_EQ(Parse(6, "40"), 40);
    EXPECT_EQ(Parse(15, "-0.5dB"), 5);
    EXPECT_EQ(Parse(15, "0dB"), 0);

    // Words of the solo mode: readable ones and the machine's own.
    EXPECT_EQ(Parse(5, "bypass"), 4);
    EXPECT_EQ(Parse(5, "LOW"), 1);
    EXPECT_EQ(Parse(5, "high"), 3);
    EXPECT_EQ(Parse(5, "-"), 0);
    EXPECT_EQ(Parse(5, "all bands"), 0);
    EXPECT_EQ(Parse(5, "2"), 2);
    EXPECT_EQ(ParseSwitch("ON"), 1);
    EXPECT_EQ(ParseSwitch("off"), 0);
    EXPECT_EQ(ParseSwitch("maybe"), std::nullopt);
}

TEST(ValueUnits, TiesGoToTheLowerStepAndEndsClamp)
{
    // 0% and 1% are steps 0 and 1; 0.5 lies exactly between them.
    EXPECT_EQ(NearestStep(4, 0.5, 0, 128), 0);
    EXPECT_EQ(NearestStep(4, 0.50001, 0, 128), 1);
    EXPECT_EQ(NearestStep(6, -500.0, 1, 128), 1);
    EXPECT_EQ(NearestStep(6, 500.0, 1, 128), 128);
    EXPECT_EQ(NearestStep(1, 0.0, 0, 128), 0);   // no logarithm of zero
    EXPECT_EQ(NearestStep(1, 1e9, 0, 128), 128);
    // Frequencies are near on a ratio scale: 1000 Hz lies between two steps and
    // goes to the one whose ratio to it is smaller.
    const int step = NearestStep(1, 1000.0, 0, 128);
    const double ratioBelow = 1000.0 / StepValue(1, step);
    const double ratioAbove = StepValue(1, step + 1) / 1000.0;
    const double ratioBelowLower = 1000.0 / StepValue(1, step - 1);
    EXPECT_LE(std::max(ratioBelow, 1.0 / ratioBelow), std::min(ratioAbove, ratioBelowLower));
}

TEST(ValueUnits, RefusalsSayWhatIsAccepted)
{
    std::string error;
    EXPECT_FALSE(Parse(6, "-18", &error));   // a bare number is a step
    EXPECT_NE(error.find("-18dB"), std::string::npos) << error;
    EXPECT_FALSE(Parse(6, "200Hz", &error));
    EXPECT_NE(error.find("unit"), std::string::npos) << error;
    EXPECT_FALSE(Parse(6, "+16dB", &error));   // the top step shows +15.5 dB
    EXPECT_NE(error.find("out of range"), std::string::npos) << error;
    EXPECT_TRUE(Parse(6, "+15.55dB"));         // within half a step of it
    EXPECT_FALSE(Parse(1, "-5Hz", &error));
    EXPECT_FALSE(Parse(1, "40.5", &error));
    EXPECT_FALSE(Parse(1, "", &error));
    EXPECT_FALSE(Parse(1, "nanHz", &error));
    EXPECT_FALSE(Parse(5, "loud", &error));
    EXPECT_NE(error.find("all bands"), std::string::npos) << error;
    EXPECT_FALSE(Parse(3, "5dB", &error));     // steepness has no unit
}

TEST(ValueUnits, FormattedValuesTellNeighboursApart)
{
    EXPECT_EQ(FormatStepValue(1, 0), "18.00 Hz");
    EXPECT_EQ(FormatStepValue(2, 128), "24000 Hz");
    EXPECT_EQ(FormatStepValue(15, 0), "0.0 dB");
    EXPECT_EQ(FormatStepValue(15, 60), "-6.0 dB");
    EXPECT_EQ(FormatStepValue(5, 0), "all bands");
    EXPECT_EQ(FormatStepValue(4, 64), "100%");
    for (int index = 0; index < kParameterCount; ++index) {
        const ParameterDescriptor& d = Descriptor(index);
        for (int step = d.MinValue; step < d.MaxValue; ++step)
            EXPECT_NE(FormatStepValue(index, step), FormatStepValue(index, step + 1)) << index << " " << step;
    }
}

} // namespace
} // namespace korvax::units
