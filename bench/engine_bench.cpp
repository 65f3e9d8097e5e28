// Speed of the signal engine, each figure printed beside its target:
//
//   RealFft, n = 8192       within 2.5x of FFTW's single-precision real transform of
//                           16384 samples, timed in the same run
//   worst processing call   a 64-pair call that completes a block: at most 25% of the
//                           64-pair period at 48 kHz (1333 us), so 333 us
//   sustained processing    72 ns per sample pair, default settings, stereo noise in
//                           256-pair calls
//   machine object          under 1 MiB
//
// Before anything is timed the program checks that the engine's output equals
// the plain reference transcription bit for bit; a mismatch ends it with status 1.
// Times are wall-clock medians over the repetitions (run with
// --benchmark_repetitions=5 or more; scripts/bench.sh does).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/band_mask.h"
#include "dsp/block_engine.h"
#include "dsp/dynamics.h"
#include "dsp/real_fft.h"
#include "dsp/reference_fft.h"
#include "engine/reference_engine.h"
#include "params/curves.h"
#include "plugin/description.h"
#include "plugin/machine.h"

#if defined(KORVAX_BENCH_FFTW)
#include <fftw3.h>
#endif

namespace korvax::bench {
namespace {

constexpr std::int32_t kPoints = kBlockHalfLength;   // 8192 complex points, 16384 samples
constexpr std::int32_t kRate = 48000;
constexpr double kPeriod64Us = 64.0 * 1e6 / 48000.0;    // 1333.3 us
constexpr double kWorstCallTargetUs = 0.25 * kPeriod64Us;
constexpr double kSustainedTargetNs = 72.0;
constexpr double kFftRatioTarget = 2.5;
constexpr std::size_t kMachineSizeTarget = std::size_t{1} << 20;

using Clock = std::chrono::steady_clock;

std::vector<float> Noise(std::size_t count, std::uint32_t seed, float amplitude)
{
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> data(count);
    for (float& x : data)
        x = dist(engine);
    return data;
}

bool SameBits(const float* a, const float* b, std::size_t count)
{
    return std::memcmp(a, b, count * sizeof(float)) == 0;
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "engine_bench: %s differs from the plain reference; nothing was timed\n", what);
    std::exit(1);
}

// Declared defaults of every parameter, as a host that has just loaded the
// machine shows them, with the compressor on as the engine initialisation leaves it.
WorkingParameters DefaultSettings()
{
    WorkingParameters working = ConstructionParameters();
    StoreStartValues(working);
    const MachineDescription& info = Description();
    for (int i = 0; i < info.ParameterCount; ++i)
        StoreParameterValue(working, i, static_cast<std::uint8_t>(info.Parameters[i]->DefaultValue));
    return working;
}

// A spectrum as the engine masks it: the forward transform of noise.
std::vector<float> NoiseSpectrum()
{
    std::vector<float> data = Noise(kBufferFloats, 5, 0.5f);
    RealFft(data.data(), kPoints, 1);
    return data;
}

// ---- checks before timing ------------------------------------------------------

void CheckTransforms()
{
    for (std::int32_t forward = 0; forward <= 1; ++forward) {
        std::vector<float> fast = forward != 0 ? Noise(2 * kPoints, 1, 1.0f) : NoiseSpectrum();
        std::vector<float> plain = fast;
        RealFft(fast.data(), kPoints, forward);
        reference::RealFft(plain.data(), kPoints, forward);
        if (!SameBits(fast.data(), plain.data(), fast.size()))
            Fail(forward != 0 ? "RealFft forward" : "RealFft inverse");
    }
}

void CheckBandMask()
{
    const float low = SplitFrequency(42.0f);
    const float high = SplitFrequency(85.0f);
    for (const float steepness : {0.0f, 0.5f, 1.0f}) {
        std::vector<float> fast = NoiseSpectrum();
        std::vector<float> plain = fast;
        ApplyBandMask(fast.data(), kBlockFloats, kRate, low, high, steepness);
        reference::ApplyBandMask(plain.data(), kBlockFloats, kRate, low, high, steepness);
        if (!SameBits(fast.data(), plain.data(), fast.size()))
            Fail("ApplyBandMask");
    }
}

void CheckEngine()
{
    const WorkingParameters working = DefaultSettings();
    auto state = std::make_unique<EngineState>();
    ResetEngine(*state);
    reference::Engine plain;
    std::vector<float> fast = Noise(2 * 20000, 9, 20000.0f);
    std::vector<float> expected = fast;
    for (std::size_t start = 0; start < fast.size(); start += 2 * 256) {
        const auto pairs = static_cast<std::int32_t>(std::min<std::size_t>(256, (fast.size() - start) / 2));
        ProcessStereo(*state, working, &kRate, fast.data() + start, pairs, kModeInput | kModeOutput);
        plain.Process(working, kRate, expected.data() + start, pairs, kModeInput | kModeOutput);
    }
    if (!SameBits(fast.data(), expected.data(), fast.size()))
        Fail("ProcessStereo");
}

// ---- transforms ----------------------------------------------------------------

// Each transform starts from a fresh copy of its input (untimed), since the
// forward transform scales by 1/N and would soon run into denormals.
template <class Transform>
void TimeEach(benchmark::State& state, const std::vector<float>& input, float* work, Transform transform)
{
    for (auto _ : state) {
        std::memcpy(work, input.data(), input.size() * sizeof(float));
        const Clock::time_point start = Clock::now();
        transform();
        const Clock::time_point end = Clock::now();
        benchmark::DoNotOptimize(work);
        benchmark::ClobberMemory();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}

void BM_RealFftForward(benchmark::State& state)
{
    const std::vector<float> input = Noise(2 * kPoints, 1, 1.0f);
    std::vector<float> work(input.size());
    TimeEach(state, input, work.data(), [&] { RealFft(work.data(), kPoints, 1); });
    state.SetLabel("n=8192; target <= 2.5x FFTW r2c");
}
BENCHMARK(BM_RealFftForward)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_RealFftInverse(benchmark::State& state)
{
    const std::vector<float> input = NoiseSpectrum();
    std::vector<float> work(input.size());
    TimeEach(state, input, work.data(), [&] { RealFft(work.data(), kPoints, 0); });
    state.SetLabel("n=8192; target <= 2.5x FFTW c2r");
}
BENCHMARK(BM_RealFftInverse)->UseManualTime()->Unit(benchmark::kMicrosecond);

#if defined(KORVAX_BENCH_FFTW)
struct FftwBuffers {
    float* real = fftwf_alloc_real(2 * kPoints);
    fftwf_complex* spectrum = fftwf_alloc_complex(kPoints + 1);
    ~FftwBuffers()
    {
        fftwf_free(real);
        fftwf_free(spectrum);
    }
};

void BM_FftwForward(benchmark::State& state)
{
    FftwBuffers b;
    const fftwf_plan plan = fftwf_plan_dft_r2c_1d(2 * kPoints, b.real, b.spectrum, FFTW_MEASURE);
    const std::vector<float> input = Noise(2 * kPoints, 1, 1.0f);
    TimeEach(state, input, b.real, [&] { fftwf_execute(plan); });
    fftwf_destroy_plan(plan);
    state.SetLabel("16384 real samples, r2c, FFTW_MEASURE");
}
BENCHMARK(BM_FftwForward)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_FftwInverse(benchmark::State& state)
{
    FftwBuffers b;
    const fftwf_plan plan = fftwf_plan_dft_c2r_1d(2 * kPoints, b.spectrum, b.real, FFTW_MEASURE);
    // c2r overwrites its input: each run starts from a fresh spectrum.
    std::vector<float> input = NoiseSpectrum();
    input.resize(2 * (kPoints + 1));
    input[2 * kPoints] = input[1];   // Nyquist moves to the end in FFTW's layout
    input[1] = 0.0f;
    input[2 * kPoints + 1] = 0.0f;
    TimeEach(state, input, reinterpret_cast<float*>(b.spectrum), [&] { fftwf_execute(plan); });
    fftwf_destroy_plan(plan);
    state.SetLabel("16384 real samples, c2r, FFTW_MEASURE");
}
BENCHMARK(BM_FftwInverse)->UseManualTime()->Unit(benchmark::kMicrosecond);

// RealFft and FFTW taken in turn, each on a fresh copy of its input, so that
// both meet the same phase of a machine whose neighbours come and go. The time
// is RealFft's; "ratio" is RealFft's total time over FFTW's.
void PairedWithFftw(benchmark::State& state, bool forward)
{
    FftwBuffers b;
    const fftwf_plan plan = forward ? fftwf_plan_dft_r2c_1d(2 * kPoints, b.real, b.spectrum, FFTW_MEASURE)
                                    : fftwf_plan_dft_c2r_1d(2 * kPoints, b.spectrum, b.real, FFTW_MEASURE);
    const std::vector<float> ours = forward ? Noise(2 * kPoints, 1, 1.0f) : NoiseSpectrum();
    std::vector<float> theirs = ours;
    if (!forward) {
        theirs.resize(2 * (kPoints + 1));
        theirs[2 * kPoints] = theirs[1];   // Nyquist moves to the end in FFTW's layout
        theirs[1] = 0.0f;
        theirs[2 * kPoints + 1] = 0.0f;
    }
    float* const theirWork = forward ? b.real : reinterpret_cast<float*>(b.spectrum);
    std::vector<float> work(ours.size());
    double oursTotal = 0.0;
    double theirsTotal = 0.0;
    for (auto _ : state) {
        std::memcpy(work.data(), ours.data(), ours.size() * sizeof(float));
        const Clock::time_point start = Clock::now();
        RealFft(work.data(), kPoints, forward ? 1 : 0);
        const Clock::time_point middle = Clock::now();
        benchmark::DoNotOptimize(work.data());
        std::memcpy(theirWork, theirs.data(), theirs.size() * sizeof(float));
        const Clock::time_point again = Clock::now();
        fftwf_execute(plan);
        const Clock::time_point end = Clock::now();
        benchmark::ClobberMemory();
        const double oursSeconds = std::chrono::duration<double>(middle - start).count();
        oursTotal += oursSeconds;
        theirsTotal += std::chrono::duration<double>(end - again).count();
        state.SetIterationTime(oursSeconds);
    }
    fftwf_destroy_plan(plan);
    state.counters["ratio"] = theirsTotal > 0.0 ? oursTotal / theirsTotal : 0.0;
    state.SetLabel(forward ? "RealFft forward and FFTW r2c in turn; target ratio <= 2.5"
                           : "RealFft inverse and FFTW c2r in turn; target ratio <= 2.5");
}

void BM_RealFftForwardPaired(benchmark::State& state)
{
    PairedWithFftw(state, true);
}
BENCHMARK(BM_RealFftForwardPaired)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_RealFftInversePaired(benchmark::State& state)
{
    PairedWithFftw(state, false);
}
BENCHMARK(BM_RealFftInversePaired)->UseManualTime()->Unit(benchmark::kMicrosecond);
#endif

// ---- band mask and dynamics ----------------------------------------------------

void BM_ApplyBandMask(benchmark::State& state)
{
    const std::vector<float> input = NoiseSpectrum();
    std::vector<float> work(input.size());
    const float low = SplitFrequency(42.0f);
    const float high = SplitFrequency(85.0f);
    TimeEach(state, input, work.data(),
             [&] { ApplyBandMask(work.data(), kBlockFloats, kRate, low, high, 0.5f); });
    state.SetLabel("mid band, 16384 elements; six per block completion");
}
BENCHMARK(BM_ApplyBandMask)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_ProcessDynamics(benchmark::State& state)
{
    const DynamicsCoefficients coefficients = PrepareDynamics(DefaultSettings());
    GainStates gains;
    ResetGainStates(gains);
    constexpr int kPairs = 4096;
    const std::vector<float> noise = Noise(kBandValueCount * kPairs, 3, 0.7f);
    std::vector<BandValues> bands(kPairs);
    for (int i = 0; i < kPairs; ++i)
        std::copy_n(noise.data() + kBandValueCount * i, kBandValueCount, bands[i].begin());
    // In runs of 64 pairs, as the engine hands them over.
    constexpr int kRun = 64;
    std::vector<OutputPair> out(kRun);
    for (auto _ : state) {
        for (int start = 0; start < kPairs; start += kRun) {
            ProcessDynamicsPairs(coefficients, gains, bands.data() + start, out.data(), kRun);
            benchmark::DoNotOptimize(out.data());
            benchmark::ClobberMemory();
        }
    }
    state.counters["ns_per_pair"] =
        benchmark::Counter(double(kPairs), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetLabel("4096 pairs in 64-pair runs");
}
BENCHMARK(BM_ProcessDynamics)->Unit(benchmark::kMicrosecond);

// ---- the processing call -------------------------------------------------------

struct Engine {
    Engine() : state(std::make_unique<EngineState>()), working(DefaultSettings())
    {
        ResetEngine(*state);
        // Run well past the start-up latency so every buffer holds signal.
        std::vector<float> warm = Noise(2 * 160 * 256, 21, 20000.0f);
        for (std::size_t start = 0; start < warm.size(); start += 2 * 256)
            ProcessStereo(*state, working, &kRate, warm.data() + start, 256, kModeInput | kModeOutput);
    }
    std::unique_ptr<EngineState> state;
    WorkingParameters working;
};

void BM_ProcessStereoSustained(benchmark::State& state)
{
    constexpr std::int32_t kCallPairs = 256;
    Engine engine;
    const std::vector<float> noise = Noise(2 * 65536, 22, 20000.0f);
    std::vector<float> buffer(2 * kCallPairs);
    std::size_t offset = 0;
    for (auto _ : state) {
        std::memcpy(buffer.data(), noise.data() + offset, buffer.size() * sizeof(float));
        offset = (offset + buffer.size()) % noise.size();
        ProcessStereo(*engine.state, engine.working, &kRate, buffer.data(), kCallPairs, kModeInput | kModeOutput);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["ns_per_pair"] = benchmark::Counter(
        double(kCallPairs), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetLabel("256-pair calls, default settings; target <= 72 ns per pair");
}
BENCHMARK(BM_ProcessStereoSustained)->Unit(benchmark::kMicrosecond);

// A 64-pair call in whose middle a block completes: two forward transforms, six
// masks, most of six inverse transforms and the rest of them that its own pairs
// read run inside it. With newSetting, the steepness changes before every such
// call, so the band masks' gains are worked out in it too.
void WorstCall(benchmark::State& state, bool newSetting)
{
    constexpr std::int32_t kCallPairs = 64;
    Engine engine;
    const std::vector<float> noise = Noise(2 * 65536, 23, 20000.0f);
    std::vector<float> buffer(2 * kCallPairs);
    std::size_t offset = 0;
    const auto nextInput = [&](std::int32_t pairs) {
        std::memcpy(buffer.data(), noise.data() + offset, 2 * std::size_t(pairs) * sizeof(float));
        offset = (offset + buffer.size()) % noise.size();
    };
    for (auto _ : state) {
        // Ordinary calls, untimed, up to 32 pairs before the next completion
        // (pipelines A and B take turns), so the engine is in the state a
        // host's calls leave it in.
        const std::uint32_t nearest = std::max(engine.state->blockAPosition, engine.state->blockBPosition);
        std::int32_t toGo = std::int32_t(kBlockFloats - nearest) - kCallPairs / 2;
        if (toGo < 0)
            toGo += kBlockHalfLength;
        while (toGo > 0) {
            const std::int32_t pairs = std::min(toGo, kCallPairs);
            nextInput(pairs);
            ProcessStereo(*engine.state, engine.working, &kRate, buffer.data(), pairs, kModeInput | kModeOutput);
            toGo -= pairs;
        }
        nextInput(kCallPairs);
        if (newSetting)
            engine.working.Steepness = engine.working.Steepness == 64.0f ? 65.0f : 64.0f;
        const Clock::time_point start = Clock::now();
        ProcessStereo(*engine.state, engine.working, &kRate, buffer.data(), kCallPairs, kModeInput | kModeOutput);
        const Clock::time_point end = Clock::now();
        benchmark::DoNotOptimize(buffer.data());
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.SetLabel(newSetting ? "the same, steepness changed just before: new mask gains"
                              : "64 pairs completing a block; target <= 333 us (25% of 1333 us)");
}

void BM_ProcessStereoWorstCall(benchmark::State& state)
{
    WorstCall(state, false);
}
BENCHMARK(BM_ProcessStereoWorstCall)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_ProcessStereoWorstCallNewSetting(benchmark::State& state)
{
    WorstCall(state, true);
}
BENCHMARK(BM_ProcessStereoWorstCallNewSetting)->UseManualTime()->Unit(benchmark::kMicrosecond);

// ---- the summary against the targets -------------------------------------------

// Passes everything to the console and keeps, per benchmark, its median real
// time in microseconds (the "median" aggregate when there is one, otherwise the
// median of the runs) and its ns_per_pair or ratio counter.
class TargetReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string name = run.run_name.function_name;
            const double us = run.GetAdjustedRealTime() * Scale(run.time_unit);
            const auto counter = run.counters.find("ns_per_pair");
            const auto ratio = run.counters.find("ratio");
            const double perPair = counter != run.counters.end() ? counter->second.value * 1e9
                                   : ratio != run.counters.end() ? ratio->second.value
                                                                 : 0.0;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median")
                    medians_[name] = {us, perPair};
            } else if (!run.error_occurred) {
                samples_[name].push_back({us, perPair});
            }
        }
    }

    // {microseconds, ns per pair or ratio}, or {0, 0} when the benchmark did not run.
    std::pair<double, double> Median(const std::string& name) const
    {
        if (auto m = medians_.find(name); m != medians_.end())
            return m->second;
        auto s = samples_.find(name);
        if (s == samples_.end() || s->second.empty())
            return {0.0, 0.0};
        std::vector<std::pair<double, double>> v = s->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }

private:
    static double Scale(benchmark::TimeUnit unit)
    {
        switch (unit) {
        case benchmark::kNanosecond: return 1e-3;
        case benchmark::kMicrosecond: return 1.0;
        case benchmark::kMillisecond: return 1e3;
        default: return 1e6;
        }
    }
    std::map<std::string, std::pair<double, double>> medians_;
    std::map<std::string, std::vector<std::pair<double, double>>> samples_;
};

void PrintLine(const char* what, const std::string& value, const std::string& target, bool met)
{
    std::printf("  %-34s %-22s %-28s %s\n", what, value.c_str(), target.c_str(), met ? "met" : "NOT MET");
}

std::string Format(const char* format, double a, double b = 0.0)
{
    char text[64];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

void PrintTargets(const TargetReporter& r)
{
    std::printf("\nTargets (medians of this run)\n");
    // The ratio is the one timed in turn; the separate medians are shown beside it.
    const struct {
        const char* what;
        const char* ours;
        const char* theirs;
        const char* paired;
    } transforms[] = {{"RealFft forward / FFTW r2c", "BM_RealFftForward", "BM_FftwForward", "BM_RealFftForwardPaired"},
                      {"RealFft inverse / FFTW c2r", "BM_RealFftInverse", "BM_FftwInverse", "BM_RealFftInversePaired"}};
    for (const auto& t : transforms) {
        const auto ours = r.Median(t.ours);
        const auto theirs = r.Median(t.theirs);
        const double ratio = r.Median(t.paired).second;
        if (ours.first > 0 && theirs.first > 0 && ratio > 0)
            PrintLine(t.what, Format("%.1f / %.1f us", ours.first, theirs.first),
                      Format("ratio in turn %.2f <= %.1f", ratio, kFftRatioTarget), ratio <= kFftRatioTarget);
    }
    const auto worst = r.Median("BM_ProcessStereoWorstCall");
    if (worst.first > 0)
        PrintLine("worst 64-pair call", Format("%.1f us", worst.first),
                  Format("<= %.0f us (%.1f%% of period)", kWorstCallTargetUs, 100.0 * worst.first / kPeriod64Us),
                  worst.first <= kWorstCallTargetUs);
    const auto changed = r.Median("BM_ProcessStereoWorstCallNewSetting");
    if (changed.first > 0)
        PrintLine("  the same with a new setting", Format("%.1f us", changed.first),
                  Format("<= %.0f us (%.1f%% of period)", kWorstCallTargetUs, 100.0 * changed.first / kPeriod64Us),
                  changed.first <= kWorstCallTargetUs);
    const auto sustained = r.Median("BM_ProcessStereoSustained");
    if (sustained.second > 0)
        PrintLine("sustained ProcessStereo", Format("%.1f ns per pair", sustained.second),
                  Format("<= %.0f ns per pair", kSustainedTargetNs), sustained.second <= kSustainedTargetNs);
    PrintLine("machine object", Format("%.0f bytes", double(sizeof(MultibandMachine))),
              Format("< %.0f bytes", double(kMachineSizeTarget)), sizeof(MultibandMachine) < kMachineSizeTarget);
}

} // namespace
} // namespace korvax::bench

int main(int argc, char** argv)
{
    using namespace korvax::bench;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    CheckTransforms();
    CheckBandMask();
    CheckEngine();
    std::printf("Output bits checked against the plain reference: identical\n");
    TargetReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintTargets(reporter);
    benchmark::Shutdown();
    return 0;
}
