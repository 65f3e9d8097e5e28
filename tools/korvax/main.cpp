// korvax: renders audio files through the Korvax 2 machine, loading the machine
// library at run time and driving it through the reference host exactly as a
// host application does.

#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "params/presets.h"
#include "params/value_units.h"
#include "tools/korvax/audio_files.h"
#include "tools/korvax/batch.h"
#include "tools/korvax/demo.h"
#include "tools/korvax/failure.h"
#include "tools/korvax/interrupt.h"
#include "dsp/crossover_response.h"
#include "tools/korvax/machine_session.h"
#include "tools/korvax/plot.h"
#include "tools/korvax/render.h"
#include "tools/korvax/summary.h"

#ifndef KORVAX_VERSION
#define KORVAX_VERSION "unknown"
#endif

namespace korvax::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMaxBlockPairs = 1 << 20;
constexpr std::int64_t kMaxJobs = 64;   // as many renders as can register a temporary file each

const char kMainHelp[] = R"(Usage: korvax COMMAND [OPTIONS]

Renders audio files through the Korvax 2 machine, a three-band linear-phase
dynamics processor, loading its library and driving it as a host does.

Commands:
  render IN OUT          process an audio file ('-' for standard input/output)
  render IN... -o DIR    process many files, several at a time
  params [NAME]          list the parameters, or every step of one of them
  params --save FILE     write a preset file of the values given
  plot-bands FILE        draw the crossover's three bands at the values given
  demo [OUT]             synthesise a test programme and render it

Options:
  -h, --help      show this help; 'korvax COMMAND --help' shows a command's own
  --version       show the version

Every command takes --machine PATH to load another machine library. Without it
the library comes from $KORVAX_MACHINE_LIBRARY, else it is the one installed
beside korvax (PREFIX/lib/korvax for PREFIX/bin/korvax), else the build's.
This korvax loads:
  %s

Exit status: 0 when all went well; 2 when the command line cannot be used (an
unknown command, option or parameter, a malformed or out-of-range value), with
nothing read or written; 1 when something fails while running (a file cannot
be read or written, the machine library does not load, a preset file has an
error, one or more files of a batch failed); 128 + N when signal N ended it
(Ctrl-C: 130), with no partial file left behind.
)";

const char kRenderHelp[] = R"(Usage: korvax render IN OUT [OPTIONS]
       korvax render IN... -o DIR [-j N] [OPTIONS]

Processes IN through the machine and writes OUT. IN may be WAV, AIFF, FLAC,
Ogg or anything else libsndfile reads, mono or stereo; mono is processed as
two equal channels and written back as mono. The file's sample rate is the
machine's. OUT appears only when the render succeeded (written beside it under
a hidden name, flushed to disk, then renamed); an existing OUT is replaced
then, and left alone on any failure or interrupt.

IN '-' reads standard input (read whole first); OUT '-' writes standard output
(WAV unless --format says FLAC), only once the render succeeded, and the
summary then goes to standard error.

By default OUT is aligned with IN and as long: the machine's latency of 16383
sample pairs is fed as silence after IN and dropped from the start of OUT.

Settings, applied in the order given, the later winning:
  --preset P        start (the machine's start values, what a render uses
                    unless told otherwise), defaults (the defaults the machine
                    declares, what LV2 hosts use) or a preset FILE of
                    NAME = VALUE lines ('korvax params --save' writes one)
  --set NAME=VALUE  one parameter. NAME: its index, its name in any letter case
                    ("Comp: Thr.low"), its slug (comp-thr-low) or LV2 symbol
                    (comp_thr_low). VALUE: a step (40), a value in the unit of
                    its texts (-18dB, 200Hz, 0.2kHz, 10ms, 4:1, 150%%), or a word
                    of "Solo mode" (all bands, low, mid, high, bypass). A value
                    in units takes the step whose exact value is nearest (for Hz
                    and ms by ratio; a tie takes the lower step); the summary
                    shows the step and its text. 'korvax params NAME' lists
                    every step
  --link on|off     the "Stereo link" attribute (off at start)

