#pragma once
// Controls by name, values as people type them, and preset files: what the
// command-line tool and the LV2 plug-in's build share, so that a name or a
// preset means the same step in both.
//
// Everything here works on a MachineDescription passed in: the tool passes the
// description of the library it loaded, a build-time generator passes the
// core's own Description(). Nothing is cached between calls.
//
// A control is one of the description's parameters, numbered 0..ParameterCount-1
// as in its table, or its attribute ("Stereo link"), numbered ParameterCount:
// the order of the LV2 plug-in's control ports.
//
// Names. A control is found by its parameter index ("6"), its display name in
// any letter case ("comp: thr.low"), its slug ("comp-thr-low": lower case, each
// run of other characters than letters and digits as one '-') or its LV2 symbol
// ("comp_thr_low": the slug with '_'). Any key whose slug equals a control's
// slug finds it, so "Comp thr low" does too, and so does one that differs only
// in where words are split ("low-split" for "lowsplit") when that leaves one
// control.
//
// Values. A parameter takes what units::ParseValue takes (a step, a value in
// the unit of its texts, or a word of "Solo mode"); the attribute takes
// on/off, 1/0, true/false or yes/no.
//
// Preset files. Text, one "NAME = VALUE" per line, with NAME and VALUE as
// above. '#' starts a comment that runs to the end of the line; blank lines are
// skipped; spaces around NAME and VALUE do not matter. A file need not name
// every control; those it leaves out keep whatever the reader of the preset
// starts from (korvax: the machine's start values). A control named twice takes
// the later value. Errors name the file and the line: "my.preset:3: ...".

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/description.h"

namespace korvax::presets {

struct ControlInfo {
    int control = 0;
    bool isAttribute = false;
    std::string name;          // as declared: "Comp: Thr.low"
    std::string slug;          // "comp-thr-low"
    std::string symbol;        // "comp_thr_low"
    std::string description;   // as declared; empty for the attribute
    int minValue = 0;
    int maxValue = 0;
    int defaultValue = 0;      // as declared
};

// One control set to one step (a parameter byte, or the attribute's value).
struct Setting {
    int control = 0;
    int value = 0;
};

// Lower case, each run of characters other than ASCII letters and digits as
// one '-', none at either end: "Limit: Thresh." -> "limit-thresh".
std::string Slug(std::string_view name);
// The slug with '_' for '-': "limit_thresh".
std::string Symbol(std::string_view name);

// The number of controls: the parameters, and the attribute when there is one.
int ControlCount(const MachineDescription& description) noexcept;
// The number of the attribute: ParameterCount.
int AttributeControl(const MachineDescription& description) noexcept;
// What the description declares for `control` (0..ControlCount-1).
ControlInfo DescribeControl(const MachineDescription& description, int control);

// The control `key` names, by the rules above. On failure returns nothing and
// sets `error` to one line that names the nearest names when there are any:
// "unknown parameter 'comp-thr-lo'; nearest: comp-thr-low, comp-thr-hi".
std::optional<int> FindControl(const MachineDescription& description, std::string_view key, std::string& error);

// Up to `count` controls whose names are nearest `key`: those whose slug holds
// the key's slug first, in table order, then the others by edit distance
// between slugs; controls too far from the key to be what was meant are left out.
std::vector<int> NearestControls(const MachineDescription& description, std::string_view key, std::size_t count);

// The step `text` selects for `control`, within its declared range. On failure
// returns nothing and sets `error` to one line saying what is accepted.
std::optional<int> ParseControlValue(const MachineDescription& description, int control, std::string_view text,
                                     std::string& error);

// "NAME=VALUE" (the first '=' separates them). Errors as above, or
// "expected NAME=VALUE" for a text without a name or an '='.
std::optional<Setting> ParseSetting(const MachineDescription& description, std::string_view text,
                                    std::string& error);

// The settings of a preset's text, in the order of its lines. `source` names
// the text in errors (the file's path). On failure returns nothing and sets
// `error` to "SOURCE:LINE: what is wrong".
std::optional<std::vector<Setting>> ParsePreset(const MachineDescription& description, std::string_view text,
                                                const std::string& source, std::string& error);

// Reads and parses the preset file at `path`; an unreadable file is an error
// too ("cannot read preset 'PATH': reason").
std::optional<std::vector<Setting>> ReadPresetFile(const MachineDescription& description, const std::string& path,
                                                   std::string& error);

// A value as a preset file writes it: the word of "Solo mode" or of the
// attribute ("all bands", "bypass", "on"), the step for every other parameter.
std::string PresetValueText(const MachineDescription& description, int control, int value);

} // namespace korvax::presets
