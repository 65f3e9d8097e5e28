// What the slots' FpuGuard costs (dsp/fpu_guard.h):
//
//   per guard       construction and destruction, when the caller's state is the
//                   engine's (nothing written) and when it is not (flush-to-zero
//                   and, on 32-bit x86, 24-bit x87 precision: set and restored);
//                   target well under 0.1 us
//   sustained       256-pair calls of noise through the machine's ProcessStereo
//                   slot (guarded) and through the engine's ProcessStereo (not),
//                   taking turns call by call in one process so that both meet
//                   the same phases of a shared machine; target: the same
//                   time within noise. Their outputs must be equal.
//
//   build/bench/fpu_guard_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <xmmintrin.h>

#include "dsp/block_engine.h"
#include "dsp/fpu_guard.h"
#include "params/working_parameters.h"
#include "plugin/machine.h"

namespace korvax::bench {
namespace {

constexpr std::int32_t kRate = 48000;
constexpr std::int32_t kCallPairs = 256;
constexpr std::int32_t kMode = 3;   // input and output

using Clock = std::chrono::steady_clock;

#if defined(__i386__)
void SetX87Control(std::uint16_t control)
{
    __asm__ volatile("fldcw %0" : : "m"(control));
}
std::uint16_t X87Control()
{
    std::uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return control;
}
#endif

// Guards in a row, in the caller's state that `hostile` picks.
void BM_FpuGuard(benchmark::State& state)
{
    const bool hostile = state.range(0) != 0;
    const unsigned mxcsr = _mm_getcsr();
#if defined(__i386__)
    const std::uint16_t x87 = X87Control();
    SetX87Control(hostile ? 0x007F : FpuGuard::kEngineX87Control);
#endif
    _mm_setcsr(hostile ? 0x9FC0 : FpuGuard::kEngineMxcsr);
    for (auto _ : state) {
        const FpuGuard guard;
        benchmark::ClobberMemory();
    }
    _mm_setcsr(mxcsr);
#if defined(__i386__)
    SetX87Control(x87);
#endif
    state.counters["ns_per_guard"] =
        benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetLabel(hostile ? "caller in another state: set and restored; target well under 100 ns"
                           : "caller in the engine's state; target well under 100 ns");
}
BENCHMARK(BM_FpuGuard)->Arg(0)->Arg(1);

struct MachineDeleter {
    void operator()(MultibandMachine* machine) const { machine->Destroy(1); }
};

// The same noise through the guarded slot of one machine and the unguarded
// engine of another, call by call in turn; each call's time goes to its side.
void BM_ProcessStereoGuardedAndNot(benchmark::State& state)
{
    std::unique_ptr<MultibandMachine, MachineDeleter> machine(CreateMultibandMachine());
    std::unique_ptr<MultibandMachine, MachineDeleter> bare(CreateMultibandMachine());
    if (!machine || !bare) {
        state.SkipWithError("no memory for two machines");
        return;
    }
    const MasterInfo info = {0, 0, kRate};
    machine->masterInfo = &info;
    machine->InitialiseEngine(nullptr);
    bare->InitialiseEngine(nullptr);

    std::mt19937 random(31);
    std::uniform_real_distribution<float> noise(-20000.0f, 20000.0f);
    std::vector<float> input(2 * 65536);
    for (float& x : input)
        x = noise(random);
    std::vector<float> guarded(2 * kCallPairs);
    std::vector<float> unguarded(2 * kCallPairs);
    std::size_t offset = 0;
    double guardedSeconds = 0.0;
    double unguardedSeconds = 0.0;
    std::int64_t calls = 0;
    for (auto _ : state) {
        std::memcpy(guarded.data(), input.data() + offset, guarded.size() * sizeof(float));
        std::memcpy(unguarded.data(), input.data() + offset, unguarded.size() * sizeof(float));
        offset = (offset + guarded.size()) % input.size();
        const bool guardedFirst = (calls & 1) == 0;   // neither side always runs right after the other
        for (int turn = 0; turn < 2; ++turn) {
            const auto start = Clock::now();
            if ((turn == 0) == guardedFirst) {
                machine->ProcessStereo(guarded.data(), kCallPairs, kMode);
                guardedSeconds += std::chrono::duration<double>(Clock::now() - start).count();
            } else {
                ProcessStereo(bare->engine, bare->working, &kRate, unguarded.data(), kCallPairs, kMode);
                unguardedSeconds += std::chrono::duration<double>(Clock::now() - start).count();
            }
        }
        if (std::memcmp(guarded.data(), unguarded.data(), guarded.size() * sizeof(float)) != 0) {
            state.SkipWithError("the guarded slot's output differs from the engine's");
            return;
        }
        ++calls;
    }
    const double pairs = double(calls) * kCallPairs;
    state.counters["guarded_ns_per_pair"] = guardedSeconds * 1e9 / pairs;
    state.counters["unguarded_ns_per_pair"] = unguardedSeconds * 1e9 / pairs;
    state.counters["ratio"] = guardedSeconds / unguardedSeconds;
    state.counters["guard_ns_per_call"] = (guardedSeconds - unguardedSeconds) * 1e9 / double(calls);
    state.SetLabel("256-pair calls, start values, 48 kHz; target: ratio 1 within noise");
}
BENCHMARK(BM_ProcessStereoGuardedAndNot)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace korvax::bench

BENCHMARK_MAIN();
