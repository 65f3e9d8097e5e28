#include "lv2_test_host.h"

#include "params/value_units.h"

#include <gtest/gtest.h>

#include <lv2/atom/atom.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace korvax::test {

Stereo TestSignal(std::size_t frames, std::uint32_t seed)
{
    Stereo s;
    s.left.resize(frames);
    s.right.resize(frames);
    std::uint32_t noise = seed;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = double(i) / kSampleRate;
        const double low = 0.6 * std::sin(2 * M_PI * 70.0 * t) * (0.5 + 0.5 * std::sin(2 * M_PI * 3.0 * t));
        const double high = 0.3 * std::sin(2 * M_PI * 5000.0 * t) * ((i / 2000) % 3 == 0 ? 1.0 : 0.05);
        noise = noise * 1664525u + 1013904223u;
        const double hiss = 0.05 * (double(noise) / 4294967296.0 - 0.5);
        s.left[i] = static_cast<float>(low + high + hiss);
        s.right[i] = static_cast<float>(0.5 * low - high + hiss);
    }
    return s;
}

Settings Settings::Declared()
{
    const MachineDescription* info = Bundle::Get().machineLibrary->Info();
    Settings s;
    for (int i = 0; i < kParameterCount; ++i)
        s.values[i] = info->Parameters[i]->DefaultValue;
    s.link = info->Attributes[0]->DefaultValue;
    return s;
}

float PortValue(int index, int step)
{
    return static_cast<float>(units::StepValue(index, step));
}

Bundle& Bundle::Get()
{
    static Bundle* bundle = [] {
        auto* b = new Bundle();
        b->world = lilv_world_new();
        LilvNode* bundleUri = lilv_new_file_uri(b->world, nullptr, KORVAX_LV2_BUNDLE_DIR "/");
        lilv_world_load_bundle(b->world, bundleUri);
        lilv_node_free(bundleUri);
        LilvNode* uri = lilv_new_uri(b->world, KORVAX_LV2_URI);
        b->plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(b->world), uri);
        lilv_node_free(uri);
        if (b->plugin == nullptr)
            throw std::runtime_error("no plug-in " KORVAX_LV2_URI " in " KORVAX_LV2_BUNDLE_DIR);
        // lilv reads the plug-in's data files when first asked about it; ask now,
        // so that tests querying the world alone (units, groups) find their data.
        lilv_plugin_get_num_ports(b->plugin);
        std::string error;
        b->machineLibrary = host::Library::Open(KORVAX_LV2_BUNDLE_DIR "/" KORVAX_LV2_MACHINE_FILE, error);
        if (!b->machineLibrary)
            throw std::runtime_error(error);
        return b;
    }();
    return *bundle;
}

PluginInstance::PluginInstance(double sampleRate)
{
    const LilvPlugin* plugin = Bundle::Get().plugin;
    std::array<float, kPortCount> minimum{}, maximum{}, defaults{};
    lilv_plugin_get_port_ranges_float(plugin, minimum.data(), maximum.data(), defaults.data());
    instance_ = lilv_plugin_instantiate(plugin, sampleRate, nullptr);
    if (instance_ == nullptr)
        throw std::runtime_error("the plug-in did not instantiate");
    for (std::uint32_t port = 0; port < kPortCount; ++port) {
        if (port > kStereoLinkPort && port != kEnabledPort)
            continue;
        controls_[port] = defaults[port];
        lilv_instance_connect_port(instance_, port, &controls_[port]);
    }
    lilv_instance_connect_port(instance_, kLatencyPort, &latency_);
    for (std::uint32_t port = lv2::kFirstGainMeterPort; port < kPortCount; ++port)
        lilv_instance_connect_port(instance_, port, &controls_[port]);
    lilv_instance_activate(instance_);
}

PluginInstance::~PluginInstance()
{
    lilv_instance_deactivate(instance_);
    lilv_instance_free(instance_);
}

void PluginInstance::Set(const Settings& settings)
{
    for (int i = 0; i < kParameterCount; ++i)
        controls_[i] = PortValue(i, settings.values[i]);
    controls_[kStereoLinkPort] = float(settings.link);
}

