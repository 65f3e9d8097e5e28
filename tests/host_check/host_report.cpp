#include "tests/host_check/host_report.h"

#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvax::host_check {
namespace {

using korvax::MachineDescription;
using korvax::host::Library;
using korvax::host::Machine;

int gFailures = 0;
const ReportOptions* gOptions = nullptr;

// Brackets one call into the machine library with the options' hooks.
class MachineCall {
public:
    MachineCall()
    {
        if (gOptions->enterMachine != nullptr)
            gOptions->enterMachine();
    }
    ~MachineCall()
    {
        if (gOptions->leaveMachine != nullptr)
            gOptions->leaveMachine();
    }
    MachineCall(const MachineCall&) = delete;
    MachineCall& operator=(const MachineCall&) = delete;
};

template <class Call>
auto InMachine(Call call)
{
    const MachineCall scope;
    return call();
}

void Fail(const std::string& what)
{
    std::fprintf(stderr, "host_check: %s\n", what.c_str());
    ++gFailures;
}

// 64-bit FNV-1a.
class Digest {
public:
    void Bytes(const void* data, std::size_t size)
    {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            hash_ ^= p[i];
            hash_ *= 0x100000001b3ull;
        }
    }
    void Word(std::uint32_t value)
    {
        const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
        Bytes(bytes, 4);
    }
    void Float(float value)
    {
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        Word(bits);
    }
    void Text(const char* text)
    {
        if (text == nullptr) {
            Word(0xFFFFFFFFu);   // distinct from every text, including ""
            return;
        }
        const std::size_t length = std::strlen(text);
        Word(static_cast<std::uint32_t>(length));
        Bytes(text, length);
    }
    std::uint64_t Value() const { return hash_; }
    std::string Hex() const
    {
        char text[17];
        std::snprintf(text, sizeof text, "%016" PRIx64, hash_);
        return text;
    }

private:
    std::uint64_t hash_ = 0xcbf29ce484222325ull;
};

// Deterministic test audio from integer arithmetic and exact float scaling only,
// so that every platform feeds the machine the same bits: a slow triangle for the
// low band, a square wave for the middle, noise for the top, under an envelope
// of loud bursts, quiet stretches, silent gaps and a stretch so faint that the
// engine meets denormal numbers (full scale is 32768).
class Signal {
public:
    explicit Signal(std::uint32_t seed) : noise_(seed * 2654435761u + 12345u) {}

    void Fill(float* pairs, std::int32_t count)
    {
        for (std::int32_t i = 0; i < count; ++i, ++t_) {
            const std::uint32_t triPhase = (t_ * 7u) % 1024u;            // ~43 Hz at 44.1 kHz
            const std::int32_t tri = triPhase < 512 ? std::int32_t(triPhase) - 256 : 767 - std::int32_t(triPhase);
            const std::int32_t square = ((t_ / 37u) & 1u) ? 1 : -1;    // ~600 Hz
            const std::uint32_t section = (t_ / 11025u) % 9u;           // quarter-second sections
            static constexpr float kLevels[9] = {1.0f, 0.25f, 0.0f, 2.0f, 0.5f, 0.0625f, 4.0f, 0.0f, 0x1p-135f};
            const float level = kLevels[section];
            const float low = float(tri) * 48.0f;                       // up to 12288
            const float mid = float(square) * 3000.0f;
            pairs[2 * i] = level * (low + mid + NextNoise() * 4096.0f);
            pairs[2 * i + 1] = level * (0.75f * low - mid + NextNoise() * 2048.0f);
        }
    }

private:
    // Uniform in [-1, 1) with 24 random bits: exact in a float.
    float NextNoise()
    {
        noise_ = noise_ * 1664525u + 1013904223u;
        return float(std::int32_t(noise_ >> 8) - (1 << 23)) * 0x1p-23f;
    }

    std::uint32_t t_ = 0;
    std::uint32_t noise_;
};

using Settings = std::vector<std::pair<int, int>>;

struct Scenario {
    const char* name;
    std::int32_t sampleRate;
    Settings settings;           // applied after Initialise
    std::int32_t stereoLink;
    Settings laterSettings;      // applied halfway through, when not empty
    bool direct;                 // ProcessStereo (slot 22) instead of Process (slot 3)
};