Options:
  -o, --output-dir DIR  render every IN into DIR under its own name (a new
                    extension only where the format needs one); DIR is made
                    if missing
  -j, --jobs N      files rendered at once in a batch, one machine each
                    (default: the number of processors, here %d)
  --block PAIRS     sample pairs per processing call, 1..1048576 (default 256);
                    the result does not depend on it
  --raw             write the machine's stream as it comes: delayed by the
                    latency, still as long as IN ("Solo mode" bypass has no
                    delay either way)
  --format F        float (32-bit float, the default), pcm16, pcm24, flac
                    (24-bit FLAC) or flac16. OUT's extension picks the file
                    type: .wav (or none), .aif/.aiff, or .flac, which defaults
                    to flac. Integer formats round to nearest and report how
                    many samples clipped
  --dither          add TPDF dither (one step of the last bit either way, the
                    same every run) before rounding to 16 or 24 bits. Off by
                    default, so that OUT keeps the machine's exact bits
  --json            print the summary as one JSON object (for a batch: every
                    file and the total)
  --plot FILE       draw the render (PNG, SVG or PDF by FILE's extension): the
                    levels in and out, each band's and the limiter's gain
                    reduction over time, and the three bands' responses at the
                    settings used. Not for a batch
  --meters FILE     write the meters of every processing call as CSV: where
                    the call lies in IN and in OUT, its input and output peaks
                    (dBFS) and each follower's lowest gain (dB; 0 = no
                    reduction), left and right. FILE '-' writes standard
                    output. Not for a batch
  -q, --quiet       no progress bar and no summary
  --machine PATH    the machine library to load
  -h, --help        show this help

The summary gives, for IN and OUT, integrated loudness (LUFS), loudness range
(LU) and true peak (dBTP, 4x oversampled), after ITU-R BS.1770 / EBU R 128 by
libebur128, and peak and RMS levels (dBFS); the settings that differ from the
start values or were named; the latency; and the render's speed. Tags of IN
(title, artist, ...) are copied where OUT's format holds them. The same IN
and settings give a byte-identical OUT. Samples that are NaN or infinite are
rendered as silence and counted.

A batch prints a line per file and a total, lists the files that failed on
standard error at the end and exits with 1 if any did; every other file is
still written.

Exit status: 0 done; 2 unusable command line; 1 failure while running; 128 + N
interrupted by signal N.
)";

const char kParamsHelp[] = R"(Usage: korvax params [NAME] [OPTIONS]
       korvax params --save FILE [--preset P] [--set NAME=VALUE]... [--link on|off]

Without NAME, lists every parameter of the machine and its "Stereo link"
attribute: index, name, slug (the LV2 symbol is the slug with _ for -), range,
the default it declares and the start value it holds after initialisation
(what a render uses unless told otherwise), each with its text.

With NAME (index, name, slug or LV2 symbol), lists every step of that
parameter with the machine's text for it and its exact value in units, which
is what a value in units is matched against.

With --save, writes a preset file that names every parameter and the link,
with the start values changed by the --preset, --set and --link options given
(as 'korvax render' takes them); FILE '-' writes standard output.

Options:
  --tsv             tab-separated, with a header line (and the descriptions)
  --save FILE       write a preset file
  --machine PATH    the machine library to load
  -h, --help        show this help
)";

const char kPlotBandsHelp[] = R"(Usage: korvax plot-bands FILE [OPTIONS]

Draws the magnitude responses of the crossover's three bands (low, mid, high)
and their sum, with the two split frequencies marked, at the settings given
(the start values unless told otherwise) and the sample rate. FILE's extension
picks PNG, SVG or PDF.

Options:
  --preset P        start, defaults or a preset FILE, as 'korvax render' takes it
  --set NAME=VALUE  one parameter, as 'korvax render' takes it (LowSplit,
                    HighSplit and Steepness shape the bands)
  --rate HZ         the sample rate, 1000..768000 (default 48000)
  --machine PATH    the machine library to load
  -h, --help        show this help
)";

const char kDemoHelp[] = R"(Usage: korvax demo [OUT] [OPTIONS]

Synthesises about ten seconds of stereo music at 48 kHz (drums, bass and a
bright pad; the same for the same seed), renders it through the machine with
its start values and prints the summary. Writes two 32-bit float WAV files:

  korvax demo              demo-in.wav and demo-out.wav here
  korvax demo DIR/         DIR/demo-in.wav and DIR/demo-out.wav (an existing
                           folder needs no slash; a missing one is made)
  korvax demo take         take-in.wav and take-out.wav (a prefix)

Options:
  --speech          a speech-like signal instead of the music: phrases of
                    voiced syllables and hissed consonants, with pauses
  --seed N          seed of the programme's random details (default 1)
  -q, --quiet       no progress bar and no summary
  --machine PATH    the machine library to load
  -h, --help        show this help
)";

