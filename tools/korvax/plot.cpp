#include "tools/korvax/plot.h"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/korvax/failure.h"

namespace korvax::cli {
namespace {

namespace fs = std::filesystem;

struct Colour {
    double r, g, b;
};
constexpr Colour kBandColours[4] = {
    {0.80, 0.27, 0.18},   // low
    {0.22, 0.58, 0.24},   // mid
    {0.18, 0.42, 0.82},   // high
    {0.15, 0.15, 0.15},   // limiter
};
constexpr const char* kBandNames[4] = {"low band", "mid band", "high band", "limiter"};
constexpr Colour kInputColour = {0.62, 0.62, 0.62};
constexpr Colour kOutputColour = {0.10, 0.33, 0.70};
constexpr Colour kGridColour = {0.88, 0.88, 0.88};
constexpr Colour kInkColour = {0.12, 0.12, 0.12};
constexpr const char* kFont = "DejaVu Sans";

// A number as a tick label, whatever the C locale.
std::string Number(double value, int decimals)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    std::string text(buffer, result.ptr);
    return text == "-0" ? "0" : text;
}

std::string HertzText(double hz)
{
    if (hz >= 1000.0)
        return Number(hz / 1000.0, hz >= 10000.0 || std::fmod(hz, 1000.0) == 0.0 ? 0 : 1) + "k";
    return Number(hz, 0);
}

cairo_status_t AppendBytes(void* closure, const unsigned char* data, unsigned int length)
{
    try {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
    } catch (...) {
        return CAIRO_STATUS_NO_MEMORY;
    }
}

// One picture, drawn into memory: Finish returns the file's bytes.
class Picture {
public:
    Picture(const std::string& format, int width, int height) : format_(format)
    {
        if (format_ == "png")
            surface_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
        else if (format_ == "svg")
            surface_ = cairo_svg_surface_create_for_stream(AppendBytes, &bytes_, width, height);
        else if (format_ == "pdf")
            surface_ = cairo_pdf_surface_create_for_stream(AppendBytes, &bytes_, width, height);
        else
            throw Failure("pictures are PNG, SVG or PDF, not '" + format + "'");
        if (format_ == "pdf") {
            // Fixed metadata: the same render gives the same bytes.
            cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATOR, "korvax");
            cairo_pdf_surface_set_metadata(surface_, CAIRO_PDF_METADATA_CREATE_DATE, "2000-01-01T00:00:00Z");
        }
        cr_ = cairo_create(surface_);
        if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS || cairo_status(cr_) != CAIRO_STATUS_SUCCESS) {
            const std::string reason = cairo_status_to_string(cairo_surface_status(surface_));
            Release();
            throw Failure("cannot draw the picture: " + reason);
        }
        cairo_set_source_rgb(cr_, 1, 1, 1);
        cairo_paint(cr_);
        cairo_select_font_face(cr_, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    }
    ~Picture() { Release(); }
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    cairo_t* Context() const { return cr_; }

    std::string Finish()
    {
        cairo_status_t status = cairo_status(cr_);
        cairo_surface_flush(surface_);
        if (status == CAIRO_STATUS_SUCCESS && format_ == "png")
            status = cairo_surface_write_to_png_stream(surface_, AppendBytes, &bytes_);
        cairo_destroy(cr_);
        cr_ = nullptr;
        cairo_surface_finish(surface_);   // SVG and PDF write their ends here
        if (status == CAIRO_STATUS_SUCCESS)
            status = cairo_surface_status(surface_);
        cairo_surface_destroy(surface_);
        surface_ = nullptr;
        if (status != CAIRO_STATUS_SUCCESS)
            throw Failure(std::string("cannot draw the picture: ") + cairo_status_to_string(status));
        return std::move(bytes_);
    }

private:
    void Release()
    {
        if (cr_ != nullptr)
            cairo_destroy(cr_);
        if (surface_ != nullptr) {
            cairo_surface_finish(surface_);
            cairo_surface_destroy(surface_);
        }
        cr_ = nullptr;
        surface_ = nullptr;
    }

