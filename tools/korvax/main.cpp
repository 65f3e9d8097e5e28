// korvax: renders audio files through the Korvax 2 machine, loading the machine
// library at run time and driving it through the reference host exactly as a
// host application does.

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tools/korvax/audio_files.h"
#include "tools/korvax/demo.h"
#include "tools/korvax/failure.h"
#include "tools/korvax/interrupt.h"
#include "tools/korvax/machine_session.h"
#include "tools/korvax/render.h"

#ifndef KORVAX_VERSION
#define KORVAX_VERSION "unknown"
#endif

namespace korvax::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMaxBlockPairs = 1 << 20;

const char kMainHelp[] = R"(Usage: korvax COMMAND [OPTIONS]

Renders audio files through the Korvax 2 machine, a three-band linear-phase
dynamics processor, loading its library and driving it as a host does.

Commands:
  render IN OUT   process an audio file
  params          list the machine's parameters, their ranges and start values
  demo [OUT]      synthesise a test programme and render it

Options:
  -h, --help      show this help; 'korvax COMMAND --help' shows a command's
  --version       show the version

Every command takes --machine PATH to load another machine library. Without it
the library comes from $KORVAX_MACHINE_LIBRARY, else from the build:
  %s
)";

const char kRenderHelp[] = R"(Usage: korvax render IN OUT [OPTIONS]

Processes IN through the machine and writes OUT. IN may be WAV, AIFF, FLAC,
Ogg or anything else libsndfile reads, mono or stereo; mono is processed as
two equal channels and written back as mono. The file's sample rate is the
machine's. OUT appears only when the render succeeded; an existing OUT is
replaced then, and left alone on any failure.

By default OUT is aligned with IN and as long: the machine's latency of 16383
sample pairs is fed as silence after IN and dropped from the start of OUT.

Options:
  --set NAME=VALUE  set a parameter; NAME is its index, its name as the machine
                    declares it (any letter case, e.g. "Comp: Thr.low") or its
                    slug (comp-thr-low); VALUE is a whole number within the
                    parameter's range. Repeatable; the last one wins. Unset
                    parameters keep the machine's start values ('korvax params')
  --link on|off     set the "Stereo link" attribute (off at start)
  --block PAIRS     sample pairs per processing call, 1..1048576 (default 256);
                    the result does not depend on it
  --raw             write the machine's stream as it comes: delayed by the
                    latency, still as long as IN ("Solo mode=4", bypass, has
                    no delay either way)
  --format F        float (32-bit float, the default), pcm16, pcm24, flac
                    (24-bit FLAC) or flac16. OUT's extension picks the file
                    type: .wav (or none), .aif/.aiff, or .flac, which defaults
                    to flac. Integer formats report how many samples clipped
  -q, --quiet       no progress bar and no summary
  --machine PATH    the machine library to load
  -h, --help        show this help

Samples that are NaN or infinite are rendered as silence and counted in the
summary. The summary gives durations, peak and RMS levels in and out (dBFS),
the latency, and how fast the render ran against real time.
)";

const char kParamsHelp[] = R"(Usage: korvax params [OPTIONS]

Lists every parameter of the machine and its "Stereo link" attribute: index,
name, slug, range, the default it declares, the start value it holds after
initialisation (what a render uses unless told otherwise), and the machine's
own text for that start value.

Options:
  --tsv             tab-separated, with a header line and the descriptions
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

std::int64_t ParseBlock(const std::string& text)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 1 ||
        value > kMaxBlockPairs)
        throw Failure("--block '" + text + "': expected a whole number of pairs, 1.." +
                      std::to_string(kMaxBlockPairs));
    return value;
}

void PrintHelp(const char* text)
{
    std::fputs(text, stdout);
}

