#include "tools/korvax/machine_session.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <mutex>

#include "params/presets.h"
#include "params/value_units.h"
#include "params/working_parameters.h"
#include "tools/korvax/failure.h"

namespace korvax::cli {
namespace {

constexpr int kParameterCount = 17;

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool IsWholeNumber(const std::string& text)
{
    const std::string digits = !text.empty() && text[0] == '+' ? text.substr(1) : text;
    return !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The machine formats every value text into one buffer that all its machines share.
std::mutex gDescribeMutex;

} // namespace

MachineLibrary::MachineLibrary(const std::string& path)
{
    if (path.empty())
        throw Failure("no machine library configured: pass --machine PATH or set KORVAX_MACHINE_LIBRARY");
    std::string error;
    library_ = host::Library::Open(path, error);
    if (!library_)
        throw Failure(error);

    const MachineDescription* info = library_->Info();
    bool complete = info != nullptr && info->ParameterCount == kParameterCount && info->AttributeCount >= 1 &&
                    info->Parameters != nullptr && info->Attributes != nullptr && info->Attributes[0] != nullptr;
    for (int i = 0; complete && i < kParameterCount; ++i)
        complete = info->Parameters[i] != nullptr;
    if (!complete)
        throw Failure("'" + path + "' does not describe the Korvax 2 machine (expected " +
                      std::to_string(kParameterCount) + " parameters and a stereo link attribute)");
    machineName_ = info->Name != nullptr ? info->Name : "";

    const WorkingParameters constructed = ConstructionParameters();
    for (int control = 0; control < presets::ControlCount(*info); ++control) {
        const presets::ControlInfo c = presets::DescribeControl(*info, control);
        ParameterInfo p;
        p.control = control;
        p.isAttribute = c.isAttribute;
        p.index = c.isAttribute ? -1 : control;
        p.name = c.name.empty() && c.isAttribute ? "Stereo link" : c.name;
        p.slug = presets::Slug(p.name);
        p.symbol = presets::Symbol(p.name);
        p.description = c.isAttribute ? "Links the left and right gain followers of each band and of the limiter"
                                      : c.description;
        p.minValue = c.minValue;
        p.maxValue = c.maxValue;
        p.defaultValue = c.defaultValue;
        p.startValue = c.isAttribute ? constructed.StereoLink : StartValue(control);
        parameters_.push_back(p);
    }
}

const ParameterInfo& MachineLibrary::Find(const std::string& key, const std::string& command) const
{
    std::string error;
    const std::optional<int> control = presets::FindControl(Description(), key, error);
    if (!control)
        throw UsageError(command, error);
    return parameters_[static_cast<std::size_t>(*control)];
}

Setting MachineLibrary::ParseSetting(const std::string& text) const
{
    std::string error;
    const std::optional<presets::Setting> setting = presets::ParseSetting(Description(), text, error);
    if (!setting)
        throw UsageError("render", "--set '" + text + "': " + error);
    const std::string valueText = Trim(text.substr(text.find('=') + 1));
    Setting s{&parameters_[static_cast<std::size_t>(setting->control)], setting->value, "", true};
    // A value in units, matched to the nearest step: worth showing beside it.
    if (!IsWholeNumber(valueText) && std::any_of(valueText.begin(), valueText.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        s.asked = valueText;
    return s;
}

Setting MachineLibrary::LinkSetting(const std::string& onOff) const
{
    const std::optional<int> value = units::ParseSwitch(onOff);
    if (!value)
        throw UsageError("render", "--link '" + onOff + "': expected on or off");
    return {&parameters_.back(), *value, "", true};
}

std::vector<Setting> MachineLibrary::PresetSettings(const std::string& source) const
{
    std::vector<Setting> settings;
    if (source == "start" || source == "defaults") {
        for (const ParameterInfo& p : parameters_)
            settings.push_back({&p, source == "start" ? p.startValue : p.defaultValue, "", false});
        return settings;
    }
    std::string error;
    const auto read = presets::ReadPresetFile(Description(), source, error);
    if (!read)
        throw Failure(error);
    for (const presets::Setting& s : *read)
        settings.push_back({&parameters_[static_cast<std::size_t>(s.control)], s.value, "", false});
    return settings;
}

std::unique_ptr<host::Machine> MachineLibrary::NewMachine(std::int32_t sampleRate,
                                                          const std::vector<Setting>& settings) const
{
    std::string error;
    std::unique_ptr<host::Machine> machine = host::Machine::Create(*library_, sampleRate, error);
    if (!machine)
        throw Failure(error);
    machine->Initialise();
    if (settings.empty())
        return machine;

    std::map<int, int> bytes;   // parameter index -> value; the last setting wins
    for (const Setting& s : settings) {
        if (s.parameter->isAttribute)
            machine->SetAttribute(s.value);
        else
            bytes[s.parameter->index] = s.value;
    }
    machine->SetParameters({bytes.begin(), bytes.end()});
    return machine;
}

std::string MachineLibrary::DescribeValue(host::Machine& machine, const ParameterInfo& parameter, int value)
{
    if (!parameter.isAttribute)
        if (const char* word = units::StepWord(parameter.index, value))
            return word;
    // The split controls' own texts are their bare steps: the frequency says more.
    if (!parameter.isAttribute && units::UnitOf(parameter.index).unit == units::Unit::kHertz)
        return units::FormatStepValue(parameter.index, value);
    return MachineText(machine, parameter, value);
}

std::string MachineLibrary::MachineText(host::Machine& machine, const ParameterInfo& parameter, int value)
{
    if (parameter.isAttribute)
        return units::SwitchWord(value);
    const std::lock_guard<std::mutex> lock(gDescribeMutex);
    // The machine formats into one shared buffer: copy it at once.
    const char* text = machine.Describe(parameter.index, value);
    return text != nullptr ? text : "";
}

bool IsBypass(const std::vector<Setting>& settings)
{
    bool bypass = false;   // the start value of "Solo mode" is 0
    for (const Setting& s : settings)
        if (!s.parameter->isAttribute && s.parameter->index == kSoloModeIndex)
            bypass = s.value == kSoloBypass;
    return bypass;
}

std::vector<int> FinalValues(const std::vector<ParameterInfo>& parameters, const std::vector<Setting>& settings)
{
    std::vector<int> values;
    for (const ParameterInfo& p : parameters)
        values.push_back(p.startValue);
    for (const Setting& s : settings)
        values[static_cast<std::size_t>(s.parameter->control)] = s.value;
    return values;
}

} // namespace korvax::cli
