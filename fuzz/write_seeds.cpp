// Writes the fuzzer's seed scripts into a folder, one file per script. The named
// files in fuzz/corpus were made by it (the others, named by their hash, are
// finds of fuzzing runs that reach code the seeds do not):
//   korvax_fuzz_seeds fuzz/corpus

#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/host_actions.h"

namespace {

using korvax::reliability::ActionScript;
using Script = ActionScript;

constexpr std::int32_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kIntMax = std::numeric_limits<std::int32_t>::max();

// Palette indices (see PaletteValue).
constexpr std::uint8_t kZero = 0, kDenormal = 3, kOne = 4, kFullScale = 6, kBig = 9, kMax = 10, kInf = 12,
                       kNaN = 14;

ActionScript Started(std::int32_t rate)
{
    ActionScript s;
    s.Create(0, rate).Initialise(0);
    return s;
}

std::vector<std::pair<std::string, ActionScript>> Seeds()
{
    std::vector<std::pair<std::string, ActionScript>> seeds;

    seeds.emplace_back("lifecycle", Started(44100)
                                        .Process(0, 3, 256, Script::Noise(1, kFullScale))
                                        .Destroy(0, 0)
                                        .Process(0, 3, 64, Script::Noise(2, kFullScale))
                                        .Initialise(0, true)
                                        .Process(0, 3, 64, Script::Noise(3, kFullScale))
                                        .Destroy(0, 1)
                                        .Process(0, 3, 64, Script::Noise(4, kFullScale)));

    seeds.emplace_back("start-values-blocks",
                       Started(44100).RepeatProcess(0, 12, 3, 4096, Script::Sine(20, kFullScale)));

    seeds.emplace_back("parameters-low",
                       Started(48000)
                           .SetParameters(0, {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {6, 0}, {7, 0}, {8, 0},
                                              {9, 0}, {10, 0}, {11, 0}, {12, 0}, {13, 0}, {14, 0}, {15, 0}, {16, 0}})
                           .RepeatProcess(0, 6, 3, 4096, Script::Noise(5, kFullScale)));

    seeds.emplace_back("parameters-high",
                       Started(48000)
                           .SetParameters(0, {{0, 254}, {1, 254}, {2, 254}, {3, 254}, {4, 254}, {5, 254}, {6, 254},
                                              {7, 254}, {8, 254}, {9, 254}, {10, 254}, {11, 254}, {12, 254},
                                              {13, 254}, {14, 254}, {15, 254}, {16, 254}})
                           .RepeatProcess(0, 6, 3, 4096, Script::Noise(6, kFullScale)));

    seeds.emplace_back("solo-and-bypass", Started(44100)
                                              .SetParameter(0, 5, 1)
                                              .ApplyParameters(0)
                                              .RepeatProcess(0, 3, 3, 3000, Script::Sine(3, kFullScale))
                                              .SetParameters(0, {{5, 4}})
                                              .Process(0, 3, 3000, Script::Specials(kFullScale, {{7, kNaN}}))
                                              .SetParameters(0, {{5, 7}})
                                              .RepeatProcess(0, 3, 3, 3000, Script::Sine(3, kFullScale)));

    seeds.emplace_back("modes-and-tail", Started(44100)
                                             .Process(0, 2, 256, Script::Noise(7, kFullScale))
                                             .Process(0, 3, 256, Script::Noise(8, kFullScale))
                                             .RepeatProcess(0, 16, 2, 256, Script::Noise(9, kFullScale))
                                             .Process(0, 1, 256, Script::Noise(10, kFullScale))
                                             .Process(0, 0, 256, Script::Noise(11, kFullScale))
                                             .Process(0, 12, 256, Script::Noise(12, kFullScale))
                                             .Process(0, -1, 256, Script::Noise(13, kFullScale))
                                             .Process(0, kIntMin, 256, Script::Noise(14, kFullScale), true));

    ActionScript counts = Started(44100);
    for (std::uint8_t selector = 0; selector < 8; ++selector)
        for (std::int32_t mode : {2, 3})
            counts.ProcessSpecialCount(0, mode, selector, Script::Noise(selector, kFullScale), selector % 2 == 0);
    seeds.emplace_back("pair-counts", counts);

    seeds.emplace_back("non-finite-then-finite",
                       Started(48000)
                           .Process(0, 3, 100, Script::Specials(kFullScale, {{3, kNaN}, {80, kInf}}))
                           .RepeatProcess(0, 11, 3, 4096, Script::Noise(15, kFullScale)));

    seeds.emplace_back("extreme-finite-input",
                       Started(48000)
                           .SetParameters(0, {{0, 128}, {12, 128}, {13, 128}, {14, 128}})
                           .RepeatProcess(0, 3, 3, 4096, Script::Noise(16, kMax))
                           .RepeatProcess(0, 3, 3, 4096, Script::Constant(kBig))
                           .RepeatProcess(0, 3, 3, 4096, Script::Constant(kMax)));

    seeds.emplace_back("infinite-input", Started(44100)
                                             .SetParameters(0, {{0, 128}})
                                             .RepeatProcess(0, 3, 3, 4096, Script::Constant(kInf))
                                             .RepeatProcess(0, 3, 3, 4096, Script::Impulses(100, kInf))
                                             .Process(0, 3, 4096, Script::Noise(24, kNaN)));

    seeds.emplace_back("denormal-input", Started(44100)
                                             .RepeatProcess(0, 5, 3, 4096, Script::Noise(17, kDenormal))
                                             .RepeatProcess(0, 2, 3, 4096, Script::Impulses(200, kOne)));

    ActionScript rates = Started(44100);
    for (std::int32_t rate : {0, -1, kIntMin, kIntMax, 1, 8000, 192000}) {
        rates.SetSampleRate(0, rate).Process(0, 3, 8192, Script::Noise(18, kFullScale));
    }
    seeds.emplace_back("sample-rates", rates);

    ActionScript three;
    three.Create(0, 44100).Create(1, 48000).Create(2, 96000).Initialise(0).Initialise(1).Initialise(2);
    for (int round = 0; round < 4; ++round)
        for (int m = 0; m < 3; ++m)
            three.Process(m, 3, 2048, Script::Sine(std::uint8_t(m * 7 + round), kFullScale))
                .Describe(m, m + round, 64);
    three.Destroy(1, 1).Process(0, 3, 64, Script::Silence()).Create(1, 22050).Initialise(1);
    seeds.emplace_back("three-machines", three);

    ActionScript texts = Started(44100);
    for (std::int32_t index = -1; index <= 18; ++index)
        for (std::int32_t value : {0, 1, 4, 5, 64, 128, 254, -1, kIntMin, kIntMax})
            texts.Describe(0, index, value);
    texts.Describe(0, kIntMin, 0).Describe(0, kIntMax, 0);
    seeds.emplace_back("value-texts", texts);

    ActionScript slots;
    slots.Create(0, 44100);
    for (std::uint8_t s = 0; s < 17; ++s)
        slots.OtherSlot(0, s, 1, 2, 3, 4);
    slots.Initialise(0);
    for (std::uint8_t s = 0; s < 17; ++s)
        slots.OtherSlot(0, s, -1, kIntMin, kIntMax, 0);
    for (std::uint8_t s = 0; s < 42; ++s)
        slots.ExtensionSlot(0, s, 5, 6, 7);
    slots.Destroy(0, 0);
    for (std::uint8_t s = 0; s < 10; ++s)
        slots.ExtensionSlot(0, s, 5, 6, 7);
    seeds.emplace_back("other-slots", slots);

    seeds.emplace_back("link-width-limiter",
                       Started(44100)
                           .SetAttribute(0, 1)
                           .SetParameters(0, {{4, 0}, {15, 60}})
                           .RepeatProcess(0, 3, 3, 4096, Script::Noise(19, kFullScale))
                           .SetAttribute(0, kIntMin)
                           .SetParameters(0, {{4, 254}, {15, 0}, {6, 1}, {7, 1}, {8, 1}})
                           .RepeatProcess(0, 3, 3, 4096, Script::Impulses(7, kFullScale))
                           .SetAttribute(0, kIntMax)
                           .ApplyParameters(0)
                           .RepeatProcess(0, 3, 3, 4096, Script::Constant(kFullScale)));

    seeds.emplace_back("reinitialise", Started(44100)
                                           .RepeatProcess(0, 3, 3, 4000, Script::Noise(20, kFullScale))
                                           .InitialiseEngine(0, true)
                                           .RepeatProcess(0, 3, 3, 4000, Script::Noise(21, kFullScale))
                                           .Initialise(0)
                                           .Initialise(0, true)
                                           .Process(0, 3, 4000, Script::Raw({1.0f, -1.0f, 0.5f})));

    seeds.emplace_back("before-initialise",
                       ActionScript()
                           .Create(0, 44100)
                           .Process(0, 3, 512, Script::Noise(22, kFullScale), true)
                           .Process(0, 3, 512, Script::Noise(23, kFullScale))
                           .InitialiseEngine(0)
                           .Process(0, 2, 512, Script::Silence(), true)
                           .Destroy(0, 0)
                           .Destroy(0, 1));

    seeds.emplace_back("silence-zero-threshold", Started(44100)
                                                     .SetParameters(0, {{6, 1}, {7, 1}, {8, 1}, {0, 1}})
                                                     .RepeatProcess(0, 5, 3, 4096, Script::Constant(kZero)));
    return seeds;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    for (const auto& [name, script] : Seeds()) {
        const std::string path = std::string(argv[1]) + "/" + name;
        std::ofstream file(path, std::ios::binary);
        file.write(reinterpret_cast<const char*>(script.Bytes().data()), std::streamsize(script.Bytes().size()));
        if (!file) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
