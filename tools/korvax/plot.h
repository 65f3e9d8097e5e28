#pragma once
// Pictures of what the machine did, drawn with cairo: PNG, SVG or PDF by the
// file's extension. A render's picture shows the input and output levels, each
// band's and the limiter's gain reduction over time, and the three bands'
// magnitude responses at the settings used; the bands' picture shows the
// responses alone.

#include <string>
#include <vector>

#include "dsp/crossover_response.h"

namespace korvax::cli {

// The meters of one stretch of the render (one processing call), in the
// input's timeline.
struct MeterFrame {
    double endSeconds = 0;       // where the stretch ends
    float inPeakDb = -200;       // sample peaks, dBFS
    float outPeakDb = -200;
    float reductionDb[4] = {};   // low, mid, high band and limiter: 0 or below
};

struct PlotLabels {
    std::string title;      // first line, e.g. the file names
    std::string subtitle;   // second line, e.g. the settings
};

// Which file type `path` asks for ("png", "svg", "pdf"), or empty when its
// extension names none of them.
std::string PlotFormat(const std::string& path);

// Both throw Failure with one line when the file cannot be written.
void DrawRenderPlot(const std::string& path, const PlotLabels& labels, double durationSeconds,
                    const std::vector<MeterFrame>& frames, const CrossoverResponse& bands, int sampleRate);
void DrawBandsPlot(const std::string& path, const PlotLabels& labels, const CrossoverResponse& bands,
                   int sampleRate);

// Pixel (PNG) or point (SVG, PDF) sizes of the two pictures.
inline constexpr int kRenderPlotWidth = 1200;
inline constexpr int kRenderPlotHeight = 960;
inline constexpr int kBandsPlotWidth = 1000;
inline constexpr int kBandsPlotHeight = 520;

} // namespace korvax::cli
