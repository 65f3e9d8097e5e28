#include "params/presets.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "params/value_units.h"

namespace korvax::presets {
namespace {

using units::LowerCase;
using units::TrimSpaces;

const char* Text(const char* text)
{
    return text != nullptr ? text : "";
}

bool IsDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// A slug without its dashes.
std::string Joined(std::string slug)
{
    slug.erase(std::remove(slug.begin(), slug.end(), '-'), slug.end());
    return slug;
}

// Levenshtein distance: insertions, deletions and substitutions of one character.
std::size_t EditDistance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

std::string Slug(std::string_view name)
{
    std::string slug;
    bool pendingDash = false;
    for (const char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x80 && std::isalnum(u)) {
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

std::string Symbol(std::string_view name)
{
    std::string symbol = Slug(name);
    std::replace(symbol.begin(), symbol.end(), '-', '_');
    return symbol;
}

int ControlCount(const MachineDescription& description) noexcept
{
    const int parameters = std::max(0, description.ParameterCount);
    const bool attribute = description.AttributeCount > 0 && description.Attributes != nullptr &&
                           description.Attributes[0] != nullptr;
    return parameters + (attribute ? 1 : 0);
}

int AttributeControl(const MachineDescription& description) noexcept
{
    return std::max(0, description.ParameterCount);
}

ControlInfo DescribeControl(const MachineDescription& description, int control)
{
    ControlInfo info;
    info.control = control;
    if (control == AttributeControl(description)) {
        const AttributeDescriptor& a = *description.Attributes[0];
        info.isAttribute = true;
        info.name = Text(a.Name);
        info.minValue = a.MinValue;
        info.maxValue = a.MaxValue;
        info.defaultValue = a.DefaultValue;
    } else {
        const ParameterDescriptor& p = *description.Parameters[control];
        info.name = Text(p.Name);
        info.description = Text(p.Description);
        info.minValue = p.MinValue;
        info.maxValue = p.MaxValue;
        info.defaultValue = p.DefaultValue;
    }
    info.slug = Slug(info.name);
    info.symbol = Symbol(info.name);
    return info;
}

std::vector<int> NearestControls(const MachineDescription& description, std::string_view key, std::size_t count)
{
    const std::string wanted = Slug(key);
    struct Candidate {
        bool contains;
        std::size_t distance;
        int control;
    };
    std::vector<Candidate> candidates;
    if (wanted.empty())
        return {};
    for (int control = 0; control < ControlCount(description); ++control) {
        const std::string slug = DescribeControl(description, control).slug;
        const bool contains = slug.find(wanted) != std::string::npos;
        // A name more than half rewritten is not a slip of the keyboard; nor is
        // one word of it more than a third rewritten ("atack" for "attack").
        std::size_t distance = EditDistance(wanted, slug);
        bool near = distance <= std::max<std::size_t>(2, std::max(wanted.size(), slug.size()) / 2);
        for (std::size_t start = 0; start < slug.size();) {
            const std::size_t end = std::min(slug.find('-', start), slug.size());
            const std::string_view word = std::string_view(slug).substr(start, end - start);
            const std::size_t wordDistance = EditDistance(wanted, word);
            if (wordDistance <= std::max<std::size_t>(1, std::max(wanted.size(), word.size()) / 3)) {
                near = true;
                distance = std::min(distance, wordDistance);
            }
            start = end + 1;
        }
        if (contains || near)
            candidates.push_back({contains, distance, control});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (a.contains != b.contains)
            return a.contains;
        return !a.contains && a.distance < b.distance;   // names holding the key stay in table order
    });
    std::vector<int> nearest;
    for (std::size_t i = 0; i < candidates.size() && i < count; ++i)
        nearest.push_back(candidates[i].control);
    return nearest;
}

std::optional<int> FindControl(const MachineDescription& description, std::string_view key, std::string& error)
{
    const std::string_view wanted = TrimSpaces(key);
    const int parameters = std::max(0, description.ParameterCount);
    if (IsDigits(wanted)) {
        int index = -1;
        const auto [end, parseError] = std::from_chars(wanted.data(), wanted.data() + wanted.size(), index);
        if (parseError == std::errc() && index >= 0 && index < parameters)
            return index;
        error = "unknown parameter index " + std::string(wanted) + " (indices run 0.." +
                std::to_string(parameters - 1) + ")";
        return std::nullopt;
    }
    const std::string lower = LowerCase(wanted);
    const std::string slug = Slug(wanted);
    for (int control = 0; control < ControlCount(description); ++control) {
        const ControlInfo info = DescribeControl(description, control);
        if (LowerCase(info.name) == lower)
            return control;
    }
    for (int control = 0; control < ControlCount(description); ++control)
        if (!slug.empty() && DescribeControl(description, control).slug == slug)
            return control;
    // Words run together or split apart ("low-split" for "lowsplit"), where
    // that leaves one control.
    std::optional<int> joined;
    for (int control = 0; control < ControlCount(description); ++control) {
        if (slug.empty() || Joined(DescribeControl(description, control).slug) != Joined(slug))
            continue;
        if (joined) {
            joined.reset();
            break;
        }
        joined = control;
    }
    if (joined)
        return joined;

    error = "unknown parameter '" + std::string(wanted) + "'";
    const std::vector<int> nearest = NearestControls(description, wanted, 3);
    for (std::size_t i = 0; i < nearest.size(); ++i)
        error += (i == 0 ? "; nearest: " : ", ") + DescribeControl(description, nearest[i]).slug;
    return std::nullopt;
}

std::optional<int> ParseControlValue(const MachineDescription& description, int control, std::string_view text,
                                     std::string& error)
{
    const ControlInfo info = DescribeControl(description, control);
    if (info.isAttribute) {
        if (const std::optional<int> value = units::ParseSwitch(text))
            return value;
        error = "'" + std::string(TrimSpaces(text)) + "' is not a value for " + info.name + "; it takes on or off";
        return std::nullopt;
    }
    std::string why;
    if (const std::optional<int> step = units::ParseValue(control, text, info.minValue, info.maxValue, why))
        return step;
    error = info.name + ": " + why;
    return std::nullopt;
}

std::optional<Setting> ParseSetting(const MachineDescription& description, std::string_view text,
                                    std::string& error)
{
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || TrimSpaces(text.substr(0, equals)).empty()) {
        error = "expected NAME=VALUE, got '" + std::string(TrimSpaces(text)) + "'";
        return std::nullopt;
    }
    const std::optional<int> control = FindControl(description, text.substr(0, equals), error);
    if (!control)
        return std::nullopt;
    const std::optional<int> value = ParseControlValue(description, *control, text.substr(equals + 1), error);
    if (!value)
        return std::nullopt;
    return Setting{*control, *value};
}

std::optional<std::vector<Setting>> ParsePreset(const MachineDescription& description, std::string_view text,
                                                const std::string& source, std::string& error)
{
    std::vector<Setting> settings;
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const auto newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        if (const auto hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        line = TrimSpaces(line);
        if (line.empty())
            continue;
        std::string why;
        const std::optional<Setting> setting = ParseSetting(description, line, why);
        if (!setting) {
            error = source + ":" + std::to_string(lineNumber) + ": " + why;
            return std::nullopt;
        }
        settings.push_back(*setting);
    }
    return settings;
}

std::optional<std::vector<Setting>> ReadPresetFile(const MachineDescription& description, const std::string& path,
                                                   std::string& error)
{
    std::error_code status;
    if (std::filesystem::is_directory(path, status)) {
        error = "cannot read preset '" + path + "': it is a directory";
        return std::nullopt;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read preset '" + path + "': " + std::strerror(errno);
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    if (file.bad()) {
        error = "cannot read preset '" + path + "': read error";
        return std::nullopt;
    }
    return ParsePreset(description, contents.str(), path, error);
}

std::string PresetValueText(const MachineDescription& description, int control, int value)
{
    if (control == AttributeControl(description))
        return units::SwitchWord(value);
    if (const char* word = units::StepWord(control, value))
        return word;
    return std::to_string(value);
}

} // namespace korvax::presets
