#include "tools/korvax/demo.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace korvax::cli {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kBeatSeconds = 0.5;   // 120 beats per minute, four beats a bar
constexpr int kBeatsPerBar = 4;

double NoteHz(int midiNote)
{
    return 440.0 * std::pow(2.0, (midiNote - 69) / 12.0);
}

// Uniform in [-1, 1). Drawn from the raw mt19937 output, which the standard fixes
// bit for bit, rather than a distribution, whose results vary by library.
class Noise {
public:
    explicit Noise(std::uint32_t seed) : engine_(seed) {}
    double Next() { return double(engine_()) * (2.0 / 4294967296.0) - 1.0; }

private:
    std::mt19937 engine_;
};

// A sawtooth with the step smoothed over one sample either side (polyBLEP),
// so the pad's high notes do not fold back as audible aliases.
class Saw {
public:
    double Next(double hz, double sampleRate)
    {
        const double step = hz / sampleRate;
        double value = 2.0 * phase_ - 1.0;
        if (phase_ < step) {
            const double t = phase_ / step;
            value -= t + t - t * t - 1.0;
        } else if (phase_ > 1.0 - step) {
            const double t = (phase_ - 1.0) / step;
            value -= t * t + t + t + 1.0;
        }
        phase_ += step;
        if (phase_ >= 1.0)
            phase_ -= 1.0;
        return value;
    }
    void SetPhase(double phase) { phase_ = phase; }

private:
    double phase_ = 0.0;
};

// One-pole low-pass, cut-off in hertz.
class LowPass {
public:
    double Next(double x, double cutoffHz, double sampleRate)
    {
        const double a = 1.0 - std::exp(-2.0 * kPi * cutoffHz / sampleRate);
        state_ += a * (x - state_);
        return state_;
    }

private:
    double state_ = 0.0;
};

class Mix {
public:
    Mix(std::int64_t frames, int sampleRate) : left_(frames), right_(frames), rate_(sampleRate) {}

    // Equal-power pan: -1 left, 0 centre, +1 right.
    void Add(std::int64_t frame, double value, double pan)
    {
        if (frame < 0 || frame >= static_cast<std::int64_t>(left_.size()))
            return;
        const double angle = (pan + 1.0) * kPi / 4.0;
        left_[frame] += value * std::cos(angle);
        right_[frame] += value * std::sin(angle);
    }
    int Rate() const { return rate_; }
    std::int64_t Frame(double seconds) const { return static_cast<std::int64_t>(std::llround(seconds * rate_)); }
    std::int64_t Frames() const { return static_cast<std::int64_t>(left_.size()); }

    std::vector<float> Interleaved(double peak) const
    {
        double loudest = 0.0;
        for (std::size_t i = 0; i < left_.size(); ++i)
            loudest = std::max({loudest, std::fabs(left_[i]), std::fabs(right_[i])});
        const double gain = loudest > 0.0 ? peak / loudest : 0.0;
        const std::size_t fade = static_cast<std::size_t>(rate_ / 200);   // 5 ms in and out, no clicks
        std::vector<float> frames(2 * left_.size());
        for (std::size_t i = 0; i < left_.size(); ++i) {
            const std::size_t edge = std::min(i, left_.size() - 1 - i);
            const double ramp = edge < fade ? double(edge) / double(fade) : 1.0;
            frames[2 * i] = static_cast<float>(left_[i] * gain * ramp);
            frames[2 * i + 1] = static_cast<float>(right_[i] * gain * ramp);
        }
        return frames;
    }

private:
    std::vector<double> left_, right_;
    int rate_;
};

void Kick(Mix& mix, double at, double velocity, Noise& noise)
{
    const double rate = mix.Rate();
    const std::int64_t start = mix.Frame(at);
    double phase = 0.0;
    for (std::int64_t n = 0; n < mix.Frame(0.45); ++n) {
        const double t = n / rate;
        phase += (48.0 + 110.0 * std::exp(-t / 0.035)) / rate;   // the pitch falls into the body
        double v = std::sin(2.0 * kPi * phase) * std::exp(-t / 0.28);
        if (t < 0.002)
            v += 0.3 * noise.Next() * (1.0 - t / 0.002);   // the beater's click
        mix.Add(start + n, 0.9 * velocity * v, 0.0);
    }
}

void Snare(Mix& mix, double at, double velocity, Noise& noise)
{
    const double rate = mix.Rate();
    const std::int64_t start = mix.Frame(at);
    LowPass body;
    for (std::int64_t n = 0; n < mix.Frame(0.35); ++n) {
        const double t = n / rate;
        const double tone = std::sin(2.0 * kPi * 185.0 * t) * std::exp(-t / 0.06);
        const double x = noise.Next();
        const double rattle = (x - body.Next(x, 1200.0, rate)) * std::exp(-t / 0.12);   // high-passed noise
        mix.Add(start + n, velocity * (0.35 * tone + 0.45 * rattle), 0.05);
    }
}

