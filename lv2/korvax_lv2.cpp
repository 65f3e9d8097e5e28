// Korvax 2 as an LV2 plug-in. Each plug-in instance is one machine, created by
// the machine library that sits in the plug-in's own bundle and driven through
// the reference host's objects, every slot called by its index, exactly as the
// machine's own host drives it. So any LV2 host plays the very machine that the
// korvax renderer plays, with the same results to the last bit.
//
// Ports (lv2/ports.h; korvax.ttl is written from the machine's tables by
// korvax_lv2_ttl): 0 to 16 are the machine's parameters in table order, each
// in its unit (dB, Hz, ms, n:1, %; the bare step for "Steepness", an
// enumeration for "Solo mode"), 17 the "Stereo link" attribute, 18 and 19 the
// left and right input, 20 and 21 the outputs, 22 the latency in frames, 23
// the enabled switch.
//
// Controls reach the machine as its host delivers them: a control's value
// selects the step whose exact value is nearest (params/value_units.h, the rule
// the korvax tool follows too), the bytes of the parameters whose steps changed
// are written into the parameter block (every other byte holds its no-value
// byte), the link value goes into the attribute, and ApplyParameters runs
// before the next processing call. The first run after activation writes every
// parameter, so ports the host leaves alone take the defaults korvax.ttl
// declares (the values of the declared default steps), not the machine's start
// values; the "Start values" preset holds those.
//
// Enabled off: the output is the input delayed by the latency the plug-in
// reports, so that a host's delay compensation holds, and the machine keeps
// running on the input, so that switching back finds it where it would have
// been. Each switch fades linearly between the two over kCrossFadeSeconds.
// Solo mode "bypass" stays the machine's own: the input undelayed, with a
// reported latency of 0.
//
// Levels: LV2 audio spans ±1.0 and the machine's full scale is ±32768. Samples
// are scaled by 2^15 on the way in and 2^-15 on the way out, which is exact; a
// sample that is not finite at machine scale enters the machine as silence, as
// in the korvax renderer, because one NaN would stay in the gain followers for
// good. The delayed input passes as it came.

#include <lv2/core/lv2.h>
#include <lv2/core/lv2_util.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>


#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/fpu_guard.h"
#include "host/reference_host.h"
#include "lv2/ports.h"
#include "params/value_units.h"

namespace korvax::lv2 {
namespace {

constexpr float kToMachine = 32768.0f;              // 2^15
constexpr float kFromMachine = 1.0f / kToMachine;   // 2^-15, exact
// Frames per processing call. Longer host blocks are processed in several
// calls; the machine's output does not depend on how its input is divided.
constexpr std::uint32_t kChunkFrames = 4096;
// The input history for the delayed dry signal: the latency and the frame
// being written.
constexpr std::uint32_t kHistoryFrames = kLatencyFrames + 1;

std::uint32_t Bits(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

struct Plugin {
    std::shared_ptr<host::Library> library;
    std::unique_ptr<host::Machine> machine;   // declared after the library: destroyed first
    const MachineDescription* info = nullptr;
    LV2_Log_Logger logger{};
    bool ready = true;         // false after an activation failed: run() writes silence

    std::array<const float*, kParameterCount> parameterPorts{};
    const float* stereoLinkPort = nullptr;
    const float* enabledPort = nullptr;
    const float* inLeft = nullptr;
    const float* inRight = nullptr;
    float* outLeft = nullptr;
    float* outRight = nullptr;
    float* latency = nullptr;
    std::array<float*, kGainMeterCount> gainMeters{};
    std::array<float*, kPeakMeterCount> peakMeters{};
    bool metered = false;      // the machine library keeps gain meters

    // The step each parameter port selects, worked out again only when the
    // port's value changes (its bits, so that any NaN counts as a change).
    std::array<std::uint32_t, kParameterCount> portBits{};
    std::array<int, kParameterCount> portSteps{};

    std::array<int, kParameterCount> applied{};   // the steps the machine last took in
    int appliedLink = 0;
    bool applyAll = true;      // the next run writes every parameter byte
    bool processed = false;    // audio has passed since the engine was last initialised

    // Enabled switch: 0 is the machine's output alone, fadeFrames the delayed
    // input alone; between them a linear mix, one position per frame.
    std::uint32_t fadeFrames = 1;
    double fadeStep = 1.0;            // 1 / fadeFrames
    std::uint32_t fadePosition = 0;
    bool snapFade = true;             // the first run after activation does not fade

    std::vector<float> raw;           // kChunkFrames interleaved input pairs, as they came
    std::vector<float> pairs;         // the same at machine scale
    std::vector<float> delayed;       // kChunkFrames interleaved pairs of the delayed input
    std::vector<float> history;       // kHistoryFrames interleaved input pairs, a ring
    std::uint32_t historyPosition = 0;
};

// A gain or level as a meter reading: dB held within the floor and `ceiling`
// (a silent or fully reduced signal reads the floor).
float MeterDb(float linear, float ceiling)
{
    const float db = linear > 0.0f ? 20.0f * std::log10(linear) : kMeterFloorDb;
    return std::clamp(db, kMeterFloorDb, ceiling);
}

// Peak meters: the largest magnitude of the samples seen, a NaN leaving it as
// it is.
inline float Larger(float peak, float sample)
{
    const float magnitude = std::fabs(sample);
    return magnitude > peak ? magnitude : peak;
}

#if defined(__SSE2__)
// Four lanes at a time: MAXPS returns its second operand where the first is NaN.
inline __m128 LargerPs(__m128 peaks, __m128 samples)
{
    return _mm_max_ps(_mm_and_ps(samples, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff))), peaks);
}

inline float LargestLane(__m128 peaks, float peak)
{
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, peaks);
    for (const float lane : lanes)
        peak = lane > peak ? lane : peak;
    return peak;
}
#endif

