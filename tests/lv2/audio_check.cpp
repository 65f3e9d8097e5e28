// lv2_audio_check: the file helpers of the LV2 host checks (scripts/ci.d/80-lv2.sh).
//
//   lv2_audio_check signal OUT.wav [SECONDS] [RATE]
//       writes a stereo 32-bit float WAV (default 1.5 s at 44100 Hz) whose bands
//       and channels move at different levels, so that every compressor, the
//       stereo link and the limiter have work to do.
//   lv2_audio_check delay IN.wav OUT.wav FRAMES
//       writes IN delayed by FRAMES frames of silence, as long as IN, as 32-bit
//       float: what a bypass that keeps the latency must output.
//   lv2_audio_check compare EXPECTED.wav ACTUAL.wav [--signal-from FRAME]
//       succeeds when both are 32-bit float files of the same shape whose samples
//       are equal bit for bit; with --signal-from, ACTUAL must also carry sound
//       from that frame on (so silence on both sides proves nothing).
//
// Status 0 when the check holds, 1 when it does not, 2 for a malformed command.

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Audio {
    int channels = 0;
    int sampleRate = 0;
    int format = 0;
    std::vector<float> samples;   // interleaved
};

bool Read(const std::string& path, Audio& audio)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "cannot read '%s': %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    audio.channels = info.channels;
    audio.sampleRate = info.samplerate;
    audio.format = info.format;
    audio.samples.resize(static_cast<std::size_t>(info.frames) * info.channels);
    const sf_count_t read = sf_readf_float(file, audio.samples.data(), info.frames);
    sf_close(file);
    if (read != info.frames) {
        std::fprintf(stderr, "'%s' ended after %lld of %lld frames\n", path.c_str(), static_cast<long long>(read),
                     static_cast<long long>(info.frames));
        return false;
    }
    return true;
}

std::uint32_t Bits(float x)
{
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

bool Write(const std::string& path, int channels, int sampleRate, const std::vector<float>& samples)
{
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = sampleRate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        std::fprintf(stderr, "cannot write '%s': %s\n", path.c_str(), sf_strerror(nullptr));
        return false;
    }
    const auto frames = static_cast<sf_count_t>(samples.size() / channels);
    const sf_count_t written = sf_writef_float(file, samples.data(), frames);
    sf_close(file);
    if (written != frames) {
        std::fprintf(stderr, "cannot write '%s'\n", path.c_str());
        return false;
    }
    return true;
}

int Signal(const std::string& path, double seconds, int sampleRate)
{
    const auto frames = static_cast<std::int64_t>(std::llround(seconds * sampleRate));
    std::vector<float> samples(static_cast<std::size_t>(frames) * 2);
    std::uint32_t noise = 12345u;
    for (std::int64_t i = 0; i < frames; ++i) {
        const double t = double(i) / sampleRate;
        // Each band swells and falls at its own pace; the right channel lags.
        const double low = 0.5 * std::sin(2 * kPi * 55.0 * t) * (0.55 + 0.45 * std::sin(2 * kPi * 1.3 * t));
        const double mid = 0.3 * std::sin(2 * kPi * 880.0 * t) * (0.5 + 0.5 * std::sin(2 * kPi * 2.1 * t + 1.0));
        const double high = 0.2 * std::sin(2 * kPi * 7040.0 * t) * (std::fmod(t, 0.25) < 0.05 ? 1.0 : 0.1);
        noise = noise * 1664525u + 1013904223u;
        const double hiss = 0.02 * (double(noise) / 4294967296.0 - 0.5);
        samples[2 * i] = static_cast<float>(low + mid + high + hiss);
        samples[2 * i + 1] = static_cast<float>(0.7 * low - mid + 1.3 * high - hiss);
    }
    if (!Write(path, 2, sampleRate, samples))
        return 1;
    std::printf("%s: %lld frames, stereo, %d Hz, 32-bit float\n", path.c_str(), static_cast<long long>(frames),
                sampleRate);
    return 0;
}

