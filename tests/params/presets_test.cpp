// Controls by name and preset files, against the machine's own description.

#include "params/presets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "params/value_units.h"

namespace korvax::presets {
namespace {

const MachineDescription& D()
{
    return Description();
}

std::optional<int> Find(const std::string& key, std::string* error = nullptr)
{
    std::string message;
    const std::optional<int> control = FindControl(D(), key, message);
    if (error != nullptr)
        *error = message;
    return control;
}

TEST(Presets, ControlsAreFoundByIndexNameSlugAndSymbol)
{
    EXPECT_EQ(Find("6"), 6);
    EXPECT_EQ(Find("Comp: Thr.low"), 6);
    EXPECT_EQ(Find("  comp: THR.LOW "), 6);
    EXPECT_EQ(Find("comp-thr-low"), 6);
    EXPECT_EQ(Find("comp_thr_low"), 6);
    EXPECT_EQ(Find("Comp thr low"), 6);
    EXPECT_EQ(Find("limit_thresh"), 15);
    EXPECT_EQ(Find("low-split"), 1);      // "LowSplit" as two words
    EXPECT_EQ(Find("High_Split"), 2);
    EXPECT_EQ(Find("compthrlow"), 6);
    EXPECT_EQ(Find("Solo mode"), 5);
    EXPECT_EQ(Find("stereo_link"), AttributeControl(D()));
    EXPECT_EQ(Find("Stereo link"), 17);   // numbered after the parameters, as the plug-in's ports

    std::string error;
    EXPECT_FALSE(Find("17", &error));     // indices are the parameters' own
    EXPECT_NE(error.find("indices run 0..16"), std::string::npos) << error;
    EXPECT_FALSE(Find("", &error));
    EXPECT_FALSE(Find("--", &error));
}

// The LV2 symbols are the slugs with '_': distinct, valid C identifiers.
TEST(Presets, SlugsAndSymbolsAreDistinctAndFollowOneRule)
{
    std::set<std::string> symbols;
    for (int control = 0; control < ControlCount(D()); ++control) {
        const ControlInfo info = DescribeControl(D(), control);
        EXPECT_EQ(info.symbol, Symbol(info.name));
        std::string expected = info.slug;
        std::replace(expected.begin(), expected.end(), '-', '_');
        EXPECT_EQ(info.symbol, expected);
        EXPECT_TRUE(symbols.insert(info.symbol).second) << info.symbol;
        EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(info.symbol[0]))) << info.symbol;
    }
    EXPECT_EQ(ControlCount(D()), 18);
    EXPECT_EQ(Slug("Limit: Thresh."), "limit-thresh");
    EXPECT_EQ(Slug("Stereo wid.low"), "stereo-wid-low");
    EXPECT_EQ(Slug("caf\xC3\xA9 au lait"), "caf-au-lait");   // bytes beyond ASCII separate
}

TEST(Presets, UnknownNamesSuggestTheNearest)
{
    std::string error;
    EXPECT_FALSE(Find("comp-thr-lo", &error));
    EXPECT_NE(error.find("unknown parameter 'comp-thr-lo'; nearest: comp-thr-low"), std::string::npos) << error;
    EXPECT_FALSE(Find("Comp: Thr.lo", &error));
    EXPECT_NE(error.find("nearest: comp-thr-low"), std::string::npos) << error;
    EXPECT_FALSE(Find("attack", &error));   // a word of a name, not the name
    EXPECT_NE(error.find("comp-attack"), std::string::npos) << error;
    EXPECT_FALSE(Find("thr", &error));      // all three thresholds, and no more than three names
    EXPECT_NE(error.find("comp-thr-low, comp-thr-mid, comp-thr-hi"), std::string::npos) << error;
    EXPECT_FALSE(Find("xylophone", &error));
    EXPECT_EQ(error, "unknown parameter 'xylophone'");
}