// One machine from creation to destruction, with the digest of all it returned.
class Session {
public:
    Session(const Library& library, const char* name, std::int32_t sampleRate, bool direct, std::uint32_t seed)
        : name_(name), direct_(direct), signal_(seed)
    {
        std::string error;
        machine_ = InMachine([&] { return Machine::Create(library, sampleRate, error); });
        if (!machine_) {
            Fail(name_ + ": " + error);
            return;
        }
        InMachine([&] { machine_->Initialise(); });
        if (machine_->CurrentMixer() == nullptr || machine_->MixerBackPointer() != machine_->Object())
            Fail(name_ + ": Initialise did not wire the input mixer");
        if (machine_->RegisteredExtension() == nullptr)
            Fail(name_ + ": Initialise registered no extension");
    }

    bool Ok() const { return machine_ != nullptr; }

    void SetAttribute(std::int32_t value) { machine_->SetAttribute(value); }
    void SetParameters(const Settings& settings)
    {
        InMachine([&] { machine_->SetParameters(settings); });
    }

    // One processing call of `count` pairs; fresh test audio when `mode` has input.
    bool Process(std::int32_t count, std::int32_t mode)
    {
        buffer_.assign(2 * static_cast<std::size_t>(count), 0.0f);
        if (mode & korvax::host::kModeInput)
            signal_.Fill(buffer_.data(), count);
        const bool result = InMachine([&] {
            return direct_ ? machine_->ProcessStereo(buffer_.data(), count, mode)
                           : machine_->Process(buffer_.data(), count, mode);
        });
        ++calls_;
        signalCalls_ += result;
        if (mode == korvax::host::kModeInputOutput)
            pairs_ += count;
        digest_.Word(static_cast<std::uint32_t>(mode) << 8 | (result ? 1u : 0u));
        for (float value : buffer_) {
            digest_.Float(value);
            const float magnitude = value < 0 ? -value : value;
            if (!(magnitude <= 3.4028235e38f))
                ++nonFinite_;
            else if (magnitude > peak_)
                peak_ = magnitude;
        }
        if ((mode & korvax::host::kModeInput) && !result)
            Fail(name_ + ": a call with input reported no signal");
        return result;
    }

    // Input without output wanted, then the silence tail: signal while fewer than
    // 10000 floats of silence have followed the input, none from then on.
    void CheckTail()
    {
        Process(512, korvax::host::kModeInput);
        const bool start = Process(2000, korvax::host::kModeOutput);
        const bool last = Process(2999, korvax::host::kModeOutput);
        const bool after = Process(1, korvax::host::kModeOutput);
        if (!start || !last || after)
            Fail(name_ + ": the silence tail is not 10000 floats long");
    }

    // Destroys the machine (slot 0, flag 1) and sums up.
    std::string Finish()
    {
        if (nonFinite_ != 0)
            Fail(name_ + ": " + std::to_string(nonFinite_) + " output values are not finite");
        InMachine([&] { machine_.reset(); });
        char line[160];
        std::snprintf(line, sizeof line, "%lld pairs, %d calls, %d with signal, peak %.9g, digest %s",
                      static_cast<long long>(pairs_), calls_, signalCalls_, double(peak_), digest_.Hex().c_str());
        return line;
    }

private:
    std::string name_;
    bool direct_;
    Signal signal_;
    std::unique_ptr<Machine> machine_;
    std::vector<float> buffer_;
    Digest digest_;
    std::int64_t pairs_ = 0;
    int calls_ = 0;
    int signalCalls_ = 0;
    std::uint32_t nonFinite_ = 0;
    float peak_ = 0.0f;
};

// Irregular chunk sizes, so that calls end anywhere relative to the blocks.
constexpr std::int32_t kChunks[] = {256, 1, 4096, 1000, 17, 8197, 333, 2048, 64, 12000};

