// The bundle's Turtle files as a host reads them (through lilv) against the
// machine's own description: the port table must not drift from the parameter
// table, each control shows its unit, and the declared values select the
// declared steps.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "lv2_test_host.h"
#include "params/value_units.h"

namespace korvax::test {
namespace {

// The parameter's name in lower case, each run of other characters as one "_".
std::string Symbol(const std::string& name)
{
    std::string symbol;
    bool gap = false;
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            if (gap && !symbol.empty())
                symbol += '_';
            gap = false;
            symbol += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else {
            gap = true;
        }
    }
    return symbol;
}

class Lv2Bundle : public ::testing::Test {
protected:
    Bundle& bundle = Bundle::Get();
    const MachineDescription* info = bundle.machineLibrary->Info();

    LilvNode* Uri(const char* uri) { return nodes_.emplace_back(lilv_new_uri(bundle.world, uri)); }
    LilvNode* Uri(const std::string& uri) { return Uri(uri.c_str()); }
    const LilvPort* Port(std::uint32_t index) { return lilv_plugin_get_port_by_index(bundle.plugin, index); }
    bool Is(const LilvPort* port, const char* classUri) { return lilv_port_is_a(bundle.plugin, port, Uri(classUri)); }
    bool Has(const LilvPort* port, const char* propertyUri)
    {
        return lilv_port_has_property(bundle.plugin, port, Uri(propertyUri));
    }
    std::string Name(const LilvPort* port)
    {
        LilvNode* name = lilv_port_get_name(bundle.plugin, port);
        std::string text = lilv_node_as_string(name);
        lilv_node_free(name);
        return text;
    }
    std::string Uri(const LilvNode* node) { return node != nullptr ? lilv_node_as_uri(node) : ""; }
    std::string Value(const LilvPort* port, const char* predicateUri)
    {
        LilvNodes* values = lilv_port_get_value(bundle.plugin, port, Uri(predicateUri));
        std::string text = values != nullptr ? lilv_node_as_string(lilv_nodes_get_first(values)) : "";
        lilv_nodes_free(values);
        return text;
    }
    // The port's declared default, minimum and maximum as a host reads them (floats).
    std::array<float, 3> Range(std::uint32_t index)
    {
        LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
        lilv_port_get_range(bundle.plugin, Port(index), &def, &min, &max);
        std::array<float, 3> range{lilv_node_as_float(def), lilv_node_as_float(min), lilv_node_as_float(max)};
        EXPECT_TRUE(def && min && max) << "port " << index;
        lilv_node_free(def);
        lilv_node_free(min);
        lilv_node_free(max);
        return range;
    }
    std::map<int, std::string> ScaleLabels(std::uint32_t index)
    {
        std::map<int, std::string> labels;
        LilvScalePoints* points = lilv_port_get_scale_points(bundle.plugin, Port(index));
        LILV_FOREACH (scale_points, it, points) {
            const LilvScalePoint* point = lilv_scale_points_get(points, it);
            labels[lilv_node_as_int(lilv_scale_point_get_value(point))] =
                lilv_node_as_string(lilv_scale_point_get_label(point));
        }
        lilv_scale_points_free(points);
        return labels;
    }

