// korvax_lv2_ttl: writes the bundle's Turtle files at build time from the
// machine's own tables, so that what a host reads cannot drift from what the
// machine does.
//
//   korvax_lv2_ttl OUT_DIR URI BINARY MINOR MICRO [PRESET_FILE...]
//
// manifest.ttl   the plug-in and its presets, as lilv discovers them
// korvax.ttl     the plug-in: port groups, and every control in its unit, with
//                the range and the default of the machine's parameter table
//                expressed as the values of those steps (params/value_units.h)
// presets.ttl    the machine's start values, then one preset for each preset
//                file given (params/presets.h reads it)
//
// A control's value is the exact value of a step, printed as the shortest
// decimal that reads back as the same 32-bit float: a host that stores it as a
// float (as LV2 control ports are) and sends it back selects that very step.
// Each file is written beside its final name and renamed into place, so a
// failed run leaves the previous files whole. Status 1 with one line on stderr
// when a preset file cannot be read or a file cannot be written.

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "lv2/ports.h"
#include "params/presets.h"
#include "params/value_units.h"
#include "params/working_parameters.h"
#include "plugin/description.h"

namespace korvax::lv2 {
namespace {

struct Bundle {
    std::string uri;
    std::string binary;
    std::string minorVersion;
    std::string microVersion;
};

// A preset as steps of the machine's parameters and the link value.
struct Preset {
    std::string id;        // the tail of its URI
    std::string label;
    std::string comment;
    int steps[kParameterCount];
    int link;
};

const ParameterDescriptor& Parameter(int index)
{
    return *Description().Parameters[index];
}

const AttributeDescriptor& Link()
{
    return *Description().Attributes[0];
}

std::string Symbol(const char* name)
{
    return presets::Symbol(name);
}

std::string Quoted(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '\n')
            quoted += "\\n";
        else if (c == '"' || c == '\\')
            quoted += std::string("\\") + c;
        else
            quoted += c;
    }
    return quoted + '"';
}

// The shortest decimal that reads back as the same 32-bit float, whatever the
// C locale; zero without a sign.
std::string Number(double value)
{
    const float single = static_cast<float>(value);   // as a host holds a control value
    if (single == 0.0f)
        return "0";
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, single);
    return std::string(buffer, result.ptr);
}

// A step's value as a control port carries it.
std::string PortValue(int index, int step)
{
    return Number(units::StepValue(index, step));
}

std::string UnitTerm(units::Unit unit)
{
    switch (unit) {
    case units::Unit::kDecibels: return "units:db";
    case units::Unit::kHertz: return "units:hz";
    case units::Unit::kMilliseconds: return "units:ms";
    case units::Unit::kPercent: return "units:pc";
    case units::Unit::kRatio: return "korvax:ratio";
    case units::Unit::kStep:
    case units::Unit::kWord: break;
    }
    return "";
}

Preset StartValuesPreset()
{
    Preset preset{"start-values", "Start values",
                  "The values the machine starts with when its engine is initialised; Input and Stereo link, "
                  "which it leaves alone, at their declared defaults. A host starts from the declared defaults "
                  "instead.",
                  {}, Link().DefaultValue};
    for (int i = 0; i < kParameterCount; ++i)
        preset.steps[i] = StartValue(i);
    return preset;
}

// The comment block that opens a preset file (its lines that hold nothing but
// a comment, before the first setting), each line without its '#' and the
// space after it: the preset's description, with its measured effect.
std::string LeadingComment(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::string line, comment;
    while (std::getline(file, line)) {
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos)
            continue;
        if (line[first] != '#')
            break;
        const std::size_t start = first + (line.compare(first, 2, "# ") == 0 ? 2 : 1);
        const std::size_t end = line.find_last_not_of(" \t\r");
        if (end == std::string::npos || end < start)
            continue;
        comment += (comment.empty() ? "" : "\n") + line.substr(start, end + 1 - start);
    }
    return comment;
}

