// The plug-in as an LV2 host runs it (instantiated through lilv), against the
// same machine driven straight through the reference host: equal bit for bit
// for every way a host may divide, alias and steer the audio.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <lv2/core/lv2.h>

#include <cmath>
#include <limits>
#include <random>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "lv2_test_host.h"
#include "support/alloc_hooks.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

// Long enough to pass the latency of 16383 frames and several block completions.
constexpr std::size_t kFrames = 40000;

::testing::AssertionResult SameAudio(const Stereo& expected, const Stereo& actual)
{
    if (auto left = SameBits(expected.left, actual.left); !left)
        return left << " (left)";
    if (auto right = SameBits(expected.right, actual.right); !right)
        return right << " (right)";
    return ::testing::AssertionSuccess();
}

// Non-default values everywhere it matters, the link on.
Settings Busy()
{
    Settings s = Settings::Declared();
    s.values[1] = 30;    // LowSplit
    s.values[6] = 60;    // Comp: Thr.low
    s.values[9] = 64;    // Comp: Ratio
    s.values[10] = 12;   // Comp: Attack
    s.values[15] = 20;   // Limit: Thresh.
    s.link = 1;
    return s;
}

TEST(Lv2Run, UntouchedPortsTakeTheDeclaredDefaultsOneFrameAtATime)
{
    const Stereo in = TestSignal(kFrames, 1);
    PluginInstance plugin;
    const Stereo out = plugin.Render(in, {1});
    EXPECT_TRUE(SameAudio(ReferenceMachine(Settings::Declared()).Process(in), out));
    EXPECT_NE(out.left.back(), 0.0f);
}

TEST(Lv2Run, HostBlockLengthsDoNotChangeTheOutput)
{
    const Stereo in = TestSignal(kFrames, 2);
    const Stereo expected = ReferenceMachine(Busy()).Process(in);
    std::mt19937 random(7);
    std::vector<std::uint32_t> ragged;
    for (int i = 0; i < 50; ++i)
        ragged.push_back(1 + random() % 3000);
    for (const std::vector<std::uint32_t>& blocks :
         {std::vector<std::uint32_t>{64}, {4096}, {4097}, {30000}, {0, 1, 8191, 0, 2}, ragged}) {
        PluginInstance plugin;
        plugin.Set(Busy());
        EXPECT_TRUE(SameAudio(expected, plugin.Render(in, blocks))) << "first block " << blocks.front();
    }
}

TEST(Lv2Run, InPlaceAndCrossedBuffers)
{
    const Stereo in = TestSignal(kFrames, 3);
    const Stereo expected = ReferenceMachine(Busy()).Process(in);
    PluginInstance same, crossed;
    same.Set(Busy());
    crossed.Set(Busy());
    Stereo a = in, b = in;
    for (std::size_t done = 0; done < kFrames; done += 5000) {
        same.Run(&a.left[done], &a.right[done], &a.left[done], &a.right[done], 5000);
        crossed.Run(&b.left[done], &b.right[done], &b.right[done], &b.left[done], 5000);
    }
    EXPECT_TRUE(SameAudio(expected, a));
    std::swap(b.left, b.right);
    EXPECT_TRUE(SameAudio(expected, b));
}

// Changed values reach the machine before the next processing call: first the
// link alone, then two parameters.
TEST(Lv2Run, ControlChangesTakeEffectFromTheNextRun)
{
    const Stereo in = TestSignal(kFrames, 4);
    constexpr std::size_t kLinkOff = 17000, kLouder = 27000;
    ReferenceMachine reference(Busy());
    Stereo expected = reference.Process(Slice(in, 0, kLinkOff));
    reference.Change({}, 0);
    expected = Join(expected, reference.Process(Slice(in, kLinkOff, kLouder)));
    reference.Change({{0, 100}, {12, 90}}, 0);
    expected = Join(expected, reference.Process(Slice(in, kLouder, kFrames)));

    PluginInstance plugin;
    plugin.Set(Busy());
    Stereo out = plugin.Render(Slice(in, 0, kLinkOff), {256});
    plugin.Control(kStereoLinkPort) = 0.0f;
    out = Join(out, plugin.Render(Slice(in, kLinkOff, kLouder), {256}));
    plugin.Control(0) = PortValue(0, 100);
    plugin.Control(12) = PortValue(12, 90);
    out = Join(out, plugin.Render(Slice(in, kLouder, kFrames), {256}));
    EXPECT_TRUE(SameAudio(expected, out));
}

