// Parameter intake and start values, written through the host's view of the block
// and read back from the machine's working set.

#include <cstring>

#include "host_fixture.h"
#include "plugin/description.h"
#include "plugin/machine.h"

namespace korvax::test {
namespace {

// A machine from the core, hosted as the host would host a library's machine, so
// that its working parameters can be inspected.
struct Inspected {
    Inspected() : machine(CreateMultibandMachine()), hosted(machine, &Description(), 44100) { hosted.Initialise(); }
    MultibandMachine* machine;
    host::Machine hosted;
};

TEST(Parameters, InitialiseStoresTheStartValuesNotTheDeclaredDefaults)
{
    Inspected t;
    const WorkingParameters& w = t.machine->working;
    EXPECT_EQ(w.Input, 89.0f);   // given at construction; the initialisation leaves it
    EXPECT_EQ(w.LowSplit, 47.0f);
    EXPECT_EQ(w.HighSplit, 85.0f);
    EXPECT_EQ(w.Steepness, 50.0f);
    EXPECT_EQ(w.SoloMode, 0);
    EXPECT_EQ(w.CompressorEnable, 1);
    EXPECT_EQ(w.ThresholdLow, 29.0f);
    EXPECT_EQ(w.ThresholdMid, 33.0f);
    EXPECT_EQ(w.ThresholdHigh, 37.0f);
    EXPECT_EQ(w.Ratio, 128.0f);
    EXPECT_EQ(w.Attack, 30.0f);
    EXPECT_EQ(w.Release, 30.0f);
    EXPECT_EQ(w.StereoWidthLow, 100.0f);
    EXPECT_EQ(w.OutLow, 104.0f);
    EXPECT_EQ(w.OutMid, 88.0f);
    EXPECT_EQ(w.OutHigh, 71.0f);
    EXPECT_EQ(w.StereoLink, 0);
    EXPECT_EQ(w.LimitThreshold, 1.0f);
    EXPECT_EQ(w.LimitRelease, 30.0f);
}

TEST(Parameters, AllNoValueBytesChangeOnlyTheLink)
{
    Inspected t;
    const WorkingParameters before = t.machine->working;
    t.hosted.SetAttribute(5);
    t.hosted.ApplyParameters();
    WorkingParameters expected = before;
    expected.StereoLink = 5;
    EXPECT_EQ(std::memcmp(&t.machine->working, &expected, sizeof expected), 0);
    t.hosted.SetAttribute(-1);
    t.hosted.ApplyParameters();
    EXPECT_EQ(t.machine->working.StereoLink, -1);
}

TEST(Parameters, EachByteReachesItsOwnField)
{
    Inspected t;
    const std::pair<int, float WorkingParameters::*> floatFields[] = {
        {0, &WorkingParameters::Input},          {1, &WorkingParameters::LowSplit},
        {2, &WorkingParameters::HighSplit},      {3, &WorkingParameters::Steepness},
        {4, &WorkingParameters::StereoWidthLow}, {6, &WorkingParameters::ThresholdLow},
        {7, &WorkingParameters::ThresholdMid},   {8, &WorkingParameters::ThresholdHigh},
        {9, &WorkingParameters::Ratio},          {10, &WorkingParameters::Attack},
        {11, &WorkingParameters::Release},       {12, &WorkingParameters::OutLow},
        {13, &WorkingParameters::OutMid},        {14, &WorkingParameters::OutHigh},
        {15, &WorkingParameters::LimitThreshold}, {16, &WorkingParameters::LimitRelease},
    };
    for (const auto& [index, field] : floatFields) {
        for (int value : {0, 3, 254}) {   // out-of-range bytes are stored unchanged
            SCOPED_TRACE("parameter " + std::to_string(index) + " = " + std::to_string(value));
            WorkingParameters expected = t.machine->working;
            expected.*field = float(value);
            t.hosted.SetParameters({{index, value}});
            EXPECT_EQ(std::memcmp(&t.machine->working, &expected, sizeof expected), 0);
        }
    }
    t.hosted.SetParameters({{5, 7}});
    EXPECT_EQ(t.machine->working.SoloMode, 7);
}

TEST(Parameters, IntakeNeverWritesTheBlock)
{
    Inspected t;
    t.hosted.SetParameterByte(3, 12);
    t.hosted.SetParameterByte(9, 255);
    t.hosted.SetAttribute(1);
    ParameterBlock before;
    std::memcpy(&before, &t.machine->block, sizeof before);
    t.machine->ApplyParameters();
    const WorkingParameters once = t.machine->working;
    EXPECT_EQ(std::memcmp(&before, &t.machine->block, sizeof before), 0);
    t.machine->ApplyParameters();
    EXPECT_EQ(std::memcmp(&once, &t.machine->working, sizeof once), 0);
}

TEST(Parameters, ReinitialisingRestoresStartValuesButKeepsInputAndLink)
{
    Inspected t;
    t.hosted.SetAttribute(1);
    t.hosted.SetParameters({{0, 100}, {1, 10}, {4, 64}, {5, 2}});
    t.hosted.Initialise();
    const WorkingParameters& w = t.machine->working;
    EXPECT_EQ(w.Input, 100.0f);
    EXPECT_EQ(w.StereoLink, 1);
    EXPECT_EQ(w.LowSplit, 47.0f);
    EXPECT_EQ(w.StereoWidthLow, 100.0f);
    EXPECT_EQ(w.SoloMode, 0);
}

} // namespace
} // namespace korvax::test