namespace {

// A URID map for lilv's preset loading: each URI's number is its place in a list.
LV2_URID MapUri(LV2_URID_Map_Handle handle, const char* uri)
{
    auto& uris = *static_cast<std::vector<std::string>*>(handle);
    for (std::size_t i = 0; i < uris.size(); ++i)
        if (uris[i] == uri)
            return LV2_URID(i + 1);
    uris.emplace_back(uri);
    return LV2_URID(uris.size());
}

struct PresetTarget {
    const LilvPlugin* plugin;
    LilvWorld* world;
    std::array<float, kPortCount>* controls;
    LV2_URID_Map* map;
    std::string error;   // thrown once lilv has returned
};

void SetPortValue(const char* symbol, void* data, const void* value, std::uint32_t size, std::uint32_t type)
{
    auto& target = *static_cast<PresetTarget*>(data);
    LilvNode* name = lilv_new_string(target.world, symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(target.plugin, name);
    lilv_node_free(name);
    if (port == nullptr) {
        target.error = std::string("the preset names no port of the plug-in: ") + symbol;
        return;
    }
    float number = 0.0f;
    if (type == target.map->map(target.map->handle, LV2_ATOM__Float) && size == sizeof(float)) {
        std::memcpy(&number, value, sizeof number);
    } else if (type == target.map->map(target.map->handle, LV2_ATOM__Double) && size == sizeof(double)) {
        double d;
        std::memcpy(&d, value, sizeof d);
        number = static_cast<float>(d);
    } else if (type == target.map->map(target.map->handle, LV2_ATOM__Int) && size == sizeof(std::int32_t)) {
        std::int32_t i;
        std::memcpy(&i, value, sizeof i);
        number = float(i);
    } else {
        target.error = std::string("the preset's value for ") + symbol + " has an unexpected type";
        return;
    }
    (*target.controls)[lilv_port_get_index(target.plugin, port)] = number;
}

} // namespace

void PluginInstance::ApplyPreset(const std::string& uri)
{
    Bundle& bundle = Bundle::Get();
    std::vector<std::string> uris;
    LV2_URID_Map map{&uris, MapUri};
    LilvNode* preset = lilv_new_uri(bundle.world, uri.c_str());
    lilv_world_load_resource(bundle.world, preset);
    LilvState* state = lilv_state_new_from_world(bundle.world, &map, preset);
    lilv_node_free(preset);
    if (state == nullptr)
        throw std::runtime_error("no preset " + uri);
    PresetTarget target{bundle.plugin, bundle.world, &controls_, &map, {}};
    lilv_state_restore(state, nullptr, SetPortValue, &target, 0, nullptr);
    lilv_state_free(state);
    if (!target.error.empty())
        throw std::runtime_error(target.error);
}

void PluginInstance::Run(const float* inLeft, const float* inRight, float* outLeft, float* outRight,
                         std::uint32_t frames)
{
    lilv_instance_connect_port(instance_, kInLeftPort, const_cast<float*>(inLeft));
    lilv_instance_connect_port(instance_, kInRightPort, const_cast<float*>(inRight));
    lilv_instance_connect_port(instance_, kOutLeftPort, outLeft);
    lilv_instance_connect_port(instance_, kOutRightPort, outRight);
    lilv_instance_run(instance_, frames);
}

Stereo PluginInstance::Render(const Stereo& in, const std::vector<std::uint32_t>& blocks)
{
    Stereo out;
    out.left.resize(in.Frames());
    out.right.resize(in.Frames());
    std::size_t done = 0;
    for (std::size_t b = 0; done < in.Frames(); ++b) {
        const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(blocks[b % blocks.size()], in.Frames() - done));
        Run(&in.left[done], &in.right[done], &out.left[done], &out.right[done], count);
        done += count;
    }
    return out;
}

void PluginInstance::Reactivate()
{
    lilv_instance_deactivate(instance_);
    lilv_instance_activate(instance_);
}

ReferenceMachine::ReferenceMachine()
{
    std::string error;
    machine_ = host::Machine::Create(*Bundle::Get().machineLibrary, kSampleRate, error);
    if (!machine_)
        throw std::runtime_error(error);
    machine_->Initialise();
}

ReferenceMachine ReferenceMachine::Started()
{
    return ReferenceMachine();
}

ReferenceMachine::ReferenceMachine(const Settings& settings) : ReferenceMachine()
{
    std::vector<std::pair<int, int>> all;
    for (int i = 0; i < kParameterCount; ++i)
        all.emplace_back(i, settings.values[i]);
    Change(all, settings.link);
}

void ReferenceMachine::Change(const std::vector<std::pair<int, int>>& parameters, int link)
{
    machine_->SetAttribute(link);
    machine_->SetParameters(parameters);
}

Stereo ReferenceMachine::Process(const Stereo& in)
{
    const std::size_t frames = in.Frames();
    std::vector<float> pairs(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        pairs[2 * i] = in.left[i] * 32768.0f;
        pairs[2 * i + 1] = in.right[i] * 32768.0f;
    }
    if (frames > 0)
        machine_->Process(pairs.data(), static_cast<std::int32_t>(frames), host::kModeInputOutput);
    Stereo out;
    for (std::size_t i = 0; i < frames; ++i) {
        out.left.push_back(pairs[2 * i] / 32768.0f);
        out.right.push_back(pairs[2 * i + 1] / 32768.0f);
    }
    return out;
}

Stereo Slice(const Stereo& audio, std::size_t from, std::size_t to)
{
    return {{audio.left.begin() + from, audio.left.begin() + to}, {audio.right.begin() + from, audio.right.begin() + to}};
}

Stereo Delayed(const Stereo& audio, std::size_t frames)
{
    Stereo delayed;
    delayed.left.assign(audio.Frames(), 0.0f);
    delayed.right.assign(audio.Frames(), 0.0f);
    for (std::size_t i = frames; i < audio.Frames(); ++i) {
        delayed.left[i] = audio.left[i - frames];
        delayed.right[i] = audio.right[i - frames];
    }
    return delayed;
}

Stereo Join(const Stereo& a, const Stereo& b)
{
    Stereo joined = a;
    joined.left.insert(joined.left.end(), b.left.begin(), b.left.end());
    joined.right.insert(joined.right.end(), b.right.begin(), b.right.end());
    return joined;
}

} // namespace korvax::test
