#include "tools/korvax/render.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>

#include <unistd.h>

#include "dsp/crossover_response.h"
#include "tools/korvax/audio_files.h"
#include "tools/korvax/failure.h"
#include "tools/korvax/interrupt.h"
#include "tools/korvax/plot.h"

namespace korvax::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kModeInputOutput = 3;   // the buffer holds input; write output over it
// Frames per file read and write: large enough that libsndfile's per-call cost
// vanishes, small enough that an interrupt is seen within a fraction of a second.
constexpr std::int64_t kChunkPairs = 32768;
constexpr float kToFile = 1.0f / kMachineFullScale;   // 2^-15, exact

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// A one-line bar on stderr, redrawn at most ten times a second.
class ProgressBar {
public:
    ProgressBar(bool wanted, std::int64_t totalPairs)
        : enabled_(wanted && totalPairs > 0 && ::isatty(STDERR_FILENO) == 1), total_(totalPairs)
    {
    }
    ~ProgressBar() { Clear(); }

    void Update(std::int64_t donePairs)
    {
        if (!enabled_)
            return;
        const Clock::time_point now = Clock::now();
        if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100))
            return;
        lastDraw_ = now;
        drawn_ = true;
        const double fraction = std::min(1.0, double(donePairs) / double(total_));
        constexpr int kWidth = 40;
        char bar[kWidth + 1];
        const int filled = static_cast<int>(fraction * kWidth);
        for (int i = 0; i < kWidth; ++i)
            bar[i] = i < filled ? '#' : '.';
        bar[kWidth] = '\0';
        std::fprintf(stderr, "\rRendering [%s] %3d%%", bar, static_cast<int>(fraction * 100.0));
        std::fflush(stderr);
    }

    void Clear()
    {
        if (drawn_)
            std::fprintf(stderr, "\r%60s\r", "");
        drawn_ = false;
    }

private:
    bool enabled_;
    bool drawn_ = false;
    std::int64_t total_;
    Clock::time_point lastDraw_{};
};

// File frames (one or two channels, ±1.0) to machine pairs (±32768). A mono
// sample feeds both channels. Samples that are not finite at machine scale are
// rendered as silence, counted, and set to 0 in `frames` too, so that what the
// observers see is what the machine got: one NaN would otherwise spread through
// a whole crossover block and stay in the gain followers for good.
void ToMachine(float* frames, std::int64_t count, int channels, float* pairs, std::int64_t& nonFinite)
{
    const std::int64_t samples = count * channels;
    for (std::int64_t i = 0; i < samples; ++i) {
        float scaled = frames[i] * kMachineFullScale;
        if (!std::isfinite(scaled)) {
            scaled = 0.0f;
            frames[i] = 0.0f;
            ++nonFinite;
        }
        if (channels == 2) {
            pairs[i] = scaled;
        } else {
            pairs[2 * i] = scaled;
            pairs[2 * i + 1] = scaled;
        }
    }
}

// The mean of a pair's two channels, for mono output: they are equal when the
// machine was fed equal channels, up to its width stage's rounding.
float MonoOf(const float* pair)
{
    return static_cast<float>((double(pair[0]) + double(pair[1])) * 0.5);
}

// Machine pairs to file floats.
void ToFileFloats(const float* pairs, std::int64_t count, int channels, float* frames)
{
    for (std::int64_t i = 0; i < count; ++i) {
        if (channels == 2) {
            frames[2 * i] = pairs[2 * i] * kToFile;
            frames[2 * i + 1] = pairs[2 * i + 1] * kToFile;
        } else {
            frames[i] = MonoOf(pairs + 2 * i) * kToFile;
        }
    }
}

// Triangular dither of ±1 step of the last bit: the difference of two uniform
// numbers, from the raw mt19937 output (which the standard fixes bit for bit),
// with a fixed seed, so the same render gives the same file.
class TpdfDither {
public:
    double Next()
    {
        return (double(engine_()) - double(engine_())) * (1.0 / 4294967296.0);
    }

private:
    std::mt19937 engine_{0x4B6F7278u};
};

