// End-to-end tests of `korvax`: each runs the built binary on small files made
// here and reads back what it wrote.

#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <thread>

#include "params/working_parameters.h"
#include "render/tool_runner.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kLatency = 16383;

std::int64_t PeakIndex(const std::vector<float>& values)
{
    std::int64_t best = 0;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (std::fabs(values[i]) > std::fabs(values[static_cast<std::size_t>(best)]))
            best = static_cast<std::int64_t>(i);
    return best;
}

class Render : public ::testing::Test {
protected:
    std::string In() const { return dir / "in.wav"; }
    std::string Out() const { return dir / "out.wav"; }

    // Writes `input` as IN, renders it to OUT with `options` and reads OUT back.
    Audio RenderWith(const Audio& input, std::vector<std::string> options = {})
    {
        WriteAudio(In(), input);
        std::vector<std::string> args = {"render", In(), Out(), "--quiet"};
        args.insert(args.end(), options.begin(), options.end());
        const ToolResult result = RunKorvax(args);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return ReadAudio(Out());
    }

    // A refused command: non-zero status, one line on stderr naming the problem,
    // and nothing new in the folder (no OUT, no temporary file).
    void ExpectRefused(const std::vector<std::string>& args, const std::string& problem,
                       const std::vector<std::string>& filesBefore = {"in.wav"})
    {
        const ToolResult result = RunKorvax(args);
        EXPECT_NE(result.exitCode, 0);
        EXPECT_EQ(result.ErrLines(), 1) << result.err;
        EXPECT_NE(result.err.find(problem), std::string::npos) << "stderr: " << result.err;
        EXPECT_EQ(dir.Others(filesBefore), std::vector<std::string>{}) << "left behind after: " << result.err;
    }

    ScratchFolder dir;
};

// ---- Timing: latency compensation and length --------------------------------------

TEST_F(Render, ImpulseComesOutAtItsOwnSampleByDefault)
{
    Audio input = Silence(20000);
    input.samples[2 * 1000] = input.samples[2 * 1000 + 1] = 0.5f;
    const Audio output = RenderWith(input);
    ASSERT_EQ(output.Frames(), 20000);
    EXPECT_EQ(PeakIndex(output.Channel(0)), 1000);
    EXPECT_EQ(PeakIndex(output.Channel(1)), 1000);
}

TEST_F(Render, RawOutputKeepsTheMachinesDelay)
{
    const std::int64_t frames = 1000 + kLatency + 2000;
    Audio input = Silence(frames);
    input.samples[2 * 1000] = input.samples[2 * 1000 + 1] = 0.5f;
    const Audio output = RenderWith(input, {"--raw"});
    ASSERT_EQ(output.Frames(), frames);
    EXPECT_EQ(PeakIndex(output.Channel(0)), 1000 + kLatency);
    EXPECT_EQ(PeakIndex(output.Channel(1)), 1000 + kLatency);
}

// Lengths around the chunk the tool reads (32768 frames) and the latency: the
// compensated output is the raw stream moved forward by exactly the latency.
TEST_F(Render, OutputHasTheInputsLengthAndCompensationIsAnExactShift)
{
    for (const std::int64_t frames : {1, 100, 16383, 32768, 40000}) {
        SCOPED_TRACE(frames);
        const Audio input = Noise(frames, 2, 7);
        const Audio aligned = RenderWith(input);
        const Audio raw = RenderWith(input, {"--raw"});
        ASSERT_EQ(aligned.Frames(), frames);
        ASSERT_EQ(raw.Frames(), frames);
        const std::size_t overlap = static_cast<std::size_t>(2 * std::max<std::int64_t>(0, frames - kLatency));
        EXPECT_TRUE(SameBits(raw.samples.data() + 2 * kLatency, aligned.samples.data(), overlap));
    }
}