int Delay(const std::string& inPath, const std::string& outPath, long long frames)
{
    Audio in;
    if (!Read(inPath, in))
        return 1;
    const std::size_t shift = static_cast<std::size_t>(frames) * in.channels;
    std::vector<float> delayed(in.samples.size(), 0.0f);
    for (std::size_t i = shift; i < delayed.size(); ++i)
        delayed[i] = in.samples[i - shift];
    return Write(outPath, in.channels, in.sampleRate, delayed) ? 0 : 1;
}

int Compare(const std::string& expectedPath, const std::string& actualPath, long long signalFrom)
{
    Audio expected, actual;
    if (!Read(expectedPath, expected) || !Read(actualPath, actual))
        return 1;
    for (const Audio* audio : {&expected, &actual}) {
        if ((audio->format & SF_FORMAT_SUBMASK) != SF_FORMAT_FLOAT) {
            std::fprintf(stderr, "%s is not a 32-bit float file\n",
                         audio == &expected ? expectedPath.c_str() : actualPath.c_str());
            return 1;
        }
    }
    if (expected.channels != actual.channels || expected.sampleRate != actual.sampleRate ||
        expected.samples.size() != actual.samples.size()) {
        std::fprintf(stderr, "shape differs: %s has %d channels, %d Hz, %zu samples; %s has %d, %d Hz, %zu\n",
                     expectedPath.c_str(), expected.channels, expected.sampleRate, expected.samples.size(),
                     actualPath.c_str(), actual.channels, actual.sampleRate, actual.samples.size());
        return 1;
    }
    std::size_t differing = 0, first = 0;
    for (std::size_t i = 0; i < expected.samples.size(); ++i)
        if (Bits(expected.samples[i]) != Bits(actual.samples[i]) && differing++ == 0)
            first = i;
    const std::size_t frames = expected.samples.size() / std::max(1, expected.channels);
    if (differing > 0) {
        std::fprintf(stderr, "%s differs from %s in %zu of %zu samples; first at frame %zu channel %zu: %a, expected %a\n",
                     actualPath.c_str(), expectedPath.c_str(), differing, expected.samples.size(),
                     first / expected.channels, first % expected.channels, double(actual.samples[first]),
                     double(expected.samples[first]));
        return 1;
    }
    float peak = 0.0f;
    const std::size_t from = signalFrom > 0 ? static_cast<std::size_t>(signalFrom) * actual.channels : 0;
    for (std::size_t i = from; i < actual.samples.size(); ++i)
        peak = std::max(peak, std::fabs(actual.samples[i]));
    if (signalFrom >= 0 && peak == 0.0f) {
        std::fprintf(stderr, "%s is silent from frame %lld on\n", actualPath.c_str(), signalFrom);
        return 1;
    }
    std::printf("%s: %zu frames equal bit for bit to %s (peak %.4f from frame %lld)\n", actualPath.c_str(), frames,
                expectedPath.c_str(), double(peak), signalFrom > 0 ? signalFrom : 0);
    return 0;
}

int Usage()
{
    std::fprintf(stderr, "usage: lv2_audio_check signal OUT.wav [SECONDS] [RATE]\n"
                         "       lv2_audio_check delay IN.wav OUT.wav FRAMES\n"
                         "       lv2_audio_check compare EXPECTED.wav ACTUAL.wav [--signal-from FRAME]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args.size() <= 4 && args[0] == "signal") {
        const double seconds = args.size() > 2 ? std::atof(args[2].c_str()) : 1.5;
        const int rate = args.size() > 3 ? std::atoi(args[3].c_str()) : 44100;
        if (!(seconds > 0.0) || rate <= 0)
            return Usage();
        return Signal(args[1], seconds, rate);
    }
    if (args.size() == 4 && args[0] == "delay" && std::atoll(args[3].c_str()) >= 0)
        return Delay(args[1], args[2], std::atoll(args[3].c_str()));
    if (args.size() == 3 && args[0] == "compare")
        return Compare(args[1], args[2], -1);
    if (args.size() == 5 && args[0] == "compare" && args[3] == "--signal-from")
        return Compare(args[1], args[2], std::atoll(args[4].c_str()));
    return Usage();
}
