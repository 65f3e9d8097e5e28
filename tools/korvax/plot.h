#pragma once
// Pictures of what the machine did, drawn with cairo as PNG, SVG or PDF (the
// file's bytes, which the caller writes). A render's picture shows the input
// and output levels, each band's and the limiter's gain reduction over time,
// and the three bands' magnitude responses at the settings used; the bands'
// picture shows the responses alone.

#include <string>
#include <vector>

#include "dsp/crossover_response.h"

namespace korvax::cli {

// The meters of one stretch of the render (one processing call), placed in the
// timeline of IN and OUT.
struct MeterFrame {
    double endSeconds = 0;       // where the stretch ends; it starts where the one before ended
    float peakDb = -200;         // the sample peak, dBFS
    float reductionDb[4] = {};   // low, mid, high band and limiter: 0 or below
};

struct PlotLabels {
    std::string title;      // first line, e.g. the file names
    std::string subtitle;   // second line, e.g. the settings
};

// Which file type `path` asks for ("png", "svg", "pdf"), or empty when its
// extension names none of them.
std::string PlotFormat(const std::string& path);

// The picture of a render as the bytes of a file of `format` ("png", "svg" or
// "pdf"): the input's peaks from `input`, the output's peaks and the gain
// reductions from `output`. Throws Failure with one line when cairo fails.
std::string DrawRenderPlot(const std::string& format, const PlotLabels& labels, double durationSeconds,
                           const std::vector<MeterFrame>& input, const std::vector<MeterFrame>& output,
                           const CrossoverResponse& bands, int sampleRate);
// The bands' responses alone.
std::string DrawBandsPlot(const std::string& format, const PlotLabels& labels, const CrossoverResponse& bands,
                          int sampleRate);

// Pixel (PNG) or point (SVG, PDF) sizes of the two pictures.
inline constexpr int kRenderPlotWidth = 1200;
inline constexpr int kRenderPlotHeight = 960;
inline constexpr int kBandsPlotWidth = 1000;
inline constexpr int kBandsPlotHeight = 520;

} // namespace korvax::cli
