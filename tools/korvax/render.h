#pragma once
// Rendering a file through the machine: read in chunks, scale to the machine's
// full scale, process in calls of a fixed number of pairs, compensate the
// machine's latency, scale back, write, and measure levels, loudness and time
// on the way. Observers see each chunk of IN and of OUT as it passes.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/korvax/loudness.h"
#include "tools/korvax/machine_session.h"
#include "tools/korvax/meter_log.h"

namespace korvax::cli {

// Sees a render as it goes, on the rendering thread, a chunk of up to 32768
// frames at a time: IN's frames as read and OUT's frames as written, both
// interleaved (one or two channels) at ±1.0 full scale; OUT's integer samples
// come as the floats they stand for. Output() trails Input() by the latency
// while it is compensated. Must not throw.
class RenderObserver {
public:
    virtual ~RenderObserver() = default;
    virtual void Input(const float* frames, std::int64_t count, int channels) = 0;
    virtual void Output(const float* frames, std::int64_t count, int channels) = 0;
};

struct RenderRequest {
    std::string inPath;              // "-": standard input
    std::string outPath;             // "-": standard output
    std::vector<Setting> settings;   // in command-line order; the last one of a control wins
    std::int64_t blockPairs = 256;   // pairs per processing call
    bool raw = false;                // keep the machine's delay instead of compensating it
    std::string format;              // --format word; empty: from OUT's name
    bool dither = false;             // TPDF dither before rounding to 16 or 24 bits
    bool progress = true;            // a bar on stderr, when stderr is a terminal
    std::vector<std::string> presets;   // where the settings came from, for the summary
    std::vector<RenderObserver*> observers;
    // With either, the render keeps the machine's meters per processing call
    // and, once OUT is in place, writes them as CSV (--meters) and draws the
    // render's picture (--plot; PNG, SVG or PDF by the name's extension).
    std::string metersPath;
    std::string plotPath;
};

enum class Alignment { kCompensated, kRaw, kBypass };

// A control's value as the render used it.
struct SettingLine {
    const ParameterInfo* parameter = nullptr;
    int value = 0;
    std::string text;      // the machine's text, or the word of "Solo mode" and the link
    std::string asked;     // as typed, when it was not a bare step
    bool named = false;    // named by --set or --link
    bool changed = false;  // differs from the start value
};

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
    std::vector<SettingLine> settings;   // every control, in table order, the attribute last
    std::vector<std::string> presets;    // --preset sources, in order
    LevelMeter inLevels;
    LevelMeter outLevels;
    LoudnessFigures inLoudness{};
    LoudnessFigures outLoudness{};
    int tagsCopied = 0;                // texts of IN's header that OUT holds too
    bool dithered = false;
    std::int64_t nonFiniteIn = 0;      // NaN, infinity, or too large to scale: rendered as 0
    bool integerOutput = false;
    std::int64_t clipped = 0;          // samples beyond the integer format's range
    double totalSeconds = 0.0;         // from opening IN to OUT in place
    double machineSeconds = 0.0;       // inside the machine's processing calls
    double fileSeconds = 0.0;          // inside libsndfile reads and writes
    double meterSeconds = 0.0;         // writing the meters and the picture
    MeterLog meters;                   // with --meters or --plot
};

// Renders one file. Throws Failure (OUT untouched, nothing left behind) on any
// problem, Interrupted when a signal arrives.
RenderReport Render(const MachineLibrary& library, const RenderRequest& request);

} // namespace korvax::cli