TEST(Presets, SettingsTakeStepsUnitsAndWords)
{
    std::string error;
    auto parse = [&](const std::string& text) { return ParseSetting(D(), text, error); };
    ASSERT_TRUE(parse("comp_thr_low=-18dB")) << error;
    EXPECT_EQ(parse("comp_thr_low=-18dB")->control, 6);
    EXPECT_EQ(parse("comp_thr_low = -18 dB")->value, parse("comp_thr_low=-18dB")->value);
    EXPECT_EQ(parse("6=40")->value, 40);
    EXPECT_EQ(parse("solo-mode=bypass")->value, 4);
    EXPECT_EQ(parse("Solo mode=LOW")->value, 1);
    EXPECT_EQ(parse("stereo_link=on")->control, 17);
    EXPECT_EQ(parse("stereo-link=ON")->value, 1);
    EXPECT_EQ(parse("stereo-link=0")->value, 0);

    EXPECT_FALSE(parse("comp-thr-low"));
    EXPECT_NE(error.find("expected NAME=VALUE"), std::string::npos) << error;
    EXPECT_FALSE(parse("=3"));
    EXPECT_NE(error.find("expected NAME=VALUE"), std::string::npos) << error;
    EXPECT_FALSE(parse("comp-thr-low=0"));
    EXPECT_NE(error.find("Comp: Thr.low: '0' is not a step"), std::string::npos) << error;
    EXPECT_FALSE(parse("stereo-link=sometimes"));
    EXPECT_NE(error.find("takes on or off"), std::string::npos) << error;
}

// What a preset file writes reads back as the same step, for every step of
// every control.
TEST(Presets, WrittenValuesReadBackAsTheirStep)
{
    for (int control = 0; control < ControlCount(D()); ++control) {
        const ControlInfo info = DescribeControl(D(), control);
        for (int value = info.minValue; value <= info.maxValue; ++value) {
            std::string error;
            const std::string text = PresetValueText(D(), control, value);
            EXPECT_EQ(ParseControlValue(D(), control, text, error), value) << info.name << " '" << text << "' " << error;
        }
    }
    EXPECT_EQ(PresetValueText(D(), 5, 0), "all bands");
    EXPECT_EQ(PresetValueText(D(), 17, 1), "on");
}

TEST(Presets, FilesTakeCommentsBlankLinesAndReportTheLine)
{
    std::string error;
    const std::string text = "# a preset\r\n\r\n  comp-thr-low = -18 dB   # the low band\r\n"
                             "solo-mode=bypass\n\tstereo_link = on\ncomp-thr-low=40";
    const auto settings = ParsePreset(D(), text, "x.preset", error);
    ASSERT_TRUE(settings) << error;
    ASSERT_EQ(settings->size(), 4u);
    EXPECT_EQ((*settings)[0].control, 6);
    EXPECT_EQ((*settings)[1].value, 4);
    EXPECT_EQ((*settings)[2].control, 17);
    EXPECT_EQ((*settings)[3].value, 40);   // kept in order: the later line wins where applied

    EXPECT_FALSE(ParsePreset(D(), "# ok\ninput=+6dB\n\ncomp-thr-lo=3\n", "my.preset", error));
    EXPECT_EQ(error.rfind("my.preset:4: unknown parameter 'comp-thr-lo'; nearest: comp-thr-low", 0), 0u) << error;
    EXPECT_FALSE(ParsePreset(D(), "input +6dB\n", "my.preset", error));
    EXPECT_EQ(error.rfind("my.preset:1: expected NAME=VALUE", 0), 0u) << error;
    EXPECT_FALSE(ParsePreset(D(), "\n\ncomp-ratio=4\xE2\x80\xA2" "1\n", "my.preset", error));
    EXPECT_EQ(error.rfind("my.preset:3: Comp: Ratio:", 0), 0u) << error;
    EXPECT_TRUE(ParsePreset(D(), "", "empty", error));
}

TEST(Presets, UnreadableFilesAreNamed)
{
    std::string error;
    EXPECT_FALSE(ReadPresetFile(D(), "/nonexistent/folder/x.preset", error));
    EXPECT_NE(error.find("cannot read preset '/nonexistent/folder/x.preset': No such file"), std::string::npos)
        << error;
    EXPECT_FALSE(ReadPresetFile(D(), "/", error));
    EXPECT_NE(error.find("directory"), std::string::npos) << error;
}

// Every shipped preset reads with the machine's description and states its
// measured effect.
TEST(Presets, ShippedPresetsReadAndCarryTheirMeasurements)
{
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KORVAX_PRESETS_DIR)) {
        if (entry.path().extension() != ".preset")
            continue;
        ++found;
        SCOPED_TRACE(entry.path().string());
        std::string error;
        const auto settings = ReadPresetFile(D(), entry.path().string(), error);
        ASSERT_TRUE(settings) << error;
        EXPECT_EQ(settings->size(), std::size_t(ControlCount(D()))) << "a shipped preset names every control";
        std::ifstream file(entry.path());
        const std::string contents{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        for (const char* figure : {"demo programme", "speech", "LUFS", "gain reduction"})
            EXPECT_NE(contents.find(figure), std::string::npos) << "no '" << figure << "' in its comments";
    }
    EXPECT_GE(found, 3);
}

} // namespace
} // namespace korvax::presets
