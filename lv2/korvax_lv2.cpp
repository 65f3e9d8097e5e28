// Korvax 2 as an LV2 plug-in. Each plug-in instance is one machine, created by
// the machine library that sits in the plug-in's own bundle and driven through
// the reference host's objects, every slot called by its index, exactly as the
// machine's own host drives it. So any LV2 host plays the very machine that the
// korvax renderer plays, with the same results to the last bit.
//
// Ports (korvax.ttl): 0 to 16 are the machine's parameters in table order, 17 is
// the "Stereo link" attribute, 18 and 19 the left and right input, 20 and 21 the
// left and right output, 22 the latency in frames.
//
// Controls reach the machine as its host delivers them: the bytes of the
// parameters whose values changed are written into the parameter block (every
// other byte holds its no-value byte), the link value goes into the attribute,
// and ApplyParameters runs before the next processing call. The first run after
// activation writes every parameter, so ports the host leaves alone take the
// defaults korvax.ttl declares rather than the machine's start values.
//
// Levels: LV2 audio spans ±1.0 and the machine's full scale is ±32768. Samples
// are scaled by 2^15 on the way in and 2^-15 on the way out, which is exact; a
// sample that is not finite at machine scale enters as silence, as in the
// korvax renderer, because one NaN would stay in the gain followers for good.

#include <lv2/core/lv2.h>
#include <lv2/core/lv2_util.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "host/reference_host.h"

namespace korvax::lv2 {
namespace {

constexpr int kParameterCount = 17;

enum PortIndex : std::uint32_t {
    kFirstParameterPort = 0,   // port i is parameter i, up to 16
    kStereoLinkPort = 17,
    kInLeftPort = 18,
    kInRightPort = 19,
    kOutLeftPort = 20,
    kOutRightPort = 21,
    kLatencyPort = 22,
};

constexpr int kSoloModeIndex = 5;
constexpr int kSoloBypass = 4;
constexpr float kLatencyFrames = 16383.0f;   // half a crossover block less one; none in bypass

constexpr float kToMachine = 32768.0f;              // 2^15
constexpr float kFromMachine = 1.0f / kToMachine;   // 2^-15, exact
// Frames per processing call. Longer host blocks are processed in several
// calls; the machine's output does not depend on how its input is divided.
constexpr std::uint32_t kChunkFrames = 4096;

// The machine's results are defined for IEEE arithmetic: denormals kept,
// round-to-nearest, exceptions masked. Hosts often run their audio threads with
// denormals flushed (FTZ and DAZ), which would change the output, so run() uses
// the processor's default settings for its own duration and gives the host its
// own back afterwards.
class IeeeArithmeticScope {
public:
#if defined(__SSE__)
    IeeeArithmeticScope() : saved_(_mm_getcsr()) { _mm_setcsr(kDefaultControl); }
    ~IeeeArithmeticScope() { _mm_setcsr(saved_); }
#else
    IeeeArithmeticScope() = default;
#endif
    IeeeArithmeticScope(const IeeeArithmeticScope&) = delete;
    IeeeArithmeticScope& operator=(const IeeeArithmeticScope&) = delete;

#if defined(__SSE__)
private:
    static constexpr unsigned kDefaultControl = 0x1F80;   // all exceptions masked, nearest, no FTZ or DAZ
    unsigned saved_;
#endif
};

struct Plugin {
    std::shared_ptr<host::Library> library;
    std::unique_ptr<host::Machine> machine;   // declared after the library: destroyed first
    const MachineDescription* info = nullptr;

    std::array<const float*, kParameterCount> parameterPorts{};
    const float* stereoLinkPort = nullptr;
    const float* inLeft = nullptr;
    const float* inRight = nullptr;
    float* outLeft = nullptr;
    float* outRight = nullptr;
    float* latency = nullptr;

    std::array<int, kParameterCount> applied{};   // the values the machine last took in
    int appliedLink = 0;
    bool applyAll = true;      // the next run writes every parameter byte
    bool processed = false;    // audio has passed since the engine was last initialised

