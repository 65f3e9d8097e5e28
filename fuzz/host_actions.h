#pragma once
// A host's behaviour as a string of bytes: each action names one of up to three
// machines and what the host does to it (create, initialise, write parameter bytes
// or the attribute, apply them, process a buffer through slot 3 or 22, ask for a
// value text, re-run the engine initialisation, change the sample rate, destroy,
// call any other slot). RunActions decodes and performs them on machines from the
// core, hosted by slot index, and checks the machine invariants after every one.
//
// Any byte string is a valid script: a missing argument reads as zero bytes and
// actions on a machine that does not exist are skipped. ActionScript writes the
// same format, for seed inputs and for tests.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvax::reliability {

inline constexpr int kMaxMachines = 3;

// The low four bits of an action byte; the machine is (byte >> 4) mod 3.
enum class Action : std::uint8_t {
    kApplyParameters = 0,   // -
    kInitialise = 1,        // u8: odd passes a non-null pointer argument
    kSetParameter = 2,      // u8 index (mod 17), u8 byte
    kSetAttribute = 3,      // i32
    kCreate = 4,            // i32 sample rate; replaces a machine already there
    kProcess = 5,           // mode, pair count, signal: slot 3, through the mixer
    kProcessStereo = 6,     // the same arguments: slot 22 directly
    kDescribe = 7,          // index, i32 value
    kInitialiseEngine = 8,  // u8 as kInitialise: slot 23 directly
    kSetSampleRate = 9,     // i32
    kDestroy = 10,          // i32 flags; bit 0 frees the machine
    kSetParameters = 11,    // u8 n (mod 18), n times (u8 index, u8 byte), then apply
    kOtherSlot = 12,        // u8 slot, four i32: a primary slot with no audio role
    kExtensionSlot = 13,    // u8 slot (mod 42), three i32: the registered extension
    kRepeatProcess = 14,    // u8 calls, mode, pair count, signal: slot 3 repeatedly
};
inline constexpr int kActionKinds = 15;

// Signals for processing calls: one u8 kind, then its arguments.
enum class Signal : std::uint8_t {
    kSilence = 0,   // -
    kSine = 1,      // u8 period in pairs / 4 + 2, u8 amplitude (palette)
    kNoise = 2,     // u8 seed, u8 amplitude (palette)
    kConstant = 3,  // u8 value (palette), for both channels: DC or a special value
    kImpulses = 4,  // u8 spacing in pairs + 1, u8 amplitude (palette)
    kRaw = 5,       // u8 n (mod 32), n floats as 4 little-endian bytes each, repeated
    kSpecials = 6,  // u8 amplitude (palette), u8 n (mod 8), n times (u16 float, u8 value):
                    // noise with values from the palette at the given float indices
};
inline constexpr int kSignalKinds = 7;

// Values the signals are built from, chosen by a byte mod the palette's size:
// zero, denormals, audio levels, beyond full scale, the largest floats,
// infinities and NaN.
inline constexpr int kPaletteSize = 16;
float PaletteValue(std::uint8_t index);

// Modes are one u8: below 8 the mode itself, otherwise an i32 follows.
// Pair counts are one u8 selector: 0 .. 7 pick 0, -1, -2^31, 2^31 - 1, 2^30, 1,
// 8192, 16383; otherwise a u16 follows and the count is it mod (limit + 1). A
// count that describes no buffer comes with a buffer of four floats, so that any
// access the count does not allow is an overflow the sanitizer reports.
// Indices for kDescribe are one u8: below 20 it is the index + 1, otherwise an
// i32 follows.

// Bounds on the work of one script, so that the fuzzer stays fast. A machine
// object is some 800 KB, which creation and every engine reset clear, and one
// block completion in 8192 pairs carries fourteen transforms of 16384 points.
struct Limits {
    std::int32_t maxPairsPerCall = 4096;        // counts above are reduced mod this + 1
    std::int64_t maxPairsPerRun = 1 << 14;      // beyond it processing calls are skipped
    int maxActions = 512;
    int maxRepeats = 16;
    int maxCreates = 4;                         // further creations are skipped
    int maxResets = 6;                          // further (engine) initialisations too
};

struct RunResult {
    std::string failure;          // empty when every invariant held
    int actions = 0;              // actions performed
    std::int64_t pairs = 0;       // pairs offered to the engine
    std::int64_t pipelinePairs = 0;
    std::int64_t finiteChecked = 0;
};

RunResult RunActions(const std::uint8_t* data, std::size_t size, const Limits& limits = {});

// Writes scripts in the format above.
class ActionScript {
public:
    ActionScript& Create(int machine, std::int32_t sampleRate);
    ActionScript& Initialise(int machine, bool pointerArgument = false);
    ActionScript& SetParameter(int machine, int index, std::uint8_t value);
    ActionScript& SetAttribute(int machine, std::int32_t value);
    ActionScript& ApplyParameters(int machine);
    ActionScript& SetParameters(int machine, const std::vector<std::pair<int, std::uint8_t>>& values);
    ActionScript& Describe(int machine, std::int32_t index, std::int32_t value);
    ActionScript& InitialiseEngine(int machine, bool pointerArgument = false);
    ActionScript& SetSampleRate(int machine, std::int32_t sampleRate);
    ActionScript& Destroy(int machine, std::int32_t flags);
    ActionScript& OtherSlot(int machine, std::uint8_t slot, std::int32_t a = 0, std::int32_t b = 0,
                            std::int32_t c = 0, std::int32_t d = 0);
    ActionScript& ExtensionSlot(int machine, std::uint8_t slot, std::int32_t a = 0, std::int32_t b = 0,
                                std::int32_t c = 0);

    // A processing call: `signal` is the signal's bytes (from the functions below).
    ActionScript& Process(int machine, std::int32_t mode, std::uint16_t pairs, const std::vector<std::uint8_t>& signal,
                          bool direct = false);
    // A processing call with one of the special counts (selector 0 .. 7).
    ActionScript& ProcessSpecialCount(int machine, std::int32_t mode, std::uint8_t selector,
                                      const std::vector<std::uint8_t>& signal, bool direct = false);
    ActionScript& RepeatProcess(int machine, std::uint8_t calls, std::int32_t mode, std::uint16_t pairs,
                                const std::vector<std::uint8_t>& signal);

    static std::vector<std::uint8_t> Silence();
    static std::vector<std::uint8_t> Sine(std::uint8_t period, std::uint8_t amplitude);
    static std::vector<std::uint8_t> Noise(std::uint8_t seed, std::uint8_t amplitude);
    static std::vector<std::uint8_t> Constant(std::uint8_t value);
    static std::vector<std::uint8_t> Impulses(std::uint8_t spacing, std::uint8_t amplitude);
    static std::vector<std::uint8_t> Raw(const std::vector<float>& values);
    static std::vector<std::uint8_t> Specials(std::uint8_t amplitude,
                                              const std::vector<std::pair<std::uint16_t, std::uint8_t>>& at);

    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

private:
    void Op(Action action, int machine);
    void Mode(std::int32_t mode);
    void U8(std::uint8_t value) { bytes_.push_back(value); }
    void U16(std::uint16_t value);
    void I32(std::int32_t value);
    std::vector<std::uint8_t> bytes_;
};

} // namespace korvax::reliability