std::string RunScenario(const Library& library, const Scenario& s, double seconds, std::uint32_t seed)
{
    Session session(library, s.name, s.sampleRate, s.direct, seed);
    if (!session.Ok())
        return "failed";
    session.SetAttribute(s.stereoLink);
    session.SetParameters(s.settings);

    const std::int64_t total = static_cast<std::int64_t>(seconds * s.sampleRate);
    bool changed = s.laterSettings.empty();
    std::size_t chunk = 0;
    for (std::int64_t done = 0; done < total;) {
        if (!changed && done >= total / 2) {
            session.SetParameters(s.laterSettings);
            changed = true;
        }
        const std::int64_t left = total - done;
        const auto count = static_cast<std::int32_t>(left < kChunks[chunk] ? left : kChunks[chunk]);
        chunk = (chunk + 1) % (sizeof kChunks / sizeof kChunks[0]);
        session.Process(count, korvax::host::kModeInputOutput);
        done += count;
    }
    session.CheckTail();
    return session.Finish();
}

// Every value of every parameter once: after a block of defaults, each step sets
// all seventeen parameters (and the stereo link) from one counter and processes
// half a block (8192 pairs), so that each step completes a block under its own split
// frequencies and steepness and runs the dynamics under its own coefficients.
std::string RunSweep(const Library& library, const MachineDescription* info, std::uint32_t seed)
{
    Session session(library, "sweep", 44100, false, seed);
    if (!session.Ok())
        return "failed";
    session.Process(8192, korvax::host::kModeInputOutput);
    session.Process(8192, korvax::host::kModeInputOutput);
    for (std::int32_t step = 0; step <= 128; ++step) {
        Settings settings;
        for (int i = 0; i < info->ParameterCount; ++i) {
            const std::int32_t min = info->Parameters[i]->MinValue;
            const std::int32_t span = info->Parameters[i]->MaxValue - min + 1;
            // Parameters count up or down in turn, through their whole range.
            const std::int32_t offset = (i % 2 == 0 ? step : 128 - step) % span;
            settings.emplace_back(i, min + offset);
        }
        session.SetAttribute(step & 1);
        session.SetParameters(settings);
        session.Process(8192, korvax::host::kModeInputOutput);
    }
    session.CheckTail();
    return session.Finish();
}

// Digest of the description record as the host reads it.
std::string DescribeRecord(const MachineDescription* info)
{
    Digest digest;
    for (std::int32_t v : {info->Type, info->Version, info->Flags, info->HostCount1, info->HostCount2,
                           info->ParameterCount, info->HostCount3, info->AttributeCount})
        digest.Word(static_cast<std::uint32_t>(v));
    digest.Text(info->Name);
    digest.Text(info->ShortName);
    digest.Text(info->Author);
    if (info->Reserved1 != nullptr || info->Reserved2 != nullptr)
        Fail("the reserved fields are not null");
    for (std::int32_t i = 0; i < info->ParameterCount; ++i) {
        const korvax::ParameterDescriptor* p = info->Parameters[i];
        digest.Word(static_cast<std::uint32_t>(p->Type));
        digest.Text(p->Name);
        digest.Text(p->Description);
        for (std::int32_t v : {p->MinValue, p->MaxValue, p->NoValue, p->Flags, p->DefaultValue})
            digest.Word(static_cast<std::uint32_t>(v));
    }
    for (std::int32_t i = 0; i < info->AttributeCount; ++i) {
        const korvax::AttributeDescriptor* a = info->Attributes[i];
        digest.Text(a->Name);
        for (std::int32_t v : {a->MinValue, a->MaxValue, a->DefaultValue})
            digest.Word(static_cast<std::uint32_t>(v));
    }
    return digest.Hex();
}

