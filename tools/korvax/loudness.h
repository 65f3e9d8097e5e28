#pragma once
// Loudness as engineers read it, measured by libebur128: integrated loudness
// (LUFS) and loudness range (LU) after ITU-R BS.1770 and EBU R 128, and the
// true peak (dBTP) from a signal oversampled four times below 96 kHz (twice
// up to 192 kHz, as the recommendation asks). A mono file counts as the same
// signal on two loudspeakers, which is how korvax renders it.

#include <ebur128.h>

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace korvax::cli {

// NaN where the rate is one libebur128 does not measure.
struct LoudnessFigures {
    double integratedLufs;   // -inf for silence or a file shorter than 400 ms
    double rangeLu;          // 0 for a file shorter than 3 s
    double truePeakDbtp;     // -inf for silence
};

class LoudnessMeter {
public:
    LoudnessMeter(int channels, int sampleRate);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    // Interleaved frames at ±1.0 full scale.
    void Add(const float* frames, std::int64_t count);
    LoudnessFigures Figures() const;

private:
    ebur128_state* state_ = nullptr;
    int channels_;
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

// A LoudnessMeter and a LevelMeter fed on a thread of their own, so that the
// measuring (the true peak's oversampling above all) runs beside the render
// instead of after each chunk. Add() copies the frames and returns; at most a
// few chunks wait at a time.
class BackgroundMeter {
public:
    BackgroundMeter(int channels, int sampleRate);
    ~BackgroundMeter();
    BackgroundMeter(const BackgroundMeter&) = delete;
    BackgroundMeter& operator=(const BackgroundMeter&) = delete;

    void Add(const float* frames, std::int64_t count);
    // Waits for what was added and gives the figures; call once.
    void Finish(LevelMeter& levels, LoudnessFigures& loudness);

private:
    void Run();

    int channels_;
    LoudnessMeter loudness_;
    LevelMeter levels_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<float>> waiting_;
    bool finishing_ = false;
    std::thread thread_;
};

} // namespace korvax::cli
