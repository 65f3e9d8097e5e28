#pragma once
// The meters of a render, one record per processing call: the machine's own
// gain followers at their lowest during the call (through the Linux library's
// meters) and the sample peaks of the call's input and output. Written as CSV
// for scripts (--meters) and drawn over IN's and OUT's timeline (--plot).

#include <cstdint>
#include <string>
#include <vector>

#include "tools/korvax/plot.h"

namespace korvax::cli {

struct CallMeters {
    std::int64_t firstPair = 0;   // pairs fed to the machine before this call
    std::int32_t pairs = 0;
    float inPeak = 0.0f;          // largest sample magnitude, full scale 1.0
    float outPeak = 0.0f;
    // Low L, low R, mid L, mid R, high L, high R, limiter L, limiter R: the
    // lowest gain during the call; 1.0 when the dynamics stage did not run
    // (the solo mode's bypass).
    float lowest[8] = {1, 1, 1, 1, 1, 1, 1, 1};
};

struct MeterLog {
    int sampleRate = 0;
    // The machine's output of pair p is OUT's pair p - outputShift: the latency
    // when it is compensated, else 0.
    std::int64_t outputShift = 0;
    std::int64_t inputPairs = 0;   // pairs of IN; the machine was fed silence after them
    std::vector<CallMeters> calls;
};

// One header line, then a line per call:
//   call, start_s, out_start_s, pairs, in_peak_dbfs, out_peak_dbfs,
//   gain_low_l_db ... gain_limiter_r_db
// start_s is where the call's input lies in IN (the machine's timeline),
// out_start_s where its output lies in OUT (negative while the machine's delay
// fills up). Gains in dB (0 = no reduction); peaks in dBFS, "-inf" for silence.
std::string MeterCsv(const MeterLog& log);

// The series a render's picture draws: the input's peaks over IN's time, and
// the output's peaks and each band's and the limiter's reduction (the larger of
// its two channels') over OUT's time, which is IN's when the latency is
// compensated.
void PictureSeries(const MeterLog& log, std::vector<MeterFrame>& input, std::vector<MeterFrame>& output);

} // namespace korvax::cli
