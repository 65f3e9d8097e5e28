// Speed of the signal engine with each tier of the kernel table (dsp/kernels.h)
// the build and the processor offer, each figure printed per tier beside its
// target:
//
//   RealFft, n = 8192       within 2.5x of FFTW's single-precision real transform of
//                           16384 samples, the two timed in turn
//   worst processing call   a 64-pair call that completes a block: at most 25% of the
//                           64-pair period at 48 kHz (1333 us), so 333 us; the same
//                           for the first such call after the engine is initialised
//                           in fresh memory, and for one whose setting just changed
//   sustained processing    72 ns per sample pair, default settings, stereo noise in
//                           256-pair calls
//   machine object          under 1 MiB
//
// Before anything is timed the program checks, for every tier, that the
// engine's output equals the plain reference transcription bit for bit; a
// mismatch ends it with status 1. Times are medians over the repetitions (run
// with --benchmark_repetitions=5 or more; scripts/bench.sh does): wall-clock
// time, and for the single calls also the thread's processor time, which leaves
// out the time other processes took the processor away.
// --benchmark_filter=/sse2 runs one tier; KORVAX_ISA caps the tiers.

#include <benchmark/benchmark.h>

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "dsp/band_mask.h"
#include "dsp/block_engine.h"
#include "dsp/dynamics.h"
#include "dsp/kernels.h"
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
constexpr double kMetersRatioTarget = 1.02;   // the gain meters add at most 2%
constexpr double kFftRatioTarget = 2.5;
constexpr std::size_t kMachineSizeTarget = std::size_t{1} << 20;
constexpr std::int32_t kModeBoth = kModeInput | kModeOutput;

const Isa kTiers[] = {Isa::kPlain, Isa::kSse2, Isa::kAvx, Isa::kAvx512};

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

[[noreturn]] void Fail(Isa isa, const char* what)
{
    std::fprintf(stderr, "engine_bench: %s with the %s tier differs from the plain reference; nothing was timed\n",
                 what, IsaName(isa));
    std::exit(1);
}

// The processor time of this thread, in seconds.
double ThreadSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
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
    reference::RealFft(data.data(), kPoints, 1);
    return data;
}

// ---- checks before timing ------------------------------------------------------

