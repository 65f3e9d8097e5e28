// The crossover responses the pictures draw, and the pictures as files.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "dsp/crossover_response.h"
#include "params/curves.h"
#include "tools/korvax/failure.h"
#include "tools/korvax/plot.h"

namespace korvax::cli {
namespace {

std::uint32_t BigEndian32(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// The three bands cover the spectrum without a gap or an overlap: their gains
// add up to 1 within the float rounding of the ramps, at the split points too,
// where the two bands that meet each pass one half.
TEST(CrossoverResponse, BandsSumToOneAndMeetAtHalfGain)
{
    for (const int rate : {44100, 48000, 96000}) {
        for (const float steepness : {0.0f, 50.0f, 128.0f}) {
            const CrossoverResponse r = CrossoverGains(47.0f, 85.0f, steepness, rate);
            ASSERT_EQ(r.hz.size(), 8192u);
            for (std::size_t i = 0; i < r.hz.size(); ++i) {
                const double sum = double(r.gain[0][i]) + r.gain[1][i] + r.gain[2][i];
                ASSERT_NEAR(sum, 1.0, 2e-7) << rate << " " << steepness << " at " << r.hz[i] << " Hz";
            }
            // At the odd element nearest each split the two meeting bands pass
            // about one half each (the steepest ramp moves about 0.1 per element;
            // shallower ones let the low band's ramp reach past the high split).
            if (steepness < 128.0f)
                continue;
            for (const auto& [split, lower, upper] :
                 {std::tuple{r.lowSplitHz, 0, 1}, std::tuple{r.highSplitHz, 1, 2}}) {
                std::size_t nearest = 0;
                for (std::size_t i = 0; i < r.hz.size(); ++i)
                    if (std::fabs(r.hz[i] - split) < std::fabs(r.hz[nearest] - split))
                        nearest = i;
                EXPECT_NEAR(r.gain[lower][nearest], 0.5, 0.15) << split;
                EXPECT_NEAR(r.gain[upper][nearest], 0.5, 0.15) << split;
            }
        }
    }
    // Steep: each band passes fully well inside its range and nothing outside.
    const CrossoverResponse steep = CrossoverGains(47.0f, 85.0f, 128.0f, 48000);
    for (std::size_t i = 0; i < steep.hz.size(); ++i) {
        const double f = steep.hz[i];
        if (f < steep.lowSplitHz / 1.1) {
            EXPECT_EQ(steep.gain[0][i], 1.0f) << f;
        }
        if (f > steep.lowSplitHz * 1.1 && f < steep.highSplitHz / 1.1) {
            EXPECT_EQ(steep.gain[1][i], 1.0f) << f;
        }
        if (f > steep.highSplitHz * 1.1) {
            EXPECT_EQ(steep.gain[2][i], 1.0f) << f;
        }
    }
    EXPECT_EQ(steep.lowSplitHz, SplitFrequency(47.0f));
}

TEST(Pictures, EachFormatIsAValidFileOfItsSize)
{
    const CrossoverResponse bands = CrossoverGains(47.0f, 85.0f, 50.0f, 44100);
    std::vector<MeterFrame> input, output;
    for (int k = 0; k < 2000; ++k) {
        MeterFrame in, out;
        in.endSeconds = out.endSeconds = (k + 1) * 256.0 / 44100.0;
        in.peakDb = float(-12.0 + 6.0 * std::sin(k * 0.01));
        out.peakDb = -1.0f;
        for (int b = 0; b < 4; ++b)
            out.reductionDb[b] = float(-(b + 1) * (1.0 + std::sin(k * 0.003 * (b + 1))));
        input.push_back(in);
        output.push_back(out);
    }
    const PlotLabels labels{"in.wav \u2192 out.wav", "start values"};
    for (const std::string format : {"png", "svg", "pdf"}) {
        const std::string render =
            DrawRenderPlot(format, labels, output.back().endSeconds, input, output, bands, 44100);
        const std::string alone = DrawBandsPlot(format, labels, bands, 44100);
        // PNG and PDF come out byte for byte the same every time (cairo numbers
        // an SVG's surfaces per process).
        if (format != "svg") {
            EXPECT_TRUE(render ==
                        DrawRenderPlot(format, labels, output.back().endSeconds, input, output, bands, 44100))
                << format;
        }
        for (const auto& [bytes, width, height] :
             {std::tuple{render, kRenderPlotWidth, kRenderPlotHeight},
              std::tuple{alone, kBandsPlotWidth, kBandsPlotHeight}}) {
            ASSERT_GT(bytes.size(), 1000u) << format;
            if (format == "png") {
                ASSERT_EQ(bytes.substr(0, 8), "\x89PNG\r\n\x1a\n");
                EXPECT_EQ(bytes.substr(12, 4), "IHDR");
                EXPECT_EQ(BigEndian32(bytes, 16), std::uint32_t(width));
                EXPECT_EQ(BigEndian32(bytes, 20), std::uint32_t(height));
                EXPECT_EQ(bytes.substr(bytes.size() - 8, 4), "IEND");
            } else if (format == "svg") {
                EXPECT_EQ(bytes.rfind("<?xml", 0), 0u);
                EXPECT_NE(bytes.find("width=\"" + std::to_string(width) + "pt\""), std::string::npos);
                EXPECT_NE(bytes.find("height=\"" + std::to_string(height) + "pt\""), std::string::npos);
                EXPECT_NE(bytes.find("</svg>"), std::string::npos);
            } else {
                EXPECT_EQ(bytes.rfind("%PDF-", 0), 0u);
                EXPECT_NE(bytes.find("/MediaBox [ 0 0 " + std::to_string(width) + " " + std::to_string(height) +
                                     " ]"),
                          std::string::npos);
                EXPECT_NE(bytes.find("%%EOF"), std::string::npos);
            }
        }
    }
}

TEST(Pictures, FormatsComeFromTheName)
{
    const CrossoverResponse bands = CrossoverGains(42.0f, 85.0f, 64.0f, 48000);
    EXPECT_THROW(DrawBandsPlot("jpg", {}, bands, 48000), Failure);
    EXPECT_EQ(PlotFormat("A.PNG"), "png");
    EXPECT_EQ(PlotFormat("dir.svg/b.pdf"), "pdf");
    EXPECT_EQ(PlotFormat("a.wav"), "");
    EXPECT_EQ(PlotFormat("png"), "");
}

} // namespace
} // namespace korvax::cli