// The step a parameter port selects: the step whose value in the parameter's
// unit is nearest the port's value (beyond the range, its end); NaN, or a port
// left unconnected, gives the declared default. The search (a scan of at most
// 129 steps, some microseconds) runs only when the port's value has changed.
int PortStep(Plugin& self, int index)
{
    const ParameterDescriptor& d = *self.info->Parameters[index];
    const float* port = self.parameterPorts[index];
    if (port == nullptr)
        return d.DefaultValue;
    const float value = *port;
    if (Bits(value) != self.portBits[index]) {
        self.portBits[index] = Bits(value);
        self.portSteps[index] =
            std::isnan(value) ? d.DefaultValue : units::NearestStep(index, double(value), d.MinValue, d.MaxValue);
    }
    return self.portSteps[index];
}

// Forgets every port's step: the next run works each out afresh.
void ForgetPortSteps(Plugin& self)
{
    for (int i = 0; i < kParameterCount; ++i) {
        self.portBits[i] = Bits(std::numeric_limits<float>::quiet_NaN());
        self.portSteps[i] = self.info->Parameters[i]->DefaultValue;   // what that NaN selects
    }
}

// A toggle is on above zero; `unconnected` when the host left it alone.
int ToggleValue(const float* port, int unconnected)
{
    if (port == nullptr)
        return unconnected;
    return *port > 0.0f ? 1 : 0;
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
        const int step = PortStep(self, i);
        if (self.applyAll || step != self.applied[i]) {
            self.machine->SetParameterByte(i, static_cast<std::uint8_t>(step));
            self.applied[i] = step;
            changed = true;
        }
    }
    const int link = ToggleValue(self.stereoLinkPort, self.info->Attributes[0]->DefaultValue);
    if (link != self.appliedLink)
        changed = true;
    if (changed) {
        self.machine->SetAttribute(link);
        self.machine->ApplyParameters();   // and every byte back to no-value
        self.appliedLink = link;
        self.applyAll = false;
    }
}