    std::string format_;
    std::string bytes_;
    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
};

void SetColour(cairo_t* cr, const Colour& c, double alpha = 1.0)
{
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

void Text(cairo_t* cr, double x, double y, const std::string& text, double size, double alignX = 0.0,
          double alignY = 0.0)
{
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    cairo_move_to(cr, x - alignX * extents.x_advance - extents.x_bearing * 0.0,
                  y + alignY * size * 0.72);
    cairo_show_text(cr, text.c_str());
}

// One plotting area with its data ranges; maps data to the page.
struct Panel {
    double left, top, width, height;
    double xMin, xMax, yMin, yMax;
    bool logX = false;

    double X(double x) const
    {
        const double t = logX ? (std::log(x) - std::log(xMin)) / (std::log(xMax) - std::log(xMin))
                              : (x - xMin) / (xMax - xMin);
        return left + t * width;
    }
    double Y(double y) const
    {
        const double clamped = std::clamp(y, yMin, yMax);
        return top + (yMax - clamped) / (yMax - yMin) * height;
    }
};

// Frame, grid, ticks with labels and the axis titles.
void DrawAxes(cairo_t* cr, const Panel& p, const std::vector<std::pair<double, std::string>>& xTicks,
              const std::vector<std::pair<double, std::string>>& yTicks, const std::string& xTitle,
              const std::string& yTitle, const std::string& heading)
{
    cairo_set_line_width(cr, 1.0);
    SetColour(cr, kGridColour);
    for (const auto& [x, label] : xTicks) {
        cairo_move_to(cr, p.X(x), p.top);
        cairo_line_to(cr, p.X(x), p.top + p.height);
    }
    for (const auto& [y, label] : yTicks) {
        cairo_move_to(cr, p.left, p.Y(y));
        cairo_line_to(cr, p.left + p.width, p.Y(y));
    }
    cairo_stroke(cr);

    SetColour(cr, kInkColour);
    cairo_rectangle(cr, p.left, p.top, p.width, p.height);
    cairo_stroke(cr);
    for (const auto& [x, label] : xTicks) {
        cairo_move_to(cr, p.X(x), p.top + p.height);
        cairo_line_to(cr, p.X(x), p.top + p.height + 5);
        cairo_stroke(cr);
        Text(cr, p.X(x), p.top + p.height + 19, label, 12, 0.5);
    }
    for (const auto& [y, label] : yTicks) {
        cairo_move_to(cr, p.left - 5, p.Y(y));
        cairo_line_to(cr, p.left, p.Y(y));
        cairo_stroke(cr);
        Text(cr, p.left - 8, p.Y(y), label, 12, 1.0, 0.5);
    }
    Text(cr, p.left + p.width / 2, p.top + p.height + 38, xTitle, 13, 0.5);
    cairo_save(cr);
    cairo_translate(cr, p.left - 52, p.top + p.height / 2);
    cairo_rotate(cr, -M_PI / 2);
    Text(cr, 0, 0, yTitle, 13, 0.5);
    cairo_restore(cr);
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    Text(cr, p.left, p.top - 10, heading, 14);
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
}

// Legend entries in a row above the panel's top right, level with its heading,
// so that they hide no data.
void DrawLegend(cairo_t* cr, const Panel& p, const std::vector<std::pair<Colour, std::string>>& entries)
{
    cairo_set_font_size(cr, 12);
    const double baseline = p.top - 10;
    double x = p.left + p.width;
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        cairo_text_extents_t extents;
        cairo_text_extents(cr, it->second.c_str(), &extents);
        x -= extents.x_advance;
        SetColour(cr, kInkColour);
        Text(cr, x, baseline, it->second, 12, 0.0, 0.0);
        x -= 24;
        SetColour(cr, it->first);
        cairo_set_line_width(cr, 2.5);
        cairo_move_to(cr, x, baseline - 4);
        cairo_line_to(cr, x + 18, baseline - 4);
        cairo_stroke(cr);
        x -= 16;
    }
}

