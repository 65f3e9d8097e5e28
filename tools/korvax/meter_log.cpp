#include "tools/korvax/meter_log.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace korvax::cli {
namespace {

constexpr const char* kGainColumns[8] = {"gain_low_l_db",  "gain_low_r_db",  "gain_mid_l_db",     "gain_mid_r_db",
                                         "gain_high_l_db", "gain_high_r_db", "gain_limiter_l_db", "gain_limiter_r_db"};

double Decibels(double linear)
{
    return 20.0 * std::log10(linear);
}

// A number in plain notation, whatever the C locale; "-inf" for minus infinity.
void Append(std::string& line, double value, int decimals)
{
    if (std::isinf(value)) {
        line += value < 0 ? "-inf" : "inf";
        return;
    }
    char buffer[48];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    line.append(buffer, result.ptr);
}

} // namespace

std::string MeterCsv(const MeterLog& log)
{
    std::string text = "call,start_s,out_start_s,pairs,in_peak_dbfs,out_peak_dbfs";
    for (const char* column : kGainColumns)
        text += std::string(",") + column;
    text += '\n';
    const double rate = double(log.sampleRate);
    for (std::size_t i = 0; i < log.calls.size(); ++i) {
        const CallMeters& c = log.calls[i];
        std::string line = std::to_string(i) + ",";
        Append(line, double(c.firstPair) / rate, 6);
        line += ',';
        Append(line, double(c.firstPair - log.outputShift) / rate, 6);
        line += "," + std::to_string(c.pairs) + ",";
        Append(line, Decibels(c.inPeak), 3);
        line += ',';
        Append(line, Decibels(c.outPeak), 3);
        for (const float g : c.lowest) {
            line += ',';
            Append(line, Decibels(g), 6);
        }
        text += line + '\n';
    }
    return text;
}

void PictureSeries(const MeterLog& log, std::vector<MeterFrame>& input, std::vector<MeterFrame>& output)
{
    const double rate = double(log.sampleRate);
    for (const CallMeters& c : log.calls) {
        const std::int64_t end = c.firstPair + c.pairs;
        if (c.firstPair < log.inputPairs) {
            MeterFrame f;
            f.endSeconds = double(std::min(end, log.inputPairs)) / rate;
            f.peakDb = float(Decibels(c.inPeak));
            input.push_back(f);
        }
        if (end > log.outputShift) {
            MeterFrame f;
            f.endSeconds = double(end - log.outputShift) / rate;
            f.peakDb = float(Decibels(c.outPeak));
            for (int follower = 0; follower < 4; ++follower)
                f.reductionDb[follower] =
                    float(Decibels(std::min(c.lowest[2 * follower], c.lowest[2 * follower + 1])));
            output.push_back(f);
        }
    }
}

} // namespace korvax::cli