// Reads `count` input frames from `done` on into `raw`, interleaved, as they
// came, and at machine scale into `pairs`.
void TakeInput(Plugin& self, std::uint32_t done, std::uint32_t count, float (&peaks)[2])
{
    float* const raw = self.raw.data();
    float* const pairs = self.pairs.data();
    const float* const left = self.inLeft != nullptr ? self.inLeft + done : nullptr;
    const float* const right = self.inRight != nullptr ? self.inRight + done : nullptr;
    std::uint32_t i = 0;
#if defined(__SSE2__)
    // Four frames at a time, both channels present: interleaved as they came and
    // at machine scale (a power of two, so exact; what is not finite there, 0).
    if (left != nullptr && right != nullptr) {
        const __m128 scale = _mm_set1_ps(kToMachine);
        const __m128 infinity = _mm_set1_ps(std::numeric_limits<float>::infinity());
        const __m128 magnitudeMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
        __m128 peakL = _mm_setzero_ps(), peakR = _mm_setzero_ps();
        for (; i + 4 <= count; i += 4) {
            const __m128 l = _mm_loadu_ps(left + i);
            const __m128 r = _mm_loadu_ps(right + i);
            peakL = LargerPs(peakL, l);
            peakR = LargerPs(peakR, r);
            _mm_storeu_ps(raw + 2 * i, _mm_unpacklo_ps(l, r));
            _mm_storeu_ps(raw + 2 * i + 4, _mm_unpackhi_ps(l, r));
            const __m128 sl = _mm_mul_ps(l, scale);
            const __m128 sr = _mm_mul_ps(r, scale);
            const __m128 fl = _mm_and_ps(sl, _mm_cmplt_ps(_mm_and_ps(sl, magnitudeMask), infinity));
            const __m128 fr = _mm_and_ps(sr, _mm_cmplt_ps(_mm_and_ps(sr, magnitudeMask), infinity));
            _mm_storeu_ps(pairs + 2 * i, _mm_unpacklo_ps(fl, fr));
            _mm_storeu_ps(pairs + 2 * i + 4, _mm_unpackhi_ps(fl, fr));
        }
        peaks[0] = LargestLane(peakL, peaks[0]);
        peaks[1] = LargestLane(peakR, peaks[1]);
    }
#endif
    for (; i < count; ++i) {
        const float l = left != nullptr ? left[i] : 0.0f;
        const float r = right != nullptr ? right[i] : 0.0f;
        peaks[0] = Larger(peaks[0], l);
        peaks[1] = Larger(peaks[1], r);
        raw[2 * i] = l;
        raw[2 * i + 1] = r;
        pairs[2 * i] = ToMachine(l);
        pairs[2 * i + 1] = ToMachine(r);
    }
}

// Adds the chunk in `raw` to the history and returns the dry signal of the
// chunk: each frame as it came `delay` frames earlier (worked out only when
// `wanted`). With a delay, those frames all precede the chunk, so they are read
// before the chunk is written.
const float* DelayedInput(Plugin& self, std::uint32_t count, std::uint32_t delay, bool wanted)
{
    static_assert(kChunkFrames < kLatencyFrames);
    const float* const raw = self.raw.data();
    float* const history = self.history.data();
    float* const delayed = self.delayed.data();
    const std::uint32_t position = self.historyPosition;
    if (wanted && delay > 0)
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t read = (position + kHistoryFrames - delay + i) % kHistoryFrames;
            delayed[2 * i] = history[2 * read];
            delayed[2 * i + 1] = history[2 * read + 1];
        }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t write = (position + i) % kHistoryFrames;
        history[2 * write] = raw[2 * i];
        history[2 * write + 1] = raw[2 * i + 1];
    }
    self.historyPosition = (position + count) % kHistoryFrames;
    return delay > 0 ? delayed : raw;
}