void HiHat(Mix& mix, double at, double velocity, double decaySeconds, Noise& noise)
{
    const double rate = mix.Rate();
    const std::int64_t start = mix.Frame(at);
    LowPass dull;
    for (std::int64_t n = 0; n < mix.Frame(6.0 * decaySeconds); ++n) {
        const double t = n / rate;
        const double x = noise.Next();
        const double bright = x - dull.Next(x, 7000.0, rate);
        mix.Add(start + n, 0.22 * velocity * bright * std::exp(-t / decaySeconds), 0.35);
    }
}

void BassNote(Mix& mix, double at, double seconds, int midiNote)
{
    const double rate = mix.Rate();
    const std::int64_t start = mix.Frame(at);
    const double hz = NoteHz(midiNote);
    Saw saw;
    LowPass first, second;
    for (std::int64_t n = 0; n < mix.Frame(seconds + 0.05); ++n) {
        const double t = n / rate;
        const double cutoff = 180.0 + 1600.0 * std::exp(-t / 0.07);   // a plucked filter sweep
        double v = second.Next(first.Next(saw.Next(hz, rate), cutoff, rate), cutoff, rate);
        const double attack = std::min(1.0, t / 0.003);
        const double release = t < seconds ? 1.0 : std::max(0.0, 1.0 - (t - seconds) / 0.05);
        v *= attack * release * (0.6 + 0.4 * std::exp(-t / 0.1));
        mix.Add(start + n, 0.55 * v, 0.0);
    }
}

void PadChord(Mix& mix, double at, double seconds, const int (&notes)[3], Noise& noise)
{
    const double rate = mix.Rate();
    const std::int64_t start = mix.Frame(at);
    constexpr double kDetune[4] = {1.004, 0.9975, 0.996, 1.0025};   // left pair, right pair
    for (const int note : notes) {
        const double hz = NoteHz(note);
        Saw voices[4];
        for (Saw& v : voices)
            v.SetPhase(0.5 * (noise.Next() + 1.0));
        LowPass toneLeft, toneRight;
        for (std::int64_t n = 0; n < mix.Frame(seconds + 0.4); ++n) {
            const double t = n / rate;
            const double attack = std::min(1.0, t / 0.25);
            const double release = t < seconds ? 1.0 : std::max(0.0, 1.0 - (t - seconds) / 0.4);
            const double level = 0.09 * attack * release;
            const double left = voices[0].Next(hz * kDetune[0], rate) + voices[1].Next(hz * kDetune[1], rate);
            const double right = voices[2].Next(hz * kDetune[2], rate) + voices[3].Next(hz * kDetune[3], rate);
            const double sparkle = 0.25 * std::sin(2.0 * kPi * 4.0 * hz * t);   // two octaves up
            mix.Add(start + n, level * (toneLeft.Next(left, 5000.0, rate) + sparkle), -0.6);
            mix.Add(start + n, level * (toneRight.Next(right, 5000.0, rate) + sparkle), 0.6);
        }
    }
}

// A two-pole resonance at `hz` with bandwidth `widthHz`, unity gain at its peak
// (near enough): one formant of the vocal tract.
class Resonator {
public:
    Resonator(double hz, double widthHz, double rate)
    {
        const double r = std::exp(-kPi * widthHz / rate);
        b1_ = 2.0 * r * std::cos(2.0 * kPi * hz / rate);
        b2_ = -r * r;
        gain_ = (1.0 - r) * std::sqrt(1.0 - 2.0 * r * std::cos(4.0 * kPi * hz / rate) + r * r);
    }
    double Next(double x)
    {
        const double y = gain_ * x + b1_ * y1_ + b2_ * y2_;
        y2_ = y1_;
        y1_ = y;
        return y;
    }

private:
    double b1_, b2_, gain_;
    double y1_ = 0.0, y2_ = 0.0;
};

// First three formants of five vowels (a, e, i, o, u), in hertz.
constexpr double kVowels[5][3] = {{730, 1090, 2440}, {530, 1840, 2480}, {270, 2290, 3010},
                                  {570, 840, 2410},  {300, 870, 2240}};

// A hiss of `seconds` (s, sh, f), high-passed noise with a soft envelope.
void Fricative(Mix& mix, double at, double seconds, double cutoffHz, Noise& noise)
{
    const double rate = mix.Rate();
    const std::int64_t start = mix.Frame(at);
    LowPass dull, duller;
    for (std::int64_t n = 0; n < mix.Frame(seconds); ++n) {
        const double t = n / rate;
        const double envelope = std::sin(kPi * t / seconds);
        const double x = noise.Next();
        const double once = x - dull.Next(x, cutoffHz, rate);
        mix.Add(start + n, 0.035 * envelope * (once - duller.Next(once, cutoffHz, rate)), 0.0);
    }
}

