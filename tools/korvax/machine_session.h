#pragma once
// The machine as the tool sees it: a library loaded through the reference host,
// its parameter table read from the machine's own description, the lookup of
// parameters by index, display name or slug, and machines created, initialised
// and set up exactly as a host does.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"

namespace korvax::cli {

// Output trails input by this many sample pairs (half a crossover block minus one);
// nothing in the machine's description says so, so the tool knows it.
inline constexpr std::int64_t kLatencyPairs = 16383;
// File samples span ±1.0; the machine's full scale is ±32768. A power of two, so
// the scaling is exact both ways.
inline constexpr float kMachineFullScale = 32768.0f;
// "Solo mode" is parameter 5; its value 4 passes the input through untouched
// and undelayed.
inline constexpr int kSoloModeIndex = 5;
inline constexpr int kSoloBypass = 4;

struct ParameterInfo {
    int index = 0;               // position in the machine's table; -1 for the attribute
    bool isAttribute = false;    // "Stereo link", the one 32-bit attribute
    std::string name;            // display name exactly as declared ("Comp: Thr.low")
    std::string slug;            // lower case, runs of other characters as '-' ("comp-thr-low")
    std::string description;
    int minValue = 0;
    int maxValue = 0;
    int defaultValue = 0;        // as declared
    int startValue = 0;          // what the machine holds after initialisation
};

// One "--set NAME=VALUE" (or --link), resolved and range-checked.
struct Setting {
    const ParameterInfo* parameter = nullptr;
    int value = 0;
};

// Lower case, each run of characters other than letters and digits as one '-',
// none at either end: "Limit: Thresh." -> "limit-thresh".
std::string Slug(const std::string& name);

class MachineLibrary {
public:
    // Loads the library at `path` and reads its description. Throws Failure when
    // it does not load or does not describe the machine this tool drives.
    explicit MachineLibrary(const std::string& path);

    const std::string& Path() const { return library_->Path(); }
    const std::string& MachineName() const { return machineName_; }
    // The seventeen parameters in index order, then the attribute.
    const std::vector<ParameterInfo>& Parameters() const { return parameters_; }

    // By index ("6"), display name in any letter case ("comp: thr.low") or slug
    // ("comp-thr-low"). Throws Failure naming the unknown parameter.
    const ParameterInfo& Find(const std::string& key) const;
    // Parses "NAME=VALUE"; throws Failure for a malformed text, an unknown name,
    // a value that is not a whole number or lies outside the parameter's range.
    Setting ParseSetting(const std::string& text) const;
    // The attribute set to 0 or 1 from "on"/"off" (also "1"/"0").
    Setting LinkSetting(const std::string& onOff) const;

    // Creates a machine at `sampleRate`, initialises it and applies `settings`
    // (later ones win). Parameters not named keep the machine's start values:
    // only the named bytes are written. Throws Failure when creation fails.
    std::unique_ptr<host::Machine> NewMachine(std::int32_t sampleRate, const std::vector<Setting>& settings) const;

    // The machine's own text for a parameter value ("-12.3 dB", "Bypass"); for the
    // attribute "on" or "off".
    static std::string DescribeValue(host::Machine& machine, const ParameterInfo& parameter, int value);

private:
    std::shared_ptr<host::Library> library_;
    std::string machineName_;
    std::vector<ParameterInfo> parameters_;
};

// True when the settings leave the machine in bypass, where nothing is delayed.
bool IsBypass(const std::vector<Setting>& settings);

} // namespace korvax::cli
