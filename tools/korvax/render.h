#pragma once
// Rendering a file through the machine: read in chunks, scale to the machine's
// full scale, process in calls of a fixed number of pairs, compensate the
// machine's latency, scale back, write, and measure levels and time on the way.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/korvax/machine_session.h"

namespace korvax::cli {

struct RenderRequest {
    std::string inPath;
    std::string outPath;
    std::vector<Setting> settings;   // in command-line order
    std::int64_t blockPairs = 256;   // pairs per processing call
    bool raw = false;                // keep the machine's delay instead of compensating it
    std::string format;              // --format word; empty: from OUT's name
    bool progress = true;            // a bar on stderr, when stderr is a terminal
};

// Peak and RMS over samples at ±1.0 full scale.
struct LevelMeter {
    float peak = 0.0f;
    double sumOfSquares = 0.0;
    std::int64_t samples = 0;

    void Add(float x)
    {
        const float magnitude = std::fabs(x);
        if (magnitude > peak)
            peak = magnitude;
        sumOfSquares += double(x) * double(x);
        ++samples;
    }
    double PeakDbfs() const { return Decibels(peak); }
    double RmsDbfs() const { return Decibels(samples > 0 ? std::sqrt(sumOfSquares / double(samples)) : 0.0); }
    static double Decibels(double level) { return level > 0.0 ? 20.0 * std::log10(level) : -INFINITY; }
};

enum class Alignment { kCompensated, kRaw, kBypass };

struct RenderReport {
    std::string inPath;
    std::string outPath;
    std::string inFormat;
    std::string outFormat;
    int sampleRate = 0;
    int channels = 0;
    std::int64_t declaredFrames = 0;   // from IN's header
    std::int64_t inFrames = 0;         // actually read
    std::int64_t outFrames = 0;
    Alignment alignment = Alignment::kCompensated;
    std::vector<std::string> settings;   // "Comp: Thr.low = 40 (-10.2 dB)"
    LevelMeter inLevels;
    LevelMeter outLevels;
    std::int64_t nonFiniteIn = 0;      // NaN, infinity, or too large to scale: rendered as 0
    bool integerOutput = false;
    std::int64_t clipped = 0;          // samples beyond the integer format's range
    double totalSeconds = 0.0;         // from opening IN to OUT in place
    double machineSeconds = 0.0;       // inside the machine's processing calls
    double fileSeconds = 0.0;          // inside libsndfile reads and writes
};

// Renders one file. Throws Failure (OUT untouched, nothing left behind) on any
// problem, Interrupted when a signal arrives.
RenderReport Render(const MachineLibrary& library, const RenderRequest& request);

void PrintSummary(std::FILE* stream, const RenderReport& report);

} // namespace korvax::cli
