// The soak run: hours of varied material through machines hosted by slot index, as
// a host plays them, with the parameters changing at every call. After every call
// it checks the machine invariants (fuzz/machine_invariants.h): the engine state,
// the exact effect of the call's mode, finite output, output within the limiter's
// bound. It reports the throughput and the longest processing call.
//
//   korvax_soak [--minutes M | --hours H] [--rates R,R,...] [--seed N]
//
// The audio time is shared equally among the rates. Exits with 1 at the first
// broken invariant, naming the rate, the call and what broke.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(__unix__)
#include <time.h>
#endif

#include "fuzz/machine_invariants.h"
#include "host/reference_host.h"
#include "plugin/description.h"
#include "plugin/machine.h"

namespace korvax::soak {
namespace {

using reliability::CheckEngineState;
using reliability::CheckValueText;
using reliability::OutputWatch;
using reliability::ProcessCall;
using Clock = std::chrono::steady_clock;

constexpr double kTwoPi = 6.283185307179586;
constexpr double kFullScale = 32768.0;
constexpr std::int32_t kLargestCall = 16384;

// The calling thread's processor time in seconds: unlike the wall clock, it does
// not count the time other processes held the processor. Wall time where the
// platform has no thread clock.
double ThreadSeconds()
{
#if defined(__unix__)
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
#else
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
#endif
}

struct Options {
    double audioSeconds = 600.0;
    std::vector<std::int32_t> rates = {44100, 48000, 96000, 22050, 192000};
    std::uint64_t seed = 1;
};

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    double Uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(engine_); }
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(engine_); }
    bool Chance(double p) { return Uniform(0.0, 1.0) < p; }
    double Signed() { return Uniform(-1.0, 1.0); }

private:
    std::mt19937_64 engine_;
};

// A sine by rotation: two multiplications per sample instead of a sine call.
class Oscillator {
public:
    void Set(double hz, double rate)
    {
        const double step = kTwoPi * hz / rate;
        stepCos_ = std::cos(step);
        stepSin_ = std::sin(step);
    }
    double Next()
    {
        const double c = cos_ * stepCos_ - sin_ * stepSin_;
        sin_ = cos_ * stepSin_ + sin_ * stepCos_;
        cos_ = c;
        return sin_;
    }
    void Renormalise()
    {
        const double norm = std::sqrt(cos_ * cos_ + sin_ * sin_);
        cos_ /= norm;
        sin_ /= norm;
    }

private:
    double cos_ = 1.0, sin_ = 0.0, stepCos_ = 1.0, stepSin_ = 0.0;
};

enum class Material { kMusic, kSilence, kBursts, kDc, kSweep, kDenormal, kClicks, kPause, kCount };

const char* MaterialName(Material m)
{
    static const char* const kNames[] = {"music", "silence", "bursts", "dc", "sweep", "denormal", "clicks", "pause"};
    return kNames[int(m)];
}

// Generates the material a segment at a time, a call's worth at a time.
class MaterialSource {
public:
    MaterialSource(double rate, Random& random) : rate_(rate), random_(random) { NextSegment(); }

    Material Current() const { return material_; }

    // Writes `pairs` interleaved pairs and moves on to a new segment when due.
    void Fill(float* out, std::int32_t pairs)
    {
        for (std::int32_t i = 0; i < pairs; ++i) {
            double left = 0.0, right = 0.0;
            Sample(left, right);
            out[2 * i] = float(left);
            out[2 * i + 1] = float(right);
        }
        for (Oscillator& o : voices_)
            o.Renormalise();
        kick_.Renormalise();
        remaining_ -= pairs;
        if (remaining_ <= 0)
            NextSegment();
    }

private:
    void NextSegment()
    {
        material_ = Material(random_.Int(0, int(Material::kCount) - 1));
        if (random_.Chance(0.4))
            material_ = Material::kMusic;   // mostly music, as a host mostly plays
        remaining_ = std::int64_t(random_.Uniform(0.2, 15.0) * rate_);
        level_ = kFullScale * std::pow(10.0, random_.Uniform(-2.5, 0.6));   // -50 dB .. +12 dB
        position_ = 0;
        switch (material_) {
        case Material::kMusic:
            beatPairs_ = std::int64_t(rate_ * 60.0 / random_.Uniform(70.0, 180.0));
            notePairs_ = beatPairs_ / random_.Int(1, 4);
            root_ = random_.Uniform(40.0, 400.0);
            kick_.Set(random_.Uniform(45.0, 70.0), rate_);
            NewNotes();
            break;
        case Material::kDc:
            dcLeft_ = random_.Signed() * 2.0 * kFullScale;
            dcRight_ = random_.Chance(0.5) ? dcLeft_ : random_.Signed() * 2.0 * kFullScale;
            break;
        case Material::kSweep:
            sweepPhase_ = 0.0;
            sweepHz_ = 20.0;
            sweepGrowth_ = std::pow(rate_ * 0.5 / 20.0, 1.0 / double(std::max<std::int64_t>(remaining_, 1)));
            break;
        case Material::kClicks: beatPairs_ = std::int64_t(random_.Uniform(0.001, 0.5) * rate_) + 1; break;
        default: break;
        }
    }