// Digest of every value text: each parameter over its range and a margin on
// both sides, and a few indices that have none. The host passes only values in
// range; below it the level texts are the logarithm of a negative number, and
// the sign of that NaN is the maths library's choice, so it is left out.
std::string DescribeValues(const Library& library, const MachineDescription* info, int& texts, std::FILE* out)
{
    std::string error;
    auto machine = InMachine([&] { return Machine::Create(library, 44100, error); });
    if (!machine) {
        Fail(error);
        return "failed";
    }
    InMachine([&] { machine->Initialise(); });
    Digest digest;
    texts = 0;
    auto take = [&](std::int32_t index, std::int32_t value, bool inRange) {
        const char* text = InMachine([&] { return machine->Describe(index, value); });
        std::string shown = text != nullptr ? text : "(null)";
        if (!inRange && text != nullptr && (shown.rfind("-nan", 0) == 0 || shown.rfind("+nan", 0) == 0))
            shown.erase(0, 1);
        digest.Text(text != nullptr ? shown.c_str() : nullptr);
        texts += text != nullptr;
        if (gOptions->printTexts)
            std::fprintf(out, "text %d %d: %s\n", int(index), int(value), shown.c_str());
        if (inRange && (text == nullptr || *text == '\0'))
            Fail("parameter " + std::to_string(index) + " has no text for " + std::to_string(value));
    };
    for (std::int32_t i = -1; i <= info->ParameterCount; ++i) {
        const bool valid = i >= 0 && i < info->ParameterCount;
        const std::int32_t min = valid ? info->Parameters[i]->MinValue : 1;
        const std::int32_t max = valid ? info->Parameters[i]->MaxValue : 0;
        const std::int32_t high = valid ? info->Parameters[i]->NoValue + 3 : 2;
        for (std::int32_t v = valid ? min - 3 : 0; v <= high; ++v)
            take(i, v, v >= min && v <= max);
        for (std::int32_t v : {-1000000, 1000000, -2147483647 - 1, 2147483647})
            take(i, v, false);
    }
    InMachine([&] { machine.reset(); });
    return digest.Hex();
}

} // namespace

int WriteReport(const Library& library, const ReportOptions& options, std::FILE* out)
{
    gOptions = &options;
    gFailures = 0;
    const MachineDescription* info = InMachine([&] { return library.Info(); });
    if (info == nullptr || info != InMachine([&] { return library.Info(); })) {
        Fail("GetInfo does not return one fixed record");
        return gFailures;
    }
    if (info->ParameterCount != 17 || info->AttributeCount != 1) {
        Fail("the record does not declare 17 parameters and 1 attribute");
        return gFailures;
    }
    std::fprintf(out, "machine: %s / %s / %s\n", info->Name, info->ShortName, info->Author);
    std::fprintf(out, "description: %s\n", DescribeRecord(info).c_str());
    int texts = 0;
    const std::string values = DescribeValues(library, info, texts, out);
    std::fprintf(out, "value texts: %d, digest %s\n", texts, values.c_str());

    // Parameter indices: 0 Input, 1 LowSplit, 2 HighSplit, 3 Steepness, 4 low
    // width, 5 solo mode, 6-8 thresholds, 9 ratio, 10 attack, 11 release, 12-14
    // output gains, 15 limiter threshold, 16 limiter release.
    const Scenario scenarios[] = {
        {"defaults", 44100, {}, 0, {}, false},
        {"hard", 48000,
         {{0, 110}, {6, 10}, {7, 12}, {8, 14}, {9, 128}, {10, 1}, {11, 1}, {15, 30}, {16, 1}}, 1, {}, false},
        {"solo-low", 44100, {{3, 128}, {4, 128}, {5, 1}, {1, 60}}, 0, {{5, 2}, {3, 0}}, false},
        {"solo-high", 22050, {{5, 3}, {2, 40}, {12, 128}, {13, 1}, {14, 100}}, 1, {{5, 0}, {1, 0}, {2, 128}}, true},
        {"gentle", 96000,
         {{0, 64}, {4, 0}, {6, 128}, {7, 128}, {8, 128}, {9, 1}, {10, 128}, {11, 128}, {16, 128}}, 0, {}, true},
        {"bypass", 44100, {{5, 4}}, 0, {{5, 0}, {0, 128}, {15, 0}}, false},
    };
    const double seconds = 3.0;
    Digest all;
    std::uint32_t seed = 1;
    for (const Scenario& s : scenarios) {
        const std::string line = RunScenario(library, s, seconds, seed++);
        std::fprintf(out, "%s @%d: %s\n", s.name, int(s.sampleRate), line.c_str());
        all.Text(line.c_str());
    }
    const std::string sweep = RunSweep(library, info, seed++);
    std::fprintf(out, "sweep @44100: %s\n", sweep.c_str());
    all.Text(sweep.c_str());
    all.Text(values.c_str());
    std::fprintf(out, "all: %s\n", all.Hex().c_str());
    return gFailures;
}

} // namespace korvax::host_check