// Writes `count` output frames from `done` on: the machine's output, the dry
// signal, or, while the fade moves toward `target`, a mix of the two.
// Precision: each end exactly as it is; a mix is formed in double and rounded
// to float once.
void WriteOutput(Plugin& self, std::uint32_t done, std::uint32_t count, std::uint32_t target, const float* dry,
                 float (&peaks)[2])
{
    float* const outs[2] = {self.outLeft, self.outRight};
    if (self.fadePosition == target) {
        // The machine's output scaled back (exact) or the dry signal, split
        // into the two channels.
        const float* const from = target == 0 ? self.pairs.data() : dry;
        const float scale = target == 0 ? kFromMachine : 1.0f;
        std::uint32_t i = 0;
#if defined(__SSE2__)
        if (outs[0] != nullptr && outs[1] != nullptr) {
            const __m128 factor = _mm_set1_ps(scale);
            __m128 peakL = _mm_setzero_ps(), peakR = _mm_setzero_ps();
            for (; i + 4 <= count; i += 4) {
                const __m128 a = _mm_loadu_ps(from + 2 * i);       // L0 R0 L1 R1
                const __m128 b = _mm_loadu_ps(from + 2 * i + 4);   // L2 R2 L3 R3
                const __m128 l = _mm_mul_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)), factor);
                const __m128 r = _mm_mul_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)), factor);
                peakL = LargerPs(peakL, l);
                peakR = LargerPs(peakR, r);
                _mm_storeu_ps(outs[0] + done + i, l);
                _mm_storeu_ps(outs[1] + done + i, r);
            }
            peaks[0] = LargestLane(peakL, peaks[0]);
            peaks[1] = LargestLane(peakR, peaks[1]);
        }
#endif
        for (; i < count; ++i)
            for (std::uint32_t channel = 0; channel < 2; ++channel) {
                const float value = from[2 * i + channel] * scale;
                peaks[channel] = Larger(peaks[channel], value);
                if (outs[channel] != nullptr)
                    outs[channel][done + i] = value;
            }
        return;
    }
    const float* const pairs = self.pairs.data();
    for (std::uint32_t i = 0; i < count; ++i) {
        if (self.fadePosition < target)
            ++self.fadePosition;
        else if (self.fadePosition > target)
            --self.fadePosition;
        const std::uint32_t position = self.fadePosition;
        const double dryWeight = double(position) * self.fadeStep;
        for (std::uint32_t channel = 0; channel < 2; ++channel) {
            const float wet = pairs[2 * i + channel] * kFromMachine;
            const float delayed = dry[2 * i + channel];
            const float value = position == 0                ? wet
                                : position == self.fadeFrames ? delayed
                                                              : static_cast<float>(double(wet) * (1.0 - dryWeight) +
                                                                                   double(delayed) * dryWeight);
            peaks[channel] = Larger(peaks[channel], value);
            if (outs[channel] != nullptr)
                outs[channel][done + i] = value;
        }
    }
}

// ---- LV2 entry points ---------------------------------------------------------------

// Instantiation class: loads the bundle's machine library, creates and
// initialises one machine at the host's sample rate and allocates the
// buffers. Null, with a logged reason, when any of it fails.
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
        self->logger = logger;
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
        // The meters read the machine's own gain followers; a machine library
        // without them leaves the gain meters at 0 dB.
        self->metered = self->machine->SwitchMeters(true);
        ForgetPortSteps(*self);
        self->fadeFrames = static_cast<std::uint32_t>(std::max(1L, std::lround(sampleRate * kCrossFadeSeconds)));
        self->fadeStep = 1.0 / double(self->fadeFrames);
        self->raw.assign(2 * std::size_t(kChunkFrames), 0.0f);
        self->pairs.assign(2 * std::size_t(kChunkFrames), 0.0f);
        self->delayed.assign(2 * std::size_t(kChunkFrames), 0.0f);
        self->history.assign(2 * std::size_t(kHistoryFrames), 0.0f);
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
    case kEnabledPort: self.enabledPort = static_cast<const float*>(data); break;
    default:
        if (port >= kFirstGainMeterPort && port < kFirstGainMeterPort + kGainMeterCount)
            self.gainMeters[port - kFirstGainMeterPort] = static_cast<float*>(data);
        else if (port >= kFirstPeakMeterPort && port < kFirstPeakMeterPort + kPeakMeterCount)
            self.peakMeters[port - kFirstPeakMeterPort] = static_cast<float*>(data);
        break;
    }
}

