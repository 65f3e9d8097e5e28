// The machine under a host's floating-point state: exceptions unmasked (as a
// debugging host or another plug-in in its process may leave them), flushing
// and rounding modes. Every slot that computes must neither trap nor change its
// results, and must hand the host its own state back.

#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "host_fixture.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

#if defined(__x86_64__) || defined(__i386__)

constexpr std::int32_t kPairs = 4096;

// The inputs: silence (the compressor's and limiter's divisions meet zeros
// there), music-like tones, the same at a denormal level, NaN, and huge values. Made once,
// in the default state, before any test changes it.
std::vector<std::vector<float>> MakeInputs()
{
    std::vector<float> silence(2 * kPairs, 0.0f);
    std::vector<float> music(2 * kPairs);
    for (std::int32_t i = 0; i < kPairs; ++i) {
        const double t = double(i) / 44100.0;
        const double envelope = i < kPairs / 2 ? 1.0 : std::exp(-double(i - kPairs / 2) / 20.0);
        const double phase = 2.0 * std::numbers::pi * t;
        music[2 * i] = float(envelope * (9000.0 * std::sin(110.0 * phase) + 3000.0 * std::sin(1870.0 * phase)));
        music[2 * i + 1] = float(envelope * 7000.0 * std::sin(220.0 * phase + 0.3));
    }
    std::vector<float> nan(2 * kPairs, std::numeric_limits<float>::quiet_NaN());
    std::vector<float> huge(2 * kPairs);
    for (std::int32_t i = 0; i < 2 * kPairs; ++i)
        huge[i] = i % 3 == 0 ? std::numeric_limits<float>::max()
                             : (i % 3 == 1 ? -std::numeric_limits<float>::infinity() : 1e30f);
    std::vector<float> faint(music);
    for (float& x : faint)
        x *= 0x1p-140f;   // denormal input throughout
    // The faint input first: right after initialisation the pipelines hold
    // nothing loud whose rounding would cover it (a NaN block covers everything).
    return {faint, faint, silence, music, nan, huge, silence, music};
}

const std::vector<std::vector<float>>& Inputs()
{
    static const std::vector<std::vector<float>> inputs = MakeInputs();
    return inputs;
}

struct Results {
    std::vector<float> samples;   // every buffer after processing, in order
    std::string texts;            // every value text, in order
    std::vector<int> returned;    // every boolean result
};

// One machine through every slot that computes: creation, initialisation,
// parameter intake (with thresholds of 0, which divide zero by zero on silence),
// processing through slots 22 and 3 in every mode, and every value text.
// `afterCall` runs after each call into the machine.
template <class Check>
Results Drive(Check afterCall)
{
    Results r;
    auto machine = NewMachine(44100, false);
    afterCall();
    machine->Initialise();
    afterCall();
    const std::vector<std::vector<std::pair<int, int>>> settings = {
        {}, {{6, 1}, {7, 1}, {8, 1}, {15, 0}}, {{6, 0}, {0, 128}, {9, 1}, {4, 0}}, {{5, 2}, {1, 0}, {2, 128}}};
    const std::vector<std::vector<float>> inputs = Inputs();
    for (const auto& setting : settings) {
        machine->SetParameters(setting);
        afterCall();
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            std::vector<float> buffer = inputs[k];
            const bool direct = k % 2 == 0;
            r.returned.push_back(direct ? machine->ProcessStereo(buffer.data(), kPairs, 3)
                                        : machine->Process(buffer.data(), kPairs, 3));
            afterCall();
            r.samples.insert(r.samples.end(), buffer.begin(), buffer.end());
        }
        std::vector<float> tail(512);
        r.returned.push_back(machine->ProcessStereo(tail.data(), 256, 2));
        afterCall();
    }
    for (int index = -1; index <= 17; ++index)
        for (int value = -3; value <= 258; ++value) {
            const char* text = machine->Describe(index, value);
            afterCall();
            r.texts += text != nullptr ? text : "(null)";
            r.texts += '\n';
        }
    machine->Initialise();   // InitialiseEngine again, through the mixer
    afterCall();
    return r;
}

bool Same(const Results& a, const Results& b)
{
    return a.texts == b.texts && a.returned == b.returned && SameBits(a.samples, b.samples);
}

#if defined(__i386__)
std::uint16_t X87Control()
{
    std::uint16_t control;
    __asm__ volatile("fnstcw %0" : "=m"(control));
    return control;
}
#else
std::uint16_t X87Control()
{
    return 0;
}
#endif

// Every exception but inexact unmasked, in both units: without the slots'
// guard, silence alone ends the program with SIGFPE (0 / 0 in the dynamics).
TEST(FpuState, UnmaskedExceptionsTrapInNoSlot)
{
    const Results expected = Drive([] {});
    EXPECT_EXIT(
        {
            feenableexcept(FE_ALL_EXCEPT & ~FE_INEXACT);
            const unsigned hostMxcsr = _mm_getcsr() & 0xFFC0u;
            const std::uint16_t hostX87 = X87Control();
            bool kept = true;
            const Results actual = Drive([&] {
                kept = kept && (_mm_getcsr() & 0xFFC0u) == hostMxcsr && X87Control() == hostX87;
            });
            const bool same = Same(expected, actual);
            fedisableexcept(FE_ALL_EXCEPT);
            std::exit((same ? 0 : 1) | (kept ? 0 : 2));
        },
        ::testing::ExitedWithCode(0), "");
}

// Flush-to-zero with denormals-are-zero, and each rounding mode: the same bits
// as in the default state, and the host's state handed back after every call.
TEST(FpuState, FlushingAndRoundingModesChangeNoResult)
{
    const Results expected = Drive([] {});
    const unsigned defaultMxcsr = _mm_getcsr();
    for (const unsigned mxcsr : {0x9FC0u, 0x3F80u, 0x5F80u, 0x7F80u}) {
        _mm_setcsr(mxcsr);
        bool kept = true;
        const Results actual = Drive([&] { kept = kept && (_mm_getcsr() & 0xFFC0u) == mxcsr; });
        _mm_setcsr(defaultMxcsr);
        EXPECT_TRUE(kept) << std::hex << mxcsr;
        EXPECT_TRUE(Same(expected, actual)) << std::hex << mxcsr;
    }
}

#endif

} // namespace
} // namespace korvax::test