// Values as a person sets them in a host select the step whose value is
// nearest; beyond the range, its end; NaN, the declared default.
TEST(Lv2Run, ControlValuesSelectTheNearestStep)
{
    const Stereo in = TestSignal(kFrames, 5);
    Settings expected = Settings::Declared();
    const struct {
        int port;
        float value;
        int step;
    } settings[] = {
        {0, 1000.0f, 128},   // Input: beyond the range, the top
        {1, 97.0f, 30},      // LowSplit in Hz: 97.2 Hz
        {2, -5.0f, 0},       // HighSplit: no frequency, the bottom of the logarithmic scale
        {3, 63.5f, 63},      // Steepness: a tie goes to the lower step
        {4, 150.0f, 96},     // Stereo wid.low in %: 150% exactly
        {6, -15.0f, 40},     // Comp: Thr.low in dB: -15.15 dB is nearer than -14.49 dB
        {9, 8.2f, 64},       // Comp: Ratio: 8.22:1
        {10, 1.8f, 12},      // Comp: Attack in ms, on a logarithmic scale: 1.82 ms
        {15, 3.0f, 0},       // Limit: Thresh.: above 0 dB, step 0 (the curve falls)
        {16, 270.0f, 80},    // Limit: Release: 270.4 ms
    };
    PluginInstance plugin;
    for (const auto& s : settings) {
        plugin.Control(s.port) = s.value;
        expected.values[s.port] = s.step;
    }
    plugin.Control(5) = std::numeric_limits<float>::quiet_NaN();   // Solo mode: the default
    plugin.Control(kStereoLinkPort) = 0.25f;                        // a toggle is on above zero
    expected.link = 1;
    EXPECT_TRUE(SameAudio(ReferenceMachine(expected).Process(in), plugin.Render(in, {512})));
}

TEST(Lv2Run, LatencyStaysWhateverTheEnabledSwitchAndFollowsTheSoloBypass)
{
    PluginInstance plugin;
    float l = 0.0f, r = 0.0f;
    for (const float enabled : {1.0f, 0.0f, 1.0f, 0.0f}) {
        plugin.Control(kEnabledPort) = enabled;
        plugin.Run(&l, &r, &l, &r, 1);
        EXPECT_EQ(plugin.Latency(), 16383.0f) << enabled;
    }
    plugin.Control(kSoloModePort) = 4.0f;
    plugin.Run(&l, &r, &l, &r, 1);
    EXPECT_EQ(plugin.Latency(), 0.0f);
    plugin.Control(kSoloModePort) = 3.0f;
    plugin.Run(&l, &r, &l, &r, 0);
    EXPECT_EQ(plugin.Latency(), 16383.0f);
}