    void NewNotes()
    {
        static constexpr int kScale[] = {0, 3, 5, 7, 10, 12, 15, 19, 24};
        for (int v = 0; v < kVoices; ++v) {
            const double hz = root_ * std::pow(2.0, kScale[random_.Int(0, 8)] / 12.0) * (v + 1);
            voices_[v].Set(std::min(hz, rate_ * 0.45), rate_);
            pan_[v] = random_.Uniform(0.1, 0.9);
            voiceLevel_[v] = random_.Uniform(0.05, 0.3);
        }
        noteEnvelope_ = 0.0;
    }

    void Sample(double& left, double& right)
    {
        const std::int64_t t = position_++;
        switch (material_) {
        case Material::kMusic: {
            if (t % notePairs_ == 0 && t > 0)
                NewNotes();
            noteEnvelope_ = std::min(1.0, noteEnvelope_ + 0.002) * 0.99997;
            for (int v = 0; v < kVoices; ++v) {
                const double x = voices_[v].Next() * voiceLevel_[v] * noteEnvelope_;
                left += x * (1.0 - pan_[v]);
                right += x * pan_[v];
            }
            if (t % beatPairs_ == 0)
                kickEnvelope_ = 1.0;
            kickEnvelope_ *= 0.9995;
            const double kick = kick_.Next() * kickEnvelope_ * 0.6;
            if (t % (beatPairs_ / 2 + 1) == 0)
                hatEnvelope_ = 0.3;
            hatEnvelope_ *= 0.995;
            left += kick + hatEnvelope_ * random_.Signed();
            right += kick + hatEnvelope_ * random_.Signed();
            left *= level_;
            right *= level_;
            break;
        }
        case Material::kBursts:
            if (t % 4096 == 0)
                burstOn_ = random_.Chance(0.3);
            if (burstOn_) {
                left = level_ * 4.0 * random_.Signed();
                right = level_ * 4.0 * random_.Signed();
            }
            break;
        case Material::kDc:
            left = dcLeft_;
            right = dcRight_;
            break;
        case Material::kSweep:
            sweepPhase_ = std::fmod(sweepPhase_ + kTwoPi * sweepHz_ / rate_, kTwoPi);
            sweepHz_ *= sweepGrowth_;
            left = right = level_ * std::sin(sweepPhase_);
            break;
        case Material::kDenormal:
            left = 1e-39 * random_.Signed();
            right = 1e-41 * random_.Signed();
            break;
        case Material::kClicks:
            if (t % beatPairs_ == 0)
                left = right = level_ * (random_.Chance(0.5) ? 1.0 : -1.0);
            break;
        case Material::kSilence:
        case Material::kPause:
        case Material::kCount: break;
        }
    }

    static constexpr int kVoices = 4;
    double rate_;
    Random& random_;
    Material material_ = Material::kMusic;
    std::int64_t remaining_ = 0;
    std::int64_t position_ = 0;
    double level_ = kFullScale;
    std::int64_t beatPairs_ = 1;
    std::int64_t notePairs_ = 1;
    double root_ = 110.0;
    Oscillator voices_[kVoices];
    double pan_[kVoices] = {};
    double voiceLevel_[kVoices] = {};
    double noteEnvelope_ = 0.0;
    Oscillator kick_;
    double kickEnvelope_ = 0.0;
    double hatEnvelope_ = 0.0;
    bool burstOn_ = false;
    double dcLeft_ = 0.0, dcRight_ = 0.0;
    double sweepPhase_ = 0.0, sweepHz_ = 20.0, sweepGrowth_ = 1.0;
};

