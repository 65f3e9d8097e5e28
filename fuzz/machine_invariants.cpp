#include "fuzz/machine_invariants.h"

#include <cmath>
#include <cstring>
#include <string>

#include "dsp/dynamics.h"
#include "params/value_text.h"

namespace korvax::reliability {
namespace {

constexpr std::int32_t kMaxPairCount = std::int32_t(1) << 30;
// A limited output is |y * g| * 32768 with g = L / |y| rounded to float, the
// product rounded again: two float roundings past the bound. 2^-20 leaves room for
// a few more and still catches any gain that lets a sum through unlimited.
constexpr double kLimiterSlack = 1.0 + 0x1p-20;

std::string Describe(const char* what, std::int64_t index, float value)
{
    return std::string(what) + " at float " + std::to_string(index) + ": " + std::to_string(value);
}

bool SameBits(const float* a, const float* b, std::int32_t floats)
{
    return floats <= 0 || std::memcmp(a, b, sizeof(float) * std::size_t(floats)) == 0;
}

bool SameGains(const GainStates& a, const GainStates& b)
{
    return std::memcmp(a.data(), b.data(), sizeof(GainState) * a.size()) == 0;
}

} // namespace

std::string CheckEngineState(const MultibandMachine& machine)
{
    const EngineState& engine = machine.engine;
    for (int i = 0; i < kGainStateCount; ++i) {
        const float gain = engine.gains[i].gain;
        if (!std::isfinite(gain) || gain < 0.0f || gain > 1.0f)
            return "gain state " + std::to_string(i) + " left 0 .. 1: " + std::to_string(gain);
    }
    if (engine.silenceTail < 0 || engine.silenceTail > kSilenceTailFloats)
        return "silence tail out of range: " + std::to_string(engine.silenceTail);
    if (engine.blockAPosition >= std::uint32_t(kBlockFloats))
        return "block A position out of range: " + std::to_string(engine.blockAPosition);
    if (engine.blockBPosition != (engine.blockAPosition + std::uint32_t(kBlockHalfLength)) % kBlockFloats)
        return "block positions not half a block apart: " + std::to_string(engine.blockAPosition) + ", " +
               std::to_string(engine.blockBPosition);
    return {};
}

std::string CheckValueText(std::int32_t index, const char* text)
{
    const bool known = std::uint32_t(index) < std::uint32_t(kParameterCount);
    if (!known)
        return text == nullptr ? std::string() : "a text for unknown parameter " + std::to_string(index);
    if (text == nullptr)
        return "no text for parameter " + std::to_string(index);
    if (std::memchr(text, '\0', kValueTextBytes) == nullptr)
        return "text for parameter " + std::to_string(index) + " not terminated within its buffer";
    return {};
}

double LimiterBound(const WorkingParameters& working)
{
    return double(PrepareDynamics(working).limiterThreshold) * 32768.0 * kLimiterSlack;
}

void OutputWatch::Reset()
{
    finiteRun_ = kClean;
}

void OutputWatch::Snapshot(const MultibandMachine& machine)
{
    tailBefore_ = machine.engine.silenceTail;
    positionBefore_ = machine.engine.blockAPosition;
    gainsBefore_ = machine.engine.gains;
}

std::string OutputWatch::Check(const MultibandMachine& machine, const ProcessCall& call)
{
    const EngineState& engine = machine.engine;
    const bool pipelinesStill = engine.blockAPosition == positionBefore_ && SameGains(gainsBefore_, engine.gains);
    const bool bufferKept = SameBits(call.input, call.output, call.floats);

    if (!call.reachedEngine) {
        if (call.result)
            return "a call that never reached the engine reported signal";
        if (!bufferKept || !pipelinesStill || engine.silenceTail != tailBefore_)
            return "a call that never reached the engine changed something";
        return {};
    }

    const bool input = (call.mode & kModeInput) != 0;
    const bool output = (call.mode & kModeOutput) != 0;
    const bool validCount = call.pairCount > 0 && call.pairCount < kMaxPairCount;

    if (!output) {
        if (call.result != input)
            return "mode " + std::to_string(call.mode) + " returned " + std::to_string(call.result);
        if (!bufferKept || !pipelinesStill || engine.silenceTail != tailBefore_)
            return "mode " + std::to_string(call.mode) + " without output changed something";
        return {};
    }

    if (!input) {
        std::int64_t tail = tailBefore_;
        if (validCount) {
            tail -= 2 * std::int64_t(call.pairCount);
            if (tail < 0)
                tail = 0;
            for (std::int32_t i = 0; i < 2 * call.pairCount; ++i)
                if (std::signbit(call.output[i]) || call.output[i] != 0.0f)
                    return Describe("silence not written", i, call.output[i]);
        } else if (!bufferKept) {
            return "silence written for an invalid pair count " + std::to_string(call.pairCount);
        }
        if (engine.silenceTail != tail)
            return "silence tail " + std::to_string(engine.silenceTail) + ", expected " + std::to_string(tail);
        if (call.result != (tail > 0))
            return "silence reported " + std::to_string(call.result) + " with tail " + std::to_string(tail);
        if (!pipelinesStill)
            return "silence moved the pipelines or the gains";
        return {};
    }

    if (!call.result)
        return "a call with input reported no signal";
    if (engine.silenceTail != kSilenceTailFloats)
        return "a call with input left the silence tail at " + std::to_string(engine.silenceTail);
    if (machine.working.SoloMode == kSoloBypass || !validCount) {
        if (!bufferKept || !pipelinesStill)
            return machine.working.SoloMode == kSoloBypass ? "bypass changed the buffer or the engine"
                                                           : "an invalid pair count changed the buffer or the engine";
        return {};
    }

    const std::uint32_t expected = std::uint32_t((std::uint64_t(positionBefore_) + std::uint64_t(call.pairCount)) %
                                                 std::uint64_t(kBlockFloats));
    if (engine.blockAPosition != expected)
        return "block A position " + std::to_string(engine.blockAPosition) + " after " +
               std::to_string(call.pairCount) + " pairs, expected " + std::to_string(expected);

    const double bound = LimiterBound(machine.working);
    for (std::int32_t pair = 0; pair < call.pairCount; ++pair) {
        const std::int64_t left = 2 * std::int64_t(pair);
        const bool finiteIn = std::isfinite(call.input[left]) && std::isfinite(call.input[left + 1]);
        finiteRun_ = finiteIn ? finiteRun_ + 1 : 0;
        ++pipelinePairs_;
        const bool mustBeFinite = call.sampleRate > 0 && finiteRun_ >= kFiniteWindowPairs;
        if (mustBeFinite)
            ++finiteChecked_;
        for (std::int64_t i = left; i < left + 2; ++i) {
            const float out = call.output[i];
            if (!std::isfinite(out)) {
                if (mustBeFinite)
                    return Describe("non-finite output after a window of finite input", i, out) + " (rate " +
                           std::to_string(call.sampleRate) + ")";
            } else if (std::fabs(double(out)) > bound) {
                return Describe("output beyond the limiter", i, out) + " (bound " + std::to_string(bound) + ")";
            }
        }
    }
    return {};
}

} // namespace korvax::reliability