// A minimal parser: options before, between or after the positional arguments,
// "--name value" or "--name=value", "--" ends the options.
struct OptionRule {
    const char* longName;
    char shortName;
    bool takesValue;
};

struct ParsedArguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;   // long name, value; in order

    bool Has(const std::string& name) const
    {
        for (const auto& [n, v] : options)
            if (n == name)
                return true;
        return false;
    }
    std::optional<std::string> Last(const std::string& name) const
    {
        std::optional<std::string> value;
        for (const auto& [n, v] : options)
            if (n == name)
                value = v;
        return value;
    }
};

ParsedArguments Parse(const std::string& command, const std::vector<std::string>& args,
                      const std::vector<OptionRule>& rules)
{
    ParsedArguments parsed;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionRule* rule = nullptr;
        std::optional<std::string> inlineValue;
        if (arg[1] == '-') {
            const auto equals = arg.find('=');
            const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            if (equals != std::string::npos)
                inlineValue = arg.substr(equals + 1);
            for (const OptionRule& s : rules)
                if (name == s.longName)
                    rule = &s;
        } else if (arg.size() == 2) {
            for (const OptionRule& s : rules)
                if (s.shortName != 0 && arg[1] == s.shortName)
                    rule = &s;
        }
        if (rule == nullptr)
            throw UsageError(command, "unknown option '" + arg + "'");
        std::string value;
        if (rule->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                throw UsageError(command, std::string("option --") + rule->longName + " needs a value");
            }
        } else if (inlineValue) {
            throw UsageError(command, std::string("option --") + rule->longName + " takes no value");
        }
        parsed.options.emplace_back(rule->longName, value);
    }
    return parsed;
}

std::string LibraryPath(const ParsedArguments& parsed)
{
    if (std::optional<std::string> path = parsed.Last("machine"))
        return *path;
    return host::Library::DefaultPath();
}

std::int64_t ParseWholeNumber(const std::string& command, const std::string& option, const std::string& text,
                              std::int64_t low, std::int64_t high, const std::string& what)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError(command, "--" + option + " '" + text + "': expected " + what + ", " + std::to_string(low) +
                                      ".." + std::to_string(high));
    return value;
}

void PrintHelp(const char* text)
{
    std::fputs(text, stdout);
}

std::string RenderHelp()
{
    char text[sizeof kRenderHelp + 64];
    std::snprintf(text, sizeof text, kRenderHelp, AvailableProcessors());
    return text;
}

// The settings options in command-line order: presets, --set and --link.
std::vector<Setting> SettingsOf(const MachineLibrary& library, const ParsedArguments& parsed,
                                std::vector<std::string>& presetsUsed)
{
    // Every --set and --link first: a malformed one is a command-line error (2)
    // whatever a preset file before it holds.
    std::vector<Setting> named;
    for (const auto& [name, value] : parsed.options) {
        if (name == "set")
            named.push_back(library.ParseSetting(value));
        else if (name == "link")
            named.push_back(library.LinkSetting(value));
    }
    std::vector<Setting> settings;
    std::size_t nextNamed = 0;
    for (const auto& [name, value] : parsed.options) {
        if (name == "set" || name == "link") {
            settings.push_back(named[nextNamed++]);
        } else if (name == "preset") {
            const std::vector<Setting> preset = library.PresetSettings(value);
            settings.insert(settings.end(), preset.begin(), preset.end());
            presetsUsed.push_back(value == "start" || value == "defaults" ? value : "file " + value);
        }
    }
    return settings;
}

// SIGPIPE would end the tool silently when standard output's reader goes away
// while OUT is copied to it; ignored, the write fails and says so.
void IgnoreBrokenPipes()
{
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        std::signal(SIGPIPE, SIG_IGN);
}

