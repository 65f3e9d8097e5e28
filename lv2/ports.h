#pragma once
// The plug-in's port layout, shared by the module, the generator of its Turtle
// files and the tests. Ports 0 to 16 are the machine's seventeen parameters in
// table order, then come the link, the audio pairs, the latency, the enabled
// switch and the meters. New ports go after the last one, so that saved sessions, which name
// ports by index as well as by symbol, keep working. The meters come last.

#include <cstdint>

namespace korvax::lv2 {

enum PortIndex : std::uint32_t {
    kFirstParameterPort = 0,   // port i is parameter i, up to 16
    kStereoLinkPort = 17,
    kInLeftPort = 18,
    kInRightPort = 19,
    kOutLeftPort = 20,
    kOutRightPort = 21,
    kLatencyPort = 22,
    kEnabledPort = 23,
    // Meters, output controls updated by every run: the gain of each follower
    // (low L, low R, mid L, mid R, high L, high R, limiter L, limiter R) at its
    // lowest during the run, then the sample peaks of the input (L, R) and of
    // the output (L, R) over the run; all in dB, held within kMeterFloorDb and
    // the port's maximum.
    kFirstGainMeterPort = 24,
    kFirstPeakMeterPort = 32,
    kPortCount = 36,
};
inline constexpr int kGainMeterCount = 8;
inline constexpr int kPeakMeterCount = 4;
inline constexpr float kMeterFloorDb = -60.0f;
inline constexpr float kPeakMeterCeilingDb = 12.0f;

inline constexpr int kParameterCount = 17;
inline constexpr int kSoloModeIndex = 5;
inline constexpr int kSoloBypass = 4;

// The machine's output trails its input by one crossover block less one
// sample pair; in the solo mode's bypass it passes the input undelayed.
inline constexpr std::uint32_t kLatencyFrames = 16383;

// Switching the enabled port fades between the machine's output and the
// delayed input over this long, linearly (a sum of two equal, aligned signals
// stays level through it).
inline constexpr double kCrossFadeSeconds = 0.02;

} // namespace korvax::lv2