    void TearDown() override
    {
        for (LilvNode* node : nodes_)
            lilv_node_free(node);
    }

private:
    std::vector<LilvNode*> nodes_;
};

#define LV2_CORE(term) "http://lv2plug.in/ns/lv2core#" term
#define PORT_GROUPS(term) "http://lv2plug.in/ns/ext/port-groups#" term
#define UNITS(term) "http://lv2plug.in/ns/extensions/units#" term
#define LOGARITHMIC "http://lv2plug.in/ns/ext/port-props#logarithmic"

// What each control port shows: its unit (none for the bare step and the
// words), and whether a host should draw it on a logarithmic scale.
struct Shown {
    const char* unit;
    bool logarithmic;
};
const Shown kShown[kParameterCount] = {
    {UNITS("db"), false},                      // Input
    {UNITS("hz"), true},                       // LowSplit
    {UNITS("hz"), true},                       // HighSplit
    {"", false},                               // Steepness
    {UNITS("pc"), false},                      // Stereo wid.low
    {"", false},                               // Solo mode
    {UNITS("db"), false},                      // Comp: Thr.low
    {UNITS("db"), false},                      // Comp: Thr.mid
    {UNITS("db"), false},                      // Comp: Thr.hi
    {KORVAX_LV2_URI "#ratio", false},          // Comp: Ratio
    {UNITS("ms"), true},                       // Comp: Attack
    {UNITS("ms"), true},                       // Comp: Releas
    {UNITS("db"), false},                      // Comp: Out low
    {UNITS("db"), false},                      // Comp: Out mid
    {UNITS("db"), false},                      // Comp: Out hi
    {UNITS("db"), false},                      // Limit: Thresh.
    {UNITS("ms"), true},                       // Limit: Release
};

TEST_F(Lv2Bundle, ParameterPortsFollowTheMachinesTableInTheirUnits)
{
    ASSERT_EQ(lilv_plugin_get_num_ports(bundle.plugin), kPortCount);
    for (int i = 0; i < kParameterCount; ++i) {
        const ParameterDescriptor& d = *info->Parameters[i];
        const LilvPort* port = Port(i);
        SCOPED_TRACE(d.Name);
        EXPECT_TRUE(Is(port, LV2_CORE("InputPort")) && Is(port, LV2_CORE("ControlPort")));
        EXPECT_EQ(lilv_node_as_string(lilv_port_get_symbol(bundle.plugin, port)), Symbol(d.Name));
        EXPECT_EQ(Name(port), d.Name);
        EXPECT_EQ(Value(port, "http://www.w3.org/2000/01/rdf-schema#comment"), d.Description);
        EXPECT_EQ(Value(port, UNITS("unit")), kShown[i].unit);
        EXPECT_EQ(Has(port, LOGARITHMIC), kShown[i].logarithmic);
        EXPECT_EQ(Has(port, LV2_CORE("integer")), kShown[i].unit[0] == '\0');

        // The range spans the values of the end steps (the limiter threshold
        // falls as its step rises), and each declared value, read as a float,
        // selects its step again.
        const auto [def, min, max] = Range(i);
        const float first = PortValue(i, d.MinValue), last = PortValue(i, d.MaxValue);
        EXPECT_EQ(min, std::min(first, last));
        EXPECT_EQ(max, std::max(first, last));
        EXPECT_EQ(def, PortValue(i, d.DefaultValue));
        EXPECT_EQ(units::NearestStep(i, def, d.MinValue, d.MaxValue), d.DefaultValue);
        EXPECT_EQ(units::NearestStep(i, min, d.MinValue, d.MaxValue), first < last ? d.MinValue : d.MaxValue);
        EXPECT_EQ(units::NearestStep(i, max, d.MinValue, d.MaxValue), first < last ? d.MaxValue : d.MinValue);
    }
    EXPECT_EQ(Symbol("Comp: Thr.low"), "comp_thr_low");   // the rule the README gives
    EXPECT_EQ(Symbol("Limit: Thresh."), "limit_thresh");
    // A few values as a generic host shows them.
    EXPECT_NEAR(Range(6)[0], -23.75f, 0.005f);    // Comp: Thr.low 29
    EXPECT_NEAR(Range(1)[0], 190.8f, 0.05f);      // LowSplit 42
    EXPECT_NEAR(Range(10)[0], 7.389f, 0.0005f);   // Comp: Attack 40
    EXPECT_EQ(Range(15)[0], -0.5f);               // Limit: Thresh. 5
    EXPECT_EQ(Range(4)[0], 100.0f);               // Stereo wid.low 64
}

TEST_F(Lv2Bundle, RatioUnitRendersAsNToOne)
{
    LilvNode* ratio = Uri(KORVAX_LV2_URI "#ratio");
    LilvNode* render = lilv_world_get(bundle.world, ratio, Uri(UNITS("render")), nullptr);
    ASSERT_NE(render, nullptr);
    EXPECT_STREQ(lilv_node_as_string(render), "%.1f:1");
    lilv_node_free(render);
}

TEST_F(Lv2Bundle, SoloModeOffersReadableWords)
{
    EXPECT_TRUE(Has(Port(kSoloModePort), LV2_CORE("enumeration")));
    const std::map<int, std::string> expected = {{0, "all bands"}, {1, "low"}, {2, "mid"}, {3, "high"}, {4, "bypass"}};
    EXPECT_EQ(ScaleLabels(kSoloModePort), expected);
}

TEST_F(Lv2Bundle, LinkAudioLatencyAndEnabledPorts)
{
    const AttributeDescriptor& link = *info->Attributes[0];
    const LilvPort* linkPort = Port(kStereoLinkPort);
    EXPECT_EQ(lilv_node_as_string(lilv_port_get_symbol(bundle.plugin, linkPort)), std::string("stereo_link"));
    EXPECT_EQ(Name(linkPort), link.Name);
    EXPECT_TRUE(Is(linkPort, LV2_CORE("InputPort")) && Has(linkPort, LV2_CORE("toggled")));
    EXPECT_EQ(Range(kStereoLinkPort), (std::array<float, 3>{float(link.DefaultValue), float(link.MinValue),
                                                             float(link.MaxValue)}));

    for (std::uint32_t index : {kInLeftPort, kInRightPort})
        EXPECT_TRUE(Is(Port(index), LV2_CORE("InputPort")) && Is(Port(index), LV2_CORE("AudioPort"))) << index;
    for (std::uint32_t index : {kOutLeftPort, kOutRightPort})
        EXPECT_TRUE(Is(Port(index), LV2_CORE("OutputPort")) && Is(Port(index), LV2_CORE("AudioPort"))) << index;

    const LilvPort* latency = Port(kLatencyPort);
    EXPECT_TRUE(Is(latency, LV2_CORE("OutputPort")) && Is(latency, LV2_CORE("ControlPort")));
    EXPECT_TRUE(Has(latency, LV2_CORE("reportsLatency")));
    EXPECT_EQ(lilv_plugin_get_port_by_designation(bundle.plugin, Uri(LV2_CORE("OutputPort")), Uri(LV2_CORE("latency"))),
              latency);

    // The enabled switch: on by default, offered as the words off and on.
    const LilvPort* enabled = Port(kEnabledPort);
    EXPECT_EQ(lilv_plugin_get_port_by_designation(bundle.plugin, Uri(LV2_CORE("InputPort")), Uri(LV2_CORE("enabled"))),
              enabled);
    EXPECT_EQ(lilv_node_as_string(lilv_port_get_symbol(bundle.plugin, enabled)), std::string("enabled"));
    EXPECT_EQ(Range(kEnabledPort), (std::array<float, 3>{1.0f, 0.0f, 1.0f}));
    EXPECT_EQ(ScaleLabels(kEnabledPort), (std::map<int, std::string>{{0, "off"}, {1, "on"}}));
}

// Left and right of each direction form one stereo group, the plug-in's main
// input and output: hosts such as GStreamer take the pair as one stream.
TEST_F(Lv2Bundle, AudioPortsFormTheMainStereoPairs)
{
    const std::string in = KORVAX_LV2_URI "#in", out = KORVAX_LV2_URI "#out";
    const struct {
        std::uint32_t port;
        std::string group;
        const char* designation;
    } expected[] = {{kInLeftPort, in, PORT_GROUPS("left")},
                    {kInRightPort, in, PORT_GROUPS("right")},
                    {kOutLeftPort, out, PORT_GROUPS("left")},
                    {kOutRightPort, out, PORT_GROUPS("right")}};
    for (const auto& e : expected) {
        EXPECT_EQ(Value(Port(e.port), PORT_GROUPS("group")), e.group) << e.port;
        EXPECT_EQ(Value(Port(e.port), LV2_CORE("designation")), e.designation) << e.port;
    }
    for (const std::string& group : {in, out})
        EXPECT_TRUE(lilv_world_ask(bundle.world, Uri(group), Uri("http://www.w3.org/1999/02/22-rdf-syntax-ns#type"),
                                   Uri(PORT_GROUPS("StereoGroup"))))
            << group;
    LilvNode* mainInput = lilv_world_get(bundle.world, lilv_plugin_get_uri(bundle.plugin), Uri(PORT_GROUPS("mainInput")),
                                         nullptr);
    LilvNode* mainOutput = lilv_world_get(bundle.world, lilv_plugin_get_uri(bundle.plugin),
                                          Uri(PORT_GROUPS("mainOutput")), nullptr);
    EXPECT_EQ(Uri(mainInput), in);
    EXPECT_EQ(Uri(mainOutput), out);
    lilv_node_free(mainInput);
    lilv_node_free(mainOutput);
}

// The presets as a host lists them (their sound: preset_test.cpp).
TEST_F(Lv2Bundle, PresetsAreFoundAsHostsFindThem)
{
    LilvNodes* presets = lilv_plugin_get_related(bundle.plugin, Uri("http://lv2plug.in/ns/ext/presets#Preset"));
    std::vector<std::string> labels;
    LILV_FOREACH (nodes, it, presets) {
        const LilvNode* preset = lilv_nodes_get(presets, it);
        lilv_world_load_resource(bundle.world, preset);
        LilvNode* label = lilv_world_get(bundle.world, preset, Uri("http://www.w3.org/2000/01/rdf-schema#label"), nullptr);
        labels.push_back(label != nullptr ? lilv_node_as_string(label) : "");
        lilv_node_free(label);
    }
    lilv_nodes_free(presets);
    EXPECT_EQ(std::count(labels.begin(), labels.end(), "Start values"), 1);
    EXPECT_EQ(std::count(labels.begin(), labels.end(), ""), 0);
}

} // namespace
} // namespace korvax::test
