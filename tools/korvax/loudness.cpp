#include "tools/korvax/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <string>


namespace korvax::cli {
namespace {

double Decibels(double level)
{
    return level > 0.0 ? 20.0 * std::log10(level) : -INFINITY;
}

} // namespace

LoudnessMeter::LoudnessMeter(int channels, int sampleRate) : channels_(channels)
{
    // Null for rates libebur128 does not measure (below 16 Hz, say): the
    // render goes on, and the figures say they are not known.
    state_ = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(sampleRate),
                          EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    if (state_ != nullptr && channels == 1)
        ebur128_set_channel(state_, 0, EBUR128_DUAL_MONO);
}

LoudnessMeter::~LoudnessMeter()
{
    if (state_ != nullptr)
        ebur128_destroy(&state_);
}

void LoudnessMeter::Add(const float* frames, std::int64_t count)
{
    if (state_ != nullptr && count > 0)
        ebur128_add_frames_float(state_, frames, static_cast<std::size_t>(count));
}

LoudnessFigures LoudnessMeter::Figures() const
{
    if (state_ == nullptr)
        return {NAN, NAN, NAN};
    LoudnessFigures figures{-INFINITY, 0.0, -INFINITY};
    double value = 0.0;
    if (ebur128_loudness_global(state_, &value) == EBUR128_SUCCESS && std::isfinite(value))
        figures.integratedLufs = value;
    if (ebur128_loudness_range(state_, &value) == EBUR128_SUCCESS && std::isfinite(value))
        figures.rangeLu = value;
    double peak = 0.0;
    for (int channel = 0; channel < channels_; ++channel)
        if (ebur128_true_peak(state_, static_cast<unsigned>(channel), &value) == EBUR128_SUCCESS)
            peak = std::max(peak, value);
    figures.truePeakDbtp = Decibels(peak);
    return figures;
}

namespace {
constexpr std::size_t kMostWaiting = 4;   // chunks of up to 32768 frames
} // namespace

BackgroundMeter::BackgroundMeter(int channels, int sampleRate)
    : channels_(channels), loudness_(channels, sampleRate), thread_([this] { Run(); })
{
}

BackgroundMeter::~BackgroundMeter()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
        waiting_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void BackgroundMeter::Add(const float* frames, std::int64_t count)
{
    if (count <= 0)
        return;
    std::vector<float> chunk(frames, frames + count * channels_);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.size() < kMostWaiting; });
    waiting_.push_back(std::move(chunk));
    lock.unlock();
    changed_.notify_all();
}

void BackgroundMeter::Run()
{
    for (;;) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !waiting_.empty() || finishing_; });
        if (waiting_.empty())
            return;
        std::vector<float> chunk = std::move(waiting_.front());
        waiting_.pop_front();
        lock.unlock();
        changed_.notify_all();
        for (const float x : chunk)
            levels_.Add(x);
        loudness_.Add(chunk.data(), static_cast<std::int64_t>(chunk.size()) / channels_);
    }
}

void BackgroundMeter::Finish(LevelMeter& levels, LoudnessFigures& loudness)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;   // the thread empties the queue first
    }
    changed_.notify_all();
    thread_.join();
    levels = levels_;
    loudness = loudness_.Figures();
}

} // namespace korvax::cli
