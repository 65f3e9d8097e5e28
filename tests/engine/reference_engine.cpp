#include "engine/reference_engine.h"

#include <algorithm>
#include <cmath>

#include "dsp/reference_fft.h"

namespace korvax::reference {
namespace {

// ---- the parameter curves --------------------------------------------------------
// Every constant a 32-bit float, the arithmetic in double, one rounding at the end.

float CubeGain(float v)
{
    const double d = double(v) - 1.0;
    return float(d * d * d * double(2.9291398e-6f));
}

float InputGain(float v)
{
    return float(std::pow(double(v) - 1.0, 3.0) * double(2.9291398e-6f) * 3.0517578125e-05);
}

float SplitFrequency(float v)
{
    return float(std::exp(std::log(18.0) + (std::log(24000.0) - std::log(18.0)) * double(v) * 0.0078125));
}

float TimeCurve(float numerator, float v, float k)
{
    return float(double(numerator) / (std::exp(double(v) * double(k)) - double(0.9f)));
}

// ---- the dynamics stage ------------------------------------------------------------

struct Coefficients {
    float threshold[3], blend[3], release[3], output[3];
    float ratio, dry, width, limiterRelease, limiterThreshold;
    std::int32_t compressorEnable, stereoLink;
};

Coefficients Prepare(const WorkingParameters& w)
{
    const float ka[3] = {0.09f, 0.07f, 0.05f};
    const float kr[3] = {0.0961f, 0.0761f, 0.0561f};
    const float thresholds[3] = {w.ThresholdLow, w.ThresholdMid, w.ThresholdHigh};
    const float outputs[3] = {w.OutLow, w.OutMid, w.OutHigh};
    Coefficients c{};
    for (int b = 0; b < 3; ++b) {
        c.threshold[b] = CubeGain(thresholds[b]);
        c.output[b] = CubeGain(outputs[b]);
        c.blend[b] = TimeCurve(0.055f, w.Attack, ka[b]);
        c.release[b] = TimeCurve(0.007f, w.Release, kr[b]);
    }
    c.ratio = float(std::sqrt(double(w.Ratio) * double(0.0078125f)));
    c.dry = float(double(1.0f) - double(c.ratio));
    c.width = float(double(w.StereoWidthLow) * double(0.015625f));
    c.limiterRelease = TimeCurve(0.007f, w.LimitRelease, 0.0761f);
    c.limiterThreshold = float(std::exp(double(w.LimitThreshold) * double(-0.011552453f)));
    c.compressorEnable = w.CompressorEnable;
    c.stereoLink = w.StereoLink;
    return c;
}

void ReleaseStep(float& g, float r)
{
    if (g < 1.0f) {
        const double sum = double(g) + double(r);
        g = sum > 1.0 ? 1.0f : float(sum);
    }
}

void Link(float& a, float& b)
{
    const float lower = std::min(a, b);
    a = lower;
    b = lower;
}

// Six band values in, the output pair out (host scale), the eight gains updated.
void Dynamics(const Coefficients& c, float (&g)[8], const float (&bands)[6], float& outLeft, float& outRight)
{
    double v[6];
    for (int i = 0; i < 6; ++i)
        v[i] = bands[i];
    if (c.compressorEnable > 0) {
        if (c.stereoLink > 0)
            for (int b = 0; b < 3; ++b)
                Link(g[2 * b], g[2 * b + 1]);
        for (int b = 0; b < 3; ++b) {
            for (int ch = 0; ch < 2; ++ch) {
                float& gain = g[2 * b + ch];
                const double x = bands[2 * b + ch];
                ReleaseStep(gain, c.release[b]);
                if (std::fabs(x * double(gain)) >= double(c.threshold[b])) {
                    const double target = std::fabs(double(c.threshold[b]) / x);
                    if (target < double(gain))
                        gain = float((double(1.0f) - double(c.blend[b])) * double(gain) + double(c.blend[b]) * target);
                }
            }
            for (int ch = 0; ch < 2; ++ch)
                v[2 * b + ch] = ((double(c.ratio) * double(g[2 * b + ch]) + double(c.dry)) * double(bands[2 * b + ch])) *
                                double(c.output[b]);
        }
        // Held as floats: low left, low right, mid right, high left.
        for (const int i : {0, 1, 3, 4})
            v[i] = float(v[i]);
    }
    const float s = float(v[0] + v[1]);
    const double d = (v[0] - v[1]) * double(c.width);
    const float left = float((double(s) + d) * double(0.5f) + v[4] + v[2]);
    const double right = (double(s) - double(float(d))) * double(0.5f) + v[5] + v[3];
    if (c.stereoLink > 0)
        Link(g[6], g[7]);
    const double sums[2] = {left, right};
    for (int ch = 0; ch < 2; ++ch) {
        float& gain = g[6 + ch];
        ReleaseStep(gain, c.limiterRelease);
        if (std::fabs(sums[ch] * double(gain)) >= double(c.limiterThreshold) && gain > 0.0f)
            gain = float(std::fabs(double(c.limiterThreshold) / sums[ch]));
    }
    outLeft = float(double(left) * double(g[6]) * double(32768.0f));
    outRight = float(right * double(g[7]) * double(32768.0f));
}

} // namespace

void ApplyBandMask(float* spectrum, std::int32_t count, std::int32_t sampleRate, float lowEdgeHz,
                   float highEdgeHz, float steepness)
{
    std::int32_t lowIndex = std::int32_t(double(count) * ((2.0 * double(lowEdgeHz)) / double(sampleRate)));
    if (lowIndex > count)
        lowIndex = count;
    std::int32_t highIndex = std::int32_t(double(count) * ((2.0 * double(highEdgeHz)) / double(sampleRate)));
    if (highIndex < 0)
        highIndex = 0;
    if (highIndex > count)
        highIndex = count;
    const float k = float(std::exp((0.5 * double(steepness) + 0.15) * 9.0) / std::exp(11.0));
    if (count <= 1)
        return;
    for (std::int32_t i = 1; i < count; i += 2) {
        const double s = (double(count) / double(i)) * double(k);
        float lowRamp = float(double(lowIndex - i) * s * 0.1 + 0.5);
        if (lowRamp < 0)
            lowRamp = 0;
        if (lowEdgeHz < 19.0f)
            lowRamp = 0;
        double highRamp = double(i - highIndex) * s * 0.1 + 0.5;
        if (highRamp < 0)
            highRamp = 0;
        if (highEdgeHz > 23995.0f)
            highRamp = 0;
        double gain = 1.0 - (highRamp + double(lowRamp));
        if (gain < 0)
            gain = 0;
        if (gain > 1)
            gain = 1;
        spectrum[i] = float(double(spectrum[i]) * gain);
        spectrum[i + 1] = float(double(spectrum[i + 1]) * gain);
    }
}

Engine::Engine() : buffers(12, std::vector<float>(16386, 0.0f))
{
    for (float& g : gains)
        g = 0.1f;
}

bool Engine::Process(const WorkingParameters& working, std::int32_t sampleRate, float* samples,
                     std::int32_t pairCount, std::int32_t mode)
{
    const bool in = (mode & 1) != 0;
    const bool out = (mode & 2) != 0;
    if (!out)
        return in;
    if (!in) {
        for (std::int32_t i = 0; i < 2 * pairCount; ++i) {
            samples[i] = 0.0f;
            if (silenceTail > 0)
                silenceTail -= 1;
        }
        return silenceTail > 0;
    }
    silenceTail = 10000;
    const float inputGain = InputGain(working.Input);
    const float lowSplit = SplitFrequency(working.LowSplit);
    const float highSplit = SplitFrequency(working.HighSplit);
    const float steepness = float(double(working.Steepness) * 0.0078125);
    const Coefficients coefficients = Prepare(working);
    if (working.SoloMode == 4)
        return true;
    if (2 * pairCount <= 0)
        return true;

    auto buf = [this](int band, int pipeline, int channel) { return buffers[band * 4 + pipeline * 2 + channel].data(); };
    auto complete = [&](int x) {
        RealFft(buf(0, x, 0), 8192, 1);
        RealFft(buf(0, x, 1), 8192, 1);
        for (int i = 0; i < 16384; ++i) {
            buf(1, x, 0)[i] = buf(0, x, 0)[i];
            buf(2, x, 0)[i] = buf(0, x, 0)[i];
            buf(1, x, 1)[i] = buf(0, x, 1)[i];
            buf(2, x, 1)[i] = buf(0, x, 1)[i];
        }
        ApplyBandMask(buf(0, x, 0), 16384, sampleRate, 10.0f, lowSplit, steepness);
        ApplyBandMask(buf(0, x, 1), 16384, sampleRate, 10.0f, lowSplit, steepness);
        ApplyBandMask(buf(1, x, 0), 16384, sampleRate, lowSplit, highSplit, steepness);
        ApplyBandMask(buf(1, x, 1), 16384, sampleRate, lowSplit, highSplit, steepness);
        ApplyBandMask(buf(2, x, 0), 16384, sampleRate, highSplit, 24000.0f, steepness);
        ApplyBandMask(buf(2, x, 1), 16384, sampleRate, highSplit, 24000.0f, steepness);
        for (int band = 0; band < 3; ++band)
            for (int channel = 0; channel < 2; ++channel)
                RealFft(buf(band, x, channel), 8192, 0);
    };

    for (std::int32_t i = 0; i < pairCount; ++i) {
        const float left = samples[2 * i] * inputGain;
        const float right = samples[2 * i + 1] * inputGain;
        buf(0, 0, 0)[positionA] = left;
        buf(0, 0, 1)[positionA] = right;
        buf(0, 1, 0)[positionB] = left;
        buf(0, 1, 1)[positionB] = right;
        positionA += 1;
        if (positionA >= 16384) {
            positionA = 0;
            complete(0);
        }
        positionB += 1;
        if (positionB >= 16384) {
            positionB = 0;
            complete(1);
        }
        double w = double(positionA) * 0.0001220703125;
        if (w > 1)
            w = 2 - w;
        float bands[6];
        for (int band = 0; band < 3; ++band)
            for (int channel = 0; channel < 2; ++channel)
                bands[2 * band + channel] = float((1 - w) * double(buf(band, 1, channel)[positionB]) +
                                                  w * double(buf(band, 0, channel)[positionA]));
        if (working.SoloMode == 1)
            bands[2] = bands[3] = bands[4] = bands[5] = 0.0f;
        if (working.SoloMode == 2)
            bands[0] = bands[1] = bands[4] = bands[5] = 0.0f;
        if (working.SoloMode == 3)
            bands[0] = bands[1] = bands[2] = bands[3] = 0.0f;
        Dynamics(coefficients, gains, bands, samples[2 * i], samples[2 * i + 1]);
    }
    return true;
}

} // namespace korvax::reference