struct Totals {
    double audioSeconds = 0.0;
    double processSeconds = 0.0;
    std::int64_t pairs = 0;
    std::int64_t calls = 0;
    std::int64_t finiteChecked = 0;
    double largestCall = 0.0;
    std::int32_t largestCallPairs = 0;
    std::int32_t largestCallRate = 0;
    double largestCallCpu = 0.0;
};

// A buffer size as hosts choose them: mostly powers of two, sometimes anything.
std::int32_t CallPairs(Random& random)
{
    if (random.Chance(0.75))
        return 1 << random.Int(5, 11);
    if (random.Chance(0.8))
        return random.Int(1, 4096);
    return random.Int(4097, kLargestCall);
}

// A new value for one to three parameters: within the declared range, and now and
// then any byte at all (a host may write one).
void ChangeParameters(host::Machine& machine, Random& random)
{
    const MachineDescription* info = machine.Info();
    const int changes = random.Int(1, 3);
    for (int c = 0; c < changes; ++c) {
        const int index = random.Int(0, info->ParameterCount - 1);
        const ParameterDescriptor* p = info->Parameters[index];
        if (index == 5 && !random.Chance(0.05))
            continue;   // solo and bypass change rarely, or the bands would hardly be heard
        const int value = random.Chance(0.02) ? random.Int(0, 254) : random.Int(p->MinValue, p->MaxValue);
        machine.SetParameterByte(index, std::uint8_t(value));
    }
    if (random.Chance(0.01))
        machine.SetAttribute(random.Chance(0.5) ? 0 : 1);
    machine.ApplyParameters();
}

