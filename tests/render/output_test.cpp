// What korvax writes: pipes, files the same byte for byte, tags, dither, and
// the loudness figures against signals whose figures are known.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "render/tool_runner.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

// The number after "KEY": in a JSON text (the first one); NaN when absent.
double JsonNumber(const std::string& json, const std::string& key, std::size_t from = 0)
{
    const std::string quoted = "\"" + key + "\":";
    const std::size_t at = json.find(quoted, from);
    if (at == std::string::npos)
        return NAN;
    return std::strtod(json.c_str() + at + quoted.size(), nullptr);
}

class Output : public ::testing::Test {
protected:
    std::string In() const { return dir / "in.wav"; }
    ScratchFolder dir;
};

TEST_F(Output, StandardInputAndOutputCarryTheSameFile)
{
    WriteAudio(In(), Noise(30000, 2, 51));
    ASSERT_EQ(RunKorvax({"render", In(), dir / "file.wav", "-q"}).exitCode, 0);
    const std::vector<char> file = ReadBytes(dir / "file.wav");

    RunOptions fromStdin;
    fromStdin.input = In();
    const ToolResult piped = RunKorvax({"render", "-", "-"}, fromStdin);
    ASSERT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_EQ(std::vector<char>(piped.out.begin(), piped.out.end()), file);
    EXPECT_NE(piped.err.find("Loudness"), std::string::npos) << "the summary goes to stderr";

    // FLAC, which libsndfile cannot read from a pipe, comes in whole first.
    Audio flac = Noise(30000, 2, 51);
    flac.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    WriteAudio(dir / "in.flac", flac);
    RunOptions flacIn;
    flacIn.input = dir / "in.flac";
    const ToolResult fromFlac = RunKorvax({"render", "-", "-", "--format", "flac", "-q"}, flacIn);
    ASSERT_EQ(fromFlac.exitCode, 0) << fromFlac.err;
    EXPECT_EQ(fromFlac.out.rfind("fLaC", 0), 0u);
}

