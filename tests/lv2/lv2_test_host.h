#pragma once
// Test helpers for the LV2 bundle: the built bundle loaded through lilv, as an
// LV2 host loads it, and the same machine driven straight through the reference
// host, whose output the plug-in's must equal bit for bit.

#include <lilv/lilv.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/reference_host.h"
#include "lv2/ports.h"

namespace korvax::test {

using lv2::kEnabledPort;
using lv2::kInLeftPort;
using lv2::kInRightPort;
using lv2::kLatencyPort;
using lv2::kOutLeftPort;
using lv2::kOutRightPort;
using lv2::kParameterCount;
using lv2::kPortCount;
using lv2::kStereoLinkPort;
inline constexpr int kSoloModePort = lv2::kSoloModeIndex;
inline constexpr int kSampleRate = 44100;

struct Stereo {
    std::vector<float> left, right;
    std::size_t Frames() const { return left.size(); }
};

// Seeded: bands and channels at moving levels, loud enough for every compressor.
Stereo TestSignal(std::size_t frames, std::uint32_t seed);

// Parameter steps and the link, as whole numbers.
struct Settings {
    std::array<int, kParameterCount> values{};
    int link = 0;
    static Settings Declared();   // the defaults the machine's description declares
};

// The value a control port carries for a step of parameter `index`: the step's
// exact value in the parameter's unit, as a float.
float PortValue(int index, int step);

// The bundle's world, loaded once: the plug-in and its machine library.
struct Bundle {
    static Bundle& Get();
    LilvWorld* world = nullptr;
    const LilvPlugin* plugin = nullptr;
    std::shared_ptr<host::Library> machineLibrary;   // the bundle's copy
};

// One plug-in instance, its control ports connected to values the test sets
// (starting at the port defaults lilv reads) and activated. The latency port is
// read after every run.
class PluginInstance {
public:
    explicit PluginInstance(double sampleRate = kSampleRate);
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    float& Control(std::uint32_t port) { return controls_[port]; }
    // Every parameter port to the value of its step, and the link.
    void Set(const Settings& settings);
    float Latency() const { return latency_; }
    // A meter port's reading after the last run (dB).
    float Meter(std::uint32_t port) const { return controls_[port]; }
    // Sets the controls as a lilv host applies the bundle's preset `uri`.
    void ApplyPreset(const std::string& uri);
    LilvInstance* Raw() const { return instance_; }

    void Run(const float* inLeft, const float* inRight, float* outLeft, float* outRight, std::uint32_t frames);
    // Runs `in` through in host blocks of the given lengths, used in turn.
    Stereo Render(const Stereo& in, const std::vector<std::uint32_t>& blocks);
    void Reactivate();

private:
    LilvInstance* instance_ = nullptr;
    std::array<float, kPortCount> controls_{};
    float latency_ = -1.0f;
};

// The reference: the bundle's machine library, a machine created at the sample
// rate, initialised, given every value of `settings`, processed in one call per
// Process.
class ReferenceMachine {
public:
    explicit ReferenceMachine(const Settings& settings);
    // A machine initialised and given no parameter: its start values.
    static ReferenceMachine Started();
    // Writes the given parameter bytes and the link, and applies them.
    void Change(const std::vector<std::pair<int, int>>& parameters, int link);
    Stereo Process(const Stereo& in);

private:
    ReferenceMachine();
    std::unique_ptr<host::Machine> machine_;
};

Stereo Slice(const Stereo& audio, std::size_t from, std::size_t to);
// `audio` delayed by `frames`, as long as before: silence first.
Stereo Delayed(const Stereo& audio, std::size_t frames);
Stereo Join(const Stereo& a, const Stereo& b);

} // namespace korvax::test
