#include "tools/korvax/summary.h"

#include <cmath>

namespace korvax::cli {
namespace {

std::string Format(const char* format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Duration(std::int64_t frames, int sampleRate)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.3f s (%lld frames)", sampleRate > 0 ? double(frames) / sampleRate : 0.0,
                  static_cast<long long>(frames));
    return text;
}

// A level in decibels with one decimal, at least `width` characters wide,
// with a '+' on positive values when `sign` is set; "-inf" for silence.
std::string Level(double db, int width = 6, bool sign = false)
{
    char text[64];
    if (std::isnan(db))
        std::snprintf(text, sizeof text, "%*s", width, "n/a");
    else if (std::isinf(db) && db < 0)
        std::snprintf(text, sizeof text, "%*s", width, "-inf");
    else
        std::snprintf(text, sizeof text, sign ? "%+*.1f" : "%*.1f", width, db);
    return text;
}

std::string LoudnessText(const LoudnessFigures& f)
{
    return Level(f.integratedLufs) + " LUFS, range " + Level(f.rangeLu, 4) + " LU, true peak " +
           Level(f.truePeakDbtp, 6, true) + " dBTP";
}

std::string SettingText(const SettingLine& line)
{
    std::string text = line.parameter->name + " = " + std::to_string(line.value);
    std::string notes = line.text == std::to_string(line.value) ? "" : line.text;   // a bare step says no more
    if (!line.asked.empty())
        notes += (notes.empty() ? "asked " : "; asked ") + line.asked;
    return notes.empty() ? text : text + " (" + notes + ")";
}

// ---- JSON ----------------------------------------------------------------------

std::string Quote(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

// A number with `decimals` places; null where JSON has no number (silence's -inf).
std::string Number(double value, int decimals = 2)
{
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

class Object {
public:
    Object& Add(const std::string& key, const std::string& json)
    {
        text_ += (text_.empty() ? "" : ",") + Quote(key) + ":" + json;
        return *this;
    }
    Object& Text(const std::string& key, const std::string& value) { return Add(key, Quote(value)); }
    Object& Integer(const std::string& key, long long value) { return Add(key, std::to_string(value)); }
    Object& Real(const std::string& key, double value, int decimals = 2) { return Add(key, Number(value, decimals)); }
    Object& Bool(const std::string& key, bool value) { return Add(key, value ? "true" : "false"); }
    std::string Json() const { return "{" + text_ + "}"; }

private:
    std::string text_;
};

std::string Array(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ",") + item;
    return "[" + text + "]";
}

void AddFigures(Object& object, const LevelMeter& levels, const LoudnessFigures& loudness)
{
    object.Real("peak_dbfs", levels.PeakDbfs())
        .Real("rms_dbfs", levels.RmsDbfs())
        .Real("integrated_lufs", loudness.integratedLufs)
        .Real("loudness_range_lu", loudness.rangeLu)
        .Real("true_peak_dbtp", loudness.truePeakDbtp);
}

const char* AlignmentWord(Alignment alignment)
{
    switch (alignment) {
    case Alignment::kCompensated: return "compensated";
    case Alignment::kRaw: return "raw";
    case Alignment::kBypass: return "bypass";
    }
    return "";
}

} // namespace

void PrintSummary(std::FILE* stream, const RenderReport& r)
{
    const char* const layout = r.channels == 1 ? "mono" : "stereo";
    std::fprintf(stream, "In        %s: %s, %d Hz %s, %s\n", r.inPath.c_str(), Duration(r.inFrames, r.sampleRate).c_str(),
                 r.sampleRate, layout, r.inFormat.c_str());
    std::string tags;
    if (r.tagsCopied > 0)
        tags = ", " + std::to_string(r.tagsCopied) + (r.tagsCopied == 1 ? " tag" : " tags") + " from IN";
    std::fprintf(stream, "Out       %s: %s, %s%s\n", r.outPath.c_str(), Duration(r.outFrames, r.sampleRate).c_str(),
                 r.outFormat.c_str(), tags.c_str());
    if (r.declaredFrames > r.inFrames && r.declaredFrames < (std::int64_t(1) << 40))
        std::fprintf(stream, "Warning   IN ended after %lld of the %lld frames its header declares\n",
                     static_cast<long long>(r.inFrames), static_cast<long long>(r.declaredFrames));

    for (std::size_t i = 0; i < r.presets.size(); ++i)
        std::fprintf(stream, "%s%s\n", i == 0 ? "Preset    " : "          ", r.presets[i].c_str());
    // What differs from the start values, and whatever was named.
    bool any = false;
    for (const SettingLine& line : r.settings) {
        if (!line.named && !line.changed)
            continue;
        std::fprintf(stream, "%s%s\n", any ? "          " : "Settings  ", SettingText(line).c_str());
        any = true;
    }
    if (!any)
        std::fprintf(stream, "Settings  start values\n");

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
    std::fprintf(stream, "Loudness  in:  %s\n", LoudnessText(r.inLoudness).c_str());
    std::string change;
    if (std::isfinite(r.inLoudness.integratedLufs) && std::isfinite(r.outLoudness.integratedLufs))
        change = "; " + Format("%+.1f", r.outLoudness.integratedLufs - r.inLoudness.integratedLufs) + " LU";
    std::fprintf(stream, "          out: %s%s\n", LoudnessText(r.outLoudness).c_str(), change.c_str());
    std::fprintf(stream, "Levels    in:  peak %s dBFS, RMS %s dBFS\n", Level(r.inLevels.PeakDbfs()).c_str(),
                 Level(r.inLevels.RmsDbfs()).c_str());
    std::fprintf(stream, "          out: peak %s dBFS, RMS %s dBFS\n", Level(r.outLevels.PeakDbfs()).c_str(),
                 Level(r.outLevels.RmsDbfs()).c_str());
    if (r.outLoudness.truePeakDbtp > 0.0)
        std::fprintf(stream, "Warning   OUT's true peak is above full scale: a converter or an encoder may clip it "
                             "(a lower \"Limit: Thresh.\", e.g. --set limit-thresh=-1.5dB, makes room)\n");
    if (r.integerOutput) {
        std::fprintf(stream, "Clipped   %lld samples\n", static_cast<long long>(r.clipped));
        std::fprintf(stream, "Dither    %s\n", r.dithered ? "TPDF, one step of the last bit either way" : "none");
    }
    if (r.nonFiniteIn > 0)
        std::fprintf(stream, "Warning   %lld input samples were NaN, infinite or beyond +-1e34; rendered as silence\n",
                     static_cast<long long>(r.nonFiniteIn));
    const double audioSeconds = double(r.inFrames) / r.sampleRate;
    const double speed = r.totalSeconds > 0.0 ? audioSeconds / r.totalSeconds : 0.0;
    std::fprintf(stream, "Time      %.3f s: machine %.3f s, file I/O %.3f s; %.1fx real time\n", r.totalSeconds,
                 r.machineSeconds, r.fileSeconds, speed);
}

void PrintBatchLine(std::FILE* stream, const BatchItem& item)
{
    if (!item.done) {
        std::fprintf(stream, "failed  %s: %s\n", item.inPath.c_str(), item.error.c_str());
        return;
    }
    const RenderReport& r = item.report;
    std::string change = "";
    std::fprintf(stream, "ok      %s -> %s: %s -> %s LUFS, true peak %s dBTP, %.2f s%s\n", r.inPath.c_str(),
                 r.outPath.c_str(), Level(r.inLoudness.integratedLufs, 0).c_str(),
                 Level(r.outLoudness.integratedLufs, 0).c_str(),
                 Level(r.outLoudness.truePeakDbtp, 0, true).c_str(), r.totalSeconds,
                 r.integerOutput && r.clipped > 0 ? (", " + std::to_string(r.clipped) + " samples clipped").c_str()
                                                  : change.c_str());
}

std::string SummaryJson(const RenderReport& r)
{
    Object in;
    in.Text("path", r.inPath)
        .Text("format", r.inFormat)
        .Integer("sample_rate", r.sampleRate)
        .Integer("channels", r.channels)
        .Integer("frames", r.inFrames)
        .Real("seconds", r.sampleRate > 0 ? double(r.inFrames) / r.sampleRate : 0.0, 6)
        .Integer("non_finite_samples", r.nonFiniteIn);
    AddFigures(in, r.inLevels, r.inLoudness);

    Object out;
    out.Text("path", r.outPath)
        .Text("format", r.outFormat)
        .Integer("frames", r.outFrames)
        .Real("seconds", r.sampleRate > 0 ? double(r.outFrames) / r.sampleRate : 0.0, 6)
        .Integer("tags_copied", r.tagsCopied);
    AddFigures(out, r.outLevels, r.outLoudness);
    if (r.integerOutput)
        out.Integer("clipped_samples", r.clipped).Bool("dither", r.dithered);

    std::vector<std::string> presets, settings;
    for (const std::string& p : r.presets)
        presets.push_back(Quote(p));
    for (const SettingLine& line : r.settings) {
        Object s;
        s.Text("name", line.parameter->name).Text("slug", line.parameter->slug).Text("symbol", line.parameter->symbol);
        if (!line.parameter->isAttribute)
            s.Integer("index", line.parameter->index);
        s.Integer("value", line.value).Text("text", line.text);
        if (!line.asked.empty())
            s.Text("asked", line.asked);
        s.Bool("named", line.named).Bool("changed", line.changed);
        settings.push_back(s.Json());
    }

    const double audioSeconds = r.sampleRate > 0 ? double(r.inFrames) / r.sampleRate : 0.0;
    Object time;
    time.Real("total_s", r.totalSeconds, 3)
        .Real("machine_s", r.machineSeconds, 3)
        .Real("file_io_s", r.fileSeconds, 3)
        .Real("real_time_factor", r.totalSeconds > 0.0 ? audioSeconds / r.totalSeconds : 0.0, 1);

    Object summary;
    summary.Add("in", in.Json())
        .Add("out", out.Json())
        .Add("presets", Array(presets))
        .Add("settings", Array(settings))
        .Integer("latency_pairs", kLatencyPairs)
        .Text("alignment", AlignmentWord(r.alignment))
        .Real("loudness_change_lu", r.outLoudness.integratedLufs - r.inLoudness.integratedLufs)
        .Add("time", time.Json());
    return summary.Json();
}

std::string BatchJson(const std::vector<BatchItem>& items, double wallSeconds, int jobs)
{
    std::vector<std::string> files;
    int failed = 0;
    double audioSeconds = 0.0;
    for (const BatchItem& item : items) {
        if (item.done) {
            files.push_back(SummaryJson(item.report));
            audioSeconds += double(item.report.inFrames) / item.report.sampleRate;
        } else {
            ++failed;
            files.push_back(Object().Text("in", item.inPath).Text("out", item.outPath).Text("error", item.error).Json());
        }
    }
    Object total;
    total.Integer("files", static_cast<long long>(items.size()))
        .Integer("failed", failed)
        .Integer("jobs", jobs)
        .Real("audio_s", audioSeconds, 3)
        .Real("wall_s", wallSeconds, 3)
        .Real("real_time_factor", wallSeconds > 0.0 ? audioSeconds / wallSeconds : 0.0, 1);
    return Object().Add("files", Array(files)).Add("total", total.Json()).Json();
}

} // namespace korvax::cli