// Instantiation class: a fresh start. A machine that has processed audio is
// initialised again (the host way: a new input mixer, whose initialisation
// clears the engine and stores the machine's start values); either way the
// next run writes every parameter, the delayed input starts from silence and
// the enabled switch takes effect without a fade. Nothing is thrown to the
// host: a failure is logged, and the instance then outputs silence.
void Activate(LV2_Handle handle)
{
    Plugin& self = *static_cast<Plugin*>(handle);
    try {
        if (self.processed || !self.ready) {
            self.machine->Initialise();
            self.machine->Events().clear();   // the host objects' log would only grow
            self.processed = false;
            self.ready = self.machine->CurrentMixer() != nullptr;
            if (!self.ready)
                lv2_log_error(&self.logger, "korvax: the machine did not take its input mixer\n");
        }
    } catch (const std::exception& e) {
        self.ready = false;
        lv2_log_error(&self.logger, "korvax: cannot activate the plug-in: %s\n", e.what());
    } catch (...) {
        self.ready = false;
        lv2_log_error(&self.logger, "korvax: cannot activate the plug-in\n");
    }
    self.applyAll = true;
    self.snapFade = true;
    std::fill(self.history.begin(), self.history.end(), 0.0f);
    self.historyPosition = 0;
}

// Audio class, real-time safe: no allocation, lock or I/O. Any frame count,
// one frame included; input and output buffers may be the same.
void Run(LV2_Handle handle, std::uint32_t frames)
{
    Plugin& self = *static_cast<Plugin*>(handle);
    if (!self.ready) {
        if (self.latency != nullptr)
            *self.latency = float(kLatencyFrames);
        for (float* out : {self.outLeft, self.outRight})
            if (out != nullptr)
                std::fill(out, out + frames, 0.0f);
        for (float* meter : self.gainMeters)
            if (meter != nullptr)
                *meter = 0.0f;
        for (float* meter : self.peakMeters)
            if (meter != nullptr)
                *meter = kMeterFloorDb;
        return;
    }
    // The plug-in's own arithmetic (scaling, the bypass fade) runs in the
    // engine's floating-point state too, not in a host's flush-to-zero.
    const FpuGuard arithmetic;
    TakeControls(self);
    const std::uint32_t delay = self.applied[kSoloModeIndex] == kSoloBypass ? 0 : kLatencyFrames;
    if (self.latency != nullptr)
        *self.latency = float(delay);
    const std::uint32_t target = ToggleValue(self.enabledPort, 1) ? 0 : self.fadeFrames;
    if (self.snapFade) {
        self.fadePosition = target;
        self.snapFade = false;
    }

    // The meters hold over the whole run: the lowest gain of each follower, the
    // largest input and output sample of each channel.
    float lowest[kGainMeterCount];
    std::fill(std::begin(lowest), std::end(lowest), 1.0f);
    float peaks[kPeakMeterCount] = {};
    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t count = std::min(kChunkFrames, frames - done);
        // Every input frame of the chunk is read before any output frame is
        // written, so the ports may alias one another in any way.
        float inPeaks[2] = {peaks[0], peaks[1]};
        TakeInput(self, done, count, inPeaks);
        peaks[0] = inPeaks[0];
        peaks[1] = inPeaks[1];
        const float* const dry = DelayedInput(self, count, delay, self.fadePosition != 0 || target != 0);
        self.machine->Process(self.pairs.data(), static_cast<std::int32_t>(count), host::kModeInputOutput);
        if (self.metered) {
            float taken[kGainMeterCount];
            if (self.machine->TakeMeters(taken) > 0)
                for (int k = 0; k < kGainMeterCount; ++k)
                    lowest[k] = std::min(lowest[k], taken[k]);
        }
        float outPeaks[2] = {peaks[2], peaks[3]};
        WriteOutput(self, done, count, target, dry, outPeaks);
        peaks[2] = outPeaks[0];
        peaks[3] = outPeaks[1];
        done += count;
    }
    for (int k = 0; k < kGainMeterCount; ++k)
        if (self.gainMeters[k] != nullptr)
            *self.gainMeters[k] = MeterDb(lowest[k], 0.0f);
    for (int k = 0; k < kPeakMeterCount; ++k)
        if (self.peakMeters[k] != nullptr)
            *self.peakMeters[k] = MeterDb(peaks[k], kPeakMeterCeilingDb);
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