TEST_F(Render, BlockSizeDoesNotChangeTheResult)
{
    const Audio input = Noise(6000, 2, 11);
    const Audio reference = RenderWith(input, {"--block", "256"});
    ASSERT_EQ(reference.Frames(), 6000);
    for (const char* block : {"1", "64", "4096", "5000", "100000"}) {
        SCOPED_TRACE(block);
        EXPECT_TRUE(SameBits(reference.samples, RenderWith(input, {"--block", block}).samples));
    }
}

// ---- Channels and bypass ---------------------------------------------------------------

// The machine's two outputs for equal inputs may differ in the last bits (its
// width stage rounds them differently), so mono is their mean.
TEST_F(Render, MonoIsRenderedAsTwoEqualChannelsAndWrittenAsMono)
{
    const Audio mono = Noise(5000, 1, 3);
    Audio stereo = Silence(5000);
    for (std::size_t i = 0; i < mono.samples.size(); ++i)
        stereo.samples[2 * i] = stereo.samples[2 * i + 1] = mono.samples[i];

    const Audio monoOut = RenderWith(mono);
    ASSERT_EQ(monoOut.channels, 1);
    ASSERT_EQ(monoOut.Frames(), 5000);
    const Audio stereoOut = RenderWith(stereo);
    std::vector<float> mean(5000);
    for (std::size_t i = 0; i < mean.size(); ++i)
        mean[i] = static_cast<float>((double(stereoOut.samples[2 * i]) + double(stereoOut.samples[2 * i + 1])) * 0.5);
    EXPECT_TRUE(SameBits(mean, monoOut.samples));
}

TEST_F(Render, BypassReturnsTheInputBitForBit)
{
    for (const int channels : {1, 2}) {
        SCOPED_TRACE(channels);
        Audio input = Noise(3000, channels, 5, 1.0f);
        input.samples[7] = 1.0e-40f;   // a subnormal survives the scaling both ways
        input.samples[8] = -0.0f;
        EXPECT_TRUE(SameBits(input.samples, RenderWith(input, {"--set", "Solo mode=4"}).samples));
    }
}

// The machine's full scale is 32768, so a 16-bit sample must come back as the
// same integer, including -32768 and 32767 (a 32767 scale would shift them).
TEST_F(Render, BypassKeepsIntegerSamplesExactly)
{
    for (const auto& [fileFormat, option] : {std::pair{SF_FORMAT_PCM_16, "pcm16"}, std::pair{SF_FORMAT_PCM_24, "pcm24"}}) {
        SCOPED_TRACE(option);
        Audio input = Noise(2000, 2, 9, 0.9f);
        input.format = SF_FORMAT_WAV | fileFormat;
        input.samples[0] = -1.0f;
        input.samples[1] = 1.0f;   // clips to the largest positive integer
        WriteAudio(In(), input);
        const ToolResult result = RunKorvax({"render", In(), Out(), "--set", "5=4", "--format", option});
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(ReadIntegers(In()), ReadIntegers(Out()));
        EXPECT_EQ(ReadAudio(Out()).format, SF_FORMAT_WAV | fileFormat);
        EXPECT_NE(result.out.find("Clipped   0 samples"), std::string::npos) << result.out;
    }
}

// ---- Parameters -----------------------------------------------------------------------

TEST_F(Render, ParametersAreFoundByIndexNameInAnyCaseAndSlug)
{
    const Audio input = Noise(20000, 2, 13, 0.9f);
    const Audio byName = RenderWith(input, {"--set", "Comp: Thr.low=10"});
    EXPECT_TRUE(SameBits(byName.samples, RenderWith(input, {"--set", "6=10"}).samples));
    EXPECT_TRUE(SameBits(byName.samples, RenderWith(input, {"--set", "comp: THR.LOW = 10"}).samples));
    EXPECT_TRUE(SameBits(byName.samples, RenderWith(input, {"--set=comp-thr-low=10"}).samples));
    EXPECT_FALSE(SameBits(byName.samples, RenderWith(input).samples)) << "the setting had no effect";
}

