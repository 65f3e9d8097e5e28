// Floating-point exception flags. A host may unmask exceptions (a debugging
// build, another plug-in in the process), so every tier's kernels must raise no
// flag that the plain code would not raise for the same data: a lane whose
// result is not used does no arithmetic that could raise one (a division by a
// zero band value, 0 / 0 in an unused lane). Checked by the flags each tier
// leaves (fetestexcept) against the plain tier's, for silence, music-like
// signal, NaN, huge and denormal input, and by running silence and music with
// every exception but inexact unmasked.

#include <fenv.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "dsp/block_engine.h"
#include "dsp/dynamics.h"
#include "dsp/kernels.h"
#include "params/working_parameters.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

const Isa kTiers[] = {Isa::kPlain, Isa::kSse2, Isa::kAvx, Isa::kAvx512};
constexpr int kFlags = FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW | FE_UNDERFLOW;

std::string FlagNames(int flags)
{
    std::string names;
    for (const auto& [flag, name] : {std::pair{FE_DIVBYZERO, "divide-by-zero"}, std::pair{FE_INVALID, "invalid"},
                                     std::pair{FE_OVERFLOW, "overflow"}, std::pair{FE_UNDERFLOW, "underflow"}})
        if ((flags & flag) != 0)
            names += names.empty() ? name : std::string(", ") + name;
    return names.empty() ? "none" : names;
}

// Music-like input: a few tones with slow envelopes over noise, at a level
// that drives the compressors and the limiter.
std::vector<float> Music(int pairs, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> data(2 * std::size_t(pairs));
    for (int i = 0; i < pairs; ++i) {
        const double t = double(i) / 48000.0;
        const double envelope = 0.5 + 0.5 * std::sin(2.0 * 3.141592653589793 * 0.7 * t);
        const double tones = std::sin(2.0 * 3.141592653589793 * 55.0 * t) * 9000.0 +
                             std::sin(2.0 * 3.141592653589793 * 440.0 * t) * 5000.0 * envelope +
                             std::sin(2.0 * 3.141592653589793 * 5100.0 * t) * 2500.0;
        data[2 * std::size_t(i)] = float(tones + 1500.0 * noise(random));
        data[2 * std::size_t(i) + 1] = float(0.8 * tones + 1500.0 * noise(random));
    }
    return data;
}

struct Input {
    const char* name;
    std::vector<float> samples;
};

std::vector<Input> Inputs()
{
    constexpr int kPairs = 20000;   // both pipelines complete blocks
    std::vector<Input> inputs;
    inputs.push_back({"silence", std::vector<float>(2 * kPairs, 0.0f)});
    inputs.push_back({"music", Music(kPairs, 1)});
    std::vector<float> nan = Music(kPairs, 2);
    for (std::size_t i = 0; i < nan.size(); i += 4001)
        nan[i] = std::numeric_limits<float>::quiet_NaN();
    inputs.push_back({"NaN", nan});
    std::vector<float> huge = Music(kPairs, 3);
    const float extremes[] = {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::max(), -std::numeric_limits<float>::infinity()};
    for (std::size_t i = 0; i < huge.size(); i += 3001)
        huge[i] = extremes[(i / 3001) % 4];
    inputs.push_back({"huge", huge});
    std::vector<float> tiny(2 * kPairs);
    for (std::size_t i = 0; i < tiny.size(); ++i)
        tiny[i] = (i % 3 == 0 ? 1e-42f : -3e-39f) * float(i % 7);
    inputs.push_back({"denormal", tiny});
    return inputs;
}

// Settings: the declared defaults' neighbourhood (the start values), and
// thresholds at 0 (parameter 1) and below 0 (byte 0), where the plain code
// itself divides by zero band values.
struct Setting {
    const char* name;
    std::vector<std::pair<int, std::uint8_t>> parameters;
    std::int32_t link;
};

const Setting kSettings[] = {
    {"start values", {}, 0},
    {"linked, loud", {{0, 128}, {15, 60}, {9, 128}}, 1},
    {"zero and negative thresholds", {{6, 1}, {7, 0}, {8, 1}, {1, 0}, {2, 128}}, 0},
};

// The flags one run of the input raises, the tier given, in 256-pair calls.
int EngineFlags(Isa isa, const Setting& setting, const std::vector<float>& input)
{
    const ScopedIsa tier(isa);
    auto engine = std::make_unique<EngineState>();
    WorkingParameters working = ConstructionParameters();
    ResetEngine(*engine);
    StoreStartValues(working);
    for (const auto& [index, value] : setting.parameters)
        StoreParameterValue(working, index, value);
    working.StereoLink = setting.link;
    std::vector<float> data = input;
    const std::int32_t rate = 48000;
    feclearexcept(FE_ALL_EXCEPT);
    for (std::size_t start = 0; start < data.size(); start += 512) {
        const auto pairs = std::int32_t(std::min<std::size_t>(256, (data.size() - start) / 2));
        ProcessStereo(*engine, working, &rate, data.data() + start, pairs, kModeInput | kModeOutput);
    }
    return fetestexcept(kFlags);
}

