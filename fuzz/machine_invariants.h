#pragma once
// What holds for a machine whatever its host does and whatever audio it is given,
// checked from outside: the engine state after any slot call, the value texts, and
// each processing call's result and output against what went in.
//
// Shared by the fuzzer, the corpus replay and the soak run. Every check returns an
// empty string when it holds and otherwise one line saying what broke.

#include <cstdint>
#include <string>

#include "plugin/machine.h"

namespace korvax::reliability {

// Input pairs that must have entered the pipelines finite before output is
// required to be finite again: a non-finite input reaches every float of the two
// blocks that hold it, and each block is read out over the following block length.
inline constexpr std::int64_t kFiniteWindowPairs = 2 * kBlockFloats;

// Gains finite and within 0 .. 1, silence tail within 0 .. 10000, block positions
// within 0 .. 16383 and half a block apart.
std::string CheckEngineState(const MultibandMachine& machine);

// A value text from DescribeParameterValue(index, ...): null exactly for an index
// outside 0 .. 16, otherwise NUL-terminated within its 32 bytes.
std::string CheckValueText(std::int32_t index, const char* text);

// The largest magnitude the limiter lets through in one call, in buffer units:
// 32768 times the call's limiter threshold, widened by a few float roundings.
double LimiterBound(const WorkingParameters& working);

// One processing call as seen from outside the machine.
struct ProcessCall {
    const float* input = nullptr;     // a copy of the buffer before the call
    const float* output = nullptr;    // the buffer after it
    std::int32_t floats = 0;          // floats held by both (the caller's buffer size)
    std::int32_t pairCount = 0;       // as passed
    std::int32_t mode = 0;            // as passed
    std::int32_t sampleRate = 0;      // the host's rate during the call
    bool reachedEngine = false;       // ProcessStereo ran (slot 3 needs a mixer)
    bool result = false;
};

// Follows one machine's processing calls: the exact effect of each mode, and for
// calls that run the pipelines, finite output after a window of finite input and
// output within the limiter's bound. Snapshot() is taken just before each call.
class OutputWatch {
public:
    // The engine was reset (construction or InitialiseEngine): the pipelines hold zeros.
    void Reset();

    // Remembers what the call's checks compare against.
    void Snapshot(const MultibandMachine& machine);

    // Checks a call made after Snapshot(); updates the window of finite input.
    std::string Check(const MultibandMachine& machine, const ProcessCall& call);

    // Pipeline pairs checked so far, and how many of them had to be finite.
    std::int64_t PipelinePairs() const { return pipelinePairs_; }
    std::int64_t FiniteChecked() const { return finiteChecked_; }

private:
    static constexpr std::int64_t kClean = std::int64_t(1) << 40;
    std::int64_t finiteRun_ = kClean;   // finite input pairs most recently stored
    std::int64_t pipelinePairs_ = 0;
    std::int64_t finiteChecked_ = 0;
    std::int32_t tailBefore_ = 0;
    std::uint32_t positionBefore_ = 0;
    GainStates gainsBefore_{};
};

} // namespace korvax::reliability
