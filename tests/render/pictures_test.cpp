// korvax's meters and pictures, run end to end: the CSV against a plain
// transcription of the engine driven pair by pair (its own gains, the same
// numbers), the pictures as files of their type and size, and the meters
// changing nothing in OUT.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "engine/reference_engine.h"
#include "params/working_parameters.h"
#include "render/tool_runner.h"

namespace korvax::test {
namespace {

constexpr int kRate = 44100;
constexpr int kBlock = 256;
constexpr std::int64_t kLatency = 16383;

std::vector<std::vector<std::string>> Rows(const std::string& csv)
{
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(csv);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> cells;
        std::istringstream fields(line);
        std::string cell;
        while (std::getline(fields, cell, ','))
            cells.push_back(cell);
        rows.push_back(cells);
    }
    return rows;
}

double Decibels(double linear)
{
    return 20.0 * std::log10(linear);
}

// The CSV's gains are the engine's own: a plain transcription of the engine,
// taking IN and then the latency's silence one pair at a time at the start
// values, gives each follower's lowest gain over each 256-pair call, and the
// peaks of each call's input and output.
TEST(Meters, TheCsvHoldsTheEnginesGainsCallByCall)
{
    ScratchFolder folder;
    Audio in = Noise(40000, 2, 11, 0.25f);
    for (std::int64_t i = 12000; i < 20000; ++i)   // a loud stretch
        in.samples[2 * i] *= 3.5f, in.samples[2 * i + 1] *= 3.0f;
    WriteAudio(folder / "in.wav", in);
    const ToolResult r =
        RunKorvax({"render", folder / "in.wav", folder / "out.wav", "--meters", folder / "m.csv", "-q"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto rows = Rows(ReadText(folder / "m.csv"));
    ASSERT_GE(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "call");
    EXPECT_EQ(rows[0].size(), 14u);

    WorkingParameters working = ConstructionParameters();
    StoreStartValues(working);
    reference::Engine engine;
    const std::int64_t total = in.Frames() + kLatency;
    ASSERT_EQ(std::int64_t(rows.size() - 1), (total + kBlock - 1) / kBlock);
    for (std::size_t call = 0; call + 1 < rows.size(); ++call) {
        const std::vector<std::string>& row = rows[call + 1];
        const std::int64_t first = std::int64_t(call) * kBlock;
        const std::int64_t pairs = std::min<std::int64_t>(kBlock, total - first);
        ASSERT_EQ(std::stoll(row[3]), pairs);
        EXPECT_NEAR(std::stod(row[1]), double(first) / kRate, 1e-6);
        EXPECT_NEAR(std::stod(row[2]), double(first - kLatency) / kRate, 1e-6);
        float lowest[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        float inPeak = 0.0f, outPeak = 0.0f;
        for (std::int64_t p = first; p < first + pairs; ++p) {
            float pair[2] = {0.0f, 0.0f};
            if (p < in.Frames()) {
                pair[0] = in.samples[2 * p] * 32768.0f;
                pair[1] = in.samples[2 * p + 1] * 32768.0f;
            }
            inPeak = std::max({inPeak, std::fabs(pair[0]), std::fabs(pair[1])});
            engine.Process(working, kRate, pair, 1, 3);
            outPeak = std::max({outPeak, std::fabs(pair[0]), std::fabs(pair[1])});
            for (int k = 0; k < 8; ++k)
                lowest[k] = std::min(lowest[k], engine.gains[k]);
        }
        for (int k = 0; k < 8; ++k)
            ASSERT_NEAR(std::stod(row[6 + k]), Decibels(lowest[k]), 2e-6) << "call " << call << ", follower " << k;
        if (inPeak > 0.0f) {
            EXPECT_NEAR(std::stod(row[4]), Decibels(inPeak / 32768.0f), 2e-3) << "call " << call;
        } else {
            EXPECT_EQ(row[4], "-inf") << "call " << call;
        }
        if (outPeak > 0.0f) {
            EXPECT_NEAR(std::stod(row[5]), Decibels(outPeak / 32768.0f), 2e-3) << "call " << call;
        }
    }
}

TEST(Meters, PicturesAreFilesOfTheirTypeAndChangeNothingInOut)
{
    ScratchFolder folder;
    WriteAudio(folder / "in.wav", Noise(30000, 2, 3, 0.4f));
    ASSERT_EQ(RunKorvax({"render", folder / "in.wav", folder / "plain.wav", "-q"}).exitCode, 0);
    const ToolResult r = RunKorvax({"render", folder / "in.wav", folder / "drawn.wav", "--plot",
                                    folder / "render.png", "--meters", folder / "m.csv", "-q"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadBytes(folder / "plain.wav"), ReadBytes(folder / "drawn.wav"));
    const std::vector<char> png = ReadBytes(folder / "render.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(std::string(png.begin(), png.begin() + 8), "\x89PNG\r\n\x1a\n");
    const auto be32 = [&](std::size_t at) {
        return std::uint32_t(std::uint8_t(png[at])) << 24 | std::uint32_t(std::uint8_t(png[at + 1])) << 16 |
               std::uint32_t(std::uint8_t(png[at + 2])) << 8 | std::uint32_t(std::uint8_t(png[at + 3]));
    };
    EXPECT_EQ(be32(16), 1200u);
    EXPECT_EQ(be32(20), 960u);

    ASSERT_EQ(RunKorvax({"plot-bands", folder / "bands.svg", "--set", "low-split=100Hz", "--rate", "96000"}).exitCode,
              0);
    EXPECT_NE(ReadText(folder / "bands.svg").find("width=\"1000pt\""), std::string::npos);
    ASSERT_EQ(RunKorvax({"plot-bands", folder / "bands.pdf"}).exitCode, 0);
    EXPECT_EQ(ReadText(folder / "bands.pdf").rfind("%PDF-", 0), 0u);
    // Nothing else left in the folder: no temporary file.
    EXPECT_TRUE(folder.Others({"in.wav", "plain.wav", "drawn.wav", "render.png", "m.csv", "bands.svg", "bands.pdf"})
                    .empty());
}

TEST(Meters, BadPictureRequestsAreRefusedBeforeAnythingIsWritten)
{
    ScratchFolder folder;
    WriteAudio(folder / "in.wav", Noise(5000, 2, 4, 0.4f));
    EXPECT_EQ(RunKorvax({"render", folder / "in.wav", folder / "o.wav", "--plot", folder / "p.jpg"}).exitCode, 2);
    EXPECT_EQ(RunKorvax({"render", folder / "in.wav", "-o", folder / "batch", "--plot", folder / "p.png"}).exitCode,
              2);
    EXPECT_EQ(RunKorvax({"render", folder / "in.wav", folder / "o.wav", "--plot", folder / "o.wav"}).exitCode, 2);
    EXPECT_EQ(RunKorvax({"plot-bands"}).exitCode, 2);
    EXPECT_EQ(RunKorvax({"plot-bands", folder / "b.png", "--rate", "10"}).exitCode, 2);
    const ToolResult missing =
        RunKorvax({"render", folder / "in.wav", folder / "o.wav", "--meters", folder / "no/such/m.csv"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.ErrLines(), 1);
    EXPECT_TRUE(folder.Others({"in.wav"}).empty());
}

} // namespace
} // namespace korvax::test