TEST(FloatingPointFlags, NoTierRaisesAFlagThePlainEngineDoesNot)
{
    const std::vector<Input> inputs = Inputs();
    for (const Setting& setting : kSettings) {
        for (const Input& input : inputs) {
            const int plain = EngineFlags(Isa::kPlain, setting, input.samples);
            for (const Isa isa : kTiers) {
                if (isa == Isa::kPlain || !IsaAvailable(isa))
                    continue;
                const int flags = EngineFlags(isa, setting, input.samples);
                EXPECT_EQ(flags & ~plain, 0)
                    << IsaName(isa) << ", " << setting.name << ", " << input.name << ": raises " << FlagNames(flags)
                    << " where the plain engine raises " << FlagNames(plain);
            }
            if (std::string(input.name) == "silence" || std::string(input.name) == "music") {
                if (setting.name == kSettings[0].name || setting.name == kSettings[1].name) {
                    EXPECT_EQ(plain, 0) << setting.name << ", " << input.name << ": the plain engine raises "
                                        << FlagNames(plain);
                }
            }
        }
    }
}

// The dynamics stage alone, with band values the engine never hands over
// (float maximum, infinities, zeros of both signs, denormals, NaN), for the
// coefficients of several settings: the kernels' flags against the plain code's.
TEST(FloatingPointFlags, DynamicsKernelsRaiseNoFlagThePlainCodeDoesNot)
{
    const float specials[] = {0.0f, -0.0f, 1e-45f, -3e-39f, std::numeric_limits<float>::max(),
                              -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                              0.25f, -2.0f, 1e-20f};
    std::mt19937 random(8);
    std::vector<BandValues> bands(300);
    for (BandValues& v : bands)
        for (float& x : v)
            x = random() % 3 == 0 ? specials[random() % std::size(specials)]
                                  : std::ldexp(float(int(random() % 2001) - 1000) / 1000.0f, int(random() % 12) - 8);
    for (const std::uint8_t threshold : {1, 29, 128}) {
        for (const std::int32_t link : {0, 1}) {
            WorkingParameters working = ConstructionParameters();
            StoreStartValues(working);
            for (const int index : {6, 7, 8})
                StoreParameterValue(working, index, threshold);
            working.StereoLink = link;
            const DynamicsCoefficients c = PrepareDynamics(working);
            const auto flags = [&](Isa isa) {
                const ScopedIsa tier(isa);
                GainStates gains;
                ResetGainStates(gains);
                std::vector<OutputPair> out(bands.size());
                feclearexcept(FE_ALL_EXCEPT);
                for (std::size_t start = 0; start < bands.size(); start += 64)
                    ProcessDynamicsPairs(c, gains, bands.data() + start, out.data() + start,
                                         std::int32_t(std::min<std::size_t>(64, bands.size() - start)));
                return fetestexcept(kFlags);
            };
            const int plain = flags(Isa::kPlain);
            for (const Isa isa : kTiers) {
                if (isa == Isa::kPlain || !IsaAvailable(isa))
                    continue;
                const int raised = flags(isa);
                EXPECT_EQ(raised & ~plain, 0) << IsaName(isa) << ", threshold " << int(threshold) << ", link " << link
                                              << ": raises " << FlagNames(raised) << " where the plain code raises "
                                              << FlagNames(plain);
            }
        }
    }
}

// Whether an unmasked exception traps here (user-mode emulation may only set
// the flag): a child divides by zero with the exception unmasked.
bool TrapsWork()
{
    const pid_t child = fork();
    if (child == 0) {
        feenableexcept(FE_DIVBYZERO);
        volatile double zero = 0.0;
        volatile double quotient = 1.0 / zero;
        (void)quotient;
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGFPE;
}

// Silence and music with every exception but inexact unmasked, through every
// tier: the plain engine raises none of them for these, so no tier may trap.
// (Before the kernels kept their unused lanes from dividing, silence ended in
// SIGFPE with the SSE2 and AVX-512 dynamics.)
TEST(FloatingPointFlags, SilenceAndMusicDoNotTrapWithExceptionsUnmasked)
{
    if (!TrapsWork())
        GTEST_SKIP() << "unmasked exceptions do not trap here (emulated processor)";
    const std::vector<Input> inputs = Inputs();
    for (const Isa isa : kTiers) {
        if (!IsaAvailable(isa))
            continue;
        for (const Input& input : {inputs[0], inputs[1]}) {
            for (const Setting& setting : {kSettings[0], kSettings[1]}) {
                const pid_t child = fork();
                if (child == 0) {
                    const ScopedIsa tier(isa);
                    feenableexcept(kFlags);
                    EngineFlags(isa, setting, input.samples);
                    _exit(0);
                }
                int status = 0;
                waitpid(child, &status, 0);
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                    << IsaName(isa) << ", " << setting.name << ", " << input.name << ": "
                    << (WIFSIGNALED(status) ? std::string("killed by signal ") + std::to_string(WTERMSIG(status))
                                            : std::string("exit status ") + std::to_string(WEXITSTATUS(status)));
            }
        }
    }
}

} // namespace
} // namespace korvax::test
