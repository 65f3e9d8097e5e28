// The description record as the host reads it from the loaded library.

#include <cstring>
#include <string>

#include "host_fixture.h"

namespace korvax::test {
namespace {

struct Row {
    const char* name;
    const char* description;
    int min, max, def;
};

constexpr Row kRows[17] = {
    {"Input", "Input volume gain", 1, 128, 89},
    {"LowSplit", "Frequency that separates the low from the middle band", 0, 128, 42},
    {"HighSplit", "Frequency that separates the middle from the high band", 0, 128, 85},
    {"Steepness", "Filter slope steepness", 0, 128, 64},
    {"Stereo wid.low", "Low band stereo width", 0, 128, 64},
    {"Solo mode", "Listen solo or bypass", 0, 4, 0},
    {"Comp: Thr.low", "Compressor: Low threshold level (compressor kicks in above this volume)", 1, 128, 29},
    {"Comp: Thr.mid", "Compressor: Mid threshold level (compressor kicks in above this volume)", 1, 128, 33},
    {"Comp: Thr.hi", "Compressor: High threshold level (compressor kicks in above this volume)", 1, 128, 37},
    {"Comp: Ratio", "Compressor: ratio (works a bit like mix between wet/dry)", 1, 128, 128},
    {"Comp: Attack", "Compressor: Attack time (affects the clickyness)", 1, 128, 40},
    {"Comp: Releas", "Compressor: Release time (affects how instruments sustain / fade out)", 1, 128, 40},
    {"Comp: Out low", "Compressor: Output volume gain Low", 1, 128, 71},
    {"Comp: Out mid", "Compressor: Output volume gain Mid", 1, 128, 71},
    {"Comp: Out hi", "Compressor: Output volume gain High", 1, 128, 71},
    {"Limit: Thresh.", "Limiter threshold level (limiter kicks in above this volume)", 0, 60, 5},
    {"Limit: Release", "Release time (adjust pumping vs. saturation)", 1, 128, 46},
};

TEST(Description, HeaderFieldsAndNames)
{
    const MachineDescription* info = MachineLibrary().Info();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info, MachineLibrary().Info()) << "GetInfo must return the same address every time";
    EXPECT_EQ(info->Type, 2);
    EXPECT_EQ(info->Version, 15);
    EXPECT_EQ(info->Flags, 16);
    EXPECT_EQ(info->HostCount1, 0);
    EXPECT_EQ(info->HostCount2, 0);
    EXPECT_EQ(info->HostCount3, 0);
    EXPECT_EQ(info->ParameterCount, 17);
    EXPECT_EQ(info->AttributeCount, 1);
    EXPECT_STREQ(info->Name, "Orlems Korvax v2");
    EXPECT_STREQ(info->ShortName, "Korvax");
    EXPECT_STREQ(info->Author, "Orlem Dastrove");
    EXPECT_EQ(info->Reserved1, nullptr);
    EXPECT_EQ(info->Reserved2, nullptr);
}

static_assert(sizeof(MachineDescription) == (sizeof(void*) == 4 ? 60u : 96u));

TEST(Description, EveryParameterRowAsTabled)
{
    const MachineDescription* info = MachineLibrary().Info();
    for (int i = 0; i < 17; ++i) {
        SCOPED_TRACE("parameter " + std::to_string(i));
        const ParameterDescriptor* p = info->Parameters[i];
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->Type, 2);
        EXPECT_STREQ(p->Name, kRows[i].name);
        EXPECT_STREQ(p->Description, kRows[i].description);
        EXPECT_EQ(p->MinValue, kRows[i].min);
        EXPECT_EQ(p->MaxValue, kRows[i].max);
        EXPECT_EQ(p->DefaultValue, kRows[i].def);
        EXPECT_EQ(p->NoValue, 255);
        EXPECT_EQ(p->Flags, 2);
        EXPECT_GT(p->NoValue, p->MaxValue);
    }
}

TEST(Description, StereoLinkAttribute)
{
    const AttributeDescriptor* a = MachineLibrary().Info()->Attributes[0];
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->Name, "Stereo link");
    EXPECT_EQ(a->MinValue, 0);
    EXPECT_EQ(a->MaxValue, 1);
    EXPECT_EQ(a->DefaultValue, 0);
}

} // namespace
} // namespace korvax::test