int RenderCommand(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = Parse("render", args,
                                         {{"set", 0, true},
                                          {"preset", 0, true},
                                          {"link", 0, true},
                                          {"output-dir", 'o', true},
                                          {"jobs", 'j', true},
                                          {"block", 0, true},
                                          {"raw", 0, false},
                                          {"format", 0, true},
                                          {"dither", 0, false},
                                          {"json", 0, false},
                                          {"plot", 0, true},
                                          {"meters", 0, true},
                                          {"quiet", 'q', false},
                                          {"machine", 0, true},
                                          {"help", 'h', false}});
    if (parsed.Has("help")) {
        PrintHelp(RenderHelp().c_str());
        return 0;
    }
    const std::optional<std::string> folder = parsed.Last("output-dir");
    if (folder) {
        if (parsed.positional.empty())
            throw UsageError("render", "render -o DIR needs at least one IN");
        if (folder->empty())
            throw UsageError("render", "--output-dir needs a folder");
    } else if (parsed.positional.size() != 2) {
        throw UsageError("render", parsed.positional.size() < 2
                                       ? "render needs IN and OUT (or IN... -o DIR)"
                                       : "render takes IN and OUT; for many files give -o DIR");
    }
    if (parsed.Has("jobs") && !folder)
        throw UsageError("render", "--jobs applies to a batch (-o DIR)");
    RenderRequest request;
    if (folder && (parsed.Has("plot") || parsed.Has("meters")))
        throw UsageError("render", "--plot and --meters apply to one render, not a batch");
    if (std::optional<std::string> plot = parsed.Last("plot")) {
        if (PlotFormat(*plot).empty())
            throw UsageError("render", "--plot '" + *plot + "': the name must end in .png, .svg or .pdf");
        request.plotPath = *plot;
    }
    if (std::optional<std::string> meters = parsed.Last("meters")) {
        if (meters->empty())
            throw UsageError("render", "--meters needs a FILE");
        request.metersPath = *meters;
    }

    request.raw = parsed.Has("raw");
    request.dither = parsed.Has("dither");
    const bool quiet = parsed.Has("quiet");
    const bool json = parsed.Has("json");
    request.progress = !quiet && !json;
    if (std::optional<std::string> block = parsed.Last("block"))
        request.blockPairs = ParseWholeNumber("render", "block", *block, 1, kMaxBlockPairs, "a whole number of pairs");
    if (std::optional<std::string> format = parsed.Last("format"))
        request.format = *format;
    int jobs = AvailableProcessors();
    if (std::optional<std::string> text = parsed.Last("jobs"))
        jobs = static_cast<int>(ParseWholeNumber("render", "jobs", *text, 1, kMaxJobs, "a number of files at once"));

    BatchRequest batch;
    if (folder) {
        batch.inputs = parsed.positional;
        batch.folder = *folder;
        batch.jobs = jobs;
        batch.quiet = quiet;
        batch.json = json;
        CheckBatch(batch);
        for (const std::string& in : batch.inputs)   // a bad --format word or a mismatch, before anything runs
            ChooseOutputFormat(request.format, BatchOutputPath(in, batch.folder, request.format));
    } else {
        request.inPath = parsed.positional[0];
        request.outPath = parsed.positional[1];
        if ((request.outPath == "-" && request.metersPath == "-") ||
            (request.outPath != "-" && (request.outPath == request.plotPath || request.outPath == request.metersPath)) ||
            (!request.plotPath.empty() && request.plotPath == request.metersPath))
            throw UsageError("render", "OUT, --plot and --meters need a file each");
        // Before anything is loaded: a bad word here needs no machine to explain.
        ChooseOutputFormat(request.format, request.outPath);
    }

    const MachineLibrary library(LibraryPath(parsed));
    std::vector<std::string> presetsUsed;
    request.settings = SettingsOf(library, parsed, presetsUsed);

    const InterruptScope interrupts;
    request.presets = presetsUsed;
    if (folder) {
        batch.common = request;
        return RenderBatch(library, batch);
    }
    if (request.outPath == "-")
        IgnoreBrokenPipes();
    const RenderReport report = Render(library, request);
    // Standard output may hold OUT itself; the summary then goes to standard error.
    std::FILE* const stream = request.outPath == "-" ? stderr : stdout;
    if (json)
        std::fprintf(stream, "%s\n", SummaryJson(report).c_str());
    else if (!quiet)
        PrintSummary(stream, report);
    return 0;
}