// The name a preset shows: the title that opens its description ("Gentle
// glue: light compression ..."), or else its file's name ("gentle-glue.preset"
// is "Gentle glue").
std::string PresetLabel(const std::string& path, const std::string& comment)
{
    const std::size_t colon = comment.find(": ");
    if (colon != std::string::npos && colon > 0 && colon <= 40 && comment.find('\n') > colon)
        return comment.substr(0, colon);
    std::string label = std::filesystem::path(path).stem().string();
    for (char& c : label)
        if (c == '-' || c == '_')
            c = ' ';
    if (!label.empty() && label[0] >= 'a' && label[0] <= 'z')
        label[0] = char(label[0] - 'a' + 'A');
    return label;
}

// One preset for each preset file. A file sets what it names; the rest keep
// the machine's start values, as in the korvax tool.
bool ReadPresetFiles(const std::vector<std::string>& files, std::vector<Preset>& presets, std::string& error)
{
    const Preset start = StartValuesPreset();
    for (const std::string& path : files) {
        const std::optional<std::vector<presets::Setting>> settings = presets::ReadPresetFile(Description(), path, error);
        if (!settings)
            return false;
        Preset preset = start;
        preset.id = presets::Slug(std::filesystem::path(path).stem().string());
        preset.comment = LeadingComment(path);
        preset.label = PresetLabel(path, preset.comment);
        for (const presets::Setting& setting : *settings) {
            if (setting.control == presets::AttributeControl(Description()))
                preset.link = setting.value;
            else
                preset.steps[setting.control] = setting.value;
        }
        for (const Preset& other : presets)
            if (other.id == preset.id) {
                error = "preset '" + path + "' has the name of another preset";
                return false;
            }
        presets.push_back(preset);
    }
    return true;
}

std::string PresetUri(const Bundle& bundle, const Preset& preset)
{
    return bundle.uri + "#preset-" + preset.id;
}

std::string Manifest(const Bundle& bundle, const std::vector<Preset>& presets)
{
    std::ostringstream out;
    out << "@prefix lv2:  <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
           "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n"
        << "<" << bundle.uri << ">\n"
        << "\ta lv2:Plugin ;\n"
        << "\tlv2:binary <" << bundle.binary << "> ;\n"
        << "\trdfs:seeAlso <korvax.ttl> .\n";
    for (const Preset& preset : presets)
        out << "\n<" << PresetUri(bundle, preset) << ">\n"
            << "\ta pset:Preset ;\n"
            << "\tlv2:appliesTo <" << bundle.uri << "> ;\n"
            << "\trdfs:seeAlso <presets.ttl> .\n";
    return out.str();
}

void ParameterPort(std::ostream& out, int index)
{
    const ParameterDescriptor& d = Parameter(index);
    const units::UnitInfo unit = units::UnitOf(index);
    out << "\t\ta lv2:InputPort , lv2:ControlPort ;\n"
        << "\t\tlv2:index " << index << " ;\n"
        << "\t\tlv2:symbol " << Quoted(Symbol(d.Name)) << " ;\n"
        << "\t\tlv2:name " << Quoted(d.Name) << " ;\n"
        << "\t\trdfs:comment " << Quoted(d.Description) << " ;\n";
    // The limiter threshold falls as its step rises: the range runs between
    // whichever end is lower.
    const double first = units::StepValue(index, d.MinValue), last = units::StepValue(index, d.MaxValue);
    const int lowStep = first <= last ? d.MinValue : d.MaxValue;
    const int highStep = first <= last ? d.MaxValue : d.MinValue;
    out << "\t\tlv2:default " << PortValue(index, d.DefaultValue) << " ;\n"
        << "\t\tlv2:minimum " << PortValue(index, lowStep) << " ;\n"
        << "\t\tlv2:maximum " << PortValue(index, highStep);
    if (unit.unit == units::Unit::kStep) {
        out << " ;\n\t\tlv2:portProperty lv2:integer";
    } else if (unit.unit == units::Unit::kWord) {
        out << " ;\n\t\tlv2:portProperty lv2:integer , lv2:enumeration ;\n\t\tlv2:scalePoint ";
        for (int step = d.MinValue; step <= d.MaxValue; ++step) {
            const char* word = units::StepWord(index, step);
            out << (step == d.MinValue ? "" : " ,\n\t\t\t") << "[ rdfs:label " << Quoted(word ? word : "")
                << " ; rdf:value " << step << " ]";
        }
    } else {
        if (unit.logarithmic)
            out << " ;\n\t\tlv2:portProperty pprops:logarithmic";
        out << " ;\n\t\tunits:unit " << UnitTerm(unit.unit);
    }
    out << "\n";
}