// Switched off and on again in the middle of the music: the output is the
// machine's exactly, then (once the fade is over) the input delayed by the
// latency exactly, then the machine's again exactly as if it had never been
// switched, because it kept running. Through each fade no step between
// neighbouring frames is larger than the two signals' own steps allow plus
// one fade step of the gap between them, the reported latency never moves.
TEST(Lv2Run, EnabledSwitchFadesToTheDelayedInputAndBack)
{
    const Stereo in = TestSignal(kFrames, 14);
    const Stereo wet = ReferenceMachine(Busy()).Process(in);
    const Stereo dry = Delayed(in, 16383);
    constexpr std::size_t kOff = 20000, kOn = 30000, kFade = 882;   // 20 ms at 44100 Hz
    PluginInstance plugin;
    plugin.Set(Busy());
    Stereo out;
    for (std::size_t done = 0; done < kFrames; done += 250) {
        plugin.Control(kEnabledPort) = done >= kOff && done < kOn ? 0.0f : 1.0f;
        out = Join(out, plugin.Render(Slice(in, done, done + 250), {250}));
        ASSERT_EQ(plugin.Latency(), 16383.0f) << done;
    }

    EXPECT_TRUE(SameAudio(Slice(wet, 0, kOff), Slice(out, 0, kOff)));
    EXPECT_TRUE(SameAudio(Slice(dry, kOff + kFade - 1, kOn), Slice(out, kOff + kFade - 1, kOn)));
    EXPECT_TRUE(SameAudio(Slice(wet, kOn + kFade - 1, kFrames), Slice(out, kOn + kFade - 1, kFrames)));

    for (const std::size_t start : {kOff, kOn}) {
        // A hard switch here would jump by the gap between the two signals.
        EXPECT_GT(std::fabs(wet.left[start] - dry.left[start]), 0.01f) << start;
        for (std::size_t t = start; t < start + kFade; ++t) {
            for (const auto channel : {&Stereo::left, &Stereo::right}) {
                const std::vector<float>& w = wet.*channel;
                const std::vector<float>& d = dry.*channel;
                const std::vector<float>& o = out.*channel;
                // Each output is rounded to float once: a few units in the
                // last place of values below 1.
                const double allowed = std::max(std::fabs(w[t] - w[t - 1]), std::fabs(d[t] - d[t - 1])) +
                                       std::fabs(w[t - 1] - d[t - 1]) / kFade + 1e-6;
                ASSERT_LE(std::fabs(double(o[t]) - double(o[t - 1])), allowed) << "frame " << t;
            }
        }
    }
}

// Hosts often flush denormals in their audio threads; the plug-in must not
// inherit that, nor disturb the host's setting. Neither bypass changes a bit.
TEST(Lv2Run, BypassesAreExactUnderTheHostsFlushToZero)
{
    Stereo in = TestSignal(20000, 6);
    in.left[10] = 1e-40f;    // denormal
    in.right[11] = -3e-42f;  // denormal
    in.left[12] = -0.0f;
    in.right[13] = std::numeric_limits<float>::quiet_NaN();
    PluginInstance solo, disabled;
    solo.Control(kSoloModePort) = 4.0f;
    disabled.Control(kEnabledPort) = 0.0f;
#if defined(__SSE__)
    const unsigned hostCsr = _mm_getcsr();
    _mm_setcsr(hostCsr | 0x8040);   // FTZ and DAZ
    const unsigned flushing = _mm_getcsr();
    const Stereo soloOut = solo.Render(in, {100});
    const Stereo disabledOut = disabled.Render(in, {100});
    EXPECT_EQ(_mm_getcsr(), flushing);
    _mm_setcsr(hostCsr);
#else
    const Stereo soloOut = solo.Render(in, {100});
    const Stereo disabledOut = disabled.Render(in, {100});
#endif
    Stereo cleaned = in;
    cleaned.right[13] = 0.0f;   // the machine takes NaN as silence
    EXPECT_TRUE(SameAudio(cleaned, soloOut));
    EXPECT_TRUE(SameAudio(Delayed(in, 16383), disabledOut));   // the delayed input passes as it came
}

TEST(Lv2Run, NonFiniteInputEntersAsSilence)
{
    Stereo in = TestSignal(kFrames, 8);
    Stereo cleaned = in;
    for (std::size_t i : {100u, 20000u, 20001u}) {
        in.left[i] = std::numeric_limits<float>::quiet_NaN();
        in.right[i] = -std::numeric_limits<float>::infinity();
        cleaned.left[i] = cleaned.right[i] = 0.0f;
    }
    in.left[30000] = 3e38f;   // beyond the machine's full scale times 2^15
    cleaned.left[30000] = 0.0f;
    PluginInstance plugin;
    EXPECT_TRUE(SameAudio(ReferenceMachine(Settings::Declared()).Process(cleaned), plugin.Render(in, {333})));
}