// A render to standard output that fails writes nothing there and says why.
TEST_F(Output, FailedRenderToStandardOutputWritesNothing)
{
    std::ofstream(In()) << "not audio";
    const ToolResult bad = RunKorvax({"render", In(), "-"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(bad.ErrLines(), 1) << bad.err;

    RunOptions empty;   // standard input is /dev/null
    const ToolResult nothing = RunKorvax({"render", "-", dir / "out.wav"}, empty);
    EXPECT_EQ(nothing.exitCode, 1);
    EXPECT_NE(nothing.err.find("IN '-' (standard input) is empty"), std::string::npos) << nothing.err;
    EXPECT_FALSE(Exists(dir / "out.wav"));
}

// Nothing in a file depends on when it was written: two renders a second
// apart (the PEAK chunk's time stamp counted seconds) are equal in every format.
TEST_F(Output, RendersAreByteIdenticalInEveryFormat)
{
    WriteAudio(In(), Noise(20000, 2, 53, 0.9f));
    const std::vector<std::pair<std::string, std::string>> outputs = {
        {"float.wav", "float"}, {"pcm16.wav", "pcm16"}, {"pcm24.wav", "pcm24"}, {"float.aiff", "float"},
        {"pcm16.aif", "pcm16"}, {"flac24.flac", "flac"}, {"flac16.flac", "flac16"}};
    auto renderAll = [&](const std::string& prefix) {
        for (const auto& [name, format] : outputs) {
            const ToolResult result = RunKorvax({"render", In(), dir / (prefix + name), "--format", format, "-q"});
            ASSERT_EQ(result.exitCode, 0) << name << ": " << result.err;
        }
    };
    renderAll("a-");
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    renderAll("b-");
    for (const auto& [name, format] : outputs)
        EXPECT_EQ(ReadBytes(dir / ("a-" + name)), ReadBytes(dir / ("b-" + name))) << name;
}

// sox warns about every float WAV whose format chunk lacks its extension size.
TEST_F(Output, SoxReadsTheFloatWavWithoutAWarning)
{
    if (!HaveProgram("sox"))
        GTEST_SKIP() << "sox is not installed (scripts/deps.d/cli.txt)";
    WriteAudio(In(), Noise(5000, 2, 55));
    ASSERT_EQ(RunKorvax({"render", In(), dir / "out.wav", "-q"}).exitCode, 0);
    const std::string command = "sox '" + dir / "out.wav" + "' -t f32 '" + dir / "raw.f32" + "' 2>'" +
                                dir / "sox.err" + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadText(dir / "sox.err");
    EXPECT_EQ(ReadText(dir / "sox.err"), "");
    EXPECT_EQ(ReadBytes(dir / "raw.f32").size(), 5000u * 2 * sizeof(float));
}

TEST_F(Output, TagsAreCopiedWhereTheFormatHoldsThem)
{
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(In().c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_set_string(file, SF_STR_TITLE, "A title");
    sf_set_string(file, SF_STR_ARTIST, "An artist");
    const Audio noise = Noise(5000, 2, 57);
    sf_writef_float(file, noise.samples.data(), 5000);
    sf_close(file);

    for (const char* name : {"out.wav", "out.flac"}) {
        SCOPED_TRACE(name);
        const ToolResult result = RunKorvax({"render", In(), dir / name});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_NE(result.out.find("2 tags from IN"), std::string::npos) << result.out;
        SF_INFO outInfo{};
        SNDFILE* out = sf_open((dir / name).c_str(), SFM_READ, &outInfo);
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(sf_get_string(out, SF_STR_TITLE), "A title");
        EXPECT_STREQ(sf_get_string(out, SF_STR_ARTIST), "An artist");
        sf_close(out);
    }
}

// Without --dither the integer file holds the machine's float output rounded;
// with it, each sample lies within one step of that, the same on every run.
TEST_F(Output, DitherIsOffByDefaultAndReproducible)
{
    WriteAudio(In(), Noise(20000, 2, 59, 0.3f));
    ASSERT_EQ(RunKorvax({"render", In(), dir / "float.wav", "-q"}).exitCode, 0);
    ASSERT_EQ(RunKorvax({"render", In(), dir / "plain.wav", "--format", "pcm16", "-q"}).exitCode, 0);
    const ToolResult dithered = RunKorvax({"render", In(), dir / "dither.wav", "--format", "pcm16", "--dither"});
    ASSERT_EQ(dithered.exitCode, 0) << dithered.err;
    EXPECT_NE(dithered.out.find("Dither    TPDF"), std::string::npos) << dithered.out;
    ASSERT_EQ(RunKorvax({"render", In(), dir / "again.wav", "--format", "pcm16", "--dither", "-q"}).exitCode, 0);
    EXPECT_EQ(ReadBytes(dir / "dither.wav"), ReadBytes(dir / "again.wav"));

    const std::vector<float> exact = ReadAudio(dir / "float.wav").samples;
    const std::vector<int> plain = ReadIntegers(dir / "plain.wav");
    const std::vector<int> dither = ReadIntegers(dir / "dither.wav");
    ASSERT_EQ(plain.size(), exact.size());
    ASSERT_EQ(dither.size(), exact.size());
    std::size_t moved = 0;
    for (std::size_t i = 0; i < exact.size(); ++i) {
        const double machine = double(exact[i]) * 32768.0;
        ASSERT_EQ(plain[i] >> 16, static_cast<int>(std::nearbyint(machine))) << i;
        ASSERT_LE(std::fabs((dither[i] >> 16) - machine), 1.5) << i;
        moved += (dither[i] != plain[i]) ? 1 : 0;
    }
    EXPECT_GT(moved, exact.size() / 4);   // triangular: about 44% of samples leave their rounding
}

// EBU Tech 3341's first case: a 1 kHz sine at -23 dBFS in both channels reads
// -23.0 LUFS. A sine at a quarter of the rate sampled 45 degrees off its crests
// has sample peaks 3.01 dB below its true peak; one at an eighth, 22.5 degrees
// off, 0.69 dB. Bypass leaves OUT as IN, so both read the same.
TEST_F(Output, LoudnessAndTruePeakOfKnownSignals)
{
    constexpr double kPi = 3.14159265358979323846;
    const double minus23 = std::pow(10.0, -23.0 / 20.0);
    WriteAudio(In(), Sine(48000 * 20, 2, 48000, 1000.0, minus23));
    ToolResult result = RunKorvax({"render", In(), dir / "out.wav", "--set", "solo-mode=bypass", "--json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NEAR(JsonNumber(result.out, "integrated_lufs"), -23.0, 0.1) << result.out;
    EXPECT_NEAR(JsonNumber(result.out, "integrated_lufs", result.out.find("\"out\"")), -23.0, 0.1);

    for (const double hz : {12000.0, 6000.0}) {
        SCOPED_TRACE(hz);
        // Crests halfway between samples: the nearest samples lie half a step off
        // them. Faded in and out: a sudden start would ring above the crests.
        const double step = 2.0 * kPi * hz / 48000.0;
        WriteAudio(In(), Sine(48000 * 4, 2, 48000, hz, 0.5, kPi / 2 - step / 2, 4800));
        result = RunKorvax({"render", In(), dir / "out.wav", "--set", "solo-mode=bypass", "--json"});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const double samplePeak = JsonNumber(result.out, "peak_dbfs");
        const double truePeak = JsonNumber(result.out, "true_peak_dbtp");
        const double crest = 20.0 * std::log10(0.5);
        EXPECT_NEAR(samplePeak, crest + 20.0 * std::log10(std::cos(step / 2)), 0.01);
        // A true-peak meter may read 0.4 dB low or 0.2 dB high at 48 kHz (EBU
        // Tech 3341); this one's interpolation reads up to 0.1 dB high here.
        EXPECT_GE(truePeak, crest - 0.4) << result.out;
        EXPECT_LE(truePeak, crest + 0.2) << result.out;
        EXPECT_NEAR(truePeak - samplePeak, -20.0 * std::log10(std::cos(step / 2)), 0.15) << result.out;
    }

    // A rate too low to measure loudness at still renders; its figures are unknown.
    Audio slow = Noise(200, 2, 63);
    slow.sampleRate = 8;
    WriteAudio(In(), slow);
    result = RunKorvax({"render", In(), dir / "out.wav", "--json"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("\"integrated_lufs\":null"), std::string::npos) << result.out;
}

// The whole summary as one JSON object, with every control's value in it.
TEST_F(Output, JsonHoldsTheWholeSummary)
{
    WriteAudio(In(), Noise(20000, 1, 61, 0.5f));
    const ToolResult result = RunKorvax({"render", In(), dir / "out.wav", "--json", "--set", "comp-thr-low=-18dB"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out.front(), '{');
    EXPECT_EQ(result.out.substr(result.out.size() - 2), "}\n");
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "one line";
    for (const char* key : {"\"in\":", "\"out\":", "\"loudness_range_lu\":", "\"true_peak_dbtp\":",
                            "\"settings\":", "\"latency_pairs\":16383", "\"real_time_factor\":",
                            "\"name\":\"Comp: Thr.low\",\"slug\":\"comp-thr-low\",\"symbol\":\"comp_thr_low\","
                            "\"index\":6,\"value\":36,\"text\":\"-18.0 dB\",\"asked\":\"-18dB\"",
                            "\"name\":\"Stereo link\"", "\"channels\":1"})
        EXPECT_NE(result.out.find(key), std::string::npos) << key << " in " << result.out;
    EXPECT_EQ(JsonNumber(result.out, "frames"), 20000);
}

} // namespace
} // namespace korvax::test
