// The fuzzer's checked-in corpus replayed through the same action decoder, the
// decoder itself, and the invariant checks shown to fire on broken behaviour.

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "fuzz/host_actions.h"
#include "fuzz/machine_invariants.h"
#include "plugin/machine.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

using reliability::ActionScript;
using reliability::RunActions;

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

reliability::RunResult RunScript(const ActionScript& script)
{
    return RunActions(script.Bytes().data(), script.Bytes().size());
}

TEST(FuzzCorpus, EveryScriptKeepsTheMachineInvariants)
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(KORVAX_FUZZ_CORPUS_DIR))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 10u) << "corpus missing from " << KORVAX_FUZZ_CORPUS_DIR;
    std::int64_t pairs = 0;
    for (const auto& path : files) {
        const std::vector<std::uint8_t> bytes = ReadFile(path);
        const reliability::RunResult result = RunActions(bytes.data(), bytes.size());
        EXPECT_EQ(result.failure, "") << path.filename();
        pairs += result.pipelinePairs;
    }
    EXPECT_GT(pairs, 100000) << "the corpus should drive the pipelines through many blocks";
}

TEST(FuzzCorpus, RandomScriptsKeepTheMachineInvariants)
{
    const std::uint32_t seed = 20240;
    std::mt19937 random(seed);
    for (int i = 0; i < 200; ++i) {
        std::vector<std::uint8_t> bytes(random() % 400);
        for (std::uint8_t& b : bytes)
            b = std::uint8_t(random());
        const reliability::RunResult result = RunActions(bytes.data(), bytes.size());
        ASSERT_EQ(result.failure, "") << "script " << i << " of seed " << seed;
    }
}

TEST(HostActions, ScriptsDecodeToTheActionsWritten)
{
    ActionScript script;
    script.Create(1, 44100)
        .Initialise(1)
        .Process(1, 3, 100, ActionScript::Noise(1, 6))
        .Process(1, 2, 50, ActionScript::Silence())
        .Process(1, 3, 70, ActionScript::Sine(3, 6), true)
        .Process(2, 3, 500, ActionScript::Noise(2, 6))   // no machine 2: skipped
        .Describe(1, 4, 64);
    const reliability::RunResult result = RunScript(script);
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(result.actions, 7);
    EXPECT_EQ(result.pairs, 220);
    EXPECT_EQ(result.pipelinePairs, 170);
}

TEST(HostActions, WorkPerScriptIsBounded)
{
    ActionScript script;
    script.Create(0, 44100).Initialise(0).RepeatProcess(0, 16, 3, 4096, ActionScript::Noise(1, 6));
    script.RepeatProcess(0, 16, 3, 4096, ActionScript::Noise(1, 6));
    const reliability::RunResult result = RunScript(script);
    EXPECT_EQ(result.failure, "");
    EXPECT_LE(result.pairs, reliability::Limits().maxPairsPerRun);
    EXPECT_GT(result.pairs, reliability::Limits().maxPairsPerRun - 4096);
}

// The checks must fire on the faults they are there for.
TEST(MachineInvariants, EngineStateChecksCatchBrokenState)
{
    MultibandMachine* machine = CreateMultibandMachine();
    ASSERT_NE(machine, nullptr);
    EXPECT_EQ(reliability::CheckEngineState(*machine), "");
    const EngineState good = machine->engine;

    machine->engine.gains[7].gain = 1.5f;
    EXPECT_NE(reliability::CheckEngineState(*machine), "");
    machine->engine = good;
    machine->engine.gains[2].gain = std::nanf("");
    EXPECT_NE(reliability::CheckEngineState(*machine), "");
    machine->engine = good;
    machine->engine.silenceTail = -1;
    EXPECT_NE(reliability::CheckEngineState(*machine), "");
    machine->engine = good;
    machine->engine.blockAPosition = 16384;
    EXPECT_NE(reliability::CheckEngineState(*machine), "");
    machine->engine = good;
    machine->engine.blockAPosition = 100;
    machine->engine.blockBPosition = 8291;
    EXPECT_NE(reliability::CheckEngineState(*machine), "");
    machine->engine.blockBPosition = 8292;
    EXPECT_EQ(reliability::CheckEngineState(*machine), "");
    machine->Destroy(1);
}

TEST(MachineInvariants, ValueTextChecksCatchMissingOrUnterminatedTexts)
{
    char unterminated[32];
    std::fill(std::begin(unterminated), std::end(unterminated), 'x');
    EXPECT_NE(reliability::CheckValueText(3, unterminated), "");
    EXPECT_NE(reliability::CheckValueText(3, nullptr), "");
    EXPECT_NE(reliability::CheckValueText(17, "12"), "");
    EXPECT_EQ(reliability::CheckValueText(-1, nullptr), "");
    EXPECT_EQ(reliability::CheckValueText(16, "8.2 ms"), "");
}

TEST(MachineInvariants, OutputChecksCatchOutputBeyondTheLimiterAndNonFiniteOutput)
{
    MultibandMachine* machine = CreateMultibandMachine();
    ASSERT_NE(machine, nullptr);
    const double bound = reliability::LimiterBound(machine->working);
    // LimitThreshold 1 after construction; the bound's slack of 2^-20 adds 0.03.
    EXPECT_NEAR(bound, 32768.0 * std::exp(-0.011552453), 0.05);

    const std::vector<float> input = {1.0f, 2.0f, 3.0f, 4.0f};
    std::vector<float> output = {0.0f, float(bound * 0.999), 0.0f, 0.0f};
    reliability::ProcessCall call{input.data(), output.data(), 4, 2, 3, 44100, true, true};
    auto check = [&] {
        reliability::OutputWatch watch;
        watch.Snapshot(*machine);
        machine->engine.blockAPosition = 2;   // as if the two pairs had gone through
        machine->engine.blockBPosition = 8194;
        machine->engine.silenceTail = kSilenceTailFloats;
        const std::string failure = watch.Check(*machine, call);
        machine->engine.blockAPosition = 0;
        machine->engine.blockBPosition = 8192;
        return failure;
    };
    EXPECT_EQ(check(), "");
    output[2] = float(bound * 1.001);
    EXPECT_NE(check(), "");
    output[2] = std::nanf("");
    EXPECT_NE(check(), "") << "finite input since reset must give finite output";
    call.sampleRate = 0;
    EXPECT_EQ(check(), "") << "no finite output is required at a rate of 0";
    call.sampleRate = 44100;
    output[2] = 0.0f;
    call.result = false;
    EXPECT_NE(check(), "") << "a call with input reports signal";
    machine->Destroy(1);
}

} // namespace
} // namespace korvax::test
