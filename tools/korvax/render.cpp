#include "tools/korvax/render.h"

#include <algorithm>
#include <chrono>
#include <map>

#include <unistd.h>

#include "tools/korvax/audio_files.h"
#include "tools/korvax/interrupt.h"

namespace korvax::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int32_t kModeInputOutput = 3;   // the buffer holds input; write output over it
// Frames per file read and write: large enough that libsndfile's per-call cost
// vanishes, small enough that an interrupt is seen within a fraction of a second.
constexpr std::int64_t kChunkPairs = 32768;
constexpr float kToFile = 1.0f / kMachineFullScale;   // 2^-15, exact
constexpr int kParameterTableEnd = 1 << 16;

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
// rendered as silence and counted: one NaN would otherwise spread through a
// whole crossover block and stay in the gain followers for good.
void ToMachine(const float* frames, std::int64_t count, int channels, float* pairs, LevelMeter& levels,
               std::int64_t& nonFinite)
{
    const std::int64_t samples = count * channels;
    for (std::int64_t i = 0; i < samples; ++i) {
        const float x = frames[i];
        float scaled = x * kMachineFullScale;
        if (!std::isfinite(scaled)) {
            scaled = 0.0f;
            ++nonFinite;
        } else {
            levels.Add(x);
        }
        if (channels == 2) {
            pairs[i] = scaled;
        } else {
            pairs[2 * i] = scaled;
            pairs[2 * i + 1] = scaled;
        }
    }
}

// Machine pairs to file floats. Mono takes the mean of the two channels, which
// are equal when the machine was fed equal channels.
void ToFileFloats(const float* pairs, std::int64_t count, int channels, float* frames, LevelMeter& levels)
{
    for (std::int64_t i = 0; i < count; ++i) {
        if (channels == 2) {
            frames[2 * i] = pairs[2 * i] * kToFile;
            frames[2 * i + 1] = pairs[2 * i + 1] * kToFile;
            levels.Add(frames[2 * i]);
            levels.Add(frames[2 * i + 1]);
        } else {
            const float mean = static_cast<float>((double(pairs[2 * i]) + double(pairs[2 * i + 1])) * 0.5);
            frames[i] = mean * kToFile;
            levels.Add(frames[i]);
        }
    }
}

// Machine pairs to left-justified 32-bit integers of `bits` significant bits,
// rounded to nearest and clipped (and counted) at the format's range. Machine
// full scale 32768 is exactly the 16-bit range, so no asymmetric scaling enters.
void ToFileIntegers(const float* pairs, std::int64_t count, int channels, int bits, int* frames,
                    LevelMeter& levels, std::int64_t& clipped)
{
    const double scale = bits == 16 ? 1.0 : 256.0;
    const double top = bits == 16 ? 32767.0 : 8388607.0;
    const int shift = 32 - bits;
    auto convert = [&](float machineValue) {
        levels.Add(machineValue * kToFile);
        double v = std::nearbyint(double(machineValue) * scale);
        if (std::isnan(v))
            v = 0.0;
        if (v > top || v < -top - 1.0) {
            ++clipped;
            v = v > 0.0 ? top : -top - 1.0;
        }
        return static_cast<int>(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)) << shift);
    };
    for (std::int64_t i = 0; i < count; ++i) {
        if (channels == 2) {
            frames[2 * i] = convert(pairs[2 * i]);
            frames[2 * i + 1] = convert(pairs[2 * i + 1]);
        } else {
            frames[i] = convert(static_cast<float>((double(pairs[2 * i]) + double(pairs[2 * i + 1])) * 0.5));
        }
    }
}

std::vector<std::string> SettingTexts(host::Machine& machine, const std::vector<Setting>& settings)
{
    std::map<int, const Setting*> last;   // in index order, the attribute after them; the last one wins
    for (const Setting& s : settings)
        last[s.parameter->isAttribute ? kParameterTableEnd : s.parameter->index] = &s;
    std::vector<std::string> texts;
    for (const auto& [index, s] : last)
        texts.push_back(s->parameter->name + " = " + std::to_string(s->value) + " (" +
                        MachineLibrary::DescribeValue(machine, *s->parameter, s->value) + ")");
    return texts;
}

std::string Duration(std::int64_t frames, int sampleRate)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.3f s (%lld frames)", double(frames) / sampleRate,
                  static_cast<long long>(frames));
    return text;
}

std::string Level(double dbfs)
{
    char text[32];
    if (std::isinf(dbfs))
        std::snprintf(text, sizeof text, "  -inf");
    else
        std::snprintf(text, sizeof text, "%6.1f", dbfs);
    return text;
}

} // namespace