// A voiced syllable: a glottal pulse train gliding between two pitches through
// the vowel's formants, with a little breath, under a syllable's envelope.
void Syllable(Mix& mix, double at, double seconds, int vowel, double fromHz, double toHz, double level, Noise& noise)
{
    const double rate = mix.Rate();
    const std::int64_t start = mix.Frame(at);
    Resonator formants[3] = {{kVowels[vowel][0], 80.0, rate}, {kVowels[vowel][1], 100.0, rate},
                             {kVowels[vowel][2], 130.0, rate}};
    constexpr double kFormantLevels[3] = {1.0, 0.5, 0.22};
    double phase = 0.0;
    for (std::int64_t n = 0; n < mix.Frame(seconds); ++n) {
        const double t = n / rate;
        const double hz = fromHz + (toHz - fromHz) * t / seconds;
        phase += hz / rate;
        if (phase >= 1.0)
            phase -= 1.0;
        // The glottis: a closing flow pulse (a falling ramp) and breath noise.
        const double source = (phase < 0.6 ? std::sin(kPi * phase / 0.6) : 0.0) - 0.38 + 0.05 * noise.Next();
        double voice = 0.0;
        for (int f = 0; f < 3; ++f)
            voice += kFormantLevels[f] * formants[f].Next(source);
        const double attack = std::min(1.0, t / 0.025);
        const double release = std::min(1.0, (seconds - t) / 0.05);
        mix.Add(start + n, level * attack * release * voice, 0.0);
    }
}

} // namespace

std::vector<float> SynthesiseSpeech(std::uint32_t seed, int sampleRate, double seconds)
{
    Mix mix(static_cast<std::int64_t>(std::llround(seconds * sampleRate)), sampleRate);
    Noise noise(seed);
    auto uniform = [&](double low, double high) { return low + (high - low) * 0.5 * (noise.Next() + 1.0); };

    // Phrases of words of one to three syllables; the pitch of a phrase falls
    // towards its end, stressed syllables are louder and higher.
    double at = 0.25;
    while (at < seconds - 1.0) {
        const int words = 3 + static_cast<int>(uniform(0.0, 4.0));
        const double phraseHz = uniform(105.0, 170.0);
        for (int word = 0; word < words && at < seconds - 0.6; ++word) {
            const int syllables = 1 + static_cast<int>(uniform(0.0, 3.0));
            for (int s = 0; s < syllables && at < seconds - 0.4; ++s) {
                if (noise.Next() > 0.3) {
                    const double hiss = uniform(0.05, 0.1);
                    Fricative(mix, at, hiss, uniform(2500.0, 6000.0), noise);
                    at += hiss;
                }
                const double length = uniform(0.11, 0.26);
                const bool stressed = s == 0 && noise.Next() > 0.0;
                const double fall = 1.0 - 0.25 * double(word) / double(words);
                const double hz = phraseHz * fall * (stressed ? 1.15 : 1.0);
                Syllable(mix, at, length, static_cast<int>(uniform(0.0, 4.999)), hz, hz * uniform(0.88, 1.05),
                         stressed ? 1.0 : uniform(0.45, 0.8), noise);
                at += length + uniform(0.02, 0.06);
            }
            at += uniform(0.1, 0.3);
        }
        at += uniform(0.35, 0.7);
    }
    constexpr double kPeak = 0.8912509381337456;   // -1 dBFS
    return mix.Interleaved(kPeak);
}

std::vector<float> SynthesiseDemo(std::uint32_t seed, int sampleRate, double seconds)
{
    Mix mix(static_cast<std::int64_t>(std::llround(seconds * sampleRate)), sampleRate);
    Noise noise(seed);

    // A minor, F, C, G, one chord a bar; the bass walks root, octave and fifth.
    constexpr int kChords[4][3] = {{57, 60, 64}, {57, 60, 65}, {55, 60, 64}, {55, 59, 62}};
    constexpr int kBassRoots[4] = {45, 41, 48, 43};
    constexpr int kBassSteps[8] = {0, 0, 12, 0, 7, 0, 12, 7};
    const double barSeconds = kBeatsPerBar * kBeatSeconds;
    const int bars = static_cast<int>(std::ceil(seconds / barSeconds));

    for (int bar = 0; bar < bars; ++bar) {
        const double barStart = bar * barSeconds;
        const int chord = bar % 4;
        PadChord(mix, barStart, barSeconds, kChords[chord], noise);
        for (int eighth = 0; eighth < 2 * kBeatsPerBar; ++eighth) {
            const double at = barStart + eighth * kBeatSeconds / 2.0;
            BassNote(mix, at, 0.2, kBassRoots[chord] + kBassSteps[eighth]);
            const bool lastOffbeat = eighth == 2 * kBeatsPerBar - 1;
            HiHat(mix, at, eighth % 2 == 1 ? 1.0 : 0.55 + 0.2 * noise.Next(), lastOffbeat ? 0.09 : 0.025, noise);
            if (noise.Next() > 0.6)   // the odd sixteenth for swing
                HiHat(mix, at + kBeatSeconds / 4.0, 0.4, 0.02, noise);
        }
        for (int beat = 0; beat < kBeatsPerBar; ++beat) {
            const double at = barStart + beat * kBeatSeconds;
            Kick(mix, at, beat == 0 ? 1.0 : 0.9, noise);
            if (beat % 2 == 1)
                Snare(mix, at, 1.0, noise);
        }
    }
    constexpr double kPeak = 0.8912509381337456;   // -1 dBFS
    return mix.Interleaved(kPeak);
}

} // namespace korvax::cli