// Ticks at 1, 2 or 5 times a power of ten, about `count` of them.
std::vector<std::pair<double, std::string>> LinearTicks(double from, double to, int count, const char* unit = "")
{
    const double raw = (to - from) / std::max(count, 1);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    double step = power;
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw) {
            step = m * power;
            break;
        }
    const int decimals = step >= 1.0 ? 0 : int(std::ceil(-std::log10(step)));
    std::vector<std::pair<double, std::string>> ticks;
    for (double t = std::ceil(from / step) * step; t <= to + step * 1e-9; t += step)
        ticks.emplace_back(t, Number(t, decimals) + unit);
    return ticks;
}

std::vector<std::pair<double, std::string>> DecibelTicks(double from, double to)
{
    const double span = to - from;
    const double step = span > 60 ? 12 : span > 24 ? 6 : span > 9 ? 3 : 1;
    std::vector<std::pair<double, std::string>> ticks;
    for (double t = std::ceil(from / step) * step; t <= to + 1e-9; t += step)
        ticks.emplace_back(t, Number(t, 0));
    return ticks;
}

std::vector<std::pair<double, std::string>> HertzTicks(double from, double to)
{
    std::vector<std::pair<double, std::string>> ticks;
    for (double decade = 10.0; decade <= 100000.0; decade *= 10.0)
        for (double m : {1.0, 2.0, 5.0})
            if (m * decade >= from && m * decade <= to)
                ticks.emplace_back(m * decade, HertzText(m * decade));
    return ticks;
}

double ToDecibels(double gain)
{
    return gain > 0.0 ? 20.0 * std::log10(gain) : -1000.0;
}

// Each band's response, the sum of the three, and the split frequencies.
void DrawBands(cairo_t* cr, const Panel& p, const CrossoverResponse& bands)
{
    cairo_save(cr);
    cairo_rectangle(cr, p.left, p.top, p.width, p.height);
    cairo_clip(cr);
    for (const float split : {bands.lowSplitHz, bands.highSplitHz}) {
        SetColour(cr, kInkColour, 0.6);
        cairo_set_line_width(cr, 1.0);
        const double dashes[] = {5.0, 4.0};
        cairo_set_dash(cr, dashes, 2, 0);
        cairo_move_to(cr, p.X(split), p.top);
        cairo_line_to(cr, p.X(split), p.top + p.height);
        cairo_stroke(cr);
        cairo_set_dash(cr, nullptr, 0, 0);
    }
    // The sum first, thin, so that the bands draw over it.
    SetColour(cr, kInkColour, 0.45);
    cairo_set_line_width(cr, 1.2);
    bool started = false;
    for (std::size_t i = 0; i < bands.hz.size(); ++i) {
        if (bands.hz[i] < p.xMin || bands.hz[i] > p.xMax)
            continue;
        const double sum = double(bands.gain[0][i]) + bands.gain[1][i] + bands.gain[2][i];
        const double y = p.Y(ToDecibels(sum));
        started ? cairo_line_to(cr, p.X(bands.hz[i]), y) : cairo_move_to(cr, p.X(bands.hz[i]), y);
        started = true;
    }
    cairo_stroke(cr);
    // Each band; where its gain falls below the panel's floor the line breaks
    // off rather than running along the floor.
    for (int band = 0; band < 3; ++band) {
        SetColour(cr, kBandColours[band]);
        cairo_set_line_width(cr, 2.2);
        started = false;
        for (std::size_t i = 0; i < bands.hz.size(); ++i) {
            if (bands.hz[i] < p.xMin || bands.hz[i] > p.xMax)
                continue;
            const double db = ToDecibels(bands.gain[band][i]);
            const bool visible = db >= p.yMin;
            const bool nextVisible = i + 1 < bands.hz.size() && ToDecibels(bands.gain[band][i + 1]) >= p.yMin;
            if (!visible && !started && !nextVisible)
                continue;
            const double x = p.X(bands.hz[i]);
            started ? cairo_line_to(cr, x, p.Y(db)) : cairo_move_to(cr, x, p.Y(db));
            started = visible || nextVisible;
            if (!started)
                cairo_stroke(cr);
        }
        cairo_stroke(cr);
    }
    cairo_restore(cr);
    SetColour(cr, kInkColour);
    for (const float split : {bands.lowSplitHz, bands.highSplitHz})
        Text(cr, p.X(split) + 4, p.top + p.height - 8, Number(split, split < 100 ? 1 : 0) + " Hz", 12);
    DrawLegend(cr, p, {{kBandColours[0], kBandNames[0]},
                       {kBandColours[1], kBandNames[1]},
                       {kBandColours[2], kBandNames[2]},
                       {{0.55, 0.55, 0.55}, "sum"}});
}

