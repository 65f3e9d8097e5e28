// The bundle's presets as a lilv host applies them (lilv_state_restore): each
// must sound as the machine does at the steps it stands for. The start-value
// preset against a machine left at its start values; a preset made from a
// preset file against the machine given what korvax reads from that file.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <unistd.h>

#include "lv2_test_host.h"
#include "params/presets.h"
#include "support/test_support.h"

namespace korvax::test {
namespace {

constexpr std::size_t kFrames = 40000;

std::string PresetUri(const std::string& id)
{
    return KORVAX_LV2_URI "#preset-" + id;
}

::testing::AssertionResult SameAudio(const Stereo& expected, const Stereo& actual)
{
    if (auto left = SameBits(expected.left, actual.left); !left)
        return left << " (left)";
    return SameBits(expected.right, actual.right);
}

// The machine at its start values, then given a preset file's settings.
Stereo FromPresetFile(const std::string& path, const Stereo& in)
{
    std::string error;
    const MachineDescription& info = *Bundle::Get().machineLibrary->Info();
    const auto settings = presets::ReadPresetFile(info, path, error);
    EXPECT_TRUE(settings) << error;
    std::vector<std::pair<int, int>> parameters;
    int link = info.Attributes[0]->DefaultValue;
    for (const presets::Setting& s : settings.value_or(std::vector<presets::Setting>{})) {
        if (s.control == presets::AttributeControl(info))
            link = s.value;
        else
            parameters.emplace_back(s.control, s.value);
    }
    ReferenceMachine machine = ReferenceMachine::Started();
    machine.Change(parameters, link);
    return machine.Process(in);
}

TEST(Lv2Presets, StartValuesPlayTheMachinesOwnStart)
{
    const Stereo in = TestSignal(kFrames, 13);
    PluginInstance plugin;
    plugin.ApplyPreset(PresetUri("start-values"));
    EXPECT_TRUE(SameAudio(ReferenceMachine::Started().Process(in), plugin.Render(in, {1000})));
}

TEST(Lv2Presets, ShippedPresetFilesSoundAsKorvaxReadsThem)
{
    const std::filesystem::path folder = KORVAX_PRESETS_DIR;
    int count = 0;
    if (std::filesystem::is_directory(folder))
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().extension() != ".preset")
                continue;
            SCOPED_TRACE(entry.path().string());
            const Stereo in = TestSignal(kFrames, 15 + count++);
            PluginInstance plugin;
            plugin.ApplyPreset(PresetUri(presets::Slug(entry.path().stem().string())));
            EXPECT_TRUE(SameAudio(FromPresetFile(entry.path().string(), in), plugin.Render(in, {1000})));
        }
    if (count == 0)
        GTEST_SKIP() << "no preset files in " << folder;
}

// The generator run on preset files of its own: a preset takes the title of
// the file's opening comment or else the file's name, the comment, the file's
// settings in any value form, and the start values for what it leaves out.
TEST(Lv2Presets, APresetFileBecomesAPresetWithItsComment)
{
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / ("korvax-lv2-preset-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = folder / "gentle-glue.preset";
    const std::filesystem::path untitled = folder / "soft_knee.preset";
    std::ofstream(untitled) << "# no title here\nsteepness = 10\n";
    std::ofstream(file) << "# Glue for tests: light compression of every band.\n"
                           "#   Measured: 2 dB less crest factor.\n"
                           "#\n"
                           "comp-thr-low = -15 dB   # step 40\n"
                           "Comp: Ratio = 8.2:1\n"
                           "# a comment among the settings is no part of the description\n"
                           "stereo_link = on\n";
    const std::string command = std::string("'") + KORVAX_LV2_TTL_WRITER + "' '" + folder.string() + "' " +
                                KORVAX_LV2_URI " korvax_lv2.so 0 0 '" + file.string() + "' '" + untitled.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    LilvWorld* world = lilv_world_new();
    LilvNode* bundleUri = lilv_new_file_uri(world, nullptr, (folder.string() + "/").c_str());
    lilv_world_load_bundle(world, bundleUri);
    LilvNode* preset = lilv_new_uri(world, PresetUri("gentle-glue").c_str());
    lilv_world_load_resource(world, preset);
    LilvNode* labelUri = lilv_new_uri(world, "http://www.w3.org/2000/01/rdf-schema#label");
    LilvNode* commentUri = lilv_new_uri(world, "http://www.w3.org/2000/01/rdf-schema#comment");
    LilvNode* label = lilv_world_get(world, preset, labelUri, nullptr);
    LilvNode* comment = lilv_world_get(world, preset, commentUri, nullptr);
    ASSERT_TRUE(label && comment);
    EXPECT_STREQ(lilv_node_as_string(label), "Glue for tests");
    EXPECT_STREQ(lilv_node_as_string(comment),
                 "Glue for tests: light compression of every band.\n  Measured: 2 dB less crest factor.");
    LilvNode* other = lilv_new_uri(world, PresetUri("soft-knee").c_str());
    lilv_world_load_resource(world, other);
    LilvNode* otherLabel = lilv_world_get(world, other, labelUri, nullptr);
    ASSERT_NE(otherLabel, nullptr);
    EXPECT_STREQ(lilv_node_as_string(otherLabel), "Soft knee");

    std::map<std::string, float> values;
    LilvNode* portUri = lilv_new_uri(world, "http://lv2plug.in/ns/lv2core#port");
    LilvNode* symbolUri = lilv_new_uri(world, "http://lv2plug.in/ns/lv2core#symbol");
    LilvNode* valueUri = lilv_new_uri(world, "http://lv2plug.in/ns/ext/presets#value");
    LilvNodes* ports = lilv_world_find_nodes(world, preset, portUri, nullptr);
    LILV_FOREACH (nodes, it, ports) {
        LilvNode* symbol = lilv_world_get(world, lilv_nodes_get(ports, it), symbolUri, nullptr);
        LilvNode* value = lilv_world_get(world, lilv_nodes_get(ports, it), valueUri, nullptr);
        values[lilv_node_as_string(symbol)] = lilv_node_as_float(value);
        lilv_node_free(symbol);
        lilv_node_free(value);
    }
    lilv_nodes_free(ports);
    for (LilvNode* node :
         {bundleUri, preset, labelUri, commentUri, label, comment, other, otherLabel, portUri, symbolUri, valueUri})
        lilv_node_free(node);
    lilv_world_free(world);
    std::filesystem::remove_all(folder);

    EXPECT_EQ(values.size(), std::size_t(kParameterCount) + 1);
    EXPECT_EQ(values["comp_thr_low"], PortValue(6, 40));
    EXPECT_EQ(values["comp_ratio"], PortValue(9, 64));
    EXPECT_EQ(values["stereo_link"], 1.0f);
    EXPECT_EQ(values["lowsplit"], PortValue(1, 47));       // start values elsewhere
    EXPECT_EQ(values["comp_out_low"], PortValue(12, 104));
}

} // namespace
} // namespace korvax::test