// Machine pairs to left-justified 32-bit integers of `bits` significant bits,
// rounded to nearest (after the dither, when there is one) and clipped (and
// counted) at the format's range; `written` gets the floats they stand for.
// Machine full scale 32768 is exactly the 16-bit range, so no asymmetric
// scaling enters.
void ToFileIntegers(const float* pairs, std::int64_t count, int channels, int bits, int* frames, float* written,
                    std::int64_t& clipped, TpdfDither* dither)
{
    const double scale = bits == 16 ? 1.0 : 256.0;
    const double top = bits == 16 ? 32767.0 : 8388607.0;
    const int shift = 32 - bits;
    constexpr float kFromInteger = 1.0f / 2147483648.0f;   // 2^-31: exact for every 16- and 24-bit sample
    auto convert = [&](float machineValue, std::int64_t at) {
        double v = double(machineValue) * scale;
        if (dither != nullptr)
            v += dither->Next();
        v = std::nearbyint(v);
        if (std::isnan(v))
            v = 0.0;
        if (v > top || v < -top - 1.0) {
            ++clipped;
            v = v > 0.0 ? top : -top - 1.0;
        }
        const int sample = static_cast<int>(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)) << shift);
        frames[at] = sample;
        written[at] = float(sample) * kFromInteger;
    };
    for (std::int64_t i = 0; i < count; ++i) {
        if (channels == 2) {
            convert(pairs[2 * i], 2 * i);
            convert(pairs[2 * i + 1], 2 * i + 1);
        } else {
            convert(MonoOf(pairs + 2 * i), i);
        }
    }
}

// The levels and loudness of IN and OUT, as a render's first observer.
class Meters : public RenderObserver {
public:
    Meters(int channels, int sampleRate) : in_(channels, sampleRate), out_(channels, sampleRate) {}

    void Input(const float* frames, std::int64_t count, int) override { in_.Add(frames, count); }
    void Output(const float* frames, std::int64_t count, int) override { out_.Add(frames, count); }
    void Finish(RenderReport& report)
    {
        in_.Finish(report.inLevels, report.inLoudness);
        out_.Finish(report.outLevels, report.outLoudness);
    }

private:
    BackgroundMeter in_;
    BackgroundMeter out_;
};

std::vector<SettingLine> SettingLines(const MachineLibrary& library, host::Machine& machine,
                                      const std::vector<Setting>& settings)
{
    const std::vector<int> values = FinalValues(library.Parameters(), settings);
    std::vector<SettingLine> lines;
    for (const ParameterInfo& p : library.Parameters()) {
        SettingLine line;
        line.parameter = &p;
        line.value = values[static_cast<std::size_t>(p.control)];
        line.text = MachineLibrary::DescribeValue(machine, p, line.value);
        line.changed = line.value != p.startValue;
        for (const Setting& s : settings) {
            if (s.parameter != &p)
                continue;
            line.named = line.named || s.named;
            line.asked = s.asked;   // the last one's, as its value is
        }
        lines.push_back(line);
    }
    return lines;
}

// The largest magnitude of `count` interleaved pairs at machine scale, as a
// fraction of full scale.
float PairPeak(const float* pairs, std::int64_t count)
{
    float peak = 0.0f;
    for (std::int64_t i = 0; i < 2 * count; ++i) {
        const float magnitude = std::fabs(pairs[i]);
        peak = magnitude > peak ? magnitude : peak;
    }
    return peak * kToFile;
}

std::string BaseName(const std::string& path)
{
    return path == "-" ? "(standard stream)" : std::filesystem::path(path).filename().string();
}

// What the picture says of the settings: the rate, the crossover, and every
// control that differs from the start values.
PlotLabels PictureLabels(const RenderReport& report, const CrossoverResponse& bands)
{
    PlotLabels labels;
    labels.title = BaseName(report.inPath) + " \u2192 " + BaseName(report.outPath);
    char crossover[160];
    std::snprintf(crossover, sizeof crossover, "%d Hz; splits at %.0f Hz and %.0f Hz", report.sampleRate,
                  double(bands.lowSplitHz), double(bands.highSplitHz));
    std::string changed;
    for (const SettingLine& line : report.settings)
        if (line.changed)
            changed += (changed.empty() ? "" : ", ") + line.parameter->name + " " + line.text;
    labels.subtitle = std::string(crossover) + "; " + (changed.empty() ? "start values" : changed);
    constexpr std::size_t kLongest = 150;
    if (labels.subtitle.size() > kLongest)
        labels.subtitle = labels.subtitle.substr(0, kLongest - 3) + "...";
    return labels;
}