// A switch, 0 or 1: a toggle, or else an enumeration of the words "off" and
// "on". GStreamer's LV2 element gives every toggle the default false, whatever
// the port declares; an enumeration keeps the declared default there.
void SwitchPort(std::ostream& out, std::uint32_t index, const char* symbol, const std::string& name,
                const std::string& comment, int defaultValue, const char* designation, bool toggle)
{
    out << "\t\ta lv2:InputPort , lv2:ControlPort ;\n"
        << "\t\tlv2:index " << index << " ;\n"
        << "\t\tlv2:symbol " << Quoted(symbol) << " ;\n"
        << "\t\tlv2:name " << Quoted(name) << " ;\n"
        << "\t\trdfs:comment " << Quoted(comment) << " ;\n";
    if (designation != nullptr)
        out << "\t\tlv2:designation " << designation << " ;\n";
    out << "\t\tlv2:default " << defaultValue << " ;\n"
        << "\t\tlv2:minimum 0 ;\n"
        << "\t\tlv2:maximum 1 ;\n";
    if (toggle)
        out << "\t\tlv2:portProperty lv2:integer , lv2:toggled\n";
    else
        out << "\t\tlv2:portProperty lv2:integer , lv2:enumeration ;\n"
            << "\t\tlv2:scalePoint [ rdfs:label \"off\" ; rdf:value 0 ] , [ rdfs:label \"on\" ; rdf:value 1 ]\n";
}

// A meter: an output control in dB that every run sets, which hosts draw as a
// meter from its range.
void MeterPort(std::ostream& out, std::uint32_t index, const std::string& symbol, const std::string& name,
               const std::string& comment, float maximumDb)
{
    out << "\t\ta lv2:OutputPort , lv2:ControlPort ;\n"
        << "\t\tlv2:index " << index << " ;\n"
        << "\t\tlv2:symbol " << Quoted(symbol) << " ;\n"
        << "\t\tlv2:name " << Quoted(name) << " ;\n"
        << "\t\trdfs:comment " << Quoted(comment) << " ;\n"
        << "\t\tlv2:minimum " << int(kMeterFloorDb) << " ;\n"
        << "\t\tlv2:maximum " << int(maximumDb) << " ;\n"
        << "\t\tunits:unit units:db\n";
}

void AudioPort(std::ostream& out, std::uint32_t index, bool input, const char* channel, const std::string& group)
{
    const std::string side = channel[0] == 'l' ? "Left" : "Right";
    out << "\t\ta lv2:" << (input ? "InputPort" : "OutputPort") << " , lv2:AudioPort ;\n"
        << "\t\tlv2:index " << index << " ;\n"
        << "\t\tlv2:symbol \"" << (input ? "in_" : "out_") << channel << "\" ;\n"
        << "\t\tlv2:name \"" << side << (input ? " in" : " out") << "\" ;\n"
        << "\t\tpg:group <" << group << "> ;\n"
        << "\t\tlv2:designation pg:" << channel << "\n";
}

