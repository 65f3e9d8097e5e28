#include "tools/korvax/machine_session.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

#include "tools/korvax/failure.h"

namespace korvax::cli {
namespace {

constexpr int kParameterCount = 17;

// What InitialiseEngine stores, by parameter index. "Input" has no start value
// of its own: it keeps the value it was constructed with, 89. The attribute
// starts at 0 (unlinked).
constexpr int kStartValues[kParameterCount] = {89, 47, 85, 50, 100, 0, 29, 33, 37, 128, 30, 30, 104, 88, 71, 1, 30};
constexpr int kAttributeStartValue = 0;

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string RangeText(const ParameterInfo& p)
{
    return p.name + " takes " + std::to_string(p.minValue) + ".." + std::to_string(p.maxValue);
}

} // namespace

std::string Slug(const std::string& name)
{
    std::string slug;
    bool pendingDash = false;
    for (const char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) {
            if (pendingDash && !slug.empty())
                slug += '-';
            pendingDash = false;
            slug += static_cast<char>(std::tolower(u));
        } else {
            pendingDash = true;
        }
    }
    return slug;
}

MachineLibrary::MachineLibrary(const std::string& path)
{
    if (path.empty())
        throw Failure("no machine library configured: pass --machine PATH or set KORVAX_MACHINE_LIBRARY");
    std::string error;
    library_ = host::Library::Open(path, error);
    if (!library_)
        throw Failure(error);

    const MachineDescription* info = library_->Info();
    if (info == nullptr || info->ParameterCount != kParameterCount || info->AttributeCount < 1 ||
        info->Parameters == nullptr || info->Attributes == nullptr)
        throw Failure("'" + path + "' does not describe the Korvax 2 machine (expected " +
                      std::to_string(kParameterCount) + " parameters and a stereo link attribute)");
    machineName_ = info->Name != nullptr ? info->Name : "";

    for (int i = 0; i < info->ParameterCount; ++i) {
        const ParameterDescriptor& d = *info->Parameters[i];
        ParameterInfo p;
        p.index = i;
        p.name = d.Name != nullptr ? d.Name : "";
        p.slug = Slug(p.name);
        p.description = d.Description != nullptr ? d.Description : "";
        p.minValue = d.MinValue;
        p.maxValue = d.MaxValue;
        p.defaultValue = d.DefaultValue;
        p.startValue = kStartValues[i];
        parameters_.push_back(p);
    }
    const AttributeDescriptor& a = *info->Attributes[0];
    ParameterInfo link;
    link.index = -1;
    link.isAttribute = true;
    link.name = a.Name != nullptr ? a.Name : "Stereo link";
    link.slug = Slug(link.name);
    link.description = "Links the left and right gain followers of each band and of the limiter";
    link.minValue = a.MinValue;
    link.maxValue = a.MaxValue;
    link.defaultValue = a.DefaultValue;
    link.startValue = kAttributeStartValue;
    parameters_.push_back(link);
}

const ParameterInfo& MachineLibrary::Find(const std::string& key) const
{
    const std::string wanted = Trim(key);
    if (!wanted.empty() && std::all_of(wanted.begin(), wanted.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        int index = -1;
        std::from_chars(wanted.data(), wanted.data() + wanted.size(), index);
        for (const ParameterInfo& p : parameters_)
            if (!p.isAttribute && p.index == index)
                return p;
        throw Failure("unknown parameter index " + wanted + " (indices run 0.." +
                      std::to_string(kParameterCount - 1) + "; see 'korvax params')");
    }
    const std::string lower = Lower(wanted);
    for (const ParameterInfo& p : parameters_)
        if (Lower(p.name) == lower || p.slug == lower)
            return p;
    throw Failure("unknown parameter '" + wanted + "' (see 'korvax params' for names and slugs)");
}

Setting MachineLibrary::ParseSetting(const std::string& text) const
{
    const auto equals = text.find('=');
    if (equals == std::string::npos || Trim(text.substr(0, equals)).empty())
        throw Failure("--set '" + text + "': expected NAME=VALUE, for example --set comp-thr-low=40");
    const ParameterInfo& p = Find(text.substr(0, equals));
    const std::string valueText = Trim(text.substr(equals + 1));

    int value = 0;
    const char* const begin = valueText.data();
    const char* const end = begin + valueText.size();
    const char* const digits = (begin != end && *begin == '+') ? begin + 1 : begin;
    const auto [stop, error] = std::from_chars(digits, end, value);
    if (valueText.empty() || error == std::errc::invalid_argument || stop != end)
        throw Failure("--set '" + text + "': '" + valueText + "' is not a whole number; " + RangeText(p));
    if (error == std::errc::result_out_of_range || value < p.minValue || value > p.maxValue)
        throw Failure("--set '" + text + "': " + valueText + " is out of range; " + RangeText(p));
    return {&p, value};
}

Setting MachineLibrary::LinkSetting(const std::string& onOff) const
{
    const std::string word = Lower(Trim(onOff));
    const ParameterInfo& link = parameters_.back();
    if (word == "on" || word == "1")
        return {&link, 1};
    if (word == "off" || word == "0")
        return {&link, 0};
    throw Failure("--link '" + onOff + "': expected on or off");
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
    if (parameter.isAttribute)
        return value != 0 ? "on" : "off";
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

} // namespace korvax::cli
