// korvax's settings end to end: values in units and words, names as slugs and
// LV2 symbols, the step listing, presets and the files `params --save` writes.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "params/working_parameters.h"
#include "plugin/description.h"
#include "render/tool_runner.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

class Settings : public ::testing::Test {
protected:
    void SetUp() override { WriteAudio(dir / "in.wav", Noise(20000, 2, 41, 0.9f)); }

    // OUT's samples after rendering the test's input with `options`.
    std::vector<float> RenderWith(const std::vector<std::string>& options, std::string* summary = nullptr)
    {
        std::vector<std::string> args = {"render", dir / "in.wav", dir / "out.wav"};
        args.insert(args.end(), options.begin(), options.end());
        const ToolResult result = RunKorvax(args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        if (summary != nullptr)
            *summary = result.out;
        return ReadAudio(dir / "out.wav").samples;
    }

    ScratchFolder dir;
};

// Units, words, symbols and joined words reach the machine as the steps they
// select, and the summary shows the step, its text and what was asked.
TEST_F(Settings, ValuesInUnitsAndWordsSelectTheirStep)
{
    std::string summary;
    const std::vector<float> inUnits = RenderWith({"--set", "comp_thr_low=-18 dB", "--set", "low-split=200Hz",
                                                   "--set", "comp-attack=0.01s", "--set", "comp-ratio=4:1",
                                                   "--set", "stereo-link=on", "--set", "Stereo wid.low=150%"},
                                                  &summary);
    const std::vector<float> inSteps = RenderWith({"--set", "6=36", "--set", "1=43", "--set", "10=46", "--set",
                                                   "9=41", "--link", "on", "--set", "4=96"});
    EXPECT_TRUE(SameBits(inSteps, inUnits));
    EXPECT_NE(summary.find("Comp: Thr.low = 36 (-18.0 dB; asked -18 dB)"), std::string::npos) << summary;
    EXPECT_NE(summary.find("LowSplit = 43 (201.9 Hz; asked 200Hz)"), std::string::npos) << summary;
    EXPECT_NE(summary.find("Comp: Ratio = 41 (4:1; asked 4:1)"), std::string::npos) << summary;
    EXPECT_NE(summary.find("Stereo link = 1 (on)"), std::string::npos) << summary;

    EXPECT_TRUE(SameBits(RenderWith({"--set", "5=1"}), RenderWith({"--set", "solo_mode=LOW", "-q"})));
    EXPECT_TRUE(SameBits(RenderWith({"--set", "5=4"}), RenderWith({"--set", "Solo Mode=bypass", "-q"}, &summary)));
    EXPECT_TRUE(SameBits(RenderWith({"--set", "5=0"}), RenderWith({"--set", "solo-mode=all bands", "-q"})));
}

TEST_F(Settings, UnknownNamesAreRefusedWithTheNearestOnes)
{
    const ToolResult result = RunKorvax({"render", dir / "in.wav", dir / "out.wav", "--set", "comp-thr-lo=-18dB"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.ErrLines(), 1);
    EXPECT_NE(result.err.find("unknown parameter 'comp-thr-lo'; nearest: comp-thr-low"), std::string::npos)
        << result.err;
    EXPECT_FALSE(Exists(dir / "out.wav"));

    const ToolResult params = RunKorvax({"params", "atack"});
    EXPECT_EQ(params.exitCode, 2);
    EXPECT_NE(params.err.find("nearest: comp-attack"), std::string::npos) << params.err;
}

// Every step with the machine's text and the exact value in units; words for
// "Solo mode" and the link.
TEST_F(Settings, ParamsNameListsEveryStep)
{
    const ToolResult threshold = RunKorvax({"params", "comp_thr_low", "--tsv"});
    ASSERT_EQ(threshold.exitCode, 0) << threshold.err;
    std::istringstream lines(threshold.out);
    std::string line;
    std::vector<std::string> rows;
    while (std::getline(lines, line))
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 129u);   // a header and steps 1..128
    EXPECT_EQ(rows[0], "step\ttext\tvalue");
    EXPECT_EQ(rows[29], "29\t-23.8 dB\t-23.75 dB");

    const ToolResult solo = RunKorvax({"params", "Solo mode"});
    ASSERT_EQ(solo.exitCode, 0) << solo.err;
    for (const char* word : {"all bands", "low", "mid", "high", "bypass"})
        EXPECT_NE(solo.out.find(word), std::string::npos) << word << " in\n" << solo.out;
    const ToolResult link = RunKorvax({"params", "stereo_link", "--tsv"});
    EXPECT_EQ(link.out, "step\ttext\tvalue\n0\toff\toff\n1\ton\ton\n");
}

// "start" is what a render does anyway; "defaults" equals naming every declared
// default; later options win over earlier ones.
TEST_F(Settings, PresetsStartAndDefaults)
{
    const std::vector<float> plain = RenderWith({"-q"});
    EXPECT_TRUE(SameBits(plain, RenderWith({"--preset", "start", "-q"})));

    std::vector<std::string> declared = {"--link", "off"};
    for (int index = 0; index < 17; ++index)
        declared.insert(declared.end(), {"--set", std::to_string(index) + "=" +
                                                      std::to_string(Description().Parameters[index]->DefaultValue)});
    const std::vector<float> defaults = RenderWith({"--preset", "defaults", "-q"});
    EXPECT_TRUE(SameBits(RenderWith(declared), defaults));
    EXPECT_FALSE(SameBits(plain, defaults));
    EXPECT_TRUE(SameBits(plain, RenderWith({"--preset", "defaults", "--preset", "start", "-q"})));
    EXPECT_TRUE(SameBits(RenderWith({"--preset", "defaults", "--set", "6=40", "-q"}),
                         RenderWith({"--set", "6=1", "--preset", "defaults", "--set", "comp-thr-low=40", "-q"})));
}

// What `params --save` writes names every control and renders as the options
// it was written from.
TEST_F(Settings, SavedPresetsRenderAsTheirOptions)
{
    const std::vector<std::string> options = {"--preset", "defaults", "--set", "comp-thr-low=-18dB",
                                              "--set", "solo-mode=high", "--link", "on"};
    std::vector<std::string> save = {"params", "--save", dir / "mine.preset"};
    save.insert(save.end(), options.begin(), options.end());
    const ToolResult saved = RunKorvax(save);
    ASSERT_EQ(saved.exitCode, 0) << saved.err;
    const std::string text = ReadText(dir / "mine.preset");
    EXPECT_NE(text.find("comp-thr-low    = 36         # -18.0 dB\n"), std::string::npos) << text;
    EXPECT_NE(text.find("solo-mode       = high\n"), std::string::npos) << text;
    EXPECT_NE(text.find("stereo-link     = on\n"), std::string::npos) << text;
    EXPECT_NE(text.find("lowsplit        = 42         # 190.8 Hz\n"), std::string::npos) << text;
    EXPECT_TRUE(SameBits(RenderWith(options), RenderWith({"--preset", dir / "mine.preset"})));

    const ToolResult toStdout = RunKorvax({"params", "--save", "-", "--preset", "defaults"});
    EXPECT_EQ(toStdout.exitCode, 0);
    EXPECT_NE(toStdout.out.find("comp-out-low    = 71"), std::string::npos) << toStdout.out;
}

TEST_F(Settings, PresetFileErrorsNameFileAndLine)
{
    std::ofstream(dir / "bad.preset") << "# fine so far\ninput = +6dB\n\ncomp-thr-low = loud\n";
    const ToolResult result = RunKorvax({"render", dir / "in.wav", dir / "out.wav", "--preset", dir / "bad.preset"});
    EXPECT_EQ(result.exitCode, 1);   // a file's content, not the command line
    EXPECT_EQ(result.ErrLines(), 1);
    EXPECT_NE(result.err.find("bad.preset:4: Comp: Thr.low: 'loud'"), std::string::npos) << result.err;
    EXPECT_FALSE(Exists(dir / "out.wav"));
}

// The shipped presets render, and each one changes the sound.
TEST_F(Settings, ShippedPresetsRender)
{
    const std::vector<float> plain = RenderWith({"-q"});
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KORVAX_PRESETS_DIR)) {
        if (entry.path().extension() != ".preset")
            continue;
        ++found;
        SCOPED_TRACE(entry.path().string());
        EXPECT_FALSE(SameBits(plain, RenderWith({"--preset", entry.path().string(), "-q"})));
    }
    EXPECT_GE(found, 3);
}

} // namespace
} // namespace korvax::test