TEST(Lv2Run, ReactivationStartsAfresh)
{
    const Stereo first = TestSignal(kFrames, 9), second = TestSignal(kFrames, 10);
    PluginInstance plugin;
    plugin.Set(Busy());
    plugin.Render(first, {1024});
    plugin.Reactivate();
    EXPECT_TRUE(SameAudio(ReferenceMachine(Busy()).Process(second), plugin.Render(second, {1024})));
}

TEST(Lv2Run, InstancesAreIndependentAndOutliveEachOther)
{
    const Stereo in = TestSignal(kFrames, 11);
    constexpr std::size_t kHalf = 20000;
    auto first = std::make_unique<PluginInstance>();
    PluginInstance second;
    second.Set(Busy());
    Stereo firstOut, secondOut;
    for (std::size_t done = 0; done < kHalf; done += 500) {
        firstOut = Join(firstOut, first->Render(Slice(in, done, done + 500), {500}));
        secondOut = Join(secondOut, second.Render(Slice(in, done, done + 500), {500}));
    }
    first.reset();   // its machine goes, and its hold on the machine library
    secondOut = Join(secondOut, second.Render(Slice(in, kHalf, kFrames), {500}));
    EXPECT_TRUE(SameAudio(ReferenceMachine(Settings::Declared()).Process(Slice(in, 0, kHalf)), firstOut));
    EXPECT_TRUE(SameAudio(ReferenceMachine(Busy()).Process(in), secondOut));
}

TEST(Lv2Run, RunAllocatesNothing)
{
    const Stereo in = TestSignal(20000, 12);
    Stereo out = in;
    PluginInstance plugin;
    plugin.Run(&in.left[0], &in.right[0], &out.left[0], &out.right[0], 1);   // the first intake
    const AllocationCounts before = CurrentAllocationCounts();
    for (std::size_t done = 1; done + 9000 <= in.Frames(); done += 9000) {
        plugin.Control(9) = float(done % 30);
        plugin.Control(kStereoLinkPort) = float(done % 2);
        plugin.Control(kEnabledPort) = float(done / 9000 % 2);   // fades too
        plugin.Run(&in.left[done], &in.right[done], &out.left[done], &out.right[done], 9000);
    }
    EXPECT_EQ(CurrentAllocationCounts().allocations, before.allocations);
}

TEST(Lv2Instantiate, RefusesWhatItCannotRun)
{
    void* module = dlopen(KORVAX_LV2_BUNDLE_DIR "/korvax_lv2.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    using Entry = const LV2_Descriptor* (*)(std::uint32_t);
    const auto entry = reinterpret_cast<Entry>(dlsym(module, "lv2_descriptor"));
    ASSERT_NE(entry, nullptr);
    const LV2_Descriptor* d = entry(0);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->URI, KORVAX_LV2_URI);
    EXPECT_EQ(entry(1), nullptr);

    EXPECT_EQ(d->instantiate(d, 44100.0, "/nonexistent/", nullptr), nullptr);      // no machine library
    EXPECT_EQ(d->instantiate(d, 0.0, KORVAX_LV2_BUNDLE_DIR "/", nullptr), nullptr);  // no sample rate
    EXPECT_EQ(d->instantiate(d, std::nan(""), KORVAX_LV2_BUNDLE_DIR "/", nullptr), nullptr);
    LV2_Handle handle = d->instantiate(d, 44100.0, KORVAX_LV2_BUNDLE_DIR, nullptr);   // no trailing slash
    EXPECT_NE(handle, nullptr);
    if (handle != nullptr)
        d->cleanup(handle);
    dlclose(module);
}

} // namespace
} // namespace korvax::test