void ListParameters(const MachineLibrary& library, host::Machine& machine, bool tsv)
{
    if (tsv) {
        std::printf("index\tname\tslug\tmin\tmax\tdefault\tstart\tstart_text\tdescription\tsymbol\tdefault_text\n");
    } else {
        std::printf("%s, from %s\n\n", library.MachineName().c_str(), library.Path().c_str());
        std::printf("%5s  %-15s %-15s %-7s %-20s %s\n", "Index", "Name", "Slug", "Range", "Default", "Start value");
    }
    for (const ParameterInfo& p : library.Parameters()) {
        const std::string index = p.isAttribute ? "-" : std::to_string(p.index);
        const std::string startText = MachineLibrary::DescribeValue(machine, p, p.startValue);
        const std::string defaultText = MachineLibrary::DescribeValue(machine, p, p.defaultValue);
        if (tsv) {
            std::printf("%s\t%s\t%s\t%d\t%d\t%d\t%d\t%s\t%s\t%s\t%s\n", index.c_str(), p.name.c_str(), p.slug.c_str(),
                        p.minValue, p.maxValue, p.defaultValue, p.startValue, startText.c_str(),
                        p.description.c_str(), p.symbol.c_str(), defaultText.c_str());
        } else {
            const std::string range = std::to_string(p.minValue) + ".." + std::to_string(p.maxValue);
            const std::string declared = std::to_string(p.defaultValue) + "  " + defaultText;
            const std::string started = std::to_string(p.startValue) + "  " + startText;
            std::printf("%5s  %-15s %-15s %-7s %-20s %s%s\n", index.c_str(), p.name.c_str(), p.slug.c_str(),
                        range.c_str(), declared.c_str(), started.c_str(),
                        p.startValue != p.defaultValue ? "  *" : "");
        }
    }
    if (!tsv)
        std::printf("\n* differs from the declared default (--preset defaults sets those).\n"
                    "Every step of one: korvax params NAME. Set any with: korvax render IN OUT --set NAME=VALUE\n"
                    "(NAME: index, name, slug, or LV2 symbol = the slug with _ for -; VALUE: a step, or in units)\n");
}

void ListSteps(host::Machine& machine, const ParameterInfo& p, bool tsv)
{
    const bool inUnits = !p.isAttribute && units::UnitOf(p.index).unit != units::Unit::kStep &&
                         units::UnitOf(p.index).unit != units::Unit::kWord;
    const bool words = !p.isAttribute && units::UnitOf(p.index).unit == units::Unit::kWord;
    if (tsv) {
        std::printf("step\ttext\tvalue\n");
    } else {
        std::printf("%s (%s, LV2 symbol %s%s): %s\n", p.name.c_str(), p.slug.c_str(), p.symbol.c_str(),
                    p.isAttribute ? "" : (", index " + std::to_string(p.index)).c_str(),
                    p.description.c_str());
        std::printf("Declared default %d (%s), start value %d (%s)%s\n\n", p.defaultValue,
                    MachineLibrary::DescribeValue(machine, p, p.defaultValue).c_str(), p.startValue,
                    MachineLibrary::DescribeValue(machine, p, p.startValue).c_str(),
                    inUnits ? "; a value in units selects the step whose exact value is nearest" : "");
        std::printf("%5s  %-12s %s\n", "Step", "Text", inUnits ? "Exact value" : words ? "Word" : "");
    }
    for (int step = p.minValue; step <= p.maxValue; ++step) {
        const std::string text = MachineLibrary::MachineText(machine, p, step);
        const std::string value = p.isAttribute ? units::SwitchWord(step) : units::FormatStepValue(p.index, step);
        if (tsv)
            std::printf("%d\t%s\t%s\n", step, text.c_str(), value.c_str());
        else
            std::printf("%5d  %-12s %s\n", step, text.c_str(), inUnits || words ? value.c_str() : "");
    }
}

// A preset naming every control at the values the settings give.
std::string PresetText(const MachineLibrary& library, host::Machine& machine, const std::vector<Setting>& settings,
                       const std::vector<std::string>& presetsUsed)
{
    const std::vector<int> values = FinalValues(library.Parameters(), settings);
    std::string text = "# Korvax 2 preset, written by 'korvax params --save'";
    for (const std::string& p : presetsUsed)
        text += (&p == &presetsUsed.front() ? " from " : ", ") + p;
    text += ".\n# NAME = VALUE, one a line; a VALUE may also be given in units (-18dB, 200Hz,\n"
            "# 10ms, 4:1). The machine's text for each value follows it.\n";
    for (const ParameterInfo& p : library.Parameters()) {
        const int value = values[static_cast<std::size_t>(p.control)];
        char line[256];
        const std::string valueText = presets::PresetValueText(library.Description(), p.control, value);
        const std::string machineText = MachineLibrary::DescribeValue(machine, p, value);
        if (machineText == valueText)
            std::snprintf(line, sizeof line, "%-15s = %s\n", p.slug.c_str(), valueText.c_str());
        else
            std::snprintf(line, sizeof line, "%-15s = %-10s # %s\n", p.slug.c_str(), valueText.c_str(),
                          machineText.c_str());
        text += line;
    }
    return text;
}

