// The figures behind docs/limitations.md, measured on the engine itself:
//
//   engine_limits times                  attack and release per sample rate, beside the value texts
//   engine_limits modulation             the block crossover's modulation at fs / 8192 of a steady tone
//   engine_limits peaks IN.wav OUT.wav   sample and true peaks (libebur128, 4x oversampled) of two files
//
// scripts/limits.sh runs all three, the last on `korvax demo`'s files.

#include <ebur128.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dsp/block_engine.h"
#include "dsp/dynamics.h"
#include "params/value_text.h"
#include "params/working_parameters.h"

namespace korvax::limits {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr int kAttackIndex = 10;
constexpr int kReleaseIndex = 11;
constexpr int kLimitReleaseIndex = 16;

// ---- attack and release ----------------------------------------------------------

// Pairs for each gain state to rise from 0.1 to 1.0 through silence.
std::vector<int> ReleasePairs(const WorkingParameters& working)
{
    const DynamicsCoefficients c = PrepareDynamics(working);
    GainStates gains;
    ResetGainStates(gains);
    std::vector<int> reached(kGainStateCount, 0);
    const BandValues silence = {};
    for (int pair = 1; pair < 100000000; ++pair) {
        ProcessDynamics(c, gains, silence);
        bool all = true;
        for (int s = 0; s < kGainStateCount; ++s) {
            if (reached[s] == 0 && gains[s].gain == 1.0f)
                reached[s] = pair;
            all = all && reached[s] != 0;
        }
        if (all)
            break;
    }
    return reached;
}

void Times()
{
    const int rates[] = {44100, 48000, 96000};
    std::printf("Release: pairs from gain 0.1 to 1.0, and that in ms per rate; the value text shows one time\n");
    std::printf("%-14s %-8s %-10s %8s", "parameter", "value", "text", "pairs");
    for (const int rate : rates)
        std::printf(" %9s", (std::to_string(rate / 1000.0).substr(0, 4) + " kHz").c_str());
    std::printf("\n");
    const char* bands[] = {"low band", "mid band", "high band", "limiter"};
    for (const int value : {30, 40, 80}) {
        WorkingParameters working = ConstructionParameters();
        StoreStartValues(working);
        StoreParameterValue(working, kReleaseIndex, std::uint8_t(value));
        StoreParameterValue(working, kLimitReleaseIndex, std::uint8_t(value));
        const std::vector<int> pairs = ReleasePairs(working);
        for (int b = 0; b < 4; ++b) {
            const int index = b < 3 ? kReleaseIndex : kLimitReleaseIndex;
            const std::string text = DescribeParameterValue(index, value);
            std::printf("%-14s %-8d %-10s %8d", bands[b], value, text.c_str(), pairs[2 * b]);
            for (const int rate : rates)
                std::printf(" %6.1f ms", 1e3 * pairs[2 * b] / rate);
            std::printf("\n");
        }
    }
    std::printf("\nAttack: the time constant -1 / ln(1 - blend), in pairs and ms per rate\n");
    for (const int value : {30, 40, 80}) {
        WorkingParameters working = ConstructionParameters();
        StoreStartValues(working);
        StoreParameterValue(working, kAttackIndex, std::uint8_t(value));
        const DynamicsCoefficients c = PrepareDynamics(working);
        const std::string text = DescribeParameterValue(kAttackIndex, value);
        for (int b = 0; b < 3; ++b) {
            const double tau = -1.0 / std::log(1.0 - double(c.band[b].attackBlend));
            std::printf("%-14s %-8d %-10s %8.0f", bands[b], value, text.c_str(), tau);
            for (const int rate : rates)
                std::printf(" %6.1f ms", 1e3 * tau / rate);
            std::printf("\n");
        }
    }
}

// ---- the crossover's modulation ------------------------------------------------------

// The level of frequency `hz` in `x` (one channel of interleaved pairs), by a
// correlation in double over the pairs given.
double Amplitude(const std::vector<float>& x, int first, int count, double hz, int rate)
{
    double re = 0.0;
    double im = 0.0;
    for (int i = 0; i < count; ++i) {
        const double phase = 2.0 * kPi * hz * double(i) / double(rate);
        re += double(x[2 * std::size_t(first + i)]) * std::cos(phase);
        im += double(x[2 * std::size_t(first + i)]) * std::sin(phase);
    }
    return 2.0 * std::hypot(re, im) / count;
}

struct ToneCase {
    const char* what;
    double hz;
    std::vector<std::pair<int, std::uint8_t>> parameters;
};

void Modulation()
{
    constexpr int kRate = 48000;
    constexpr int kAnalysed = 8 * 8192;    // eight block periods: fs / 8192 falls on a bin
    constexpr int kSettle = 3 * 16384;     // past the latency and the followers' start
    // No compression (thresholds at their top), unity input and output gains,
    // the limiter above the tone: what is left is the crossover.
    const std::vector<std::pair<int, std::uint8_t>> neutral = {{0, 71}, {6, 128}, {7, 128}, {8, 128}, {12, 71},
                                                                {13, 71}, {14, 71}, {15, 0}, {4, 64}, {3, 64}};
    const double lowSplit = 190.83;   // LowSplit 42 (the declared default)
    const std::vector<ToneCase> cases = {
        {"all bands, tone at the low split", lowSplit, {{1, 42}}},
        {"mid band soloed, tone at the low split", lowSplit, {{1, 42}, {5, 2}}},
        {"mid band soloed, tone inside the band (1 kHz)", 1000.0, {{1, 42}, {5, 2}}},
        {"all bands, low band +6 dB, tone at the low split", lowSplit, {{1, 42}, {12, 89}}},
        {"mid band soloed, steepness 128, tone at the low split", lowSplit, {{1, 42}, {5, 2}, {3, 128}}},
        {"all bands, steepness 128, low band +6 dB, tone at the low split", lowSplit, {{1, 42}, {12, 89}, {3, 128}}},
        {"all bands, steepness 0, low band +6 dB, tone at the low split", lowSplit, {{1, 42}, {12, 89}, {3, 0}}},
    };
    std::printf("A steady tone of -12 dBFS at %d Hz, eight block periods analysed: the tone and its sidebands at\n"
                "+-fs/8192 (%.2f Hz) and +-2 fs/8192, relative to the tone\n",
                kRate, double(kRate) / 8192.0);
    for (const ToneCase& c : cases) {
        // The tone rounded to a whole number of cycles over the analysed pairs.
        const double hz = std::round(c.hz * kAnalysed / kRate) * kRate / kAnalysed;
        const int pairs = kSettle + kAnalysed;
        std::vector<float> data(2 * std::size_t(pairs));
        for (int i = 0; i < pairs; ++i)
            data[2 * std::size_t(i)] = data[2 * std::size_t(i) + 1] =
                float(32768.0 * 0.25 * std::sin(2.0 * kPi * hz * i / kRate));
        auto engine = std::make_unique<EngineState>();
        ResetEngine(*engine);
        WorkingParameters working = ConstructionParameters();
        StoreStartValues(working);
        for (const auto& [index, value] : neutral)
            StoreParameterValue(working, index, value);
        for (const auto& [index, value] : c.parameters)
            StoreParameterValue(working, index, value);
        for (int start = 0; start < pairs; start += 256)
            ProcessStereo(*engine, working, &kRate, data.data() + 2 * std::size_t(start), std::min(256, pairs - start),
                          kModeInput | kModeOutput);
        const double carrier = Amplitude(data, kSettle, kAnalysed, hz, kRate);
        const double step = double(kRate) / 8192.0;
        double worst = 0.0;
        for (const double offset : {-2 * step, -step, step, 2 * step})
            worst = std::max(worst, Amplitude(data, kSettle, kAnalysed, hz + offset, kRate));
        std::printf("  %-66s tone %6.1f dBFS, strongest sideband %6.1f dB\n", c.what,
                    20.0 * std::log10(carrier / 32768.0), 20.0 * std::log10(worst / carrier));
    }
}

// ---- peaks of two files ----------------------------------------------------------------

int Peaks(const char* inPath, const char* outPath)
{
    for (const char* path : {inPath, outPath}) {
        SF_INFO info{};
        SNDFILE* file = sf_open(path, SFM_READ, &info);
        if (file == nullptr) {
            std::fprintf(stderr, "engine_limits: cannot read %s: %s\n", path, sf_strerror(nullptr));
            return 1;
        }
        std::vector<float> samples(std::size_t(info.frames) * std::size_t(info.channels));
        sf_readf_float(file, samples.data(), info.frames);
        sf_close(file);
        ebur128_state* meter = ebur128_init(unsigned(info.channels), unsigned(info.samplerate),
                                            EBUR128_MODE_SAMPLE_PEAK | EBUR128_MODE_TRUE_PEAK);
        ebur128_add_frames_float(meter, samples.data(), std::size_t(info.frames));
        double samplePeak = 0.0;
        double truePeak = 0.0;
        for (unsigned ch = 0; ch < unsigned(info.channels); ++ch) {
            double s = 0.0;
            double t = 0.0;
            ebur128_sample_peak(meter, ch, &s);
            ebur128_true_peak(meter, ch, &t);
            samplePeak = std::max(samplePeak, s);
            truePeak = std::max(truePeak, t);
        }
        ebur128_destroy(&meter);
        std::printf("%s: sample peak %+6.2f dBFS, true peak %+6.2f dBTP (4x oversampled)\n", path,
                    20.0 * std::log10(samplePeak), 20.0 * std::log10(truePeak));
    }
    return 0;
}

} // namespace
} // namespace korvax::limits

int main(int argc, char** argv)
{
    using namespace korvax::limits;
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "times") {
        Times();
        return 0;
    }
    if (what == "modulation") {
        Modulation();
        return 0;
    }
    if (what == "peaks" && argc == 4)
        return Peaks(argv[2], argv[3]);
    std::fprintf(stderr, "usage: engine_limits times | modulation | peaks IN.wav OUT.wav\n");
    return 2;
}