int RenderCommand(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = Parse("render", args,
                                         {{"set", 0, true},
                                          {"link", 0, true},
                                          {"block", 0, true},
                                          {"raw", 0, false},
                                          {"format", 0, true},
                                          {"quiet", 'q', false},
                                          {"machine", 0, true},
                                          {"help", 'h', false}});
    if (parsed.Has("help")) {
        PrintHelp(kRenderHelp);
        return 0;
    }
    if (parsed.positional.size() != 2)
        throw UsageError("render", parsed.positional.size() < 2 ? "render needs IN and OUT"
                                                                : "render takes only IN and OUT; too many arguments");

    RenderRequest request;
    request.inPath = parsed.positional[0];
    request.outPath = parsed.positional[1];
    request.raw = parsed.Has("raw");
    request.progress = !parsed.Has("quiet");
    if (std::optional<std::string> block = parsed.Last("block"))
        request.blockPairs = ParseBlock(*block);
    if (std::optional<std::string> format = parsed.Last("format"))
        request.format = *format;
    // Before anything is loaded: a bad word here needs no machine to explain.
    ChooseOutputFormat(request.format, request.outPath);

    const MachineLibrary library(LibraryPath(parsed));
    for (const auto& [name, value] : parsed.options) {
        if (name == "set")
            request.settings.push_back(library.ParseSetting(value));
        else if (name == "link")
            request.settings.push_back(library.LinkSetting(value));
    }

    const InterruptScope interrupts;
    const RenderReport report = Render(library, request);
    if (!parsed.Has("quiet"))
        PrintSummary(stdout, report);
    return 0;
}

int ParamsCommand(const std::vector<std::string>& args)
{
    const ParsedArguments parsed =
        Parse("params", args, {{"tsv", 0, false}, {"machine", 0, true}, {"help", 'h', false}});
    if (parsed.Has("help")) {
        PrintHelp(kParamsHelp);
        return 0;
    }
    if (!parsed.positional.empty())
        throw UsageError("params", "params takes no argument, got '" + parsed.positional[0] + "'");

    const MachineLibrary library(LibraryPath(parsed));
    const std::unique_ptr<host::Machine> machine = library.NewMachine(44100, {});
    const bool tsv = parsed.Has("tsv");
    if (tsv) {
        std::printf("index\tname\tslug\tmin\tmax\tdefault\tstart\tstart_text\tdescription\n");
    } else {
        std::printf("%s, from %s\n\n", library.MachineName().c_str(), library.Path().c_str());
        std::printf("%5s  %-15s %-15s %-7s %7s %6s  %s\n", "Index", "Name", "Slug", "Range", "Default", "Start",
                    "Start value");
    }
    for (const ParameterInfo& p : library.Parameters()) {
        const std::string index = p.isAttribute ? "-" : std::to_string(p.index);
        const std::string text = MachineLibrary::DescribeValue(*machine, p, p.startValue);
        if (tsv) {
            std::printf("%s\t%s\t%s\t%d\t%d\t%d\t%d\t%s\t%s\n", index.c_str(), p.name.c_str(), p.slug.c_str(),
                        p.minValue, p.maxValue, p.defaultValue, p.startValue, text.c_str(), p.description.c_str());
        } else {
            const std::string range = std::to_string(p.minValue) + ".." + std::to_string(p.maxValue);
            std::printf("%5s  %-15s %-15s %-7s %7d %6d  %s\n", index.c_str(), p.name.c_str(), p.slug.c_str(),
                        range.c_str(), p.defaultValue, p.startValue, text.c_str());
        }
    }
    if (!tsv)
        std::printf("\nSet any of them with: korvax render IN OUT --set NAME=VALUE (index, name or slug)\n");
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
        "demo", args, {{"seed", 0, true}, {"quiet", 'q', false}, {"machine", 0, true}, {"help", 'h', false}});
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
            throw Failure("--seed '" + *text + "': expected a whole number, 0..4294967295");
    }

    const MachineLibrary library(LibraryPath(parsed));
    const auto [inPath, outPath] = DemoPaths(parsed.positional.empty() ? "" : parsed.positional[0]);
    const InterruptScope interrupts;

    const std::vector<float> programme = SynthesiseDemo(seed);
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
        std::printf("Demo      %s: %.0f s of drums, bass and pad (seed %u); %s: rendered with the start values\n",
                    inPath.c_str(), kDemoSeconds, seed, outPath.c_str());
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
        PrintHelp(topic == "render"   ? kRenderHelp
                  : topic == "params" ? kParamsHelp
                  : topic == "demo"   ? kDemoHelp
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