    std::vector<float> pairs;  // kChunkFrames interleaved pairs at machine scale
};

// A control port's value as a parameter value: rounded to the nearest whole
// number and clamped to the declared range; NaN, or a port left unconnected,
// gives the declared default.
int ParameterValue(const float* port, const ParameterDescriptor& descriptor)
{
    if (port == nullptr || std::isnan(*port))
        return descriptor.DefaultValue;
    const float value = *port;
    if (value <= float(descriptor.MinValue))
        return descriptor.MinValue;
    if (value >= float(descriptor.MaxValue))
        return descriptor.MaxValue;
    return static_cast<int>(std::lround(value));
}

// A toggle is on above zero.
int LinkValue(const float* port)
{
    return port != nullptr && *port > 0.0f ? 1 : 0;
}

float ToMachine(float sample)
{
    const float scaled = sample * kToMachine;
    return std::isfinite(scaled) ? scaled : 0.0f;
}

// Writes the bytes of the parameters that changed (all of them after
// activation) and applies them with the link value. Real-time safe.
void TakeControls(Plugin& self)
{
    bool changed = self.applyAll;
    for (int i = 0; i < kParameterCount; ++i) {
        const int value = ParameterValue(self.parameterPorts[i], *self.info->Parameters[i]);
        if (self.applyAll || value != self.applied[i]) {
            self.machine->SetParameterByte(i, static_cast<std::uint8_t>(value));
            self.applied[i] = value;
            changed = true;
        }
    }
    const int link = LinkValue(self.stereoLinkPort);
    if (link != self.appliedLink)
        changed = true;
    if (changed) {
        self.machine->SetAttribute(link);
        self.machine->ApplyParameters();   // and every byte back to no-value
        self.appliedLink = link;
        self.applyAll = false;
    }
}

// ---- LV2 entry points ---------------------------------------------------------------

// Instantiation class: loads the bundle's machine library, creates and
// initialises one machine at the host's sample rate and allocates the
// interleaving buffer. Null, with a logged reason, when any of it fails.
LV2_Handle Instantiate(const LV2_Descriptor*, double sampleRate, const char* bundlePath,
                       const LV2_Feature* const* features)
{
    LV2_Log_Log* log = nullptr;
    LV2_URID_Map* map = nullptr;
    lv2_features_query(features, LV2_LOG__log, &log, false, LV2_URID__map, &map, false, nullptr);
    LV2_Log_Logger logger{};
    lv2_log_logger_init(&logger, map, log);

    try {
        if (!(sampleRate >= 1.0 && sampleRate <= 2147483647.0)) {
            lv2_log_error(&logger, "korvax: unusable sample rate %g Hz\n", sampleRate);
            return nullptr;
        }
        std::string path = bundlePath != nullptr ? bundlePath : "";
        if (!path.empty() && path.back() != '/')
            path += '/';
        path += KORVAX_LV2_MACHINE_FILE;

        auto self = std::make_unique<Plugin>();
        std::string error;
        self->library = host::Library::Open(path, error);
        if (!self->library) {
            lv2_log_error(&logger, "korvax: %s\n", error.c_str());
            return nullptr;
        }
        self->info = self->library->Info();
        if (self->info == nullptr || self->info->ParameterCount != kParameterCount || self->info->Parameters == nullptr ||
            self->info->AttributeCount < 1) {
            lv2_log_error(&logger, "korvax: '%s' does not describe the Korvax 2 machine\n", path.c_str());
            return nullptr;
        }
        const auto rate = static_cast<std::int32_t>(std::lround(sampleRate));
        self->machine = host::Machine::Create(*self->library, rate, error);
        if (!self->machine) {
            lv2_log_error(&logger, "korvax: %s\n", error.c_str());
            return nullptr;
        }
        // The host's mixer initialises the machine's engine from here.
        self->machine->Initialise();
        if (self->machine->CurrentMixer() == nullptr) {
            lv2_log_error(&logger, "korvax: the machine did not take its input mixer\n");
            return nullptr;
        }
        self->machine->Events().clear();
        self->pairs.assign(2 * std::size_t(kChunkFrames), 0.0f);
        return self.release();
    } catch (const std::exception& e) {
        lv2_log_error(&logger, "korvax: cannot create the plug-in: %s\n", e.what());
        return nullptr;
    }
}

// Audio class (may come between runs): records where the host's buffers are.
void ConnectPort(LV2_Handle handle, std::uint32_t port, void* data)
{
    Plugin& self = *static_cast<Plugin*>(handle);
    if (port < kParameterCount) {
        self.parameterPorts[port] = static_cast<const float*>(data);
        return;
    }
    switch (port) {
    case kStereoLinkPort: self.stereoLinkPort = static_cast<const float*>(data); break;
    case kInLeftPort: self.inLeft = static_cast<const float*>(data); break;
    case kInRightPort: self.inRight = static_cast<const float*>(data); break;
    case kOutLeftPort: self.outLeft = static_cast<float*>(data); break;
    case kOutRightPort: self.outRight = static_cast<float*>(data); break;
    case kLatencyPort: self.latency = static_cast<float*>(data); break;
    default: break;
    }
}

// Instantiation class: a fresh start. A machine that has processed audio is
// initialised again (the host way: a new input mixer, whose initialisation
// clears the engine and stores the machine's start values); either way the
// next run writes every parameter.
void Activate(LV2_Handle handle)
{
    Plugin& self = *static_cast<Plugin*>(handle);
    if (self.processed) {
        self.machine->Initialise();
        self.machine->Events().clear();   // the host objects' log would only grow
        self.processed = false;
    }
    self.applyAll = true;
}

// Audio class, real-time safe: no allocation, lock or I/O. Any frame count,
// one frame included; input and output buffers may be the same.
void Run(LV2_Handle handle, std::uint32_t frames)
{
    Plugin& self = *static_cast<Plugin*>(handle);
    const IeeeArithmeticScope arithmetic;
    TakeControls(self);
    if (self.latency != nullptr)
        *self.latency = self.applied[kSoloModeIndex] == kSoloBypass ? 0.0f : kLatencyFrames;

    float* const pairs = self.pairs.data();
    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t count = std::min(kChunkFrames, frames - done);
        // Every input frame of the chunk is read before any output frame is
        // written, so the ports may alias one another in any way.
        for (std::uint32_t i = 0; i < count; ++i) {
            pairs[2 * i] = self.inLeft != nullptr ? ToMachine(self.inLeft[done + i]) : 0.0f;
            pairs[2 * i + 1] = self.inRight != nullptr ? ToMachine(self.inRight[done + i]) : 0.0f;
        }
        self.machine->Process(pairs, static_cast<std::int32_t>(count), host::kModeInputOutput);
        if (self.outLeft != nullptr)
            for (std::uint32_t i = 0; i < count; ++i)
                self.outLeft[done + i] = pairs[2 * i] * kFromMachine;
        if (self.outRight != nullptr)
            for (std::uint32_t i = 0; i < count; ++i)
                self.outRight[done + i] = pairs[2 * i + 1] * kFromMachine;
        done += count;
    }
    if (frames > 0)
        self.processed = true;
}

void Deactivate(LV2_Handle) {}

// Instantiation class: destroys the machine through its slot, then unloads the library.
void Cleanup(LV2_Handle handle)
{
    delete static_cast<Plugin*>(handle);
}

const void* ExtensionData(const char*)
{
    return nullptr;
}

const LV2_Descriptor kDescriptor = {
    KORVAX_LV2_URI, Instantiate, ConnectPort, Activate, Run, Deactivate, Cleanup, ExtensionData,
};

} // namespace
} // namespace korvax::lv2

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(std::uint32_t index)
{
    return index == 0 ? &korvax::lv2::kDescriptor : nullptr;
}
