// The plug-in's meters as a host reads them after each run: the machine's own
// gain followers at their lowest during the run, and the sample peaks in and
// out, in dB within the floor.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "lv2_test_host.h"

namespace korvax::test {
namespace {

using lv2::kFirstGainMeterPort;
using lv2::kFirstPeakMeterPort;
using lv2::kMeterFloorDb;

enum Follower { kLowL, kLowR, kMidL, kMidR, kHighL, kHighR, kLimiterL, kLimiterR };

// A sine of `hz` at `dbfs` in the channels asked for, silence in the others.
Stereo Tone(std::size_t frames, double hz, double dbfs, bool left, bool right)
{
    Stereo s{std::vector<float>(frames), std::vector<float>(frames)};
    const double amplitude = std::pow(10.0, dbfs / 20.0);
    for (std::size_t i = 0; i < frames; ++i) {
        const float v = static_cast<float>(amplitude * std::sin(2.0 * 3.141592653589793 * hz * double(i) / kSampleRate));
        s.left[i] = left ? v : 0.0f;
        s.right[i] = right ? v : 0.0f;
    }
    return s;
}

float Gain(const PluginInstance& plugin, Follower f)
{
    return plugin.Meter(std::uint32_t(kFirstGainMeterPort) + std::uint32_t(f));
}

// The signal in 1024-frame runs; the meters then describe the last run.
void Play(PluginInstance& plugin, const Stereo& in)
{
    plugin.Render(in, {1024});
}

constexpr std::size_t kTwoSeconds = 86 * 1024;   // whole runs

TEST(Lv2Meters, SilenceReadsTheFloorAndNoReduction)
{
    PluginInstance plugin;
    Play(plugin, Tone(kTwoSeconds, 0.0, -200.0, false, false));
    for (int f = kLowL; f <= kLimiterR; ++f)
        EXPECT_EQ(Gain(plugin, Follower(f)), 0.0f) << "follower " << f;
    for (int p = 0; p < lv2::kPeakMeterCount; ++p)
        EXPECT_EQ(plugin.Meter(kFirstPeakMeterPort + p), kMeterFloorDb) << "peak " << p;
}

TEST(Lv2Meters, ALoudLowToneReducesTheLowBandOnly)
{
    PluginInstance plugin;
    Play(plugin, Tone(kTwoSeconds, 60.0, -3.0, true, true));
    EXPECT_LT(Gain(plugin, kLowL), -3.0f);
    EXPECT_LT(Gain(plugin, kLowR), -3.0f);
    for (const Follower f : {kMidL, kMidR, kHighL, kHighR})
        EXPECT_EQ(Gain(plugin, f), 0.0f) << "follower " << f;
    // The tone's crest, in and (through the limiter at its default -0.5 dB) out.
    EXPECT_NEAR(plugin.Meter(kFirstPeakMeterPort + 0), -3.0f, 0.05f);
    EXPECT_NEAR(plugin.Meter(kFirstPeakMeterPort + 1), -3.0f, 0.05f);
    EXPECT_LE(plugin.Meter(kFirstPeakMeterPort + 2), 0.0f);
    EXPECT_GT(plugin.Meter(kFirstPeakMeterPort + 2), -24.0f);
}

TEST(Lv2Meters, TheLinkGivesBothChannelsTheSameReduction)
{
    const Stereo leftOnly = Tone(kTwoSeconds, 60.0, -3.0, true, false);
    PluginInstance unlinked;
    Play(unlinked, leftOnly);
    EXPECT_LT(Gain(unlinked, kLowL), -3.0f);
    EXPECT_EQ(Gain(unlinked, kLowR), 0.0f);

    PluginInstance linked;
    linked.Control(kStereoLinkPort) = 1.0f;
    Play(linked, leftOnly);
    EXPECT_LT(Gain(linked, kLowL), -3.0f);
    // Linked, the right gain follows the left one pair later: the same
    // reduction, up to one pair's movement.
    EXPECT_NEAR(Gain(linked, kLowR), Gain(linked, kLowL), 0.05f);
    EXPECT_NEAR(Gain(linked, kLimiterR), Gain(linked, kLimiterL), 0.05f);
}

} // namespace
} // namespace korvax::test
