#include "engine/reference_engine.h"

#include <cmath>

#include "dsp/reference_fft.h"
#include "params/curves.h"

namespace korvax::reference {

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
    for (GainState& g : gains)
        g.gain = 0.1f;
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
    const DynamicsCoefficients coefficients = PrepareDynamics(working);
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
        BandValues bands;
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
        const OutputPair result = ProcessDynamics(coefficients, gains, bands);
        samples[2 * i] = result.left;
        samples[2 * i + 1] = result.right;
    }
    return true;
}

} // namespace korvax::reference
