#pragma once
// Test helpers for the LV2 bundle: the built bundle loaded through lilv, as an
// LV2 host loads it, and the same machine driven straight through the reference
// host, whose output the plug-in's must equal bit for bit.

#include <lilv/lilv.h>

#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "host/reference_host.h"

namespace korvax::test {

inline constexpr int kParameterCount = 17;
inline constexpr std::uint32_t kStereoLinkPort = 17;
inline constexpr std::uint32_t kInLeftPort = 18;
inline constexpr std::uint32_t kInRightPort = 19;
inline constexpr std::uint32_t kOutLeftPort = 20;
inline constexpr std::uint32_t kOutRightPort = 21;
inline constexpr std::uint32_t kLatencyPort = 22;
inline constexpr std::uint32_t kPortCount = 23;
inline constexpr int kSoloModePort = 5;
inline constexpr int kSampleRate = 44100;

struct Stereo {
    std::vector<float> left, right;
    std::size_t Frames() const { return left.size(); }
};

// Seeded: bands and channels at moving levels, loud enough for every compressor.
Stereo TestSignal(std::size_t frames, std::uint32_t seed);

// Parameter values and the link, as whole numbers.
struct Settings {
    std::array<int, kParameterCount> values{};
    int link = 0;
    static Settings Declared();   // the defaults the machine's description declares
};

// The bundle's world, loaded once: the plug-in and its machine library.
struct Bundle {
    static Bundle& Get();
    LilvWorld* world = nullptr;
    const LilvPlugin* plugin = nullptr;
    std::shared_ptr<host::Library> machineLibrary;   // the bundle's copy
};

// One plug-in instance, its control ports connected to values the test sets
// (starting at the port defaults lilv reads) and activated.
class PluginInstance {
public:
    explicit PluginInstance(double sampleRate = kSampleRate);
    ~PluginInstance();
    PluginInstance(const PluginInstance&) = delete;
    PluginInstance& operator=(const PluginInstance&) = delete;

    float& Control(std::uint32_t port) { return controls_[port]; }
    void Set(const Settings& settings);
    float Latency() const { return latency_; }
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
    // Writes the given parameter bytes and the link, and applies them.
    void Change(const std::vector<std::pair<int, int>>& parameters, int link);
    Stereo Process(const Stereo& in);

private:
    std::unique_ptr<host::Machine> machine_;
};

Stereo Slice(const Stereo& audio, std::size_t from, std::size_t to);
Stereo Join(const Stereo& a, const Stereo& b);

} // namespace korvax::test