// Writing nothing must equal writing every start value explicitly: the tool
// neither writes declared defaults nor anything else behind the user's back.
TEST_F(Render, UnsetParametersKeepTheMachinesStartValues)
{
    const Audio input = Noise(20000, 2, 17, 0.9f);
    std::vector<std::string> explicitStart = {"--link", "off"};
    for (int index = 0; index < 17; ++index)
        explicitStart.insert(explicitStart.end(), {"--set", std::to_string(index) + "=" + std::to_string(StartValue(index))});
    EXPECT_TRUE(SameBits(RenderWith(input).samples, RenderWith(input, explicitStart).samples));
}

TEST_F(Render, ParamsListsEveryParameterWithSlugAndStartValue)
{
    const ToolResult result = RunKorvax({"params", "--tsv"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::istringstream lines(result.out);
    std::string line;
    std::getline(lines, line);   // header
    std::vector<std::vector<std::string>> rows;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            fields.push_back(cell);
        ASSERT_EQ(fields.size(), 11u) << line;
        rows.push_back(fields);
    }
    ASSERT_EQ(rows.size(), 18u);
    for (int index = 0; index < 17; ++index) {
        EXPECT_EQ(rows[index][0], std::to_string(index));
        EXPECT_EQ(rows[index][6], std::to_string(StartValue(index))) << rows[index][1];
        EXPECT_FALSE(rows[index][7].empty()) << rows[index][1];
    }
    EXPECT_EQ(rows[6][1], "Comp: Thr.low");
    EXPECT_EQ(rows[6][2], "comp-thr-low");
    EXPECT_EQ(rows[15][2], "limit-thresh");
    EXPECT_EQ(rows[15][9], "limit_thresh");   // the LV2 symbol
    EXPECT_EQ(rows[5][7], "all bands");       // "Solo mode" in words, not the machine's "-"
    EXPECT_EQ(rows[4][10], "100%");           // the declared default's text
    EXPECT_EQ(rows[17][1], "Stereo link");
    EXPECT_EQ(rows[17][6], "0");
    EXPECT_EQ(rows[17][7], "off");
}

// ---- Output formats and odd samples -----------------------------------------------------

TEST_F(Render, IntegerOutputClipsAndCountsWhatExceedsFullScale)
{
    Audio input = Silence(1000);
    input.samples[10] = 1.5f;
    input.samples[11] = -2.0f;
    input.samples[12] = 0.999f;
    WriteAudio(In(), input);
    const ToolResult result = RunKorvax({"render", In(), Out(), "--set", "solo-mode=4", "--format", "pcm16"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("Clipped   2 samples"), std::string::npos) << result.out;
    const std::vector<int> values = ReadIntegers(Out());
    ASSERT_EQ(values.size(), 2000u);
    EXPECT_EQ(values[10], 32767 << 16);
    EXPECT_EQ(values[11], -32768 * 65536);
}

TEST_F(Render, FlacNameWritesTwentyFourBitFlac)
{
    WriteAudio(In(), Noise(3000, 2, 21));
    const std::string out = dir / "out.flac";
    const ToolResult result = RunKorvax({"render", In(), out, "--quiet"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const Audio flac = ReadAudio(out);
    EXPECT_EQ(flac.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(flac.Frames(), 3000);
}

TEST_F(Render, NonFiniteSamplesRenderAsSilenceAndAreCounted)
{
    Audio input = Noise(20000, 2, 23);
    Audio zeroed = input;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::pair<std::size_t, float> bad[] = {{100, nan}, {101, inf}, {5000, -inf}, {30001, nan}, {39999, inf}};
    for (const auto& [at, value] : bad) {
        input.samples[at] = value;
        zeroed.samples[at] = 0.0f;
    }
    WriteAudio(In(), input);
    const ToolResult result = RunKorvax({"render", In(), Out()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("5 input samples were NaN"), std::string::npos) << result.out;
    const Audio output = ReadAudio(Out());
    for (const float x : output.samples)
        ASSERT_TRUE(std::isfinite(x));
    EXPECT_TRUE(SameBits(RenderWith(zeroed).samples, output.samples));
}

// ---- Refusals: one line, non-zero status, nothing written -------------------------------

TEST_F(Render, UnreadableOrUnsuitableInputIsRefused)
{
    ExpectRefused({"render", dir / "missing.wav", Out()}, "No such file", {});
    ExpectRefused({"render", dir.Path(), Out()}, "is a directory", {});

    std::ofstream(In()) << "RIFF, but not really a sound file";
    ExpectRefused({"render", In(), Out()}, "not in an audio format");

    Audio threeChannels = Silence(100, 3);
    WriteAudio(In(), threeChannels);
    ExpectRefused({"render", In(), Out()}, "3 channels");

    WriteAudio(In(), Silence(100));
    {
        std::fstream header(In(), std::ios::in | std::ios::out | std::ios::binary);
        header.seekp(24);   // the sample rate field of a plain WAV header
        header.write("\0\0\0\0", 4);
    }
    ExpectRefused({"render", In(), Out()}, "sample rate of 0 Hz");
}

TEST_F(Render, BadSettingsAreRefusedWithTheValidRange)
{
    WriteAudio(In(), Silence(100));
    ExpectRefused({"render", In(), Out(), "--set", "Comp: Thr.lo=40"}, "unknown parameter 'Comp: Thr.lo'");
    ExpectRefused({"render", In(), Out(), "--set", "17=1"}, "unknown parameter index 17");
    ExpectRefused({"render", In(), Out(), "--set", "comp-thr-low=0"}, "Comp: Thr.low: '0' is not a step; it takes a step 1..128");
    ExpectRefused({"render", In(), Out(), "--set", "Limit: Thresh.=61"}, "it takes a step 0..60");
    ExpectRefused({"render", In(), Out(), "--set", "comp-thr-low=4.5"}, "takes a step 1..128");
    ExpectRefused({"render", In(), Out(), "--set", "comp-thr-low=+20dB"}, "out of range");
    ExpectRefused({"render", In(), Out(), "--set", "comp-thr-low"}, "expected NAME=VALUE");
    ExpectRefused({"render", In(), Out(), "--set", "=3"}, "expected NAME=VALUE");
    ExpectRefused({"render", In(), Out(), "--link", "sometimes"}, "expected on or off");
    ExpectRefused({"render", In(), Out(), "--block", "0"}, "1..1048576");
    ExpectRefused({"render", In(), Out(), "--format", "mp3"}, "--format 'mp3'");
    ExpectRefused({"render", In(), dir / "out.mp3"}, "not '.mp3'");
    ExpectRefused({"render", In(), Out(), "--machine", dir / "none.so"}, "cannot load machine library");
}

TEST_F(Render, UnwritableOrSameFileOutputIsRefused)
{
    const Audio input = Noise(100, 2, 1);
    WriteAudio(In(), input);
    const std::vector<char> original = ReadBytes(In());

    ExpectRefused({"render", In(), dir / "no-such-folder/out.wav"}, "cannot write OUT");
    fs::create_directory(dir / "folder");
    ExpectRefused({"render", In(), dir / "folder"}, "is a directory", {"in.wav", "folder"});
    ExpectRefused({"render", In(), In()}, "same file as IN", {"in.wav", "folder"});
    ExpectRefused({"render", In(), dir / "folder/../in.wav"}, "same file as IN", {"in.wav", "folder"});
    fs::create_hard_link(In(), dir / "link.wav");
    ExpectRefused({"render", In(), dir / "link.wav"}, "same file as IN", {"in.wav", "folder", "link.wav"});
    fs::create_symlink(In(), dir / "symlink.wav");
    ExpectRefused({"render", In(), dir / "symlink.wav"}, "same file as IN", {"in.wav", "folder", "link.wav", "symlink.wav"});
    EXPECT_EQ(ReadBytes(In()), original);
}

TEST_F(Render, ExistingOutputSurvivesAFailedRender)
{
    std::ofstream(Out()) << "an earlier render";
    const std::vector<char> earlier = ReadBytes(Out());
    WriteAudio(In(), Silence(100, 3));
    ExpectRefused({"render", In(), Out()}, "3 channels", {"in.wav", "out.wav"});
    WriteAudio(In(), Silence(100));
    ExpectRefused({"render", In(), Out(), "--set", "comp-ratio=500"}, "1..128", {"in.wav", "out.wav"});
    ExpectRefused({"render", In(), Out(), "--preset", dir / "none.preset"}, "cannot read preset", {"in.wav", "out.wav"});

    // A FLAC file cut short fails part-way, after the output has been started.
    Audio flac = Noise(100000, 2, 31);
    flac.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    const std::string whole = dir / "whole.flac";
    WriteAudio(whole, flac);
    const std::vector<char> bytes = ReadBytes(whole);
    std::ofstream(dir / "cut.flac", std::ios::binary).write(bytes.data(), std::streamsize(bytes.size() / 2));
    ExpectRefused({"render", dir / "cut.flac", Out()}, "cannot read IN", {"in.wav", "out.wav", "whole.flac", "cut.flac"});
    EXPECT_EQ(ReadBytes(Out()), earlier);
}

TEST_F(Render, InterruptRemovesThePartialFileAndKeepsTheOldOne)
{
    Audio input = Noise(48000 * 30, 2, 29);
    input.sampleRate = 48000;
    WriteAudio(In(), input);
    std::ofstream(Out()) << "an earlier render";
    const std::vector<char> earlier = ReadBytes(Out());

    // One pair per call makes the render slow enough to catch while it writes.
    const pid_t pid = StartKorvax({"render", In(), Out(), "--block", "1", "--quiet"});
    ASSERT_GT(pid, 0);
    bool writing = false;
    for (int wait = 0; wait < 2000 && !writing; ++wait) {
        writing = !dir.Others({"in.wav", "out.wav"}).empty();
        if (!writing)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(writing) << "no temporary output appeared";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::kill(pid, SIGINT);
    EXPECT_EQ(WaitKorvax(pid), 128 + SIGINT);
    EXPECT_EQ(dir.Others({"in.wav", "out.wav"}), std::vector<std::string>{});
    EXPECT_EQ(ReadBytes(Out()), earlier);
}

// ---- The command line -----------------------------------------------------------------

TEST(Cli, HelpAndVersion)
{
    const ToolResult help = RunKorvax({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: korvax COMMAND"), std::string::npos);
    for (const char* command : {"render", "params", "demo"}) {
        const ToolResult commandHelp = RunKorvax({command, "--help"});
        EXPECT_EQ(commandHelp.exitCode, 0) << command;
        EXPECT_NE(commandHelp.out.find(std::string("Usage: korvax ") + command), std::string::npos);
    }
    const ToolResult version = RunKorvax({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("korvax 2.", 0), 0u) << version.out;

    const ToolResult nothing = RunKorvax({});
    EXPECT_EQ(nothing.exitCode, 2);
    const ToolResult unknown = RunKorvax({"frobnicate"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.ErrLines(), 1);
}

TEST(Cli, DemoWritesItsProgrammeAndItsRenderingSideBySide)
{
    ScratchFolder dir;
    const ToolResult result = RunKorvax({"demo", dir.Path() + "/"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const Audio in = ReadAudio(dir / "demo-in.wav");
    const Audio out = ReadAudio(dir / "demo-out.wav");
    EXPECT_EQ(in.channels, 2);
    EXPECT_EQ(in.sampleRate, 48000);
    EXPECT_GE(in.Frames(), 48000 * 8);
    EXPECT_EQ(out.Frames(), in.Frames());
    EXPECT_FALSE(SameBits(in.samples, out.samples));
    EXPECT_NE(result.out.find("Latency   16383 pairs"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("real time"), std::string::npos) << result.out;

    // Seeded: the same programme every time.
    ASSERT_EQ(RunKorvax({"demo", dir / "again", "--quiet"}).exitCode, 0);
    EXPECT_TRUE(SameBits(in.samples, ReadAudio(dir / "again-in.wav").samples));
}

} // namespace
} // namespace korvax::test
