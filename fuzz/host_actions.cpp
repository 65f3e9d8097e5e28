#include "fuzz/host_actions.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "fuzz/machine_invariants.h"
#include "host/reference_host.h"
#include "plugin/description.h"
#include "plugin/machine.h"

namespace korvax::reliability {
namespace {

using host::CallSlot;

constexpr std::int32_t kSpecialCounts[8] = {
    0, -1, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
    std::int32_t(1) << 30, 1, kBlockHalfLength, kBlockFloats - 1};
constexpr std::uint8_t kExplicitCount = 8;
constexpr int kGuardFloats = 4;   // the buffer passed with a count that describes none

// Reads the script; past its end every read gives zero bytes.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return position_ >= size_; }
    std::uint8_t U8() { return position_ < size_ ? data_[position_++] : 0; }
    std::uint16_t U16()
    {
        const std::uint16_t low = U8();
        return std::uint16_t(low | (std::uint16_t(U8()) << 8));
    }
    std::int32_t I32()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= std::uint32_t(U8()) << (8 * i);
        return std::int32_t(value);
    }
    float F32()
    {
        const std::int32_t bits = I32();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

struct SignalSpec {
    Signal kind = Signal::kSilence;
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    std::vector<float> raw;
    std::vector<std::pair<std::uint16_t, std::uint8_t>> specials;
};

SignalSpec ReadSignal(ByteReader& in)
{
    SignalSpec s;
    s.kind = Signal(in.U8() % kSignalKinds);
    switch (s.kind) {
    case Signal::kSilence: break;
    case Signal::kSine:
    case Signal::kNoise:
    case Signal::kImpulses:
        s.a = in.U8();
        s.b = in.U8();
        break;
    case Signal::kConstant: s.a = in.U8(); break;
    case Signal::kRaw:
        s.raw.resize(in.U8() % 32);
        for (float& value : s.raw)
            value = in.F32();
        break;
    case Signal::kSpecials:
        s.a = in.U8();
        s.specials.resize(in.U8() % 8);
        for (auto& [index, value] : s.specials) {
            index = in.U16();
            value = in.U8();
        }
        break;
    }
    return s;
}

// A counter-based hash, so a noise continues across calls without state.
std::uint64_t Mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

float UnitNoise(std::uint64_t seed, std::uint64_t index)
{
    const std::uint64_t bits = Mix(Mix(seed) ^ index) >> 40;   // 24 bits
    return float(double(bits) / double(1 << 23) - 1.0);
}

// Fills `floats` interleaved floats of pair `clock` on.
void Generate(const SignalSpec& s, std::uint64_t clock, float* out, std::int32_t floats)
{
    const float amplitude = PaletteValue(s.b);
    for (std::int32_t i = 0; i < floats; ++i) {
        const std::uint64_t pair = clock + std::uint64_t(i / 2);
        const int channel = i % 2;
        float value = 0.0f;
        switch (s.kind) {
        case Signal::kSilence: break;
        case Signal::kSine: {
            const std::uint64_t period = std::uint64_t(s.a) * 4 + 2;
            const double phase = 6.283185307179586 * double(pair % period) / double(period);
            value = float(double(amplitude) * (channel == 0 ? std::sin(phase) : std::cos(phase)));
            break;
        }
        case Signal::kNoise: value = amplitude * UnitNoise(s.a, 2 * pair + channel); break;
        case Signal::kConstant: value = PaletteValue(s.a); break;
        case Signal::kImpulses:
            if (pair % (std::uint64_t(s.a) + 1) == 0)
                value = channel == 0 ? amplitude : -amplitude;
            break;
        case Signal::kRaw:
            if (!s.raw.empty())
                value = s.raw[(2 * pair + channel) % s.raw.size()];
            break;
        case Signal::kSpecials: value = PaletteValue(s.a) * UnitNoise(0x5eed, 2 * pair + channel); break;
        }
        out[i] = value;
    }
    if (s.kind == Signal::kSpecials && floats > 0)
        for (const auto& [index, value] : s.specials)
            out[index % floats] = PaletteValue(value);
}

std::int32_t ReadMode(ByteReader& in)
{
    const std::uint8_t selector = in.U8();
    return selector < 8 ? selector : in.I32();
}

std::int32_t ReadCount(ByteReader& in, const Limits& limits)
{
    const std::uint8_t selector = in.U8();
    if (selector < kExplicitCount)
        return kSpecialCounts[selector];
    return std::int32_t(in.U16() % (std::uint32_t(limits.maxPairsPerCall) + 1));
}

struct HostedMachine {
    std::unique_ptr<host::Machine> host;
    MultibandMachine* machine = nullptr;
    OutputWatch watch;
    std::uint64_t clock = 0;   // pairs generated so far, so signals run on across calls
};

class Runner {
public:
    Runner(const std::uint8_t* data, std::size_t size, const Limits& limits) : in_(data, size), limits_(limits) {}

    RunResult Run()
    {
        while (!in_.Empty() && result_.actions < limits_.maxActions && result_.failure.empty()) {
            const std::uint8_t op = in_.U8();
            const Action action = Action((op & 0x0F) % kActionKinds);
            const int target = (op >> 4) % kMaxMachines;
            Perform(action, machines_[target]);
            ++result_.actions;
            for (int i = 0; i < kMaxMachines && result_.failure.empty(); ++i)
                if (machines_[i].host)
                    Fail(CheckEngineState(*machines_[i].machine));
            if (!result_.failure.empty())
                result_.failure = "action " + std::to_string(result_.actions) + " (kind " +
                                  std::to_string(int(action)) + ", machine " + std::to_string(target) +
                                  "): " + result_.failure;
        }
        for (const HostedMachine& m : machines_) {
            result_.pipelinePairs += m.watch.PipelinePairs();
            result_.finiteChecked += m.watch.FiniteChecked();
        }
        return result_;
    }

private:
    void Fail(std::string message)
    {
        if (result_.failure.empty())
            result_.failure = std::move(message);
    }

    void* PointerArgument(std::uint8_t selector) { return selector % 2 != 0 ? &pointerTarget_ : nullptr; }

    void Perform(Action action, HostedMachine& m)
    {
        switch (action) {
        case Action::kCreate: {
            const std::int32_t rate = in_.I32();
            if (++creates_ > limits_.maxCreates)
                return;
            m.host.reset();
            m.machine = CreateMultibandMachine();
            if (m.machine == nullptr)
                return Fail("CreateMultibandMachine failed");
            m.host = std::make_unique<host::Machine>(m.machine, &Description(), rate);
            m.watch.Reset();
            m.clock = 0;
            return;
        }
        case Action::kInitialise: {
            void* argument = PointerArgument(in_.U8());
            if (!m.host || ++resets_ > limits_.maxResets)
                return;
            m.host->Initialise(argument);
            if (m.machine->inputMixer == nullptr || m.host->MixerBackPointer() != m.machine)
                return Fail("Initialise left the mixer unwired");
            m.watch.Reset();
            return;
        }
        case Action::kSetParameter: {
            const int index = in_.U8() % kParameterCount;
            const std::uint8_t value = in_.U8();
            if (m.host)
                m.host->SetParameterByte(index, value);
            return;
        }
        case Action::kSetAttribute: {
            const std::int32_t value = in_.I32();
            if (m.host)
                m.host->SetAttribute(value);
            return;
        }
        case Action::kApplyParameters:
            if (m.host)
                m.host->ApplyParameters();
            return;
        case Action::kSetParameters: {
            const int count = in_.U8() % (kParameterCount + 1);
            for (int i = 0; i < count; ++i) {
                const int index = in_.U8() % kParameterCount;
                const std::uint8_t value = in_.U8();
                if (m.host)
                    m.host->SetParameterByte(index, value);
            }
            if (m.host)
                m.host->ApplyParameters();
            return;
        }
        case Action::kProcess:
        case Action::kProcessStereo: {
            const std::int32_t mode = ReadMode(in_);
            const std::int32_t count = ReadCount(in_, limits_);
            const SignalSpec signal = ReadSignal(in_);
            if (m.host)
                ProcessOnce(m, action == Action::kProcessStereo, mode, count, signal);
            return;
        }
        case Action::kRepeatProcess: {
            const int calls = in_.U8() % limits_.maxRepeats + 1;
            const std::int32_t mode = ReadMode(in_);
            const std::int32_t count = ReadCount(in_, limits_);
            const SignalSpec signal = ReadSignal(in_);
            for (int i = 0; i < calls && m.host && result_.failure.empty(); ++i)
                ProcessOnce(m, false, mode, count, signal);
            return;
        }
        case Action::kDescribe: {
            const std::uint8_t selector = in_.U8();
            const std::int32_t index = selector < 20 ? std::int32_t(selector) - 1 : in_.I32();
            const std::int32_t value = in_.I32();
            if (m.host)
                Fail(CheckValueText(index, m.host->Describe(index, value)));
            return;
        }
        case Action::kInitialiseEngine: {
            void* argument = PointerArgument(in_.U8());
            if (!m.host || ++resets_ > limits_.maxResets)
                return;
            CallSlot<void>(m.host->Object(), host::kSlotInitialiseEngine, argument);
            m.watch.Reset();
            return;
        }
        case Action::kSetSampleRate: {
            const std::int32_t rate = in_.I32();
            if (m.host)
                m.host->SetSampleRate(rate);
            return;
        }
        case Action::kDestroy: {
            const std::int32_t flags = in_.I32();
            if (!m.host)
                return;
            void* const object = m.host->Object();
            if (m.host->Destroy(flags) != object)
                Fail("Destroy did not return the object's address");
            if (m.host->CurrentMixer() != nullptr)
                Fail("Destroy left the mixer alive");
            if ((flags & 1) == 0) {   // the object lives on, without a mixer
                if (m.machine->inputMixer != nullptr || m.machine->extension.inputMixer != nullptr)
                    Fail("Destroy left a pointer to the destroyed mixer");
                return;
            }
            m.host.reset();
            m.machine = nullptr;
            return;
        }
        case Action::kOtherSlot: {
            const std::uint8_t selector = in_.U8();
            const std::int32_t a = in_.I32(), b = in_.I32(), c = in_.I32(), d = in_.I32();
            if (m.host)
                CallOtherSlot(m, selector, a, b, c, d);
            return;
        }
        case Action::kExtensionSlot: {
            const int slot = in_.U8() % host::kExtensionSlotCount;
            const std::int32_t a = in_.I32(), b = in_.I32(), c = in_.I32();
            if (m.host && m.host->RegisteredExtension() != nullptr)
                CallExtensionSlot(m.host->RegisteredExtension(), slot, a, b, c);
            return;
        }
        }
    }

    void ProcessOnce(HostedMachine& m, bool direct, std::int32_t mode, std::int32_t count, const SignalSpec& signal)
    {
        const bool validCount = count > 0 && count < (std::int32_t(1) << 30);
        if (validCount && result_.pairs + count > limits_.maxPairsPerRun)
            return;
        const std::int32_t floats = validCount ? 2 * count : kGuardFloats;
        buffer_.resize(std::size_t(floats));
        Generate(signal, m.clock, buffer_.data(), floats);
        input_ = buffer_;
        if (validCount) {
            result_.pairs += count;
            m.clock += std::uint64_t(count);
        }

        ProcessCall call;
        call.floats = floats;
        call.pairCount = count;
        call.mode = mode;
        call.sampleRate = m.host->SampleRate();
        call.reachedEngine = direct || m.machine->inputMixer != nullptr;
        m.watch.Snapshot(*m.machine);
        call.result = direct ? m.host->ProcessStereo(buffer_.data(), count, mode)
                             : m.host->Process(buffer_.data(), count, mode);
        call.input = input_.data();
        call.output = buffer_.data();
        Fail(m.watch.Check(*m.machine, call));
    }

    // The primary slots with no audio role, each with its own signature.
    void CallOtherSlot(HostedMachine& m, std::uint8_t selector, std::int32_t a, std::int32_t b, std::int32_t c,
                       std::int32_t d)
    {
        void* const object = m.host->Object();
        float guard[kGuardFloats] = {1.0f, 2.0f, 3.0f, 4.0f};
        static constexpr int kSlots[] = {4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 17, 18, 20, 21, 24};
        const int slot = kSlots[selector % (sizeof kSlots / sizeof kSlots[0])];
        switch (slot) {
        case 4: CallSlot<bool>(object, 4, a, b, c, d); break;
        case 5:
        case 7:
        case 17: CallSlot<void>(object, slot); break;
        case 6:
        case 24: CallSlot<void>(object, slot, PointerArgument(std::uint8_t(a))); break;
        case 8:
        case 9:
        case 10:
        case 13:
        case 20: CallSlot<void>(object, slot, a); break;
        case 11:
            if (CallSlot<bool>(object, 11, a))
                Fail("slot 11 returned true");
            break;
        case 12: CallSlot<void>(object, 12, a, b, c); break;
        case 15:
            if (CallSlot<void*>(object, 15) != nullptr)
                Fail("slot 15 returned a pointer");
            break;
        case 16:
            if (CallSlot<bool>(object, 16, a, b, c))
                Fail("slot 16 returned true");
            break;
        case 18:
            if (CallSlot<std::int32_t>(object, 18, a) != -1)
                Fail("slot 18 did not return -1");
            break;
        case 21:
            if (CallSlot<bool>(object, 21, guard, a, b))
                Fail("slot 21 returned true");
            if (guard[0] != 1.0f || guard[3] != 4.0f)
                Fail("slot 21 wrote into the buffer");
            break;
        default: break;
        }
    }

    static void CallExtensionSlot(void* extension, int slot, std::int32_t a, std::int32_t b, std::int32_t c)
    {
        switch (slot) {
        case 0: CallSlot<void*>(extension, 0, a); break;
        case 1: CallSlot<bool>(extension, 1, a); break;
        case 2: CallSlot<void>(extension, 2, a, b); break;
        case 3: CallSlot<std::intptr_t>(extension, 3, a, b); break;
        case 4: CallSlot<std::intptr_t>(extension, 4, a); break;
        case 5: CallSlot<std::intptr_t>(extension, 5, a, b); break;
        case 6: CallSlot<std::intptr_t>(extension, 6, a, b, c); break;
        case 7: CallSlot<void>(extension, 7, a, b, c); break;
        case 8: CallSlot<std::intptr_t>(extension, 8, a, b); break;
        case 9: CallSlot<bool>(extension, 9, a, b, c); break;
        default: CallSlot<void>(extension, slot); break;
        }
    }

    ByteReader in_;
    Limits limits_;
    RunResult result_;
    HostedMachine machines_[kMaxMachines];
    std::vector<float> buffer_;
    std::vector<float> input_;
    int pointerTarget_ = 0;
    int creates_ = 0;
    int resets_ = 0;
};

} // namespace

float PaletteValue(std::uint8_t index)
{
    static constexpr float kPalette[kPaletteSize] = {
        0.0f,
        -0.0f,
        std::numeric_limits<float>::denorm_min(),
        1e-40f,
        1.0f,
        1000.0f,
        32768.0f,
        -32768.0f,
        1e6f,
        1e20f,
        std::numeric_limits<float>::max(),
        -std::numeric_limits<float>::max(),
        std::numeric_limits<float>::infinity(),
        -std::numeric_limits<float>::infinity(),
        std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::min(),
    };
    return kPalette[index % kPaletteSize];
}

RunResult RunActions(const std::uint8_t* data, std::size_t size, const Limits& limits)
{
    return Runner(data, size, limits).Run();
}

// ---- ActionScript ------------------------------------------------------------------

void ActionScript::Op(Action action, int machine)
{
    U8(std::uint8_t(std::uint8_t(action) | ((machine % kMaxMachines) << 4)));
}

void ActionScript::U16(std::uint16_t value)
{
    U8(std::uint8_t(value & 0xFF));
    U8(std::uint8_t(value >> 8));
}

void ActionScript::I32(std::int32_t value)
{
    const std::uint32_t bits = std::uint32_t(value);
    for (int i = 0; i < 4; ++i)
        U8(std::uint8_t(bits >> (8 * i)));
}

void ActionScript::Mode(std::int32_t mode)
{
    if (mode >= 0 && mode < 8) {
        U8(std::uint8_t(mode));
    } else {
        U8(0xFF);
        I32(mode);
    }
}

ActionScript& ActionScript::Create(int machine, std::int32_t sampleRate)
{
    Op(Action::kCreate, machine);
    I32(sampleRate);
    return *this;
}

ActionScript& ActionScript::Initialise(int machine, bool pointerArgument)
{
    Op(Action::kInitialise, machine);
    U8(pointerArgument ? 1 : 0);
    return *this;
}

ActionScript& ActionScript::SetParameter(int machine, int index, std::uint8_t value)
{
    Op(Action::kSetParameter, machine);
    U8(std::uint8_t(index));
    U8(value);
    return *this;
}

ActionScript& ActionScript::SetAttribute(int machine, std::int32_t value)
{
    Op(Action::kSetAttribute, machine);
    I32(value);
    return *this;
}

ActionScript& ActionScript::ApplyParameters(int machine)
{
    Op(Action::kApplyParameters, machine);
    return *this;
}

ActionScript& ActionScript::SetParameters(int machine, const std::vector<std::pair<int, std::uint8_t>>& values)
{
    Op(Action::kSetParameters, machine);
    U8(std::uint8_t(values.size()));
    for (const auto& [index, value] : values) {
        U8(std::uint8_t(index));
        U8(value);
    }
    return *this;
}

ActionScript& ActionScript::Describe(int machine, std::int32_t index, std::int32_t value)
{
    Op(Action::kDescribe, machine);
    if (index >= -1 && index < 19) {
        U8(std::uint8_t(index + 1));
    } else {
        U8(0xFF);
        I32(index);
    }
    I32(value);
    return *this;
}

ActionScript& ActionScript::InitialiseEngine(int machine, bool pointerArgument)
{
    Op(Action::kInitialiseEngine, machine);
    U8(pointerArgument ? 1 : 0);
    return *this;
}

ActionScript& ActionScript::SetSampleRate(int machine, std::int32_t sampleRate)
{
    Op(Action::kSetSampleRate, machine);
    I32(sampleRate);
    return *this;
}

ActionScript& ActionScript::Destroy(int machine, std::int32_t flags)
{
    Op(Action::kDestroy, machine);
    I32(flags);
    return *this;
}

ActionScript& ActionScript::OtherSlot(int machine, std::uint8_t slot, std::int32_t a, std::int32_t b, std::int32_t c,
                                      std::int32_t d)
{
    Op(Action::kOtherSlot, machine);
    U8(slot);
    I32(a);
    I32(b);
    I32(c);
    I32(d);
    return *this;
}

ActionScript& ActionScript::ExtensionSlot(int machine, std::uint8_t slot, std::int32_t a, std::int32_t b,
                                          std::int32_t c)
{
    Op(Action::kExtensionSlot, machine);
    U8(slot);
    I32(a);
    I32(b);
    I32(c);
    return *this;
}

ActionScript& ActionScript::Process(int machine, std::int32_t mode, std::uint16_t pairs,
                                    const std::vector<std::uint8_t>& signal, bool direct)
{
    Op(direct ? Action::kProcessStereo : Action::kProcess, machine);
    Mode(mode);
    U8(kExplicitCount);
    U16(pairs);
    bytes_.insert(bytes_.end(), signal.begin(), signal.end());
    return *this;
}

ActionScript& ActionScript::ProcessSpecialCount(int machine, std::int32_t mode, std::uint8_t selector,
                                                const std::vector<std::uint8_t>& signal, bool direct)
{
    Op(direct ? Action::kProcessStereo : Action::kProcess, machine);
    Mode(mode);
    U8(std::uint8_t(selector % kExplicitCount));
    bytes_.insert(bytes_.end(), signal.begin(), signal.end());
    return *this;
}

ActionScript& ActionScript::RepeatProcess(int machine, std::uint8_t calls, std::int32_t mode, std::uint16_t pairs,
                                          const std::vector<std::uint8_t>& signal)
{
    Op(Action::kRepeatProcess, machine);
    U8(std::uint8_t(calls - 1));
    Mode(mode);
    U8(kExplicitCount);
    U16(pairs);
    bytes_.insert(bytes_.end(), signal.begin(), signal.end());
    return *this;
}

std::vector<std::uint8_t> ActionScript::Silence()
{
    return {std::uint8_t(Signal::kSilence)};
}

std::vector<std::uint8_t> ActionScript::Sine(std::uint8_t period, std::uint8_t amplitude)
{
    return {std::uint8_t(Signal::kSine), period, amplitude};
}

std::vector<std::uint8_t> ActionScript::Noise(std::uint8_t seed, std::uint8_t amplitude)
{
    return {std::uint8_t(Signal::kNoise), seed, amplitude};
}

std::vector<std::uint8_t> ActionScript::Constant(std::uint8_t value)
{
    return {std::uint8_t(Signal::kConstant), value};
}

std::vector<std::uint8_t> ActionScript::Impulses(std::uint8_t spacing, std::uint8_t amplitude)
{
    return {std::uint8_t(Signal::kImpulses), spacing, amplitude};
}

std::vector<std::uint8_t> ActionScript::Raw(const std::vector<float>& values)
{
    std::vector<std::uint8_t> bytes = {std::uint8_t(Signal::kRaw), std::uint8_t(values.size() % 32)};
    for (std::size_t i = 0; i < values.size() % 32; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &values[i], sizeof bits);
        for (int b = 0; b < 4; ++b)
            bytes.push_back(std::uint8_t(bits >> (8 * b)));
    }
    return bytes;
}

std::vector<std::uint8_t> ActionScript::Specials(std::uint8_t amplitude,
                                                 const std::vector<std::pair<std::uint16_t, std::uint8_t>>& at)
{
    std::vector<std::uint8_t> bytes = {std::uint8_t(Signal::kSpecials), amplitude, std::uint8_t(at.size() % 8)};
    for (std::size_t i = 0; i < at.size() % 8; ++i) {
        bytes.push_back(std::uint8_t(at[i].first & 0xFF));
        bytes.push_back(std::uint8_t(at[i].first >> 8));
        bytes.push_back(at[i].second);
    }
    return bytes;
}

} // namespace korvax::reliability