void CheckTier(Isa isa)
{
    const ScopedIsa tier(isa);
    for (std::int32_t forward = 0; forward <= 1; ++forward) {
        std::vector<float> fast = forward != 0 ? Noise(2 * kPoints, 1, 1.0f) : NoiseSpectrum();
        std::vector<float> plain = fast;
        RealFft(fast.data(), kPoints, forward);
        reference::RealFft(plain.data(), kPoints, forward);
        if (!SameBits(fast.data(), plain.data(), fast.size()))
            Fail(isa, forward != 0 ? "RealFft forward" : "RealFft inverse");
    }

    const WorkingParameters working = DefaultSettings();
    auto state = std::make_unique<EngineState>();
    ResetEngine(*state);
    reference::Engine plain;
    std::vector<float> fast = Noise(2 * 20000, 9, 20000.0f);
    std::vector<float> expected = fast;
    for (std::size_t start = 0; start < fast.size(); start += 2 * 256) {
        const auto pairs = static_cast<std::int32_t>(std::min<std::size_t>(256, (fast.size() - start) / 2));
        ProcessStereo(*state, working, &kRate, fast.data() + start, pairs, kModeBoth);
        plain.Process(working, kRate, expected.data() + start, pairs, kModeBoth);
    }
    if (!SameBits(fast.data(), expected.data(), fast.size()))
        Fail(isa, "ProcessStereo");
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
#endif

// RealFft, and where FFTW is installed FFTW's plan taken in turn with it, each
// on a fresh copy of its input, so that both meet the same phase of a machine
// whose neighbours come and go. The time is RealFft's; "ratio" is RealFft's
// total time over FFTW's.
void RealFftBench(benchmark::State& state, Isa isa, bool forward)
{
    const ScopedIsa tier(isa);
    const std::vector<float> ours = forward ? Noise(2 * kPoints, 1, 1.0f) : NoiseSpectrum();
    std::vector<float> work(ours.size());
#if defined(KORVAX_BENCH_FFTW)
    FftwBuffers b;
    const fftwf_plan plan = forward ? fftwf_plan_dft_r2c_1d(2 * kPoints, b.real, b.spectrum, FFTW_MEASURE)
                                    : fftwf_plan_dft_c2r_1d(2 * kPoints, b.spectrum, b.real, FFTW_MEASURE);
    std::vector<float> theirs = ours;
    if (!forward) {
        theirs.resize(2 * (kPoints + 1));
        theirs[2 * kPoints] = theirs[1];   // Nyquist moves to the end in FFTW's layout
        theirs[1] = 0.0f;
        theirs[2 * kPoints + 1] = 0.0f;
    }
    float* const theirWork = forward ? b.real : reinterpret_cast<float*>(b.spectrum);
#endif
    double oursTotal = 0.0;
    double theirsTotal = 0.0;
    for (auto _ : state) {
        std::memcpy(work.data(), ours.data(), ours.size() * sizeof(float));
        const Clock::time_point start = Clock::now();
        RealFft(work.data(), kPoints, forward ? 1 : 0);
        const Clock::time_point middle = Clock::now();
        benchmark::DoNotOptimize(work.data());
        const double oursSeconds = std::chrono::duration<double>(middle - start).count();
        oursTotal += oursSeconds;
#if defined(KORVAX_BENCH_FFTW)
        std::memcpy(theirWork, theirs.data(), theirs.size() * sizeof(float));
        const Clock::time_point again = Clock::now();
        fftwf_execute(plan);
        const Clock::time_point end = Clock::now();
        theirsTotal += std::chrono::duration<double>(end - again).count();
#endif
        benchmark::ClobberMemory();
        state.SetIterationTime(oursSeconds);
    }
#if defined(KORVAX_BENCH_FFTW)
    fftwf_destroy_plan(plan);
#endif
    if (theirsTotal > 0.0)
        state.counters["ratio"] = oursTotal / theirsTotal;
    state.SetLabel(forward ? "n=8192, and FFTW r2c in turn" : "n=8192, and FFTW c2r in turn");
}

// ---- band masks and dynamics ---------------------------------------------------

// The masks of one block completion: three bands of both channels from the
// gain table, as the engine applies them.
void BandMasksBench(benchmark::State& state, Isa isa)
{
    const ScopedIsa tier(isa);
    const std::vector<float> spectrum = NoiseSpectrum();
    std::vector<float> buffers[2][3];
    ChannelBands channels[2];
    for (int c = 0; c < 2; ++c)
        for (int b = 0; b < 3; ++b) {
            buffers[c][b] = spectrum;
            channels[c].band[b] = buffers[c][b].data();
        }
    auto table = std::make_unique<BandGainTable>();
    const BandEdges edges[3] = {
        {10.0f, SplitFrequency(42.0f)}, {SplitFrequency(42.0f), SplitFrequency(85.0f)}, {SplitFrequency(85.0f), 24000.0f}};
    PrepareBandGains(*table, kBlockFloats, kRate, edges, 0.5f);
    for (auto _ : state) {
        state.PauseTiming();
        for (int c = 0; c < 2; ++c)
            std::memcpy(buffers[c][0].data(), spectrum.data(), spectrum.size() * sizeof(float));
        state.ResumeTiming();
        ApplyBandGains(channels, 2, *table);
        benchmark::ClobberMemory();
    }
    state.SetLabel("six bands of 16384 elements from the gain table");
}

void DynamicsBench(benchmark::State& state, Isa isa)
{
    const ScopedIsa tier(isa);
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

// ---- the processing call -------------------------------------------------------

// An engine in memory of its own (fresh pages from the system, as a machine
// object of this size gets them), reset as InitialiseEngine resets it.
class FreshEngine {
public:
    FreshEngine()
    {
        memory_ = mmap(nullptr, sizeof(EngineState), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory_ == MAP_FAILED) {
            std::fprintf(stderr, "engine_bench: no memory for an engine\n");
            std::exit(1);
        }
        state = new (memory_) EngineState;
        ResetEngine(*state);
    }
    ~FreshEngine() { munmap(memory_, sizeof(EngineState)); }
    FreshEngine(const FreshEngine&) = delete;
    FreshEngine& operator=(const FreshEngine&) = delete;
    EngineState* state;

private:
    void* memory_;
};

struct Engine {
    Engine() : working(DefaultSettings())
    {
        // Run well past the start-up latency so every buffer holds signal.
        std::vector<float> warm = Noise(2 * 160 * 256, 21, 20000.0f);
        for (std::size_t start = 0; start < warm.size(); start += 2 * 256)
            ProcessStereo(*fresh.state, working, &kRate, warm.data() + start, 256, kModeBoth);
    }
    FreshEngine fresh;
    WorkingParameters working;
};

// Noise for an engine's calls, taken from a long stretch of it in turn.
class Feeder {
public:
    Feeder(std::uint32_t seed, std::int32_t maxPairs)
        : noise_(Noise(2 * 65536, seed, 20000.0f)), buffer_(2 * std::size_t(maxPairs))
    {
    }
    float* Next(std::int32_t pairs)
    {
        const std::size_t floats = 2 * std::size_t(pairs);
        if (offset_ + floats > noise_.size())
            offset_ = 0;
        std::memcpy(buffer_.data(), noise_.data() + offset_, floats * sizeof(float));
        offset_ += floats;
        return buffer_.data();
    }

private:
    std::vector<float> noise_;
    std::vector<float> buffer_;
    std::size_t offset_ = 0;
};

// Ordinary calls of up to `callPairs` pairs, untimed, until the next block
// completion (pipelines A and B take turns) is `ahead` pairs away, so that the
// engine is in the state a host's calls leave it in.
void ProcessUntil(EngineState& s, const WorkingParameters& working, Feeder& feed, std::int32_t callPairs,
                  std::int32_t ahead)
{
    const std::uint32_t nearest = std::max(s.blockAPosition, s.blockBPosition);
    std::int32_t toGo = std::int32_t(kBlockFloats - nearest) - ahead;
    if (toGo < 0)
        toGo += kBlockHalfLength;
    while (toGo > 0) {
        const std::int32_t pairs = std::min(toGo, callPairs);
        ProcessStereo(s, working, &kRate, feed.Next(pairs), pairs, kModeBoth);
        toGo -= pairs;
    }
}

void SustainedBench(benchmark::State& state, Isa isa)
{
    const ScopedIsa tier(isa);
    constexpr std::int32_t kCallPairs = 256;
    Engine engine;
    const std::vector<float> noise = Noise(2 * 65536, 22, 20000.0f);
    std::vector<float> buffer(2 * kCallPairs);
    std::size_t offset = 0;
    for (auto _ : state) {
        std::memcpy(buffer.data(), noise.data() + offset, buffer.size() * sizeof(float));
        offset = (offset + buffer.size()) % noise.size();
        ProcessStereo(*engine.fresh.state, engine.working, &kRate, buffer.data(), kCallPairs, kModeBoth);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["ns_per_pair"] = benchmark::Counter(
        double(kCallPairs), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetLabel("256-pair calls, default settings");
}

// The gain meters' cost, as the LV2 plug-in and korvax keep them: two engines
// in the same state take the same 256-pair calls in turn, one with the meters on
// and taken after every call. The iteration time is the metered call's; the
// ratio, metered over plain, is what the meters add.
void MetersBench(benchmark::State& state, Isa isa)
{
    const ScopedIsa tier(isa);
    constexpr std::int32_t kCallPairs = 256;
    Engine plain;
    Engine metered;
    SwitchMeters(*metered.fresh.state, true);
    const std::vector<float> noise = Noise(2 * 65536, 22, 20000.0f);
    std::vector<float> a(2 * kCallPairs);
    std::vector<float> b(2 * kCallPairs);
    std::size_t offset = 0;
    double plainSeconds = 0.0;
    double meteredSeconds = 0.0;
    for (auto _ : state) {
        std::memcpy(a.data(), noise.data() + offset, a.size() * sizeof(float));
        std::memcpy(b.data(), a.data(), a.size() * sizeof(float));
        offset = (offset + a.size()) % noise.size();
        const Clock::time_point t0 = Clock::now();
        ProcessStereo(*plain.fresh.state, plain.working, &kRate, a.data(), kCallPairs, kModeBoth);
        const Clock::time_point t1 = Clock::now();
        ProcessStereo(*metered.fresh.state, metered.working, &kRate, b.data(), kCallPairs, kModeBoth);
        benchmark::DoNotOptimize(TakeMeters(*metered.fresh.state));
        const Clock::time_point t2 = Clock::now();
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(b.data());
        plainSeconds += std::chrono::duration<double>(t1 - t0).count();
        meteredSeconds += std::chrono::duration<double>(t2 - t1).count();
        state.SetIterationTime(std::chrono::duration<double>(t2 - t1).count());
    }
    state.counters["ratio"] = plainSeconds > 0.0 ? meteredSeconds / plainSeconds : 0.0;
    state.SetLabel("256-pair calls, meters on and taken every call, against off");
}

// Times one processing call: wall clock as the iteration time, the thread's
// processor time summed in `processorSeconds`.
void TimeCall(benchmark::State& state, EngineState& engine, const WorkingParameters& working, float* buffer,
              std::int32_t pairs, double& processorSeconds)
{
    const double processorStart = ThreadSeconds();
    const Clock::time_point start = Clock::now();
    ProcessStereo(engine, working, &kRate, buffer, pairs, kModeBoth);
    const Clock::time_point end = Clock::now();
    processorSeconds += ThreadSeconds() - processorStart;
    benchmark::DoNotOptimize(buffer);
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
}

void ReportProcessorTime(benchmark::State& state, double processorSeconds)
{
    state.counters["cpu_us"] = benchmark::Counter(1e6 * processorSeconds, benchmark::Counter::kAvgIterations);
}

// A 64-pair call in whose middle a block completes: two forward transforms, six
// masks, most of six inverse transforms and the rest of them that its own pairs
// read run inside it. With newSetting, the steepness changes before every such
// call, so the band masks' gains are worked out in it too.
void WorstCallBench(benchmark::State& state, Isa isa, bool newSetting)
{
    const ScopedIsa tier(isa);
    constexpr std::int32_t kCallPairs = 64;
    Engine engine;
    EngineState& s = *engine.fresh.state;
    Feeder feed(23, kCallPairs);
    double processorSeconds = 0.0;
    for (auto _ : state) {
        ProcessUntil(s, engine.working, feed, kCallPairs, kCallPairs / 2);
        float* const buffer = feed.Next(kCallPairs);
        if (newSetting)
            engine.working.Steepness = engine.working.Steepness == 64.0f ? 65.0f : 64.0f;
        TimeCall(state, s, engine.working, buffer, kCallPairs, processorSeconds);
    }
    ReportProcessorTime(state, processorSeconds);
    state.SetLabel(newSetting ? "64 pairs completing a block, steepness changed just before"
                              : "64 pairs completing a block");
}

// The first call that completes a block after the engine is initialised in
// memory fresh from the system: 64-pair calls from the reset on, the 128th
// completes pipeline B's first block and works out the mask gains.
void FirstCompletionBench(benchmark::State& state, Isa isa)
{
    const ScopedIsa tier(isa);
    constexpr std::int32_t kCallPairs = 64;
    const WorkingParameters working = DefaultSettings();
    const std::vector<float> noise = Noise(2 * kBlockHalfLength, 24, 20000.0f);
    std::vector<float> buffer(2 * kCallPairs);
    double processorSeconds = 0.0;
    // The time reported is the timed call's alone (manual time).
    for (auto _ : state) {
        FreshEngine engine;
        std::int32_t start = 0;
        for (; start + kCallPairs < kBlockHalfLength; start += kCallPairs) {
            std::memcpy(buffer.data(), noise.data() + 2 * start, buffer.size() * sizeof(float));
            ProcessStereo(*engine.state, working, &kRate, buffer.data(), kCallPairs, kModeBoth);
        }
        std::memcpy(buffer.data(), noise.data() + 2 * start, buffer.size() * sizeof(float));
        TimeCall(state, *engine.state, working, buffer.data(), kCallPairs, processorSeconds);
        if (engine.state->blockBPosition != 0) {
            std::fprintf(stderr, "engine_bench: the first completion was not where expected\n");
            std::exit(1);
        }
    }
    ReportProcessorTime(state, processorSeconds);
    state.SetLabel("the first call completing a block after InitialiseEngine, fresh memory");
}

// A call of `pairs` pairs whose first pair completes a block: the most that one
// call of a host buffer of that size does, since it reads all its other pairs
// from the new block. Measures the smallest host buffer the engine keeps up with.
void BufferCallBench(benchmark::State& state, Isa isa)
{
    const ScopedIsa tier(isa);
    const auto pairs = std::int32_t(state.range(0));
    Engine engine;
    EngineState& s = *engine.fresh.state;
    Feeder feed(25, pairs);
    double processorSeconds = 0.0;
    for (auto _ : state) {
        ProcessUntil(s, engine.working, feed, pairs, 1);   // the next call's first pair completes
        TimeCall(state, s, engine.working, feed.Next(pairs), pairs, processorSeconds);
    }
    ReportProcessorTime(state, processorSeconds);
    state.SetLabel("a host buffer's call whose first pair completes a block");
}

constexpr std::int64_t kBufferPairs[] = {32, 64, 128, 256, 512, 1024};

// ---- the summary against the targets -------------------------------------------

// Passes everything to the console and keeps, per benchmark, the median of its
// real time in microseconds, of its ns_per_pair or ratio counter, and of its
// processor time (the "median" aggregate when there is one, otherwise the
// median of the runs).
struct Figure {
    double us = 0.0;
    double counter = 0.0;     // ns per pair, or the ratio to FFTW
    double cpuUs = 0.0;
};

class TargetReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string name = run.run_name.function_name;
            Figure f;
            f.us = run.GetAdjustedRealTime() * Scale(run.time_unit);
            for (const char* counter : {"ns_per_pair", "ratio"})
                if (auto c = run.counters.find(counter); c != run.counters.end())
                    f.counter = c->second.value * (std::strcmp(counter, "ns_per_pair") == 0 ? 1e9 : 1.0);
            if (auto c = run.counters.find("cpu_us"); c != run.counters.end())
                f.cpuUs = c->second.value;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median")
                    medians_[name] = f;
            } else if (!run.error_occurred) {
                samples_[name].push_back(f);
            }
        }
    }

    // The figure, or none when the benchmark did not run.
    bool Median(const std::string& name, Figure& out) const
    {
        if (auto m = medians_.find(name); m != medians_.end()) {
            out = m->second;
            return true;
        }
        auto s = samples_.find(name);
        if (s == samples_.end() || s->second.empty())
            return false;
        std::vector<Figure> v = s->second;
        const auto middle = [&](double Figure::*field) {
            std::vector<double> values;
            for (const Figure& x : v)
                values.push_back(x.*field);
            std::sort(values.begin(), values.end());
            return values[values.size() / 2];
        };
        out = {middle(&Figure::us), middle(&Figure::counter), middle(&Figure::cpuUs)};
        return true;
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
    std::map<std::string, Figure> medians_;
    std::map<std::string, std::vector<Figure>> samples_;
};

// One row of the summary: the figure per tier, then its target.
struct Row {
    const char* what;
    const char* benchmark;
    enum Kind { kMicroseconds, kNsPerPair, kRatio, kCallTime } kind;
    double target;   // the value to stay at or below; 0 for none
    const char* targetText;
};

std::string Cell(const Row& row, const Figure& f, bool& met)
{
    char text[64];
    double value = 0.0;
    switch (row.kind) {
    case Row::kMicroseconds:
        value = f.us;
        std::snprintf(text, sizeof text, "%.1f us", value);
        break;
    case Row::kNsPerPair:
        value = f.counter;
        std::snprintf(text, sizeof text, "%.1f ns", value);
        break;
    case Row::kRatio:
        value = f.counter;
        std::snprintf(text, sizeof text, "%.1f us x%.2f", f.us, value);
        break;
    case Row::kCallTime:
        value = f.us;
        std::snprintf(text, sizeof text, "%.0f (%.0f) us", f.us, f.cpuUs);
        break;
    }
    met = row.target <= 0.0 || value <= row.target;
    return std::string(text) + (row.target > 0.0 ? (met ? "  " : " !") : "  ");
}

void PrintTargets(const TargetReporter& r, const std::vector<Isa>& tiers)
{
    const Row rows[] = {
        {"RealFft forward, x FFTW r2c", "RealFftForward", Row::kRatio, kFftRatioTarget, "x <= 2.5"},
        {"RealFft inverse, x FFTW c2r", "RealFftInverse", Row::kRatio, kFftRatioTarget, "x <= 2.5"},
        {"band masks of a completion", "BandMasks", Row::kMicroseconds, 0.0, ""},
        {"dynamics stage, per pair", "Dynamics", Row::kNsPerPair, 0.0, ""},
        {"sustained ProcessStereo, per pair", "Sustained", Row::kNsPerPair, kSustainedTargetNs, "<= 72 ns"},
        {"  with the gain meters, x without", "Meters", Row::kRatio, kMetersRatioTarget, "x <= 1.02"},
        {"worst 64-pair call", "WorstCall", Row::kCallTime, kWorstCallTargetUs, "<= 333 us"},
        {"  the first after InitialiseEngine", "FirstCompletion", Row::kCallTime, kWorstCallTargetUs,
         "<= 333 us"},
        {"  with a new setting", "WorstCallNewSetting", Row::kCallTime, kWorstCallTargetUs, "<= 333 us"},
    };
    std::printf("\nTargets: medians of this run per tier (calls: wall clock, processor time in brackets;"
                " ! = not met)\n  %-36s", "");
    for (const Isa isa : tiers)
        std::printf(" %-18s", IsaName(isa));
    std::printf(" %s\n", "target");
    for (const Row& row : rows) {
        std::string line;
        bool any = false;
        for (const Isa isa : tiers) {
            Figure f;
            bool met = true;
            char cell[40];
            if (r.Median(std::string(row.benchmark) + "/" + IsaName(isa), f)) {
                std::snprintf(cell, sizeof cell, " %-18s", Cell(row, f, met).c_str());
                any = true;
            } else {
                std::snprintf(cell, sizeof cell, " %-18s", "-");
            }
            line += cell;
        }
        if (any)
            std::printf("  %-36s%s %s\n", row.what, line.c_str(), row.targetText);
    }
    std::printf("  %-36s %.0f bytes, target < %.0f bytes: %s\n", "machine object", double(sizeof(MultibandMachine)),
                double(kMachineSizeTarget), sizeof(MultibandMachine) < kMachineSizeTarget ? "met" : "NOT MET");

    // The smallest host buffer (of those timed) whose call that completes a
    // block fits in its period, and in half of it, by the median wall-clock
    // and processor times.
    const std::int32_t rates[] = {44100, 48000, 88200, 96000};
    bool any = false;
    for (const Isa isa : tiers)
        for (const std::int64_t pairs : kBufferPairs) {
            Figure f;
            any = any || r.Median("BufferCall/" + std::to_string(pairs) + "/" + IsaName(isa), f);
        }
    if (!any)
        return;
    std::printf("\nSmallest host buffer, in pairs, whose completing call fits in its period (in half of it),"
                " by wall clock [by processor time]\n  %-36s", "");
    for (const Isa isa : tiers)
        std::printf(" %-22s", IsaName(isa));
    std::printf("\n");
    for (const std::int32_t rate : rates) {
        std::printf("  %-36s", (std::to_string(rate) + " Hz").c_str());
        for (const Isa isa : tiers) {
            const auto smallest = [&](double share, bool processor) -> std::string {
                std::int64_t largest = 0;
                for (const std::int64_t pairs : kBufferPairs) {
                    Figure f;
                    if (!r.Median("BufferCall/" + std::to_string(pairs) + "/" + IsaName(isa), f))
                        continue;
                    largest = pairs;
                    const double periodUs = 1e6 * double(pairs) / double(rate);
                    if ((processor ? f.cpuUs : f.us) <= share * periodUs)
                        return std::to_string(pairs);
                }
                return largest > 0 ? ">" + std::to_string(largest) : "-";
            };
            const std::string cell = smallest(1.0, false) + " (" + smallest(0.5, false) + ") [" +
                                     smallest(1.0, true) + " (" + smallest(0.5, true) + ")]";
            std::printf(" %-22s", cell.c_str());
        }
        std::printf("\n");
    }
}

void RegisterAll(const std::vector<Isa>& tiers)
{
    for (const Isa isa : tiers) {
        const std::string tier = std::string("/") + IsaName(isa);
        benchmark::RegisterBenchmark(("RealFftForward" + tier).c_str(), RealFftBench, isa, true)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("RealFftInverse" + tier).c_str(), RealFftBench, isa, false)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("BandMasks" + tier).c_str(), BandMasksBench, isa)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Dynamics" + tier).c_str(), DynamicsBench, isa)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Sustained" + tier).c_str(), SustainedBench, isa)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("Meters" + tier).c_str(), MetersBench, isa)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("WorstCall" + tier).c_str(), WorstCallBench, isa, false)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("FirstCompletion" + tier).c_str(), FirstCompletionBench, isa)
            ->UseManualTime()
            ->Iterations(50)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("WorstCallNewSetting" + tier).c_str(), WorstCallBench, isa, true)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
        for (const std::int64_t pairs : kBufferPairs)
            benchmark::RegisterBenchmark(("BufferCall/" + std::to_string(pairs) + tier).c_str(), BufferCallBench, isa)
                ->Arg(pairs)
                ->UseManualTime()
                ->Iterations(40)
                ->Unit(benchmark::kMicrosecond);
    }
}

} // namespace
} // namespace korvax::bench

int main(int argc, char** argv)
{
    using namespace korvax;
    using namespace korvax::bench;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::vector<Isa> tiers;
    for (const Isa isa : kTiers)
        if (IsaAvailable(isa))
            tiers.push_back(isa);
    for (const Isa isa : tiers)
        CheckTier(isa);
    std::printf("Output bits of every tier (");
    for (const Isa isa : tiers)
        std::printf("%s%s", IsaName(isa), isa == tiers.back() ? "" : ", ");
    std::printf(") checked against the plain reference: identical\n");
    RegisterAll(tiers);
    TargetReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintTargets(reporter, tiers);
    benchmark::Shutdown();
    return 0;
}
