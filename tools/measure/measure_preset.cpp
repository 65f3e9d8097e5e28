// korvax_measure: what a preset does to the demo programme and to the
// speech-like signal, as the comment every shipped preset carries: the change
// of integrated loudness, the true peak, and the gain reduction of the three
// band compressors and of the limiter, read from the machine's gain followers.
//
// It builds the machine from the core (not from a loaded library) so that it can
// read the followers between processing calls, and drives it through the
// reference host all the same.
//
//   korvax_measure PRESET...            print each preset's measurement block
//   korvax_measure --write PRESET...    put it into each file (replacing an old one)
//   korvax_measure --check PRESET...    fail unless each file holds it as measured now

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "params/presets.h"
#include "params/working_parameters.h"
#include "plugin/description.h"
#include "plugin/machine.h"
#include "tools/korvax/demo.h"
#include "tools/korvax/loudness.h"

namespace korvax::measure {
namespace {

using cli::LoudnessFigures;
using cli::LoudnessMeter;

constexpr std::int64_t kLatencyPairs = 16383;
constexpr std::int32_t kCallPairs = 256;
constexpr int kRate = cli::kDemoSampleRate;
constexpr const char* kBlockStart = "# Measured by korvax_measure";
constexpr int kBlockLines = 5;

struct Effect {
    LoudnessFigures in{};
    LoudnessFigures out{};
    double meanReductionDb[4] = {};   // low, mid, high band, limiter
    double mostReductionDb[4] = {};
};

// Runs `programme` (interleaved stereo at ±1.0) through a machine with the
// preset's settings, latency compensated as `korvax render` does, and reads the
// gain followers after every call once the programme's first second is out.
Effect Measure(const std::vector<float>& programme, const std::vector<presets::Setting>& settings)
{
    MultibandMachine* object = CreateMultibandMachine();
    host::Machine machine(object, &Description(), kRate);
    machine.Initialise();
    std::vector<std::pair<int, int>> bytes;
    int ratio = StartValue(9);
    for (const presets::Setting& s : settings) {
        if (s.control == presets::AttributeControl(Description()))
            machine.SetAttribute(s.value);
        else
            bytes.emplace_back(s.control, s.value);
        if (s.control == 9)
            ratio = s.value;
    }
    machine.SetParameters(bytes);
    // The ratio mixes the compressed band with the dry one: U g + (1 - U).
    const double mix = std::sqrt(double(ratio) * 0.0078125);

    const std::int64_t frames = static_cast<std::int64_t>(programme.size() / 2);
    std::vector<float> pairs(programme.size() + 2 * kLatencyPairs, 0.0f);
    for (std::size_t i = 0; i < programme.size(); ++i)
        pairs[i] = programme[i] * 32768.0f;

    Effect effect;
    double sums[4] = {};
    std::int64_t calls = 0;
    const std::int64_t total = frames + kLatencyPairs;
    for (std::int64_t at = 0; at < total; at += kCallPairs) {
        const std::int32_t count = static_cast<std::int32_t>(std::min<std::int64_t>(kCallPairs, total - at));
        machine.Process(pairs.data() + 2 * at, count, host::kModeInputOutput);
        const std::int64_t outAt = at + count - kLatencyPairs;   // the programme's frame now leaving
        if (outAt < kRate || outAt > frames)
            continue;
        const GainStates& g = object->engine.gains;
        for (int band = 0; band < 3; ++band) {
            double reduction = 0.0;
            for (int side = 0; side < 2; ++side)
                reduction -= 10.0 * std::log10(mix * double(g[2 * band + side].gain) + (1.0 - mix));
            sums[band] += reduction;
            effect.mostReductionDb[band] = std::max(effect.mostReductionDb[band], reduction);
        }
        const double limiter = -10.0 * (std::log10(double(g[6].gain)) + std::log10(double(g[7].gain)));
        sums[3] += limiter;
        effect.mostReductionDb[3] = std::max(effect.mostReductionDb[3], limiter);
        ++calls;
    }
    for (int i = 0; i < 4; ++i)
        effect.meanReductionDb[i] = calls > 0 ? sums[i] / double(calls) : 0.0;

    LoudnessMeter in(2, kRate), out(2, kRate);
    in.Add(programme.data(), frames);
    std::vector<float> output(programme.size());
    for (std::size_t i = 0; i < output.size(); ++i)
        output[i] = pairs[2 * kLatencyPairs + i] * (1.0f / 32768.0f);
    out.Add(output.data(), frames);
    effect.in = in.Figures();
    effect.out = out.Figures();
    return effect;
}

std::string Lines(const char* name, const Effect& e)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "#   %s: %.1f -> %.1f LUFS (%+.1f LU), true peak %+.1f -> %+.1f dBTP\n"
                  "#     gain reduction, mean (most): low %.1f (%.1f) dB, mid %.1f (%.1f) dB, high %.1f (%.1f) dB,"
                  " limiter %.1f (%.1f) dB\n",
                  name, e.in.integratedLufs, e.out.integratedLufs, e.out.integratedLufs - e.in.integratedLufs,
                  e.in.truePeakDbtp, e.out.truePeakDbtp, e.meanReductionDb[0], e.mostReductionDb[0],
                  e.meanReductionDb[1], e.mostReductionDb[1], e.meanReductionDb[2], e.mostReductionDb[2],
                  e.meanReductionDb[3], e.mostReductionDb[3]);
    return text;
}

std::string Block(const std::vector<presets::Setting>& settings)
{
    const std::vector<float> demo = cli::SynthesiseDemo(1);
    const std::vector<float> speech = cli::SynthesiseSpeech(1);
    return std::string(kBlockStart) + " (tools/measure) on 10 s at 48 kHz (gain reduction from 1 s on):\n" +
           Lines("demo programme (korvax demo)", Measure(demo, settings)) +
           Lines("speech-like signal (korvax demo --speech)", Measure(speech, settings));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The file with `block` in place of its old one, or after its opening comment.
std::string WithBlock(const std::string& text, const std::string& block)
{
    std::size_t at = text.find(kBlockStart);
    std::size_t end = at;
    if (at != std::string::npos) {
        for (int line = 0; line < kBlockLines && end != std::string::npos; ++line)
            end = text.find('\n', end) + 1;
    } else {
        at = 0;
        while (at < text.size() && text[at] == '#')
            at = text.find('\n', at) + 1;
        end = at;
    }
    return text.substr(0, at) + block + text.substr(end);
}

int Run(int argc, char** argv)
{
    std::string mode;
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--check" || arg == "--write") {
            mode = arg;
            continue;
        }
        std::string error;
        const auto settings = presets::ReadPresetFile(Description(), arg, error);
        if (!settings) {
            std::fprintf(stderr, "korvax_measure: %s\n", error.c_str());
            return 1;
        }
        const std::string block = Block(*settings);
        const std::string text = ReadFile(arg);
        if (mode == "--check") {
            if (text.find(block) == std::string::npos) {
                std::fprintf(stderr, "korvax_measure: %s does not state what it does now; it should say:\n%s", arg.c_str(),
                             block.c_str());
                status = 1;
            } else {
                std::printf("%s: measurements hold\n", arg.c_str());
            }
        } else if (mode == "--write") {
            std::ofstream(arg, std::ios::binary) << WithBlock(text, block);
            std::printf("%s: measured\n", arg.c_str());
        } else {
            std::printf("%s:\n%s", arg.c_str(), block.c_str());
        }
    }
    return status;
}

} // namespace
} // namespace korvax::measure

int main(int argc, char** argv)
{
    return korvax::measure::Run(argc, argv);
}