int ParamsCommand(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = Parse("params", args,
                                         {{"tsv", 0, false},
                                          {"save", 0, true},
                                          {"set", 0, true},
                                          {"preset", 0, true},
                                          {"link", 0, true},
                                          {"machine", 0, true},
                                          {"help", 'h', false}});
    if (parsed.Has("help")) {
        PrintHelp(kParamsHelp);
        return 0;
    }
    const std::optional<std::string> save = parsed.Last("save");
    if (parsed.positional.size() > 1 || (save && !parsed.positional.empty()))
        throw UsageError("params", save ? "params --save takes no NAME" : "params takes at most one NAME");
    if (!save && (parsed.Has("set") || parsed.Has("preset") || parsed.Has("link")))
        throw UsageError("params", "--set, --preset and --link go with --save FILE");
    if (save && save->empty())
        throw UsageError("params", "--save needs a FILE");

    const MachineLibrary library(LibraryPath(parsed));
    const std::unique_ptr<host::Machine> machine = library.NewMachine(44100, {});
    if (save) {
        std::vector<std::string> presetsUsed;
        const std::vector<Setting> settings = SettingsOf(library, parsed, presetsUsed);
        const std::string text = PresetText(library, *machine, settings, presetsUsed);
        const InterruptScope interrupts;
        WriteTextFile(*save, text);
        return 0;
    }
    if (!parsed.positional.empty())
        ListSteps(*machine, library.Find(parsed.positional[0], "params"), parsed.Has("tsv"));
    else
        ListParameters(library, *machine, parsed.Has("tsv"));
    return 0;
}

int PlotBandsCommand(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = Parse("plot-bands", args,
                                         {{"set", 0, true},
                                          {"preset", 0, true},
                                          {"link", 0, true},
                                          {"rate", 0, true},
                                          {"machine", 0, true},
                                          {"help", 'h', false}});
    if (parsed.Has("help")) {
        PrintHelp(kPlotBandsHelp);
        return 0;
    }
    if (parsed.positional.size() != 1)
        throw UsageError("plot-bands", "plot-bands takes one FILE");
    const std::string& path = parsed.positional[0];
    if (PlotFormat(path).empty())
        throw UsageError("plot-bands", "'" + path + "': the name must end in .png, .svg or .pdf");
    int rate = 48000;
    if (std::optional<std::string> text = parsed.Last("rate"))
        rate = static_cast<int>(ParseWholeNumber("plot-bands", "rate", *text, 1000, 768000, "a sample rate in Hz"));

    const MachineLibrary library(LibraryPath(parsed));
    std::vector<std::string> presetsUsed;
    const std::vector<Setting> settings = SettingsOf(library, parsed, presetsUsed);
    const std::vector<int> values = FinalValues(library.Parameters(), settings);
    const auto step = [&](int index) { return float(values[static_cast<std::size_t>(index)]); };
    const CrossoverResponse bands = CrossoverGains(step(1), step(2), step(3), rate);

    PlotLabels labels;
    labels.title = "Korvax 2: the crossover's three bands";
    labels.subtitle = "LowSplit " + std::to_string(values[1]) + " (" +
                      std::to_string(int(std::lround(bands.lowSplitHz))) + " Hz), HighSplit " +
                      std::to_string(values[2]) + " (" + std::to_string(int(std::lround(bands.highSplitHz))) +
                      " Hz), Steepness " + std::to_string(values[3]) + "; " + std::to_string(rate) + " Hz";
    const InterruptScope interrupts;
    WriteTextFile(path, DrawBandsPlot(PlotFormat(path), labels, bands, rate));
    return 0;
}

// Where the demo's two files go: DIR/demo-{in,out}.wav for a folder, else
// PREFIX-{in,out}.wav.
std::pair<std::string, std::string> DemoPaths(const std::string& out)
{
    if (out.empty())
        return {"demo-in.wav", "demo-out.wav"};
    std::error_code error;
    if (out.back() == '/' || fs::is_directory(out, error)) {
        if (!fs::is_directory(out, error) && !fs::create_directories(out, error) && error)
            throw Failure("cannot make folder '" + out + "': " + error.message());
        const fs::path folder(out);
        return {(folder / "demo-in.wav").string(), (folder / "demo-out.wav").string()};
    }
    std::string prefix = out;
    if (fs::path(prefix).extension() == ".wav")
        prefix.resize(prefix.size() - 4);
    return {prefix + "-in.wav", prefix + "-out.wav"};
}