bool SoakRate(std::int32_t rate, double seconds, std::uint64_t seed, Totals& totals)
{
    Random random(seed ^ (std::uint64_t(rate) * 0x9E3779B97F4A7C15ull));
    MultibandMachine* object = CreateMultibandMachine();
    if (object == nullptr) {
        std::fprintf(stderr, "soak: cannot create a machine\n");
        return false;
    }
    host::Machine machine(object, &Description(), rate);
    machine.Initialise();
    // Start from the declared defaults, as a host does for a new machine.
    for (int i = 0; i < machine.Info()->ParameterCount; ++i)
        machine.SetParameterByte(i, std::uint8_t(machine.Info()->Parameters[i]->DefaultValue));
    machine.ApplyParameters();

    OutputWatch watch;
    MaterialSource source(rate, random);
    std::vector<float> buffer(2 * std::size_t(kLargestCall));
    std::vector<float> input(buffer.size());
    const std::int64_t targetPairs = std::int64_t(seconds * rate);
    std::int64_t pairs = 0;
    std::int64_t calls = 0;
    double processSeconds = 0.0;
    double largest = 0.0;
    std::int32_t largestPairs = 0;
    Material largestMaterial = Material::kMusic;
    double largestCpu = 0.0;

    while (pairs < targetPairs) {
        const std::int32_t count = std::int32_t(std::min<std::int64_t>(CallPairs(random), targetPairs - pairs));
        ChangeParameters(machine, random);
        if (random.Chance(0.0005)) {   // a host that initialises the machine again
            machine.Initialise();
            watch.Reset();
        }
        std::int32_t mode = 3;
        if (source.Current() == Material::kPause)
            mode = 2;
        else if (random.Chance(0.01))
            mode = random.Int(0, 2);
        const Material material = source.Current();
        source.Fill(buffer.data(), count);
        std::copy_n(buffer.data(), 2 * std::size_t(count), input.data());

        watch.Snapshot(*object);
        const double startCpu = ThreadSeconds();
        const Clock::time_point start = Clock::now();
        const bool result = machine.Process(buffer.data(), count, mode);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        largestCpu = std::max(largestCpu, ThreadSeconds() - startCpu);
        processSeconds += elapsed;
        if (elapsed > largest) {
            largest = elapsed;
            largestPairs = count;
            largestMaterial = material;
        }

        ProcessCall call;
        call.input = input.data();
        call.output = buffer.data();
        call.floats = 2 * count;
        call.pairCount = count;
        call.mode = mode;
        call.sampleRate = rate;
        call.reachedEngine = true;
        call.result = result;
        std::string failure = watch.Check(*object, call);
        if (failure.empty())
            failure = CheckEngineState(*object);
        if (failure.empty() && calls % 64 == 0) {
            const std::int32_t index = random.Int(-1, 17);
            failure = CheckValueText(index, machine.Describe(index, random.Int(-300, 300)));
        }
        if (!failure.empty()) {
            std::fprintf(stderr, "soak: at %d Hz, call %lld (%d pairs, mode %d, %s, %.1f s in): %s\n", int(rate),
                         static_cast<long long>(calls), int(count), int(mode), MaterialName(material),
                         double(pairs) / rate, failure.c_str());
            return false;
        }
        pairs += count;
        ++calls;
    }

    const double audio = double(pairs) / rate;
    std::printf("  %6d Hz: %8.1f s of audio, %8lld calls, %7.2f s processing (%6.1fx real time), "
                "largest call %.3f ms (%d pairs of %s), %.3f ms of processor time\n",
                int(rate), audio, static_cast<long long>(calls), processSeconds, audio / processSeconds,
                largest * 1e3, int(largestPairs), MaterialName(largestMaterial), largestCpu * 1e3);
    std::fflush(stdout);
    totals.audioSeconds += audio;
    totals.processSeconds += processSeconds;
    totals.pairs += pairs;
    totals.calls += calls;
    totals.finiteChecked += watch.FiniteChecked();
    totals.largestCallCpu = std::max(totals.largestCallCpu, largestCpu);
    if (largest > totals.largestCall) {
        totals.largestCall = largest;
        totals.largestCallPairs = largestPairs;
        totals.largestCallRate = rate;
    }
    return true;
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if ((arg == "--minutes" || arg == "--hours") && value != nullptr) {
            options.audioSeconds = std::atof(value) * (arg == "--hours" ? 3600.0 : 60.0);
            ++i;
        } else if (arg == "--rates" && value != nullptr) {
            options.rates.clear();
            for (const char* p = value; *p != '\0';) {
                char* end = nullptr;
                const long rate = std::strtol(p, &end, 10);
                if (end == p || rate <= 0)
                    return false;
                options.rates.push_back(std::int32_t(rate));
                p = *end == ',' ? end + 1 : end;
            }
            ++i;
        } else if (arg == "--seed" && value != nullptr) {
            options.seed = std::strtoull(value, nullptr, 10);
            ++i;
        } else {
            return false;
        }
    }
    return options.audioSeconds > 0.0 && !options.rates.empty();
}

} // namespace
} // namespace korvax::soak

int main(int argc, char** argv)
{
    using namespace korvax::soak;
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: korvax_soak [--minutes M | --hours H] [--rates R,R,...] [--seed N]\n");
        return 2;
    }
    std::printf("soak: %.1f min of audio over %d sample rates, seed %llu\n", options.audioSeconds / 60.0,
                int(options.rates.size()), static_cast<unsigned long long>(options.seed));
    const Clock::time_point start = Clock::now();
    Totals totals;
    const double share = options.audioSeconds / double(options.rates.size());
    for (std::int32_t rate : options.rates)
        if (!SoakRate(rate, share, options.seed, totals))
            return 1;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("soak: %.3f h of audio, %lld calls, %.1f s processing (%.1fx real time, %.2f M pairs/s), "
                "%.1f s in all; largest call %.3f ms (%d pairs at %d Hz), largest processor time of a call "
                "%.3f ms; %lld output pairs required finite; every invariant held\n",
                totals.audioSeconds / 3600.0, static_cast<long long>(totals.calls), totals.processSeconds,
                totals.audioSeconds / totals.processSeconds, double(totals.pairs) / totals.processSeconds / 1e6,
                wall, totals.largestCall * 1e3, int(totals.largestCallPairs), int(totals.largestCallRate),
                totals.largestCallCpu * 1e3, static_cast<long long>(totals.finiteChecked));
    return 0;
}