std::string PluginDescription(const Bundle& bundle)
{
    const std::string inGroup = bundle.uri + "#in", outGroup = bundle.uri + "#out";
    const std::string latency = std::to_string(kLatencyFrames);
    std::ostringstream out;
    out << "# Written by korvax_lv2_ttl from the machine's parameter table and the\n"
           "# values of its steps in their units; edits here are overwritten.\n"
           "@prefix doap:   <http://usefulinc.com/ns/doap#> .\n"
           "@prefix korvax: <" << bundle.uri << "#> .\n"
           "@prefix log:    <http://lv2plug.in/ns/ext/log#> .\n"
           "@prefix lv2:    <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix pg:     <http://lv2plug.in/ns/ext/port-groups#> .\n"
           "@prefix pprops: <http://lv2plug.in/ns/ext/port-props#> .\n"
           "@prefix rdf:    <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
           "@prefix rdfs:   <http://www.w3.org/2000/01/rdf-schema#> .\n"
           "@prefix units:  <http://lv2plug.in/ns/extensions/units#> .\n"
           "@prefix urid:   <http://lv2plug.in/ns/ext/urid#> .\n\n"
        << "korvax:ratio\n"
           "\ta units:Unit ;\n"
           "\trdfs:label \"ratio\" ;\n"
           "\tunits:symbol \":1\" ;\n"
           "\tunits:render \"%.1f:1\" .\n\n"
        << "<" << inGroup << ">\n"
           "\ta pg:StereoGroup , pg:InputGroup ;\n"
           "\tlv2:symbol \"in\" ;\n"
           "\trdfs:label \"Input\" .\n\n"
        << "<" << outGroup << ">\n"
           "\ta pg:StereoGroup , pg:OutputGroup ;\n"
           "\tlv2:symbol \"out\" ;\n"
           "\trdfs:label \"Output\" ;\n"
           "\tpg:source <" << inGroup << "> .\n\n"
        << "<" << bundle.uri << ">\n"
           "\ta lv2:Plugin , lv2:CompressorPlugin ;\n"
           "\tdoap:name \"Korvax 2\" ;\n"
           "\tdoap:shortdesc \"Three-band linear-phase dynamics processor\" ;\n"
           "\trdfs:comment \"Splits stereo audio into low, mid and high bands with an FFT crossover, compresses "
           "each band, sets the low band's stereo width, sums the bands and limits the result. Output is "
        << latency
        << " frames late, also while disabled; the solo mode's bypass passes the input undelayed.\" ;\n"
           "\tlv2:minorVersion " << bundle.minorVersion << " ;\n"
           "\tlv2:microVersion " << bundle.microVersion << " ;\n"
           "\tlv2:optionalFeature lv2:hardRTCapable , log:log , urid:map ;\n"
           "\tpg:mainInput <" << inGroup << "> ;\n"
           "\tpg:mainOutput <" << outGroup << "> ;\n"
           "\tlv2:port [\n";
    for (int i = 0; i < kParameterCount; ++i) {
        ParameterPort(out, i);
        out << "\t] , [\n";
    }
    SwitchPort(out, kStereoLinkPort, "stereo_link", Link().Name,
               "Links the left and right gain followers of each band and of the limiter", Link().DefaultValue,
               nullptr, true);
    out << "\t] , [\n";
    AudioPort(out, kInLeftPort, true, "left", inGroup);
    out << "\t] , [\n";
    AudioPort(out, kInRightPort, true, "right", inGroup);
    out << "\t] , [\n";
    AudioPort(out, kOutLeftPort, false, "left", outGroup);
    out << "\t] , [\n";
    AudioPort(out, kOutRightPort, false, "right", outGroup);
    out << "\t] , [\n"
        << "\t\ta lv2:OutputPort , lv2:ControlPort ;\n"
        << "\t\tlv2:index " << kLatencyPort << " ;\n"
        << "\t\tlv2:symbol \"latency\" ;\n"
        << "\t\tlv2:name \"Latency\" ;\n"
        << "\t\trdfs:comment \"Frames by which the output trails the input: " << latency
        << ", also while disabled; 0 while the solo mode is bypass\" ;\n"
        << "\t\tlv2:designation lv2:latency ;\n"
        << "\t\tlv2:minimum 0 ;\n"
        << "\t\tlv2:maximum " << latency << " ;\n"
        << "\t\tlv2:portProperty lv2:reportsLatency , lv2:integer ;\n"
        << "\t\tunits:unit units:frame\n"
        << "\t] , [\n";
    const std::string fadeMs = std::to_string(static_cast<int>(kCrossFadeSeconds * 1000.0 + 0.5));
    SwitchPort(out, kEnabledPort, "enabled", "Enabled",
               "Off: the input passes unchanged, delayed by the same latency, while the machine keeps running; "
               "switching fades over " + fadeMs + " ms",
               1, "lv2:enabled", false);
    const std::string floor = std::to_string(int(kMeterFloorDb));
    const char* const followers[] = {"low", "mid", "high", "limiter"};
    const char* const followerNames[] = {"Low band", "Mid band", "High band", "Limiter"};
    for (int meter = 0; meter < kGainMeterCount; ++meter) {
        const bool left = meter % 2 == 0;
        out << "\t] , [\n";
        MeterPort(out, kFirstGainMeterPort + meter,
                  std::string("gain_") + followers[meter / 2] + (left ? "_l" : "_r"),
                  std::string(followerNames[meter / 2]) + " gain " + (left ? "L" : "R"),
                  std::string("The ") + (meter / 2 == 3 ? "limiter's" : "band's") + " gain on the " +
                      (left ? "left" : "right") + " channel at its lowest during the block, in dB: 0 = no "
                      "reduction, down to " + floor,
                  0.0f);
    }
    const char* const peaks[] = {"peak_in_l", "peak_in_r", "peak_out_l", "peak_out_r"};
    const char* const peakNames[] = {"Input peak L", "Input peak R", "Output peak L", "Output peak R"};
    for (int meter = 0; meter < kPeakMeterCount; ++meter) {
        out << "\t] , [\n";
        MeterPort(out, kFirstPeakMeterPort + meter, peaks[meter], peakNames[meter],
                  "The largest sample magnitude during the block, in dBFS, held within " + floor + " and +" +
                      std::to_string(int(kPeakMeterCeilingDb)),
                  kPeakMeterCeilingDb);
    }
    out << "\t] .\n";
    return out.str();
}