int DemoCommand(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = Parse(
        "demo", args,
        {{"seed", 0, true}, {"speech", 0, false}, {"quiet", 'q', false}, {"machine", 0, true}, {"help", 'h', false}});
    if (parsed.Has("help")) {
        PrintHelp(kDemoHelp);
        return 0;
    }
    if (parsed.positional.size() > 1)
        throw UsageError("demo", "demo takes at most one OUT");
    std::uint32_t seed = 1;
    if (std::optional<std::string> text = parsed.Last("seed")) {
        const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), seed);
        if (text->empty() || error != std::errc() || end != text->data() + text->size())
            throw UsageError("demo", "--seed '" + *text + "': expected a whole number, 0..4294967295");
    }

    const MachineLibrary library(LibraryPath(parsed));
    const auto [inPath, outPath] = DemoPaths(parsed.positional.empty() ? "" : parsed.positional[0]);
    const InterruptScope interrupts;

    const bool speech = parsed.Has("speech");
    const std::vector<float> programme = speech ? SynthesiseSpeech(seed) : SynthesiseDemo(seed);
    const std::int64_t frames = static_cast<std::int64_t>(programme.size() / 2);
    {
        const std::string path = ResolveOutputPath(inPath);
        OutputFile input(path, ChooseOutputFormat("float", path), 2, kDemoSampleRate, frames);
        input.WriteFloat(programme.data(), frames);
        ThrowIfInterrupted();
        input.Commit();
    }

    RenderRequest request;
    request.inPath = inPath;
    request.outPath = outPath;
    request.progress = !parsed.Has("quiet");
    const RenderReport report = Render(library, request);
    if (!parsed.Has("quiet")) {
        std::printf("Demo      %s: %.0f s of %s (seed %u); %s: rendered with the start values\n", inPath.c_str(),
                    kDemoSeconds, speech ? "speech-like phrases" : "drums, bass and pad", seed, outPath.c_str());
        PrintSummary(stdout, report);
    }
    return 0;
}

int Run(const std::vector<std::string>& args)
{
    char mainHelp[sizeof kMainHelp + 4096];
    std::snprintf(mainHelp, sizeof mainHelp, kMainHelp, host::Library::DefaultPath().c_str());
    if (args.empty()) {
        std::fputs(mainHelp, stderr);
        return 2;
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "-h" || command == "--help") {
        PrintHelp(mainHelp);
        return 0;
    }
    if (command == "help") {
        const std::string topic = rest.empty() ? "" : rest[0];
        const std::string renderHelp = RenderHelp();
        PrintHelp(topic == "render"       ? renderHelp.c_str()
                  : topic == "params"     ? kParamsHelp
                  : topic == "plot-bands" ? kPlotBandsHelp
                  : topic == "demo"       ? kDemoHelp
                                          : mainHelp);
        return 0;
    }
    if (command == "--version" || command == "-V") {
        std::printf("korvax %s\n", KORVAX_VERSION);
        return 0;
    }
    if (command == "render")
        return RenderCommand(rest);
    if (command == "params")
        return ParamsCommand(rest);
    if (command == "plot-bands")
        return PlotBandsCommand(rest);
    if (command == "demo")
        return DemoCommand(rest);
    throw UsageError("", "unknown command '" + command + "'");
}

// One line, whatever a message holds.
std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

} // namespace
} // namespace korvax::cli

int main(int argc, char** argv)
{
    using namespace korvax::cli;
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const Interrupted& interrupted) {
        std::fprintf(stderr, "korvax: interrupted; no output written\n");
        std::fflush(stderr);
        EndBySignal(interrupted.signalNumber);
    } catch (const UsageError& error) {
        const std::string command = error.command.empty() ? "" : " " + error.command;
        std::fprintf(stderr, "korvax: %s (see 'korvax%s --help')\n", OneLine(error.what()).c_str(), command.c_str());
        return 2;
    } catch (const Failure& error) {
        std::fprintf(stderr, "korvax: %s\n", OneLine(error.what()).c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvax: unexpected error: %s\n", OneLine(error.what()).c_str());
        return 1;
    }
}