RenderReport Render(const MachineLibrary& library, const RenderRequest& request)
{
    const Clock::time_point start = Clock::now();
    RenderReport report;
    report.inPath = request.inPath;

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
    report.alignment = IsBypass(request.settings) ? Alignment::kBypass
                       : request.raw              ? Alignment::kRaw
                                                  : Alignment::kCompensated;

    std::unique_ptr<host::Machine> machine = library.NewMachine(input.SampleRate(), request.settings);
    report.settings = SettingTexts(*machine, request.settings);

    // Compensating means feeding the latency in silence after the input and
    // dropping as many pairs from the start of the output. Bypass has no delay.
    const std::int64_t skipPairs = report.alignment == Alignment::kCompensated ? kLatencyPairs : 0;
    const std::int64_t block = request.blockPairs;
    // Whole calls per chunk, so every call but the very last has `block` pairs.
    const std::int64_t chunk = block >= kChunkPairs ? block : (kChunkPairs / block) * block;
    const int channels = input.Channels();
    const int bits = format.encoding == Encoding::kPcm16 ? 16 : 24;

    // Every buffer is allocated here, once; the loop below allocates nothing.
    std::vector<float> fileFrames(static_cast<std::size_t>(chunk * channels));
    std::vector<float> pairs(static_cast<std::size_t>(chunk * 2));
    std::vector<float> outFloats(report.integerOutput ? 0 : static_cast<std::size_t>(chunk * channels));
    std::vector<int> outIntegers(report.integerOutput ? static_cast<std::size_t>(chunk * channels) : 0);

    OutputFile output(report.outPath, format, channels, input.SampleRate(), input.DeclaredFrames());
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
            ToMachine(fileFrames.data(), read, channels, pairs.data(), report.inLevels, report.nonFiniteIn);
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
        for (std::int64_t i = 0; i < n; i += block)
            machine->Process(pairs.data() + 2 * i, static_cast<std::int32_t>(std::min(block, n - i)),
                             kModeInputOutput);
        const Clock::time_point t1 = Clock::now();
        machineTime += t1 - t0;

        // Pairs before skipPairs are the machine's delay line filling up.
        const std::int64_t first = std::clamp<std::int64_t>(skipPairs - fedPairs, 0, n);
        const std::int64_t count = n - first;
        if (report.integerOutput) {
            ToFileIntegers(pairs.data() + 2 * first, count, channels, bits, outIntegers.data(), report.outLevels,
                           report.clipped);
            const Clock::time_point t = Clock::now();
            output.WriteInt(outIntegers.data(), count);
            fileTime += Clock::now() - t;
        } else {
            ToFileFloats(pairs.data() + 2 * first, count, channels, outFloats.data(), report.outLevels);
            const Clock::time_point t = Clock::now();
            output.WriteFloat(outFloats.data(), count);
            fileTime += Clock::now() - t;
        }
        report.outFrames += count;
        fedPairs += n;
        progress.Update(fedPairs);
    }
    progress.Clear();
    ThrowIfInterrupted();

    const Clock::time_point t = Clock::now();
    output.Commit();
    fileTime += Clock::now() - t;

    report.totalSeconds = Seconds(Clock::now() - start);
    report.machineSeconds = Seconds(machineTime);
    report.fileSeconds = Seconds(fileTime);
    return report;
}

void PrintSummary(std::FILE* stream, const RenderReport& r)
{
    const char* const layout = r.channels == 1 ? "mono" : "stereo";
    std::fprintf(stream, "In        %s: %s, %d Hz %s, %s\n", r.inPath.c_str(), Duration(r.inFrames, r.sampleRate).c_str(),
                 r.sampleRate, layout, r.inFormat.c_str());
    std::fprintf(stream, "Out       %s: %s, %s\n", r.outPath.c_str(), Duration(r.outFrames, r.sampleRate).c_str(),
                 r.outFormat.c_str());
    if (r.declaredFrames > r.inFrames)
        std::fprintf(stream, "Warning   IN ended after %lld of the %lld frames its header declares\n",
                     static_cast<long long>(r.inFrames), static_cast<long long>(r.declaredFrames));

    std::string settings;
    for (const std::string& s : r.settings)
        settings += (settings.empty() ? "" : "; ") + s;
    std::fprintf(stream, "Settings  %s\n", settings.empty() ? "start values" : settings.c_str());

    const double latencyMs = 1000.0 * double(kLatencyPairs) / r.sampleRate;
    switch (r.alignment) {
    case Alignment::kCompensated:
        std::fprintf(stream, "Latency   %lld pairs (%.1f ms), compensated: output aligned with input\n",
                     static_cast<long long>(kLatencyPairs), latencyMs);
        break;
    case Alignment::kRaw:
        std::fprintf(stream, "Latency   %lld pairs (%.1f ms), kept (--raw): output delayed by it\n",
                     static_cast<long long>(kLatencyPairs), latencyMs);
        break;
    case Alignment::kBypass:
        std::fprintf(stream, "Latency   none in bypass (%lld pairs otherwise)\n", static_cast<long long>(kLatencyPairs));
        break;
    }
    std::fprintf(stream, "Levels    in:  peak %s dBFS, RMS %s dBFS\n", Level(r.inLevels.PeakDbfs()).c_str(),
                 Level(r.inLevels.RmsDbfs()).c_str());
    std::fprintf(stream, "          out: peak %s dBFS, RMS %s dBFS\n", Level(r.outLevels.PeakDbfs()).c_str(),
                 Level(r.outLevels.RmsDbfs()).c_str());
    if (r.integerOutput)
        std::fprintf(stream, "Clipped   %lld samples\n", static_cast<long long>(r.clipped));
    if (r.nonFiniteIn > 0)
        std::fprintf(stream, "Warning   %lld input samples were NaN, infinite or beyond +-1e34; rendered as silence\n",
                     static_cast<long long>(r.nonFiniteIn));
    const double audioSeconds = double(r.inFrames) / r.sampleRate;
    const double speed = r.totalSeconds > 0.0 ? audioSeconds / r.totalSeconds : 0.0;
    std::fprintf(stream, "Time      %.3f s: machine %.3f s, file I/O %.3f s; %.1fx real time\n", r.totalSeconds,
                 r.machineSeconds, r.fileSeconds, speed);
}

} // namespace korvax::cli