// The step a render used for parameter `index`.
float StepUsed(const RenderReport& report, int index)
{
    for (const SettingLine& line : report.settings)
        if (!line.parameter->isAttribute && line.parameter->index == index)
            return float(line.value);
    return 0.0f;
}

void WriteMeters(const RenderRequest& request, RenderReport& report)
{
    if (!request.metersPath.empty())
        WriteTextFile(request.metersPath, MeterCsv(report.meters));
    if (!request.plotPath.empty()) {
        const CrossoverResponse bands =
            CrossoverGains(StepUsed(report, 1), StepUsed(report, 2), StepUsed(report, 3), report.sampleRate);
        std::vector<MeterFrame> input, output;
        PictureSeries(report.meters, input, output);
        const double seconds = double(report.alignment == Alignment::kCompensated ? report.inFrames
                                                                                   : report.outFrames) /
                               double(report.sampleRate);
        WriteTextFile(request.plotPath, DrawRenderPlot(PlotFormat(request.plotPath), PictureLabels(report, bands),
                                                       seconds, input, output, bands, report.sampleRate));
    }
}

} // namespace

RenderReport Render(const MachineLibrary& library, const RenderRequest& request)
{
    const Clock::time_point start = Clock::now();
    RenderReport report;
    report.inPath = request.inPath;
    report.presets = request.presets;

    InputFile input(request.inPath);
    const OutputFormat format = ChooseOutputFormat(request.format, request.outPath);
    report.outPath = ResolveOutputPath(request.outPath);
    RefuseSameFile(request.inPath, report.outPath);
    report.inFormat = input.FormatText();
    report.outFormat = format.text;
    report.sampleRate = input.SampleRate();
    report.channels = input.Channels();
    report.declaredFrames = input.DeclaredFrames();
    report.integerOutput = format.encoding != Encoding::kFloat32;
    report.dithered = request.dither && report.integerOutput;
    report.alignment = IsBypass(request.settings) ? Alignment::kBypass
                       : request.raw              ? Alignment::kRaw
                                                  : Alignment::kCompensated;

    std::unique_ptr<host::Machine> machine = library.NewMachine(input.SampleRate(), request.settings);
    report.settings = SettingLines(library, *machine, request.settings);

    // Compensating means feeding the latency in silence after the input and
    // dropping as many pairs from the start of the output. Bypass has no delay.
    const std::int64_t skipPairs = report.alignment == Alignment::kCompensated ? kLatencyPairs : 0;
    const bool metering = !request.metersPath.empty() || !request.plotPath.empty();
    // Their folders must be there before the render, not only after it.
    for (const std::string& path : {request.metersPath, request.plotPath}) {
        if (path.empty() || path == "-")
            continue;
        const std::filesystem::path folder = std::filesystem::path(path).parent_path();
        std::error_code error;
        if (!folder.empty() && !std::filesystem::is_directory(folder, error))
            throw Failure("cannot write '" + path + "': there is no folder '" + folder.string() + "'");
    }
    if (metering && !machine->SwitchMeters(true))
        throw Failure("'" + library.Path() + "' keeps no meters, which --meters and --plot need (the Linux "
                      "machine library has them)");
    report.meters.sampleRate = report.sampleRate;
    report.meters.outputShift = skipPairs;
    const std::int64_t block = request.blockPairs;
    // Whole calls per chunk, so every call but the very last has `block` pairs.
    const std::int64_t chunk = block >= kChunkPairs ? block : (kChunkPairs / block) * block;
    const int channels = input.Channels();
    const int bits = format.encoding == Encoding::kPcm16 ? 16 : 24;

    Meters meters(channels, input.SampleRate());
    std::vector<RenderObserver*> observers = {&meters};
    observers.insert(observers.end(), request.observers.begin(), request.observers.end());
    TpdfDither dither;

    // Every buffer is allocated here, once; the loop below allocates nothing.
    std::vector<float> fileFrames(static_cast<std::size_t>(chunk * channels));
    std::vector<float> pairs(static_cast<std::size_t>(chunk * 2));
    std::vector<float> outFloats(static_cast<std::size_t>(chunk * channels));
    std::vector<int> outIntegers(report.integerOutput ? static_cast<std::size_t>(chunk * channels) : 0);

    const std::vector<std::pair<int, std::string>> tags = input.Tags();
    OutputFile output(report.outPath, format, channels, input.SampleRate(), input.DeclaredFrames(), tags);
    report.tagsCopied = static_cast<int>(tags.size());
    const bool knownLength = report.declaredFrames > 0 && report.declaredFrames < (std::int64_t(1) << 50);
    ProgressBar progress(request.progress && knownLength, report.declaredFrames + skipPairs);

    Clock::duration machineTime{};
    Clock::duration fileTime{};
    std::int64_t fedPairs = 0;
    std::int64_t paddingLeft = skipPairs;
    bool inputDone = false;
    for (;;) {
        ThrowIfInterrupted();
        std::int64_t n = 0;
        if (!inputDone) {
            const Clock::time_point t = Clock::now();
            const std::int64_t read = input.Read(fileFrames.data(), chunk);
            fileTime += Clock::now() - t;
            inputDone = read < chunk;
            ToMachine(fileFrames.data(), read, channels, pairs.data(), report.nonFiniteIn);
            for (RenderObserver* observer : observers)
                observer->Input(fileFrames.data(), read, channels);
            report.inFrames += read;
            n = read;
        }
        if (inputDone && paddingLeft > 0 && n < chunk) {
            const std::int64_t padding = std::min(chunk - n, paddingLeft);
            std::fill(pairs.begin() + 2 * n, pairs.begin() + 2 * (n + padding), 0.0f);
            n += padding;
            paddingLeft -= padding;
        }
        if (n == 0)
            break;

        const Clock::time_point t0 = Clock::now();
        for (std::int64_t i = 0; i < n; i += block) {
            float* const call = pairs.data() + 2 * i;
            const auto callPairs = static_cast<std::int32_t>(std::min(block, n - i));
            if (!metering) {
                machine->Process(call, callPairs, kModeInputOutput);
                continue;
            }
            CallMeters m;
            m.firstPair = fedPairs + i;
            m.pairs = callPairs;
            m.inPeak = PairPeak(call, callPairs);
            machine->Process(call, callPairs, kModeInputOutput);
            m.outPeak = PairPeak(call, callPairs);
            machine->TakeMeters(m.lowest);
            report.meters.calls.push_back(m);
        }
        const Clock::time_point t1 = Clock::now();
        machineTime += t1 - t0;

        // Pairs before skipPairs are the machine's delay line filling up.
        const std::int64_t first = std::clamp<std::int64_t>(skipPairs - fedPairs, 0, n);
        const std::int64_t count = n - first;
        if (report.integerOutput) {
            ToFileIntegers(pairs.data() + 2 * first, count, channels, bits, outIntegers.data(), outFloats.data(),
                           report.clipped, report.dithered ? &dither : nullptr);
            const Clock::time_point t = Clock::now();
            output.WriteInt(outIntegers.data(), count);
            fileTime += Clock::now() - t;
        } else {
            ToFileFloats(pairs.data() + 2 * first, count, channels, outFloats.data());
            const Clock::time_point t = Clock::now();
            output.WriteFloat(outFloats.data(), count);
            fileTime += Clock::now() - t;
        }
        for (RenderObserver* observer : observers)
            observer->Output(outFloats.data(), count, channels);
        report.outFrames += count;
        fedPairs += n;
        progress.Update(fedPairs);
    }
    progress.Clear();
    ThrowIfInterrupted();

    const Clock::time_point t = Clock::now();
    output.Commit();
    fileTime += Clock::now() - t;

    meters.Finish(report);
    report.meters.inputPairs = report.inFrames;
    if (metering) {
        // OUT is in place: a failure here leaves it, and says so.
        const Clock::time_point m = Clock::now();
        try {
            WriteMeters(request, report);
        } catch (const Interrupted&) {
            throw;
        } catch (const Failure& failure) {
            throw Failure(std::string(failure.what()) + " (OUT was written)");
        }
        report.meterSeconds = Seconds(Clock::now() - m);
    }
    report.totalSeconds = Seconds(Clock::now() - start);
    report.machineSeconds = Seconds(machineTime);
    report.fileSeconds = Seconds(fileTime);
    return report;
}

} // namespace korvax::cli