Panel BandsPanel(double left, double top, double width, double height, int sampleRate)
{
    return {left, top, width, height, 10.0, std::max(100.0, sampleRate / 2.0), -48.0, 6.0, true};
}

void DrawBandsPanel(cairo_t* cr, const Panel& p, const CrossoverResponse& bands)
{
    DrawAxes(cr, p, HertzTicks(p.xMin, p.xMax), DecibelTicks(p.yMin, p.yMax), "frequency (Hz)", "gain (dB)",
             "Band responses of the crossover");
    DrawBands(cr, p, bands);
}

void DrawTitles(cairo_t* cr, const PlotLabels& labels, double width)
{
    SetColour(cr, kInkColour);
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    Text(cr, width / 2, 28, labels.title, 17, 0.5);
    cairo_select_font_face(cr, kFont, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    Text(cr, width / 2, 50, labels.subtitle, 12, 0.5);
}

// A series over time, one value per column of the panel: the largest (levels)
// or smallest (reductions) of the frames that fall in it.
std::vector<std::pair<double, double>> Columns(const Panel& p, const std::vector<MeterFrame>& frames,
                                               double (*value)(const MeterFrame&, int), int which, bool largest)
{
    const int columns = std::max(1, int(p.width));
    std::vector<double> best(std::size_t(columns), std::nan(""));
    double start = 0.0;
    for (const MeterFrame& f : frames) {
        const double v = value(f, which);
        const int first = std::clamp(int((start - p.xMin) / (p.xMax - p.xMin) * columns), 0, columns - 1);
        const int last = std::clamp(int((f.endSeconds - p.xMin) / (p.xMax - p.xMin) * columns), 0, columns - 1);
        for (int c = first; c <= last; ++c) {
            double& b = best[std::size_t(c)];
            b = std::isnan(b) ? v : largest ? std::max(b, v) : std::min(b, v);
        }
        start = f.endSeconds;
    }
    std::vector<std::pair<double, double>> points;
    for (int c = 0; c < columns; ++c)
        if (!std::isnan(best[std::size_t(c)]))
            points.emplace_back(p.left + c + 0.5, best[std::size_t(c)]);
    return points;
}

void Polyline(cairo_t* cr, const Panel& p, const std::vector<std::pair<double, double>>& points)
{
    for (std::size_t i = 0; i < points.size(); ++i)
        i == 0 ? cairo_move_to(cr, points[i].first, p.Y(points[i].second))
               : cairo_line_to(cr, points[i].first, p.Y(points[i].second));
    cairo_stroke(cr);
}

double Peak(const MeterFrame& f, int) { return f.peakDb; }
double Reduction(const MeterFrame& f, int band) { return f.reductionDb[band]; }

} // namespace

std::string PlotFormat(const std::string& path)
{
    std::string extension = fs::path(path).extension().string();
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == ".png" || extension == ".svg" || extension == ".pdf")
        return extension.substr(1);
    return {};
}

