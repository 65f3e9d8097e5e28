// korvax.ttl as a host reads it (through lilv) against the machine's own
// description: the port table must not drift from the parameter table.

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>

#include "lv2_test_host.h"

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
    const LilvPort* Port(std::uint32_t index) { return lilv_plugin_get_port_by_index(bundle.plugin, index); }
    bool Is(const LilvPort* port, const char* classUri) { return lilv_port_is_a(bundle.plugin, port, Uri(classUri)); }
    bool Has(const LilvPort* port, const char* propertyUri)
    {
        return lilv_port_has_property(bundle.plugin, port, Uri(propertyUri));
    }
    std::string Text(const LilvPort* port, const char* predicateUri)
    {
        LilvNodes* values = lilv_port_get_value(bundle.plugin, port, Uri(predicateUri));
        std::string text = values != nullptr ? lilv_node_as_string(lilv_nodes_get_first(values)) : "";
        lilv_nodes_free(values);
        return text;
    }
    std::string Name(const LilvPort* port)
    {
        LilvNode* name = lilv_port_get_name(bundle.plugin, port);
        std::string text = lilv_node_as_string(name);
        lilv_node_free(name);
        return text;
    }
    void ExpectRange(std::uint32_t index, int minimum, int maximum, int fallback)
    {
        LilvNode *def = nullptr, *min = nullptr, *max = nullptr;
        lilv_port_get_range(bundle.plugin, Port(index), &def, &min, &max);
        ASSERT_TRUE(def && min && max) << "port " << index;
        EXPECT_EQ(lilv_node_as_int(min), minimum) << "port " << index;
        EXPECT_EQ(lilv_node_as_int(max), maximum) << "port " << index;
        EXPECT_EQ(lilv_node_as_int(def), fallback) << "port " << index;
        lilv_node_free(def);
        lilv_node_free(min);
        lilv_node_free(max);
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

TEST_F(Lv2Bundle, ParameterPortsFollowTheMachinesTable)
{
    ASSERT_EQ(lilv_plugin_get_num_ports(bundle.plugin), kPortCount);
    for (int i = 0; i < kParameterCount; ++i) {
        const ParameterDescriptor& d = *info->Parameters[i];
        const LilvPort* port = Port(i);
        SCOPED_TRACE(d.Name);
        EXPECT_TRUE(Is(port, LV2_CORE("InputPort")) && Is(port, LV2_CORE("ControlPort")));
        EXPECT_EQ(lilv_node_as_string(lilv_port_get_symbol(bundle.plugin, port)), Symbol(d.Name));
        EXPECT_EQ(Name(port), d.Name);
        EXPECT_EQ(Text(port, "http://www.w3.org/2000/01/rdf-schema#comment"), d.Description);
        EXPECT_TRUE(Has(port, LV2_CORE("integer")));
        ExpectRange(i, d.MinValue, d.MaxValue, d.DefaultValue);
    }
    EXPECT_EQ(Symbol("Comp: Thr.low"), "comp_thr_low");   // the rule the README gives
    EXPECT_EQ(Symbol("Limit: Thresh."), "limit_thresh");
}

TEST_F(Lv2Bundle, SoloModeOffersTheMachinesOwnWords)
{
    const LilvPort* port = Port(kSoloModePort);
    EXPECT_TRUE(Has(port, LV2_CORE("enumeration")));
    std::string error;
    auto machine = host::Machine::Create(*bundle.machineLibrary, kSampleRate, error);
    ASSERT_TRUE(machine) << error;
    std::map<int, std::string> expected;
    for (int v = info->Parameters[kSoloModePort]->MinValue; v <= info->Parameters[kSoloModePort]->MaxValue; ++v)
        expected[v] = machine->Describe(kSoloModePort, v);
    EXPECT_EQ(expected.at(0), "-");
    EXPECT_EQ(expected.at(4), "bypass");

    std::map<int, std::string> labels;
    LilvScalePoints* points = lilv_port_get_scale_points(bundle.plugin, port);
    LILV_FOREACH (scale_points, it, points) {
        const LilvScalePoint* point = lilv_scale_points_get(points, it);
        labels[lilv_node_as_int(lilv_scale_point_get_value(point))] =
            lilv_node_as_string(lilv_scale_point_get_label(point));
    }
    lilv_scale_points_free(points);
    EXPECT_EQ(labels, expected);
}

TEST_F(Lv2Bundle, LinkAudioAndLatencyPorts)
{
    const AttributeDescriptor& link = *info->Attributes[0];
    const LilvPort* linkPort = Port(kStereoLinkPort);
    EXPECT_EQ(lilv_node_as_string(lilv_port_get_symbol(bundle.plugin, linkPort)), std::string("stereo_link"));
    EXPECT_EQ(Name(linkPort), link.Name);
    EXPECT_TRUE(Is(linkPort, LV2_CORE("InputPort")) && Has(linkPort, LV2_CORE("toggled")));
    ExpectRange(kStereoLinkPort, link.MinValue, link.MaxValue, link.DefaultValue);

    for (std::uint32_t index : {kInLeftPort, kInRightPort})
        EXPECT_TRUE(Is(Port(index), LV2_CORE("InputPort")) && Is(Port(index), LV2_CORE("AudioPort"))) << index;
    for (std::uint32_t index : {kOutLeftPort, kOutRightPort})
        EXPECT_TRUE(Is(Port(index), LV2_CORE("OutputPort")) && Is(Port(index), LV2_CORE("AudioPort"))) << index;

    const LilvPort* latency = Port(kLatencyPort);
    EXPECT_TRUE(Is(latency, LV2_CORE("OutputPort")) && Is(latency, LV2_CORE("ControlPort")));
    EXPECT_TRUE(Has(latency, LV2_CORE("reportsLatency")));
    EXPECT_EQ(lilv_plugin_get_port_by_designation(bundle.plugin, Uri(LV2_CORE("OutputPort")), Uri(LV2_CORE("latency"))),
              latency);
}

} // namespace
} // namespace korvax::test