std::string Presets(const Bundle& bundle, const std::vector<Preset>& presets)
{
    std::ostringstream out;
    out << "# Written by korvax_lv2_ttl: each preset's controls as the values of its steps.\n"
           "@prefix lv2:  <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
           "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n";
    for (const Preset& preset : presets) {
        out << "\n<" << PresetUri(bundle, preset) << ">\n"
            << "\ta pset:Preset ;\n"
            << "\tlv2:appliesTo <" << bundle.uri << "> ;\n"
            << "\trdfs:label " << Quoted(preset.label) << " ;\n";
        if (!preset.comment.empty())
            out << "\trdfs:comment " << Quoted(preset.comment) << " ;\n";
        out << "\tlv2:port ";
        for (int i = 0; i < kParameterCount; ++i)
            out << (i == 0 ? "" : " , ") << "[\n\t\tlv2:symbol " << Quoted(Symbol(Parameter(i).Name))
                << " ;\n\t\tpset:value " << PortValue(i, preset.steps[i]) << "\n\t]";
        out << " , [\n\t\tlv2:symbol \"stereo_link\" ;\n\t\tpset:value " << preset.link << "\n\t] .\n";
    }
    return out.str();
}

bool WriteFile(const std::filesystem::path& path, const std::string& text)
{
    const std::filesystem::path temporary = path.string() + ".part";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            std::fprintf(stderr, "korvax_lv2_ttl: cannot write '%s'\n", temporary.c_str());
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::fprintf(stderr, "korvax_lv2_ttl: cannot write '%s': %s\n", path.c_str(), error.message().c_str());
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

} // namespace
} // namespace korvax::lv2

int main(int argc, char** argv)
{
    using namespace korvax::lv2;
    if (argc < 6) {
        std::fprintf(stderr, "usage: korvax_lv2_ttl OUT_DIR URI BINARY MINOR MICRO [PRESET_FILE...]\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const Bundle bundle{argv[2], argv[3], argv[4], argv[5]};
    std::vector<Preset> presets = {StartValuesPreset()};
    std::string error;
    if (!ReadPresetFiles(std::vector<std::string>(argv + 6, argv + argc), presets, error)) {
        std::fprintf(stderr, "korvax_lv2_ttl: %s\n", error.c_str());
        return 1;
    }
    const bool written = WriteFile(folder / "korvax.ttl", PluginDescription(bundle)) &&
                         WriteFile(folder / "presets.ttl", Presets(bundle, presets)) &&
                         WriteFile(folder / "manifest.ttl", Manifest(bundle, presets));
    return written ? 0 : 1;
}