std::string DrawBandsPlot(const std::string& format, const PlotLabels& labels, const CrossoverResponse& bands,
                          int sampleRate)
{
    Picture picture(format, kBandsPlotWidth, kBandsPlotHeight);
    cairo_t* cr = picture.Context();
    DrawTitles(cr, labels, kBandsPlotWidth);
    DrawBandsPanel(cr, BandsPanel(90, 100, kBandsPlotWidth - 120, kBandsPlotHeight - 160, sampleRate), bands);
    return picture.Finish();
}

std::string DrawRenderPlot(const std::string& format, const PlotLabels& labels, double durationSeconds,
                           const std::vector<MeterFrame>& input, const std::vector<MeterFrame>& output,
                           const CrossoverResponse& bands, int sampleRate)
{
    Picture picture(format, kRenderPlotWidth, kRenderPlotHeight);
    cairo_t* cr = picture.Context();
    DrawTitles(cr, labels, kRenderPlotWidth);
    const double left = 90;
    const double width = kRenderPlotWidth - 120;
    const double seconds = std::max(durationSeconds, 1e-3);

    // Levels: the input as a grey area, the output as a line; dBFS.
    double top = 0.0;
    for (const auto* series : {&input, &output})
        for (const MeterFrame& f : *series)
            top = std::max(top, double(f.peakDb));
    Panel levels{left, 100, width, 220, 0.0, seconds, -60.0, std::ceil(std::max(top, 0.0) / 6.0) * 6.0};
    if (levels.yMax <= levels.yMin + 6)
        levels.yMax = 0.0;
    DrawAxes(cr, levels, LinearTicks(0.0, seconds, 10), DecibelTicks(levels.yMin, levels.yMax), "time (s)",
             "peak (dBFS)", "Levels in and out");
    cairo_save(cr);
    cairo_rectangle(cr, levels.left, levels.top, levels.width, levels.height);
    cairo_clip(cr);
    const auto inputColumns = Columns(levels, input, Peak, 0, true);
    if (!inputColumns.empty()) {
        SetColour(cr, kInputColour, 0.55);
        cairo_move_to(cr, inputColumns.front().first, levels.Y(levels.yMin));
        for (const auto& [x, y] : inputColumns)
            cairo_line_to(cr, x, levels.Y(y));
        cairo_line_to(cr, inputColumns.back().first, levels.Y(levels.yMin));
        cairo_close_path(cr);
        cairo_fill(cr);
    }
    SetColour(cr, kOutputColour);
    cairo_set_line_width(cr, 1.4);
    Polyline(cr, levels, Columns(levels, output, Peak, 0, true));
    cairo_restore(cr);
    DrawLegend(cr, levels, {{kInputColour, "input"}, {kOutputColour, "output"}});

    // Gain reduction of each band and of the limiter; dB, 0 at the top.
    double deepest = 0.0;
    for (const MeterFrame& f : output)
        for (const float r : f.reductionDb)
            deepest = std::min(deepest, double(r));
    const double floor = -std::max(6.0, std::ceil(-std::max(deepest, -60.0) / 6.0) * 6.0);
    Panel reduction{left, 390, width, 220, 0.0, seconds, floor, 0.0};
    DrawAxes(cr, reduction, LinearTicks(0.0, seconds, 10), DecibelTicks(floor, 0.0), "time (s)",
             "gain reduction (dB)", "Gain reduction");
    cairo_save(cr);
    cairo_rectangle(cr, reduction.left, reduction.top, reduction.width, reduction.height);
    cairo_clip(cr);
    for (int band = 3; band >= 0; --band) {
        SetColour(cr, kBandColours[band]);
        cairo_set_line_width(cr, band == 3 ? 1.2 : 1.6);
        Polyline(cr, reduction, Columns(reduction, output, Reduction, band, false));
    }
    cairo_restore(cr);
    DrawLegend(cr, reduction, {{kBandColours[0], kBandNames[0]},
                               {kBandColours[1], kBandNames[1]},
                               {kBandColours[2], kBandNames[2]},
                               {kBandColours[3], kBandNames[3]}});

    DrawBandsPanel(cr, BandsPanel(left, 680, width, 210, sampleRate), bands);
    return picture.Finish();
}

} // namespace korvax::cli
